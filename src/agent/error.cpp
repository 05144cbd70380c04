#include "agent/error.hpp"

#include <array>

namespace sarvolt::agent {
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

const char* reason_phrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return nullptr;
  }
}

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
  if (const char* phrase = reason_phrase(status)) return fmt::format("{} {}", status, phrase);
  return fmt::format("{}", status);
}

std::ostream& operator<<(std::ostream& os, const Error& e) { return os << e.to_string(); }

}  // namespace sarvolt::agent
