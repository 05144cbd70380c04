// Reason phrases of the HTTP status codes in the IANA HTTP Status Code
// Registry (RFC 9110 names). Codes that are unassigned, reserved as
// "(Unused)" or only temporarily registered have none.
#pragma once

#include <optional>
#include <string_view>

namespace sarvolt::util {

std::optional<std::string_view> http_reason_phrase(int status) noexcept;

}  // namespace sarvolt::util
