// Domain names to ASCII for URL hosts: Unicode IDNA compatibility processing
// (UTS #46 ToASCII, non-transitional, hyphens and DNS lengths unchecked, bidi
// and joiner rules checked), as the URL Standard's domain parser runs it on a
// host that is not pure ASCII.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sarvolt::util {

// `domain` is valid UTF-8. The ASCII result is lower-case; nullopt when
// processing records an error.
std::optional<std::string> domain_to_ascii(std::string_view domain);

}  // namespace sarvolt::util
