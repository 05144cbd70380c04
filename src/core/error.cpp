#include "core/error.hpp"

#include <array>

#include "util/http_status.hpp"

namespace sarvolt::core {
namespace {

constexpr std::array<const char*, Error::kKindCount> kPrefixes = {
    "HTTP client error: ",
    "UTF8 error: ",
    "I/O error: ",
    "TOML error: ",
    "URL parsing error: ",
    "Network error: ",
    "Identity error: ",
    "Node error: ",
    "TOML serialization error: ",
    "Configuration parse error: ",
    "Network already exists: ",
    "Network not found: ",
    "Controller-managed networks cannot be added or removed manually: ",
    "Unsupported TUN creation platform",
    "Not logged in",
    "Controller unlink failed (HTTP ",
};

}  // namespace

Error Error::make(Kind kind, std::string text) { return Error(kind, std::move(text)); }

Error Error::io(std::error_code code) {
  Error e(Kind::IoError, fmt::format("{} (os error {})", code.message(), code.value()));
  e.code_ = code;
  return e;
}

Error Error::io(std::string text) { return Error(Kind::IoError, std::move(text)); }

Error Error::controller_unlink_failed(int http_status, std::string text) {
  Error e(Kind::ControllerUnlinkFailed, std::move(text));
  e.http_status_ = http_status;
  return e;
}

std::string Error::to_string() const {
  const char* prefix = kPrefixes[static_cast<std::size_t>(kind_)];
  switch (kind_) {
    case Kind::UnsupportedTunPlatform:
    case Kind::NotLoggedIn:
      return prefix;
    case Kind::ControllerUnlinkFailed:
      return fmt::format("{}{}): {}", prefix, http_status_text(http_status_), detail_);
    default:
      return prefix + detail_;
  }
}

std::string http_status_text(int status) {
  if (auto phrase = util::http_reason_phrase(status)) return fmt::format("{} {}", status, *phrase);
  return fmt::format("{}", status);
}

std::ostream& operator<<(std::ostream& os, const Error& e) { return os << e.to_string(); }

}  // namespace sarvolt::core
