// Test HTTP(S) server: tests/http_server.py as a child process on 127.0.0.1
// with a free port (its routes are listed at the top of the script); it
// records every request. Certificates for HTTPS are made with the openssl
// command. The test controller is the same script given a shared secret: it
// checks every request's MAC on its own. Waits are bounded; a server is
// killed when its object goes (and when the test process dies).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "support.hpp"

namespace sarvolt::test {

// A self-signed server certificate for 127.0.0.1 and localhost, which
// clients take as their CA file; throws std::runtime_error when openssl fails.
class TestCertificates {
 public:
  TestCertificates();
  std::string ca_file() const { return (dir_ / "server.pem").string(); }
  std::string key_file() const { return (dir_ / "server.key").string(); }

 private:
  TempDir dir_;
};

class TestHttpServer {
 public:
  // HTTPS with `https`; `args` go to the script. Throws std::runtime_error
  // when no port is reported within 10 seconds.
  explicit TestHttpServer(const TestCertificates* https = nullptr, std::vector<std::string> args = {});
  ~TestHttpServer();  // not copyable (TempDir is not)

  std::uint16_t port() const { return port_; }
  // "http(s)://127.0.0.1:PORT" followed by `path` (which starts with "/").
  std::string url(std::string_view path) const { return base_ + std::string(path); }
  // The requests recorded so far, oldest first (see the script).
  std::vector<nlohmann::json> requests() const;
  // The script's directory: the port, the record and the controller's files.
  const std::filesystem::path& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string base_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// The test controller: serves each node's network list from a file, records
// every request, and misbehaves on request.
class TestController : public TestHttpServer {
 public:
  explicit TestController(const std::string& secret) : TestHttpServer(nullptr, {"--secret", secret}) { behave({}); }
  std::string base_url() const { return url("/api"); }  // "http://127.0.0.1:PORT/api"
  // The list served to the node with key `pk` (serve one before it asks).
  void serve(const std::string& pk, const std::string& list);
  void behave(const nlohmann::json& behaviour);  // see the script; {} is normal service
};

}  // namespace sarvolt::test
