// Error: the agent-level error, one of sixteen kinds in a fixed order, each
// with a fixed message prefix followed by the wrapped value's text. It has a
// display form and nothing else (move-only); share it behind a shared_ptr.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>

#include <fmt/format.h>

namespace sarvolt::core {

class Error {
 public:
  enum class Kind : std::uint8_t {
    HttpClientError = 0,
    Utf8Error = 1,
    IoError = 2,
    TomlError = 3,
    UrlParseError = 4,
    NetworkError = 5,
    IdentityError = 6,
    NodeError = 7,
    TomlSerializationError = 8,
    ConfigParseError = 9,
    NetworkAlreadyExists = 10,
    NetworkNotFound = 11,
    ControllerManagedNetwork = 12,
    UnsupportedTunPlatform = 13,
    NotLoggedIn = 14,
    ControllerUnlinkFailed = 15,
  };
  static constexpr int kKindCount = 16;

  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;

  // Wraps a value's display text under `kind`'s prefix. For IoError prefer
  // io(); for ControllerUnlinkFailed use controller_unlink_failed().
  static Error make(Kind kind, std::string text = {});
  // An operating-system error: "<strerror> (os error N)".
  static Error io(std::error_code code);
  // An I/O failure that has no OS error number (e.g. invalid UTF-8 content).
  static Error io(std::string text);
  static Error controller_unlink_failed(int http_status, std::string text);

  Kind kind() const noexcept { return kind_; }
  // The wrapped value's text (empty for kinds that wrap nothing).
  const std::string& detail() const noexcept { return detail_; }
  // For IoError: the OS error, when there is one.
  std::error_code io_code() const noexcept { return code_; }
  int http_status() const noexcept { return http_status_; }

  // Display form: the kind's message.
  std::string to_string() const;

 private:
  Error(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  std::string detail_;
  std::error_code code_;
  int http_status_ = 0;
};

using SharedError = std::shared_ptr<const Error>;

// "404 Not Found": the status number and its standard reason phrase.
std::string http_status_text(int status);

std::ostream& operator<<(std::ostream& os, const Error& e);

}  // namespace sarvolt::core

template <>
struct fmt::formatter<sarvolt::core::Error> : fmt::formatter<std::string_view> {
  auto format(const sarvolt::core::Error& e, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
  }
};
