#include "http_fixture.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace sarvolt::test {

namespace {

void stop_child(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Written whole, so that the server never reads half a file.
void replace_file(const std::filesystem::path& path, const std::string& content) {
  write_file(path.string() + ".tmp", content);
  std::filesystem::rename(path.string() + ".tmp", path);
}

}  // namespace

TestCertificates::TestCertificates() {
  const std::string cmd = "cd '" + dir_.path().string() + "' && openssl req -x509 -newkey ec -pkeyopt "
                          "ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.pem -days 2 -subj "
                          "'/CN=127.0.0.1' -addext subjectAltName=IP:127.0.0.1,DNS:localhost >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("openssl failed: " + cmd);
}

TestHttpServer::TestHttpServer(const TestCertificates* https, std::vector<std::string> more) {
  // The script ends with the thread that starts it, which it checks is still there.
  std::vector<std::string> args = {"python3", SARVOLT_TESTS_DIR "/http_server.py", "--dir", dir_.path().string(),
                                   "--parent", std::to_string(::getpid())};
  if (https) args.insert(args.end(), {"--cert", https->ca_file(), "--key", https->key_file()});
  args.insert(args.end(), more.begin(), more.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (::posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start python3");
  const auto port = [&] { return std::atoi(read_file(dir_ / "port").c_str()); };
  if (!eventually([&] { return port() > 0; }, 10s)) {
    stop_child(pid_);
    throw std::runtime_error("test HTTP server did not report its port");
  }
  port_ = static_cast<std::uint16_t>(port());
  base_ = (https ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

TestHttpServer::~TestHttpServer() { stop_child(pid_); }

std::vector<nlohmann::json> TestHttpServer::requests() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(dir_ / "requests.jsonl");
  for (std::string line; std::getline(in, line);) {
    // A line being written may be incomplete; it is read on the next call.
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_discarded()) out.push_back(std::move(j));
  }
  return out;
}

void TestController::serve(const std::string& pk, const std::string& list) {
  replace_file(dir() / (pk + ".toml"), list);
}

void TestController::behave(const nlohmann::json& behaviour) {
  replace_file(dir() / "behaviour.json", behaviour.dump());
}

}  // namespace sarvolt::test
