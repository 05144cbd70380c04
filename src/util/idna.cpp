#include "util/idna.hpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include <idn2.h>
#include <unicase.h>
#include <unictype.h>
#include <uninorm.h>
#include <unistr.h>

namespace sarvolt::util {
namespace {

using Text = std::vector<std::uint32_t>;

// --- Punycode (RFC 3492) -----------------------------------------------------

constexpr std::uint32_t kBase = 36, kTmin = 1, kTmax = 26, kSkew = 38, kDamp = 700;
constexpr std::uint32_t kInitialBias = 72, kInitialN = 128, kMaxInt = 0xFFFFFFFFu;

std::uint32_t adapt(std::uint32_t delta, std::uint32_t points, bool first) {
  delta = first ? delta / kDamp : delta / 2;
  delta += delta / points;
  std::uint32_t k = 0;
  while (delta > ((kBase - kTmin) * kTmax) / 2) {
    delta /= kBase - kTmin;
    k += kBase;
  }
  return k + (kBase - kTmin + 1) * delta / (delta + kSkew);
}

std::uint32_t threshold(std::uint32_t k, std::uint32_t bias) {
  if (k <= bias) return kTmin;
  if (k >= bias + kTmax) return kTmax;
  return k - bias;
}

char encode_digit(std::uint32_t d) { return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26)); }

std::optional<std::string> punycode_encode(const Text& in) {
  std::string out;
  for (auto c : in)
    if (c < 0x80) out.push_back(static_cast<char>(c));
  const auto basic = static_cast<std::uint32_t>(out.size());
  std::uint32_t h = basic;
  if (basic > 0) out.push_back('-');
  std::uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
  while (h < in.size()) {
    std::uint32_t m = kMaxInt;
    for (auto c : in)
      if (c >= n && c < m) m = c;
    if (m - n > (kMaxInt - delta) / (h + 1)) return std::nullopt;
    delta += (m - n) * (h + 1);
    n = m;
    for (auto c : in) {
      if (c < n && ++delta == 0) return std::nullopt;
      if (c != n) continue;
      std::uint32_t q = delta;
      for (std::uint32_t k = kBase;; k += kBase) {
        const std::uint32_t t = threshold(k, bias);
        if (q < t) break;
        out.push_back(encode_digit(t + (q - t) % (kBase - t)));
        q = (q - t) / (kBase - t);
      }
      out.push_back(encode_digit(q));
      bias = adapt(delta, h + 1, h == basic);
      delta = 0;
      ++h;
    }
    ++delta;
    ++n;
  }
  return out;
}

std::optional<Text> punycode_decode(std::string_view in) {
  Text out;
  const auto dash = in.rfind('-');
  std::size_t pos = 0;
  if (dash != std::string_view::npos) {
    for (std::size_t k = 0; k < dash; ++k) {
      if (static_cast<unsigned char>(in[k]) >= 0x80) return std::nullopt;
      out.push_back(static_cast<unsigned char>(in[k]));
    }
    pos = dash + 1;
  }
  std::uint32_t n = kInitialN, i = 0, bias = kInitialBias;
  while (pos < in.size()) {
    const std::uint32_t old_i = i;
    std::uint32_t w = 1;
    for (std::uint32_t k = kBase;; k += kBase) {
      if (pos >= in.size()) return std::nullopt;
      const char c = in[pos++];
      std::uint32_t digit;
      if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0') + 26;
      else if (c >= 'a' && c <= 'z') digit = static_cast<std::uint32_t>(c - 'a');
      else if (c >= 'A' && c <= 'Z') digit = static_cast<std::uint32_t>(c - 'A');
      else return std::nullopt;
      if (digit > (kMaxInt - i) / w) return std::nullopt;
      i += digit * w;
      const std::uint32_t t = threshold(k, bias);
      if (digit < t) break;
      if (w > kMaxInt / (kBase - t)) return std::nullopt;
      w *= kBase - t;
    }
    const auto len = static_cast<std::uint32_t>(out.size() + 1);
    bias = adapt(i - old_i, len, old_i == 0);
    if (i / len > kMaxInt - n) return std::nullopt;
    n += i / len;
    i %= len;
    if (n < 0x80 || n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF)) return std::nullopt;
    out.insert(out.begin() + i, n);
    ++i;
  }
  return out;
}

// --- mapping and validity, from Unicode character properties ------------------

bool is_deviation(std::uint32_t c) { return c == 0xDF || c == 0x3C2 || c == 0x200C || c == 0x200D; }

// Code points that processing drops.
bool is_ignored(std::uint32_t c) {
  return !is_deviation(c) && uc_is_property_default_ignorable_code_point(c) &&
         (uc_is_general_category(c, UC_CATEGORY_Cf) || uc_is_general_category(c, UC_CATEGORY_Mn)) &&
         !uc_is_property_bidi_control(c);
}

bool is_excluded(std::uint32_t c) {
  switch (c) {
    // Not stable or not meaningful in names, though their category allows them.
    case 0xFFFC: case 0xFFFD: case 0x1806: case 0x17B4: case 0x17B5:
    case 0x115F: case 0x1160: case 0x3164: case 0xFFA0:
      return true;
    default:
      return false;
  }
}

bool is_disallowed(std::uint32_t c) {
  if (c < 0x80 || is_deviation(c)) return false;  // ASCII is left to the caller's forbidden code points
  return is_excluded(c) || uc_is_general_category(c, UC_CATEGORY_C) || uc_is_general_category(c, UC_CATEGORY_Z);
}

// Appends the mapping of `c`; false when `c` is disallowed.
bool map_code_point(std::uint32_t c, Text& out) {
  if (c == 0x3002) {  // ideographic full stop separates labels
    out.push_back('.');
    return true;
  }
  if (is_deviation(c) || c < 0x80) {
    out.push_back(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return true;
  }
  if (is_excluded(c)) return false;
  if (is_ignored(c)) return true;
  if (is_disallowed(c)) return false;
  std::size_t len = 0;
  std::uint32_t* folded = u32_casefold(&c, 1, nullptr, UNINORM_NFKC, nullptr, &len);
  if (folded == nullptr) return false;
  for (std::size_t k = 0; k < len; ++k) out.push_back(folded[k] == 0x3002 ? '.' : folded[k]);
  std::free(folded);
  return true;
}

bool is_valid_code_point(std::uint32_t c) {
  if (c < 0x80) return true;
  Text mapped;
  return map_code_point(c, mapped) && mapped.size() == 1 && mapped[0] == c;
}

Text normalize(const Text& in, uninorm_t form) {
  std::size_t len = 0;
  std::uint32_t* r = u32_normalize(form, in.data(), in.size(), nullptr, &len);
  if (r == nullptr) return {};
  Text out(r, r + len);
  std::free(r);
  return out;
}

bool joiners_ok(const Text& label) {
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (label[i] != 0x200C && label[i] != 0x200D) continue;
    if (i > 0 && uc_combining_class(label[i - 1]) == UC_CCC_VR) continue;
    if (label[i] == 0x200D) return false;
    // L/D, then transparent joiners, ZWNJ, transparent joiners, then R/D.
    std::size_t b = i;
    while (b > 0 && uc_joining_type(label[b - 1]) == UC_JOINING_TYPE_T) --b;
    if (b == 0) return false;
    const int before = uc_joining_type(label[b - 1]);
    if (before != UC_JOINING_TYPE_L && before != UC_JOINING_TYPE_D) return false;
    std::size_t a = i + 1;
    while (a < label.size() && uc_joining_type(label[a]) == UC_JOINING_TYPE_T) ++a;
    if (a == label.size()) return false;
    const int after = uc_joining_type(label[a]);
    if (after != UC_JOINING_TYPE_R && after != UC_JOINING_TYPE_D) return false;
  }
  return true;
}

bool bidi_rule_ok(const Text& label) {
  const int first = uc_bidi_category(label.front());
  const bool rtl = first == UC_BIDI_R || first == UC_BIDI_AL;
  if (!rtl && first != UC_BIDI_L) return false;
  std::size_t end = label.size();
  while (end > 0 && uc_bidi_category(label[end - 1]) == UC_BIDI_NSM) --end;
  if (end == 0) return false;
  const int last = uc_bidi_category(label[end - 1]);
  bool en = false, an = false;
  for (auto c : label) {
    const int b = uc_bidi_category(c);
    en = en || b == UC_BIDI_EN;
    an = an || b == UC_BIDI_AN;
    const bool common = b == UC_BIDI_EN || b == UC_BIDI_ES || b == UC_BIDI_CS || b == UC_BIDI_ET ||
                        b == UC_BIDI_ON || b == UC_BIDI_BN || b == UC_BIDI_NSM;
    if (rtl && !(common || b == UC_BIDI_R || b == UC_BIDI_AL || b == UC_BIDI_AN)) return false;
    if (!rtl && !(common || b == UC_BIDI_L)) return false;
  }
  if (rtl) {
    if (en && an) return false;
    return last == UC_BIDI_R || last == UC_BIDI_AL || last == UC_BIDI_EN || last == UC_BIDI_AN;
  }
  return last == UC_BIDI_L || last == UC_BIDI_EN;
}

bool starts_with_xn(const Text& label) {
  return label.size() >= 4 && label[0] == 'x' && label[1] == 'n' && label[2] == '-' && label[3] == '-';
}

bool label_ok(const Text& label, bool bidi_domain) {
  if (label.empty()) return true;
  if (normalize(label, UNINORM_NFC) != label) return false;
  if (starts_with_xn(label)) return false;
  if (uc_is_general_category(label.front(), UC_CATEGORY_M)) return false;
  for (auto c : label)
    if (c == '.' || !is_valid_code_point(c)) return false;
  if (!joiners_ok(label)) return false;
  return !bidi_domain || bidi_rule_ok(label);
}

bool is_rtl_char(std::uint32_t c) {
  const int b = uc_bidi_category(c);
  return b == UC_BIDI_R || b == UC_BIDI_AL || b == UC_BIDI_AN;
}

// The whole of ToASCII on character properties; used where the library's
// stricter IDNA2008 rules refuse a name that compatibility processing takes
// (symbols, hyphen positions, long labels).
std::optional<std::string> to_ascii_by_properties(std::string_view domain) {
  std::size_t n = 0;
  std::uint32_t* decoded = u8_to_u32(reinterpret_cast<const std::uint8_t*>(domain.data()), domain.size(),
                                     nullptr, &n);
  if (decoded == nullptr) return std::nullopt;
  Text mapped;
  bool ok = true;
  for (std::size_t i = 0; i < n && ok; ++i) ok = map_code_point(decoded[i], mapped);
  std::free(decoded);
  if (!ok) return std::nullopt;
  const Text text = normalize(mapped, UNINORM_NFC);

  std::vector<Text> labels(1);
  for (auto c : text) {
    if (c == '.') labels.emplace_back();
    else labels.back().push_back(c);
  }
  // A-labels count as their Unicode form.
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (!starts_with_xn(labels[i])) continue;
    std::string ascii;
    for (auto c : labels[i]) {
      if (c >= 0x80) return std::nullopt;
      ascii.push_back(static_cast<char>(c));
    }
    auto u = punycode_decode(std::string_view(ascii).substr(4));
    if (!u || u->empty()) return std::nullopt;
    bool all_ascii = true;
    for (auto c : *u) all_ascii = all_ascii && c < 0x80;
    if (all_ascii) return std::nullopt;
    labels[i] = std::move(*u);
  }
  bool bidi_domain = false;
  for (const auto& l : labels)
    for (auto c : l) bidi_domain = bidi_domain || is_rtl_char(c);

  std::string out;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const Text& l = labels[i];
    if (!label_ok(l, bidi_domain)) return std::nullopt;
    if (i > 0) out.push_back('.');
    bool ascii = true;
    for (auto c : l) ascii = ascii && c < 0x80;
    if (ascii) {
      for (auto c : l) out.push_back(static_cast<char>(c));
      continue;
    }
    auto encoded = punycode_encode(l);
    if (!encoded) return std::nullopt;
    out += "xn--";
    out += *encoded;
  }
  return out;
}

}  // namespace

std::optional<std::string> domain_to_ascii(std::string_view domain) {
  // The library reads a C string: a NUL would cut the name short there.
  if (domain.find('\0') != std::string_view::npos) return to_ascii_by_properties(domain);
  const std::string input(domain);
  std::uint8_t* out = nullptr;
  const int rc = idn2_lookup_u8(reinterpret_cast<const std::uint8_t*>(input.c_str()), &out,
                                IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
  if (rc == IDN2_OK) {
    std::string result(reinterpret_cast<const char*>(out));
    idn2_free(out);
    return result;
  }
  switch (rc) {
    // Refusals of IDNA2008 that compatibility processing does not make.
    case IDN2_DISALLOWED:
    case IDN2_2HYPHEN:
    case IDN2_HYPHEN_STARTEND:
    case IDN2_TOO_BIG_LABEL:
    case IDN2_TOO_BIG_DOMAIN:
    case IDN2_CONTEXTO:
    case IDN2_CONTEXTO_NO_RULE:
    case IDN2_INVALID_NONTRANSITIONAL:
    case IDN2_ALABEL_ROUNDTRIP_FAILED:
      return to_ascii_by_properties(domain);
    default:
      return std::nullopt;
  }
}

}  // namespace sarvolt::util
