// Shared test helpers: temporary directories, captured log lines, scoped
// environment variables.
#pragma once

#include <spdlog/sinks/base_sink.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sarvolt::test {

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
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

// Captures every log line at every level while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<LogLine> lines() const;
  bool contains(const std::string& level, const std::string& text) const;
  std::size_t count(const std::string& text_part) const;

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

// Sets (or unsets, with nullopt) an environment variable; restores it after.
class ScopedEnv {
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
