// Shared test helpers: temporary directories, captured log lines, scoped
// environment variables, bounded waits, address and byte helpers.
#pragma once

#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "util/ipv4.hpp"

namespace sarvolt::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

util::Ipv4Addr ip(const char* s);
util::Ipv4Net net(const char* s);
void put16(Bytes& p, std::size_t at, std::uint16_t v);
// One's complement sum of 16-bit words, folded; a block that carries its own
// right checksum sums to 0xFFFF. Written apart from the code under test.
std::uint16_t ones_sum(std::span<const std::uint8_t> d, std::uint32_t start = 0);

template <class Pred>  // waits (bounded) until `pred` holds
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred())
    if (std::chrono::steady_clock::now() > end) return pred();
    else std::this_thread::sleep_for(1ms);
  return true;
}

class TempDir {  // a fresh directory under the system temp dir, removed with its contents
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct LogLine {
  std::string target;
  std::string level;  // "trace", "debug", "info", "warning", "error"
  std::string text;
};

// Captures every log line at every level while alive; `on_line` (if any)
// sees each line as it is logged, on the logging thread.
class LogCapture {
 public:
  explicit LogCapture(std::function<void(const LogLine&)> on_line = {});
  ~LogCapture();
  std::vector<LogLine> lines() const;
  bool contains(const std::string& level, const std::string& text) const;
  std::size_t count(const std::string& text_part) const;

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

class ScopedEnv {  // sets (or unsets, with nullopt) an environment variable; restores it after
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);

}  // namespace sarvolt::test
