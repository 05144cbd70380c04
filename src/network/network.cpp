#include "network/network.hpp"

#include "util/text.hpp"

namespace sarvolt::network {

std::string NetworkHealth::debug() const {
  switch (kind_) {
    case Kind::Initializing:
      return "Initializing";
    case Kind::Disabled:
      return "Disabled";
    case Kind::Ok:
      return "Ok";
    case Kind::Pending:
      return "Pending";
    case Kind::RetrieveConfigError:
      return "RetrieveConfigError(" + util::quoted_debug(text_) + ")";
    case Kind::NotAMemberError:
      return "NotAMemberError";
    case Kind::InvalidConfigError:
      return "InvalidConfigError(" + util::quoted_debug(text_) + ")";
  }
  return "Initializing";
}

std::ostream& operator<<(std::ostream& os, const NetworkHealth& h) { return os << h.debug(); }

}  // namespace sarvolt::network
