#include "platform/p2p/stats.hpp"

namespace sarvolt::p2p {

const char* to_string(PowStatus status) noexcept {
  switch (status) {
    case PowStatus::Unknown: return "Unknw";
    case PowStatus::Ok: return "Ok";
    case PowStatus::Nok: return "Nok";
  }
  return "Unknw";
}

std::string ShortId::to_string() const { return fmt::format("{:08x}", value_); }

}  // namespace sarvolt::p2p
