// The controller client's error: nine kinds, the first eight carrying a
// reason text, ResponseError an HTTP status and the answer's body. Display
// form "Failed to build HTTP request: <reason>", "Controller response error
// 404 Not Found: <body>", ...; a debug form names the kind and its fields.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include <fmt/format.h>

namespace sarvolt::controller {

class Error {
 public:
  enum class Kind : std::uint8_t {
    ClientBuildFailed,
    UriParseFailed,
    RequestBuildFailed,
    RequestFailed,
    ResponseBodyReadFailed,
    ResponseBodyUtf8Failed,
    ResponseBodyJsonFailed,
    AuthenticationFailed,
    ResponseError,
  };

  // One of the first eight kinds with its reason.
  static Error make(Kind kind, std::string reason);
  static Error response_error(int status, std::string body);

  Kind kind() const noexcept { return kind_; }
  const std::string& reason() const noexcept { return text_; }  // the first eight kinds
  int status() const noexcept { return status_; }               // ResponseError
  const std::string& body() const noexcept { return text_; }    // ResponseError

  std::string to_string() const;
  // `RequestFailed { reason: "..." }`, `ResponseError { status: 401, body: "..." }`.
  std::string debug() const;

 private:
  Error(Kind kind, std::string text, int status) : kind_(kind), text_(std::move(text)), status_(status) {}
  Kind kind_;
  std::string text_;
  int status_ = 0;
};

std::ostream& operator<<(std::ostream& os, const Error& e);

}  // namespace sarvolt::controller

template <>
struct fmt::formatter<sarvolt::controller::Error> : fmt::formatter<std::string_view> {
  auto format(const sarvolt::controller::Error& e, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
  }
};
