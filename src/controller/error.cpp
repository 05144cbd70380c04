#include "controller/error.hpp"

#include <cassert>

#include "core/error.hpp"
#include "util/text.hpp"

namespace sarvolt::controller {

namespace {

struct KindInfo {
  const char* name;
  const char* prefix;
};

constexpr KindInfo kKinds[] = {
    {"ClientBuildFailed", "Failed to build HTTP client: "},
    {"UriParseFailed", "Failed to parse URI: "},
    {"RequestBuildFailed", "Failed to build HTTP request: "},
    {"RequestFailed", "HTTP request failed: "},
    {"ResponseBodyReadFailed", "Failed to read response body: "},
    {"ResponseBodyUtf8Failed", "Failed to parse response body as UTF-8: "},
    {"ResponseBodyJsonFailed", "Failed to parse response body as JSON: "},
    {"AuthenticationFailed", "Authentication failed: "},
    {"ResponseError", "Controller response error "},
};

const KindInfo& info(Error::Kind k) { return kKinds[static_cast<std::size_t>(k)]; }

}  // namespace

Error Error::make(Kind kind, std::string reason) {
  assert(kind != Kind::ResponseError && "use response_error()");
  return Error(kind, std::move(reason), 0);
}

Error Error::response_error(int status, std::string body) {
  return Error(Kind::ResponseError, std::move(body), status);
}

std::string Error::to_string() const {
  if (kind_ == Kind::ResponseError) return info(kind_).prefix + core::http_status_text(status_) + ": " + text_;
  return info(kind_).prefix + text_;
}

std::string Error::debug() const {
  if (kind_ == Kind::ResponseError)
    return fmt::format("ResponseError {{ status: {}, body: {} }}", status_, util::quoted_debug(text_));
  return fmt::format("{} {{ reason: {} }}", info(kind_).name, util::quoted_debug(text_));
}

std::ostream& operator<<(std::ostream& os, const Error& e) { return os << e.to_string(); }

}  // namespace sarvolt::controller
