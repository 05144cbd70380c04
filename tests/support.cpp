#include "support.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "util/log.hpp"

namespace sarvolt::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "sarvolt-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogLine> lines;
  std::function<void(const LogLine&)> on_line;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    auto level = spdlog::level::to_string_view(msg.level);
    lines.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()),
                     std::string(level.data(), level.size()),
                     std::string(msg.payload.data(), msg.payload.size())});
    if (on_line) on_line(lines.back());
  }
  void flush_() override {}

  friend class LogCapture;
};

LogCapture::LogCapture(std::function<void(const LogLine&)> on_line) : sink_(std::make_shared<Sink>()) {
  sink_->on_line = std::move(on_line);
  log::shared_sink()->add_sink(sink_);
  log::set_level(spdlog::level::trace);
}

LogCapture::~LogCapture() {
  log::shared_sink()->remove_sink(sink_);
  log::set_level(spdlog::level::off);
}

std::vector<LogLine> LogCapture::lines() const {
  std::lock_guard lock(sink_->mutex_);
  return sink_->lines;
}

bool LogCapture::contains(const std::string& level, const std::string& text) const {
  for (const auto& l : lines())
    if (l.level == level && l.text == text) return true;
  return false;
}

std::size_t LogCapture::count(const std::string& text_part) const {
  std::size_t n = 0;
  for (const auto& l : lines())
    if (l.text.find(text_part) != std::string::npos) ++n;
  return n;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value)
    setenv(name_.c_str(), value->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_.c_str(), old_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

util::Ipv4Addr ip(const char* s) { return util::Ipv4Addr::parse(s).value(); }
util::Ipv4Net net(const char* s) { return util::Ipv4Net::parse(s).value(); }

void put16(Bytes& p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<std::uint8_t>(v >> 8);
  p[at + 1] = static_cast<std::uint8_t>(v);
}

std::uint16_t ones_sum(std::span<const std::uint8_t> d, std::uint32_t sum) {
  for (std::size_t i = 0; i < d.size(); i += 2) sum += (std::uint32_t{d[i]} << 8) | (i + 1 < d.size() ? d[i + 1] : 0);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace sarvolt::test
