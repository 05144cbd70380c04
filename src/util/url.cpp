#include "util/url.hpp"

#include <array>
#include <cstring>

#include "util/idna.hpp"
#include "util/text.hpp"

namespace sarvolt::util {
namespace {

// --- character classes and percent-encode sets ------------------------------

enum EncodeSet : std::uint8_t {
  kC0Control = 1,
  kFragment = 2,
  kQuery = 4,
  kSpecialQuery = 8,
  kPath = 16,
  kUserinfo = 32,
};

constexpr std::array<std::uint8_t, 128> make_sets() {
  std::array<std::uint8_t, 128> t{};
  auto add = [&t](std::uint8_t sets, std::string_view chars) {
    for (char c : chars) t[static_cast<unsigned char>(c)] |= sets;
  };
  constexpr std::uint8_t all = kC0Control | kFragment | kQuery | kSpecialQuery | kPath | kUserinfo;
  for (int c = 0; c < 0x20; ++c) t[c] = all;
  t[0x7F] = all;
  add(kFragment | kQuery | kSpecialQuery | kPath | kUserinfo, " \"<>");
  add(kFragment | kPath | kUserinfo, "`");
  add(kQuery | kSpecialQuery | kPath | kUserinfo, "#");
  add(kSpecialQuery, "'");
  add(kPath | kUserinfo, "?^{}");
  add(kUserinfo, "/:;=@[\\]|");
  return t;
}
constexpr std::array<std::uint8_t, 128> kSets = make_sets();

constexpr char kHex[] = "0123456789ABCDEF";

inline void append_encoded(std::string& out, unsigned char c, std::uint8_t set) {
  if (c >= 0x80 || (kSets[c] & set)) {
    const char esc[3] = {'%', kHex[c >> 4], kHex[c & 15]};
    out.append(esc, 3);
  } else {
    out.push_back(static_cast<char>(c));
  }
}

inline void append_encoded(std::string& out, std::string_view s, std::uint8_t set) {
  for (char c : s) append_encoded(out, static_cast<unsigned char>(c), set);
}

inline bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
inline int hex_value(char c) {
  if (c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}
inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline bool is_c0_or_space(char c) { return static_cast<unsigned char>(c) <= 0x20; }
inline bool is_tab_or_newline(char c) { return c == '\t' || c == '\n' || c == '\r'; }

bool is_forbidden_host(unsigned char c) {
  switch (c) {
    case 0x00: case '\t': case '\n': case '\r': case ' ': case '#': case '/': case ':':
    case '<': case '>': case '?': case '@': case '[': case '\\': case ']': case '^': case '|':
      return true;
    default:
      return false;
  }
}

bool is_forbidden_domain(unsigned char c) {
  return is_forbidden_host(c) || c <= 0x1F || c == '%' || c == 0x7F;
}

bool ieq(std::string_view a, std::string_view lower_b) {
  if (a.size() != lower_b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower_b[i]) return false;
  return true;
}

bool is_single_dot(std::string_view s) { return s == "." || ieq(s, "%2e"); }
bool is_double_dot(std::string_view s) {
  return s == ".." || ieq(s, ".%2e") || ieq(s, "%2e.") || ieq(s, "%2e%2e");
}

bool is_windows_drive_letter(std::string_view s) {
  return s.size() == 2 && is_alpha(s[0]) && (s[1] == ':' || s[1] == '|');
}

struct Special {
  std::string_view scheme;
  int default_port;  // -1: none
};
constexpr std::array<Special, 6> kSpecial = {{
    {"ftp", 21}, {"file", -1}, {"http", 80}, {"https", 443}, {"ws", 80}, {"wss", 443}}};

// --- input preprocessing ------------------------------------------------------

// Appends `in` with every ill-formed UTF-8 sequence replaced by U+FFFD, one
// replacement per maximal ill-formed subpart.
void append_valid_utf8(std::string& out, std::string_view in) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::size_t i = 0;
  const std::size_t n = in.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) need = 1;
    else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    }
    if (need == 0) {
      out.append(kReplacement, 3);
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= need && i + k < n; ++k) {
      const auto c = static_cast<unsigned char>(in[i + k]);
      if (c < lo || c > hi) break;
      lo = 0x80;
      hi = 0xBF;
    }
    if (k == need + 1) {
      out.append(in.substr(i, k));
    } else {
      out.append(kReplacement, 3);
    }
    i += k;  // a byte that broke a sequence is looked at again
  }
}

bool needs_utf8_repair(std::string_view in) {
  for (char c : in)
    if (static_cast<unsigned char>(c) >= 0x80) return !is_valid_utf8(in);
  return false;
}

// --- IPv4 ---------------------------------------------------------------------

constexpr std::uint64_t kTooBig = 1ull << 40;

// Value of one part; nullopt when it is not a number. `nondecimal` tells
// whether it was written in hex or octal.
std::optional<std::uint64_t> parse_ipv4_number(std::string_view s) {
  if (s.empty()) return std::nullopt;
  int radix = 10;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    radix = 16;
  } else if (s.size() >= 2 && s[0] == '0') {
    s.remove_prefix(1);
    radix = 8;
  }
  std::uint64_t v = 0;
  for (char c : s) {
    int d;
    if (radix == 16) {
      if (!is_hex(c)) return std::nullopt;
      d = hex_value(c);
    } else {
      if (!is_digit(c) || c - '0' >= radix) return std::nullopt;
      d = c - '0';
    }
    v = v * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(d);
    if (v > kTooBig) v = kTooBig;  // stays out of range
  }
  return v;
}

bool ends_in_a_number(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  const auto dot = s.rfind('.');
  std::string_view last = dot == std::string_view::npos ? s : s.substr(dot + 1);
  if (last.empty()) return false;
  bool digits = true;
  for (char c : last) digits = digits && is_digit(c);
  if (digits) return true;
  if (last.size() >= 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')) {
    for (char c : last.substr(2))
      if (!is_hex(c)) return false;
    return true;
  }
  return false;
}

const char* parse_ipv4(std::string_view s, std::uint32_t& out) {
  std::array<std::string_view, 4> parts;
  std::size_t count = 0;
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);  // one empty last part is dropped
  std::size_t start = 0;
  while (true) {
    const auto dot = s.find('.', start);
    if (count == 4) return "invalid IPv4 address (too many parts)";
    parts[count++] = s.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  std::array<std::uint64_t, 4> numbers{};
  for (std::size_t i = 0; i < count; ++i) {
    auto v = parse_ipv4_number(parts[i]);
    if (!v) return "invalid IPv4 address (non-numeric part)";
    numbers[i] = *v;
  }
  for (std::size_t i = 0; i + 1 < count; ++i)
    if (numbers[i] > 255) return "invalid IPv4 address (part out of range)";
  if (numbers[count - 1] >= (1ull << (8 * (5 - count)))) return "invalid IPv4 address (part out of range)";
  std::uint64_t v = numbers[count - 1];
  for (std::size_t i = 0; i + 1 < count; ++i) v += numbers[i] << (8 * (3 - i));
  out = static_cast<std::uint32_t>(v);
  return nullptr;
}

void serialize_ipv4(std::string& out, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) {
    out += std::to_string((v >> (8 * i)) & 0xFF);
    if (i != 0) out += '.';
  }
}

// --- IPv6 ---------------------------------------------------------------------

const char* parse_ipv6(std::string_view in, std::array<std::uint16_t, 8>& address) {
  address.fill(0);
  int piece = 0;
  int compress = -1;
  std::size_t p = 0;
  const std::size_t n = in.size();
  if (n > 0 && in[0] == ':') {
    if (n < 2 || in[1] != ':') return "invalid IPv6 address (invalid compression)";
    p += 2;
    compress = ++piece;
  }
  while (p < n) {
    if (piece == 8) return "invalid IPv6 address (too many pieces)";
    if (in[p] == ':') {
      if (compress != -1) return "invalid IPv6 address (multiple compression)";
      ++p;
      compress = ++piece;
      continue;
    }
    unsigned value = 0;
    std::size_t length = 0;
    while (length < 4 && p < n && is_hex(in[p])) {
      value = value * 16 + static_cast<unsigned>(hex_value(in[p]));
      ++p;
      ++length;
    }
    if (p < n && in[p] == '.') {
      if (length == 0) return "invalid IPv6 address (invalid code point in IPv4 part)";
      p -= length;
      if (piece > 6) return "invalid IPv6 address (too many pieces before IPv4 part)";
      int seen = 0;
      while (p < n) {
        int ipv4_piece = -1;
        if (seen > 0) {
          if (in[p] == '.' && seen < 4) ++p;
          else return "invalid IPv6 address (invalid code point in IPv4 part)";
        }
        if (p >= n || !is_digit(in[p])) return "invalid IPv6 address (invalid code point in IPv4 part)";
        while (p < n && is_digit(in[p])) {
          const int number = in[p] - '0';
          if (ipv4_piece == -1) ipv4_piece = number;
          else if (ipv4_piece == 0) return "invalid IPv6 address (invalid code point in IPv4 part)";
          else ipv4_piece = ipv4_piece * 10 + number;
          if (ipv4_piece > 255) return "invalid IPv6 address (IPv4 part out of range)";
          ++p;
        }
        address[piece] = static_cast<std::uint16_t>(address[piece] * 0x100 + ipv4_piece);
        ++seen;
        if (seen == 2 || seen == 4) ++piece;
      }
      if (seen != 4) return "invalid IPv6 address (too few IPv4 parts)";
      break;
    }
    if (p < n && in[p] == ':') {
      ++p;
      if (p >= n) return "invalid IPv6 address (invalid code point)";
    } else if (p < n) {
      return "invalid IPv6 address (invalid code point)";
    }
    address[piece] = static_cast<std::uint16_t>(value);
    ++piece;
  }
  if (compress != -1) {
    int swaps = piece - compress;
    piece = 7;
    while (piece != 0 && swaps > 0) {
      std::swap(address[piece], address[compress + swaps - 1]);
      --piece;
      --swaps;
    }
  } else if (piece != 8) {
    return "invalid IPv6 address (too few pieces)";
  }
  return nullptr;
}

void serialize_ipv6(std::string& out, const std::array<std::uint16_t, 8>& a) {
  // The first longest run of two or more zero pieces is compressed.
  int compress = -1, longest = 1;
  for (int i = 0; i < 8;) {
    if (a[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && a[j] == 0) ++j;
    if (j - i > longest) {
      longest = j - i;
      compress = i;
    }
    i = j;
  }
  out += '[';
  bool ignore0 = false;
  for (int i = 0; i < 8; ++i) {
    if (ignore0 && a[i] == 0) continue;
    ignore0 = false;
    if (compress == i) {
      out += i == 0 ? "::" : ":";
      ignore0 = true;
      continue;
    }
    char buf[8];
    int len = 0;
    unsigned v = a[i];
    do {
      buf[len++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v != 0);
    while (len > 0) out += buf[--len];
    if (i != 7) out += ':';
  }
  out += ']';
}

// --- host parser ----------------------------------------------------------------

// Appends the serialised host of `input` to `out`; returns the failure text.
const char* parse_host(std::string_view input, bool special, std::string& out) {
  if (!input.empty() && input.front() == '[') {
    if (input.size() < 2 || input.back() != ']') return "invalid IPv6 address (unclosed)";
    std::array<std::uint16_t, 8> address;
    if (const char* err = parse_ipv6(input.substr(1, input.size() - 2), address)) return err;
    serialize_ipv6(out, address);
    return nullptr;
  }
  if (!special) {
    for (char c : input)
      if (is_forbidden_host(static_cast<unsigned char>(c))) return "forbidden host code point";
    append_encoded(out, input, kC0Control);
    return nullptr;
  }
  // A domain: percent-decoded, then UTF-8, then to ASCII.
  const std::size_t begin = out.size();
  bool ascii = true;
  for (std::size_t i = 0; i < input.size(); ++i) {
    char c = input[i];
    if (c == '%' && i + 2 < input.size() && is_hex(input[i + 1]) && is_hex(input[i + 2])) {
      c = static_cast<char>(hex_value(input[i + 1]) * 16 + hex_value(input[i + 2]));
      i += 2;
    }
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    out.push_back(ascii ? lower(c) : c);
  }
  if (!ascii) {
    const std::string decoded = out.substr(begin);
    out.resize(begin);
    if (!is_valid_utf8(decoded)) return "domain to ASCII failed";
    auto mapped = domain_to_ascii(decoded);
    if (!mapped) return "domain to ASCII failed";
    out += *mapped;
  }
  std::string_view domain = std::string_view(out).substr(begin);
  if (domain.empty()) return "empty host";
  for (char c : domain)
    if (is_forbidden_domain(static_cast<unsigned char>(c))) return "forbidden domain code point";
  if (ends_in_a_number(domain)) {
    std::uint32_t v;
    if (const char* err = parse_ipv4(domain, v)) return err;
    out.resize(begin);
    serialize_ipv4(out, v);
  }
  return nullptr;
}

}  // namespace

// --- the parser -------------------------------------------------------------------

class UrlBuilder {
 public:
  explicit UrlBuilder(std::string_view in) : in_(in) {}

  Expected<Url, std::string> run() {
    out_.reserve(in_.size() + 16);
    if (const char* err = parse()) return Unexpected(std::string(err));
    u_.fragment_begin_ = static_cast<std::uint32_t>(fragment_begin_ == npos ? out_.size() : fragment_begin_);
    u_.query_begin_ = static_cast<std::uint32_t>(query_begin_ == npos ? u_.fragment_begin_ : query_begin_);
    u_.path_begin_ = static_cast<std::uint32_t>(path_begin_);
    u_.host_begin_ = static_cast<std::uint32_t>(host_begin_);
    u_.host_end_ = static_cast<std::uint32_t>(host_end_);
    u_.username_begin_ = static_cast<std::uint32_t>(username_begin_);
    u_.username_end_ = static_cast<std::uint32_t>(username_end_);
    u_.scheme_end_ = static_cast<std::uint32_t>(scheme_end_);
    u_.text_ = std::move(out_);
    return std::move(u_);
  }

 private:
  static constexpr std::size_t npos = std::string::npos;

  bool eof() const { return p_ >= in_.size(); }
  char c() const { return p_ < in_.size() ? in_[p_] : '\0'; }
  bool is_slash(char ch) const { return ch == '/' || (special_ && ch == '\\'); }

  const char* parse() {
    // scheme
    if (in_.empty() || !is_alpha(in_[0])) return "relative URL without a base";
    std::size_t i = 1;
    while (i < in_.size() && (is_alpha(in_[i]) || is_digit(in_[i]) || in_[i] == '+' || in_[i] == '-' ||
                              in_[i] == '.'))
      ++i;
    if (i == in_.size() || in_[i] != ':') return "relative URL without a base";
    for (std::size_t k = 0; k < i; ++k) out_.push_back(lower(in_[k]));
    scheme_end_ = out_.size();
    out_.push_back(':');
    p_ = i + 1;
    const std::string_view scheme = std::string_view(out_).substr(0, scheme_end_);
    for (const auto& s : kSpecial)
      if (s.scheme == scheme) {
        special_ = true;
        default_port_ = s.default_port;
        file_ = s.scheme == "file";
      }
    username_begin_ = username_end_ = host_begin_ = host_end_ = out_.size();

    if (file_) return file_state();
    if (special_) {
      while (!eof() && is_slash(c())) ++p_;
      return authority_state();
    }
    if (in_.substr(p_).starts_with("//")) {
      p_ += 2;
      return authority_state();
    }
    if (c() == '/') {
      ++p_;
      path_begin_ = out_.size();
      return path_state();
    }
    return opaque_path_state();
  }

  const char* authority_state() {
    const std::size_t start = p_;
    std::size_t end = start;
    while (end < in_.size() && in_[end] != '/' && in_[end] != '?' && in_[end] != '#' &&
           !(special_ && in_[end] == '\\'))
      ++end;
    const std::string_view authority = in_.substr(start, end - start);
    const auto at = authority.rfind('@');
    std::size_t host_start = start;
    out_ += "//";
    username_begin_ = username_end_ = out_.size();
    if (at != std::string_view::npos) {
      if (at + 1 == authority.size()) return "missing host";
      const std::string_view cred = authority.substr(0, at);
      const auto colon = cred.find(':');
      append_encoded(out_, cred.substr(0, colon), kUserinfo);
      username_end_ = out_.size();
      if (colon != std::string_view::npos) {
        out_.push_back(':');
        append_encoded(out_, cred.substr(colon + 1), kUserinfo);
        if (out_.size() == username_end_ + 1) out_.pop_back();
      }
      if (out_.size() != username_begin_) out_.push_back('@');
      host_start = start + at + 1;
    }
    host_begin_ = out_.size();

    // host state: a ':' outside brackets starts the port
    std::size_t i = host_start;
    bool brackets = false;
    while (i < end && (in_[i] != ':' || brackets)) {
      if (in_[i] == '[') brackets = true;
      if (in_[i] == ']') brackets = false;
      ++i;
    }
    const std::string_view host = in_.substr(host_start, i - host_start);
    if (i < end && host.empty()) return "missing host";
    if (i == end && special_ && host.empty()) return "missing host";
    if (const char* err = parse_host(host, special_, out_)) return err;
    host_end_ = out_.size();
    u_.has_host_ = true;
    if (i < end) {
      // port state
      std::uint32_t port = 0;
      const std::string_view digits = in_.substr(i + 1, end - i - 1);
      for (char d : digits) {
        if (!is_digit(d)) return "invalid port";
        port = std::min<std::uint32_t>(port * 10 + static_cast<std::uint32_t>(d - '0'), 100000);
      }
      if (!digits.empty()) {
        if (port > 65535) return "port out of range";
        if (static_cast<int>(port) != default_port_) {
          u_.port_ = static_cast<std::uint16_t>(port);
          out_.push_back(':');
          out_ += std::to_string(port);
        }
      }
    }
    p_ = end;
    return path_start_state();
  }

  const char* path_start_state() {
    path_begin_ = out_.size();
    if (special_) {
      if (!eof() && is_slash(c())) ++p_;
      return path_state();
    }
    if (eof()) return nullptr;
    if (c() == '?') return query_state();
    if (c() == '#') return fragment_state();
    if (c() == '/') ++p_;
    return path_state();
  }

  const char* file_state() {
    out_ += "//";
    username_begin_ = username_end_ = host_begin_ = host_end_ = out_.size();
    u_.has_host_ = true;
    if (!eof() && is_slash(c())) {
      ++p_;
      if (!eof() && is_slash(c())) {
        ++p_;
        return file_host_state();
      }
    }
    path_begin_ = out_.size();
    return path_state();
  }

  const char* file_host_state() {
    const std::size_t start = p_;
    std::size_t end = start;
    while (end < in_.size() && !is_slash(in_[end]) && in_[end] != '?' && in_[end] != '#') ++end;
    const std::string_view buffer = in_.substr(start, end - start);
    if (is_windows_drive_letter(buffer)) {
      // The drive letter becomes the first path segment.
      path_begin_ = out_.size();
      return path_state();
    }
    if (!buffer.empty()) {
      if (const char* err = parse_host(buffer, true, out_)) return err;
      if (std::string_view(out_).substr(host_begin_) == "localhost") out_.resize(host_begin_);
      host_end_ = out_.size();
    }
    p_ = end;
    return path_start_state();
  }

  // Reads segments from the start of one; the separator before it is consumed.
  const char* path_state() {
    while (true) {
      const std::size_t seg = out_.size();
      out_.push_back('/');
      while (!eof() && !is_slash(c()) && c() != '?' && c() != '#') {
        append_encoded(out_, static_cast<unsigned char>(c()), kPath);
        ++p_;
      }
      const bool slash = !eof() && is_slash(c());
      const std::string_view segment = std::string_view(out_).substr(seg + 1);
      if (is_double_dot(segment)) {
        out_.resize(seg);
        shorten();
        if (!slash) out_.push_back('/');
      } else if (is_single_dot(segment)) {
        out_.resize(seg);
        if (!slash) out_.push_back('/');
      } else if (file_ && seg == path_begin_ && is_windows_drive_letter(segment)) {
        out_[seg + 2] = ':';
      }
      if (!slash) break;
      ++p_;
    }
    if (!u_.has_host_ && out_.size() - path_begin_ > 1 && out_[path_begin_] == '/' &&
        out_[path_begin_ + 1] == '/') {
      // "/." keeps an empty first segment from reading as an authority.
      out_.insert(path_begin_, "/.");
      path_begin_ += 2;
    }
    if (eof()) return nullptr;
    if (c() == '?') return query_state();
    return fragment_state();
  }

  void shorten() {
    const std::string_view path = std::string_view(out_).substr(path_begin_);
    if (file_ && path.size() == 3 && is_alpha(path[1]) && path[2] == ':') return;
    const auto slash = path.rfind('/');
    if (slash != std::string_view::npos) out_.resize(path_begin_ + slash);
  }

  const char* opaque_path_state() {
    u_.opaque_path_ = true;
    path_begin_ = out_.size();
    while (!eof() && c() != '?' && c() != '#') {
      if (c() == ' ') {
        const char next = p_ + 1 < in_.size() ? in_[p_ + 1] : '\0';
        if (next == '?' || next == '#') out_ += "%20";
        else out_.push_back(' ');
      } else {
        append_encoded(out_, static_cast<unsigned char>(c()), kC0Control);
      }
      ++p_;
    }
    if (eof()) return nullptr;
    if (c() == '?') return query_state();
    return fragment_state();
  }

  const char* query_state() {
    query_begin_ = out_.size();
    out_.push_back('?');
    ++p_;
    const std::uint8_t set = special_ ? kSpecialQuery : kQuery;
    while (!eof() && c() != '#') {
      append_encoded(out_, static_cast<unsigned char>(c()), set);
      ++p_;
    }
    if (eof()) return nullptr;
    return fragment_state();
  }

  const char* fragment_state() {
    fragment_begin_ = out_.size();
    out_.push_back('#');
    ++p_;
    for (; !eof(); ++p_) append_encoded(out_, static_cast<unsigned char>(c()), kFragment);
    return nullptr;
  }

  std::string_view in_;
  std::size_t p_ = 0;
  std::string out_;
  Url u_;
  bool special_ = false;
  bool file_ = false;
  int default_port_ = -1;
  std::size_t scheme_end_ = 0, username_begin_ = 0, username_end_ = 0, host_begin_ = 0, host_end_ = 0;
  std::size_t path_begin_ = 0, query_begin_ = npos, fragment_begin_ = npos;
};

Expected<Url, std::string> Url::parse(std::string_view text) {
  while (!text.empty() && is_c0_or_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_c0_or_space(text.back())) text.remove_suffix(1);
  bool strip = false;
  for (char c : text) strip = strip || is_tab_or_newline(c);
  std::string storage;
  if (strip) {
    storage.reserve(text.size());
    for (char c : text)
      if (!is_tab_or_newline(c)) storage.push_back(c);
    text = storage;
  }
  if (needs_utf8_repair(text)) {
    std::string repaired;
    repaired.reserve(text.size() + 8);
    append_valid_utf8(repaired, text);
    storage = std::move(repaired);
    text = storage;
  }
  return UrlBuilder(text).run();
}

std::string_view Url::password() const noexcept {
  if (!has_userinfo() || text_[username_end_] != ':') return {};
  return view(username_end_ + 1, host_begin_ - 1);
}

std::optional<std::string_view> Url::query() const noexcept {
  if (query_begin_ == fragment_begin_) return std::nullopt;
  return view(query_begin_ + 1, fragment_begin_);
}

std::optional<std::string_view> Url::fragment() const noexcept {
  if (fragment_begin_ == text_.size()) return std::nullopt;
  return view(fragment_begin_ + 1, static_cast<std::uint32_t>(text_.size()));
}

std::string mask_userinfo(std::string_view text) {
  // Positions are found on the raw text; tabs and newlines, which the parser
  // drops, are stepped over.
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n && is_c0_or_space(text[i])) ++i;
  auto skip_tn = [&](std::size_t k) {
    while (k < n && is_tab_or_newline(text[k])) ++k;
    return k;
  };
  std::string scheme;
  std::size_t k = i;
  bool has_scheme = false;
  if (k < n && is_alpha(text[k])) {
    while (k < n) {
      const char ch = text[k];
      if (is_tab_or_newline(ch)) { ++k; continue; }
      if (ch == ':') { has_scheme = true; break; }
      if (!is_alpha(ch) && !is_digit(ch) && ch != '+' && ch != '-' && ch != '.') break;
      scheme.push_back(lower(ch));
      ++k;
    }
  }
  bool special = false;
  std::size_t auth = 0;
  bool found = false;
  if (has_scheme) {
    for (const auto& s : kSpecial) special = special || s.scheme == scheme;
    std::size_t j = skip_tn(k + 1);
    if (scheme == "file") {
      // Exactly two slashes lead to a file host; a third starts the path.
      if (j < n && (text[j] == '/' || text[j] == '\\')) {
        j = skip_tn(j + 1);
        if (j < n && (text[j] == '/' || text[j] == '\\')) {
          auth = skip_tn(j + 1);
          found = true;
        }
      }
    } else if (special) {
      while (j < n && (text[j] == '/' || text[j] == '\\' || is_tab_or_newline(text[j]))) ++j;
      auth = j;
      found = true;
    } else if (j < n && text[j] == '/') {
      j = skip_tn(j + 1);
      if (j < n && text[j] == '/') {
        auth = j + 1;
        found = true;
      }
    }
  } else {
    // No scheme: a leading "//" still reads as an authority to people.
    std::size_t j = i;
    while (j < n && (text[j] == '/' || text[j] == '\\')) ++j;
    if (j >= i + 2) {
      auth = j;
      found = true;
    }
  }
  if (!found) return std::string(text);
  std::size_t end = auth;
  while (end < n && text[end] != '/' && text[end] != '?' && text[end] != '#' && !(special && text[end] == '\\'))
    ++end;
  const auto at = text.substr(auth, end - auth).rfind('@');
  if (at == std::string_view::npos) return std::string(text);
  // User name and password both read "****", whichever of them was there.
  std::string out(text.substr(0, auth));
  out += "****:****";
  out += text.substr(auth + at);
  return out;
}

}  // namespace sarvolt::util
