#include "util/ipv4.hpp"

#include <ostream>

namespace sarvolt::util {
namespace {

constexpr const char* kBadAddr = "invalid IPv4 address syntax";
constexpr const char* kBadNet = "invalid IPv4 network syntax";
constexpr const char* kBadLen = "invalid prefix length";

// Decimal of one to three digits with no leading zero ("0" itself is fine).
bool parse_small_decimal(std::string_view s, unsigned& out) {
  if (s.empty() || s.size() > 3 || (s.size() > 1 && s[0] == '0')) return false;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  out = v;
  return true;
}

bool parse_dotted_quad(std::string_view s, std::uint32_t& out) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = s.size();
    if (i < 3) {
      end = s.find('.');
      if (end == std::string_view::npos) return false;
    }
    unsigned octet = 0;
    if (!parse_small_decimal(s.substr(0, end), octet) || octet > 255) return false;
    v = (v << 8) | octet;
    s.remove_prefix(i < 3 ? end + 1 : end);
  }
  out = v;
  return true;
}

char* write_decimal(char* out, unsigned v) noexcept {
  if (v >= 100) *out++ = static_cast<char>('0' + v / 100);
  if (v >= 10) *out++ = static_cast<char>('0' + v / 10 % 10);
  *out++ = static_cast<char>('0' + v % 10);
  return out;
}

}  // namespace

Expected<Ipv4Addr, std::string> Ipv4Addr::parse(std::string_view text) {
  std::uint32_t v = 0;
  if (!parse_dotted_quad(text, v)) return Unexpected(std::string(kBadAddr));
  return Ipv4Addr(v);
}

char* Ipv4Addr::to_chars(char* out) const noexcept {
  const auto o = octets();
  out = write_decimal(out, o[0]);
  for (int i = 1; i < 4; ++i) {
    *out++ = '.';
    out = write_decimal(out, o[i]);
  }
  return out;
}

std::string Ipv4Addr::to_string() const {
  char buf[kMaxTextLen];
  return std::string(buf, to_chars(buf));
}

Expected<Ipv4Net, std::string> Ipv4Net::create(Ipv4Addr addr, unsigned prefix_len) {
  if (prefix_len > 32) return Unexpected(std::string(kBadLen));
  return Ipv4Net(addr, static_cast<std::uint8_t>(prefix_len));
}

Expected<Ipv4Net, std::string> Ipv4Net::parse(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return Unexpected(std::string(kBadNet));
  std::uint32_t a = 0;
  if (!parse_dotted_quad(text.substr(0, slash), a)) return Unexpected(std::string(kBadAddr));
  unsigned len = 0;
  if (!parse_small_decimal(text.substr(slash + 1), len)) return Unexpected(std::string(kBadNet));
  return create(Ipv4Addr(a), len);
}

char* Ipv4Net::to_chars(char* out) const noexcept {
  out = addr_.to_chars(out);
  *out++ = '/';
  return write_decimal(out, len_);
}

std::string Ipv4Net::to_string() const {
  char buf[kMaxTextLen];
  return std::string(buf, to_chars(buf));
}

std::ostream& operator<<(std::ostream& os, Ipv4Addr a) {
  char buf[Ipv4Addr::kMaxTextLen];
  return os.write(buf, a.to_chars(buf) - buf);
}

std::ostream& operator<<(std::ostream& os, const Ipv4Net& n) {
  char buf[Ipv4Net::kMaxTextLen];
  return os.write(buf, n.to_chars(buf) - buf);
}

}  // namespace sarvolt::util
