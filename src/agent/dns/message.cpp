#include "agent/dns/message.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "util/packet.hpp"

namespace sarvolt::agent::dns {

using util::load_be16;
using util::store_be16;

namespace {

constexpr std::size_t kHeaderSize = 12;
// type, class, TTL, RDLENGTH and an IPv4 address.
constexpr std::size_t kAFixedSize = 14;
// A record whose owner is a compression pointer.
constexpr std::size_t kPointedASize = 2 + kAFixedSize;
constexpr std::size_t kOptSize = 11;
constexpr std::uint8_t kPointer = 0xC0;

std::uint32_t load_be32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
  store_be16(p, static_cast<std::uint16_t>(v >> 16));
  store_be16(p + 2, static_cast<std::uint16_t>(v));
}


}  // namespace

bool WireName::assign(std::string_view wire) noexcept {
  if (!is_wire_name(wire)) return false;
  copy_bytes(bytes_.data(), wire.data(), wire.size());
  size_ = static_cast<std::uint8_t>(wire.size());
  return true;
}

WireName WireName::lowered() const noexcept {
  WireName out;
  const std::size_t n = size_;
  out.size_ = size_;
  if (n < 8) {
    std::transform(bytes_.begin(), bytes_.begin() + n, out.bytes_.begin(), lower_char);
    return out;
  }
  for (std::size_t i = 0; i + 8 < n; i += 8) store_word(out.bytes_.data() + i, lower_word(load_word(bytes_.data() + i)));
  store_word(out.bytes_.data() + n - 8, lower_word(load_word(bytes_.data() + n - 8)));
  return out;
}

// --- reading ---------------------------------------------------------------------

// Reads one possibly compressed name. A pointer must point into the message
// after the header and before the start of the piece of name that holds it,
// so every jump goes strictly back and no name can loop.
class NameReader {
 public:
  explicit NameReader(std::span<const std::uint8_t> wire) noexcept : w_(wire) {}

  // Reads the name at `pos` and moves `pos` past it; copies it decompressed
  // into `out` when given. Returns an error text or nullptr.
  const char* read(std::size_t& pos, WireName* out) const noexcept {
    // The root name, as in every OPT record.
    if (pos < w_.size() && w_[pos] == 0) {
      if (out) {
        out->bytes_[0] = 0;
        out->size_ = 1;
      }
      ++pos;
      return nullptr;
    }
    std::size_t at = pos, piece = pos, total = 0;
    bool jumped = false;
    while (true) {
      // The labels up to the root or a pointer, copied in one go.
      const std::size_t from = at;
      std::uint8_t len = 0;
      while (true) {
        if (at >= w_.size()) return "name runs past the end of the message";
        len = w_[at];
        if (len & kPointer) break;
        // This label, its length byte and the root label still to come.
        if (len && total + (at - from) + len + 2 > kMaxNameSize) return "name longer than 255 bytes";
        if (at + 1 + len > w_.size()) return "name runs past the end of the message";
        at += std::size_t{len} + 1;
        if (len == 0) break;
      }
      if (out) copy_bytes(out->bytes_.data() + total, reinterpret_cast<const char*>(w_.data()) + from, at - from);
      total += at - from;
      if (len == 0) break;
      if ((len & kPointer) != kPointer) return "label longer than 63 bytes";
      if (at + 1 >= w_.size()) return "name runs past the end of the message";
      const std::size_t target = (std::size_t{len & 0x3Fu} << 8) | w_[at + 1];
      if (target >= piece || target < kHeaderSize) return "compression pointer does not point back";
      if (!jumped) pos = at + 2;
      jumped = true;
      at = piece = target;
    }
    if (!jumped) pos = at;
    if (out) out->size_ = static_cast<std::uint8_t>(total);
    return nullptr;
  }

 private:
  std::span<const std::uint8_t> w_;
};

std::string DecodeError::text() const { return fmt::format("{} (at byte {})", what, at); }

util::Expected<void, DecodeError> decode_request(std::span<const std::uint8_t> wire, Request& out) noexcept {
  using Fail = util::Unexpected<DecodeError>;
  if (wire.size() < kHeaderSize) return Fail({"message shorter than a header", wire.size()});
  const std::uint8_t* w = wire.data();
  Header& h = out.header;
  h.id = load_be16(w);
  h.qr = (w[2] & 0x80) != 0;
  h.opcode = static_cast<std::uint8_t>((w[2] >> 3) & 0x0F);
  h.aa = (w[2] & 0x04) != 0;
  h.tc = (w[2] & 0x02) != 0;
  h.rd = (w[2] & 0x01) != 0;
  h.ra = (w[3] & 0x80) != 0;
  h.ad = (w[3] & 0x20) != 0;
  h.cd = (w[3] & 0x10) != 0;
  h.rcode = static_cast<std::uint8_t>(w[3] & 0x0F);
  out.question_count = load_be16(w + 4);
  out.opt_count = 0;
  out.edns.reset();

  const NameReader names(wire);
  std::size_t pos = kHeaderSize;
  for (std::size_t i = 0; i < out.question_count; ++i) {
    if (const char* e = names.read(pos, i == 0 ? &out.question.name : nullptr)) return Fail({e, pos});
    if (pos + 4 > wire.size()) return Fail({"question runs past the end of the message", pos});
    if (i == 0) {
      out.question.type = load_be16(w + pos);
      out.question.klass = load_be16(w + pos + 2);
    }
    pos += 4;
  }
  const std::size_t answers = load_be16(w + 6), authority = load_be16(w + 8);
  const std::size_t records = answers + authority + load_be16(w + 10);
  for (std::size_t i = 0; i < records; ++i) {
    if (const char* e = names.read(pos, nullptr)) return Fail({e, pos});
    if (pos + 10 > wire.size()) return Fail({"record runs past the end of the message", pos});
    const std::uint16_t type = load_be16(w + pos);
    const std::uint16_t klass = load_be16(w + pos + 2);
    const std::uint32_t ttl = load_be32(w + pos + 4);
    const std::size_t rdlength = load_be16(w + pos + 8);
    pos += 10;
    if (pos + rdlength > wire.size()) return Fail({"record data runs past the end of the message", pos});
    pos += rdlength;
    // OPT: class = payload size, TTL = extended code, version, flags (DO first).
    if (type == kTypeOpt && i >= answers + authority && out.opt_count++ == 0)
      out.edns = Edns{klass, (ttl & 0x8000u) != 0, static_cast<std::uint8_t>(ttl >> 16)};
  }
  // Bytes after the last counted record are left unread, as before.
  return {};
}

std::vector<Question> read_questions(std::span<const std::uint8_t> wire) {
  std::vector<Question> out;
  if (wire.size() < kHeaderSize) return out;
  const NameReader names(wire);
  std::size_t pos = kHeaderSize;
  for (std::size_t n = load_be16(wire.data() + 4); n > 0; --n) {
    Question q;
    if (names.read(pos, &q.name) || pos + 4 > wire.size()) break;
    q.type = load_be16(wire.data() + pos);
    q.klass = load_be16(wire.data() + pos + 2);
    pos += 4;
    out.push_back(q);
  }
  return out;
}

// --- writing ---------------------------------------------------------------------

namespace {

// Where a name starts a label, walking from its first byte.
bool starts_label_at(std::string_view name, std::size_t at) noexcept {
  std::size_t pos = 0;
  while (pos < at) pos += static_cast<std::uint8_t>(name[pos]) + std::size_t{1};
  return pos == at;
}

// How the first owner is written: `prefix` bytes of its labels as they are,
// then a pointer to `target` or, when there is none, the root label. Only a
// byte-identical suffix of the question name is pointed at, so the owner
// keeps its case as written.
struct OwnerPlan {
  std::size_t prefix = 0;
  std::size_t target = 0;  // 0: no pointer
  std::size_t size() const noexcept { return prefix + (target ? 2 : 1); }
};

OwnerPlan plan_owner(std::string_view owner, std::string_view qname) noexcept {
  if (owner.size() == 1) return {};
  for (std::size_t off = 0; owner[off] != 0; off += static_cast<std::uint8_t>(owner[off]) + std::size_t{1}) {
    const std::string_view suffix = owner.substr(off);
    if (suffix.size() > qname.size()) continue;
    const std::size_t at = qname.size() - suffix.size();
    if (same_bytes(qname.substr(at), suffix) && starts_label_at(qname, at)) return {off, kHeaderSize + at};
  }
  return {owner.size() - 1, 0};
}

}  // namespace

util::Expected<std::span<const std::uint8_t>, const char*> encode_response(const Response& r, std::size_t max_size,
                                                                           std::vector<std::uint8_t>& out) {
  const std::string_view qname = r.question ? r.question->name.view() : std::string_view();
  const bool answers = !r.addrs.empty();
  // An owner equal to the question name is well-formed as that is.
  if (answers && !(r.question && same_bytes(r.owner, qname)) && !is_wire_name(r.owner))
    return util::Unexpected("malformed owner name");

  const std::size_t fixed = kHeaderSize + (r.question ? qname.size() + 4 : 0) + (r.edns ? kOptSize : 0);
  if (fixed > max_size) return util::Unexpected("message does not fit in the size limit");
  const OwnerPlan owner = answers ? plan_owner(r.owner, qname) : OwnerPlan{};
  // The root name is written as itself, never as a pointer.
  const bool root_owner = r.owner.size() == 1;
  const std::size_t first = owner.size() + kAFixedSize, later = root_owner ? 1 + kAFixedSize : kPointedASize;
  std::size_t count = r.addrs.size();
  if (count > 0 && fixed + first + (count - 1) * later > max_size)
    count = fixed + first > max_size ? 0 : 1 + (max_size - fixed - first) / later;
  const bool tc = r.tc || count < r.addrs.size();
  const std::size_t size = fixed + (count ? first + (count - 1) * later : 0);
  if (out.size() < size) out.resize(size);

  std::uint8_t* b = out.data();
  store_be16(b, r.id);
  b[2] = static_cast<std::uint8_t>(0x80 | ((r.opcode & 0x0F) << 3) | (r.aa ? 0x04 : 0) | (tc ? 0x02 : 0) |
                                   (r.rd ? 0x01 : 0));
  b[3] = static_cast<std::uint8_t>(r.rcode & 0x0F);
  store_be16(b + 4, r.question ? 1 : 0);
  store_be16(b + 6, static_cast<std::uint16_t>(count));
  store_be16(b + 8, 0);
  store_be16(b + 10, r.edns ? 1 : 0);
  std::uint8_t* p = b + kHeaderSize;
  if (r.question) {
    copy_bytes(reinterpret_cast<char*>(p), qname.data(), qname.size());
    p += qname.size();
    store_be16(p, r.question->type);
    store_be16(p + 2, r.question->klass);
    p += 4;
  }
  // Later answers point at the first owner, wherever it was written.
  std::size_t owner_at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (root_owner) {
      *p++ = 0;
    } else if (i == 0) {
      owner_at = owner.prefix ? static_cast<std::size_t>(p - b) : owner.target;
      copy_bytes(reinterpret_cast<char*>(p), r.owner.data(), owner.prefix);
      p += owner.prefix;
      if (owner.target) {
        store_be16(p, static_cast<std::uint16_t>(0xC000 | owner.target));
        p += 2;
      } else {
        *p++ = 0;
      }
    } else {
      store_be16(p, static_cast<std::uint16_t>(0xC000 | owner_at));
      p += 2;
    }
    store_be16(p, kTypeA);
    store_be16(p + 2, kClassIn);
    store_be32(p + 4, r.ttl);
    store_be16(p + 8, 4);
    const auto octets = r.addrs[i].octets();
    std::memcpy(p + 10, octets.data(), 4);
    p += kAFixedSize;
  }
  if (r.edns) {
    p[0] = 0;  // root owner
    store_be16(p + 1, kTypeOpt);
    store_be16(p + 3, r.edns->payload_size);
    p[5] = static_cast<std::uint8_t>(r.rcode >> 4);
    p[6] = 0;  // version
    store_be16(p + 7, r.edns->dnssec_ok ? 0x8000 : 0);
    store_be16(p + 9, 0);
    p += kOptSize;
  }
  return std::span<const std::uint8_t>(b, size);
}

std::vector<std::uint8_t> servfail_header(std::uint16_t id) {
  return {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x80, rcode::kServFail, 0, 0, 0, 0, 0, 0, 0, 0};
}

// --- names -------------------------------------------------------------------------

bool is_wire_name(std::string_view wire) noexcept {
  if (wire.size() > kMaxNameSize) return false;
  std::size_t pos = 0;
  while (pos < wire.size()) {
    const auto len = static_cast<std::uint8_t>(wire[pos]);
    if (len == 0) return pos + 1 == wire.size();
    if (len > 63) return false;
    pos += std::size_t{len} + 1;
  }
  return false;
}

bool wire_name_in_zone(std::string_view wire, std::string_view zone) noexcept {
  if (wire.size() < zone.size()) return false;
  const std::size_t at = wire.size() - zone.size();
  std::size_t pos = 0;
  while (pos < at) pos += static_cast<std::uint8_t>(wire[pos]) + std::size_t{1};
  return pos == at && same_name(wire.substr(at), zone);
}

util::Expected<std::string, std::string> parse_name(std::string_view text) {
  using Err = util::Unexpected<std::string>;
  if (text.empty()) return Err(std::string("empty name"));
  if (text == ".") return std::string(1, '\0');
  std::string wire(1, '\0');  // the first length byte
  std::size_t label_at = 0;
  bool open = false;  // bytes written since the last unescaped dot
  const auto close_label = [&]() -> const char* {
    const std::size_t len = wire.size() - label_at - 1;
    if (len == 0) return "empty label";
    if (len > 63) return "label longer than 63 bytes";
    wire[label_at] = static_cast<char>(len);
    label_at = wire.size();
    wire.push_back('\0');
    open = false;
    return nullptr;
  };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\0') return Err(std::string("NUL in name"));
    if (c == '.') {
      if (const char* e = close_label()) return Err(std::string(e));
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= text.size()) return Err(std::string("escape at the end of the name"));
      if (digit(text[i + 1])) {
        if (i + 3 >= text.size() || !digit(text[i + 2]) || !digit(text[i + 3]))
          return Err(std::string("bad \\DDD escape"));
        const int v = (text[i + 1] - '0') * 100 + (text[i + 2] - '0') * 10 + (text[i + 3] - '0');
        if (v > 255) return Err(std::string("bad \\DDD escape"));
        c = static_cast<char>(v);
        i += 3;
      } else {
        c = text[++i];
        if (c == '\0') return Err(std::string("NUL in name"));
      }
    }
    wire.push_back(c);
    open = true;
    if (wire.size() > kMaxNameSize) return Err(std::string("name longer than 255 bytes"));
  }
  if (open) {
    if (const char* e = close_label()) return Err(std::string(e));
  }
  if (wire.size() > kMaxNameSize) return Err(std::string("name longer than 255 bytes"));
  return wire;
}

std::string name_text(std::string_view wire) {
  if (wire.size() <= 1) return ".";
  std::string out;
  out.reserve(wire.size() + 1);
  std::size_t pos = 0;
  while (pos < wire.size()) {
    const std::size_t len = static_cast<std::uint8_t>(wire[pos]);
    if (len == 0) break;
    for (std::size_t i = pos + 1; i <= pos + len && i < wire.size(); ++i) {
      const auto c = static_cast<unsigned char>(wire[i]);
      if (c == '.' || c == ';' || c == '(' || c == ')' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c > 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
      } else {
        fmt::format_to(std::back_inserter(out), "\\{:03}", c);
      }
    }
    out += '.';
    pos += len + 1;
  }
  return out;
}

// --- texts ---------------------------------------------------------------------------

std::string opcode_text(std::uint8_t op) {
  switch (op) {
    case 0: return "QUERY";
    case 1: return "IQUERY";
    case 2: return "STATUS";
    case 4: return "NOTIFY";
    case 5: return "UPDATE";
    default: return fmt::format("OPCODE{}", op);
  }
}

std::string rcode_text(std::uint16_t rc) {
  switch (rc) {
    case 0: return "NOERROR";
    case 1: return "FORMERR";
    case 2: return "SERVFAIL";
    case 3: return "NXDOMAIN";
    case 4: return "NOTIMP";
    case 5: return "REFUSED";
    case 6: return "YXDOMAIN";
    case 7: return "YXRRSET";
    case 8: return "NXRRSET";
    case 9: return "NOTAUTH";
    case 10: return "NOTZONE";
    case 16: return "BADVERS";
    default: return fmt::format("RCODE{}", rc);
  }
}

std::string type_text(std::uint16_t type) {
  // Mnemonics of types 1 to 65 by number ("" where unassigned).
  static constexpr std::array<const char*, 66> kLow = {
      "",     "A",      "NS",       "MD",    "MF",   "CNAME",    "SOA",   "MB",     "MG",     "MR",
      "NULL", "WKS",    "PTR",      "HINFO", "MINFO", "MX",      "TXT",   "RP",     "AFSDB",  "X25",
      "ISDN", "RT",     "NSAP",     "NSAP-PTR", "SIG", "KEY",    "PX",    "GPOS",   "AAAA",   "LOC",
      "NXT",  "EID",    "NIMLOC",   "SRV",   "ATMA", "NAPTR",    "KX",    "CERT",   "A6",     "DNAME",
      "SINK", "OPT",    "APL",      "DS",    "SSHFP", "IPSECKEY", "RRSIG", "NSEC",  "DNSKEY", "DHCID",
      "NSEC3", "NSEC3PARAM", "TLSA", "SMIMEA", "",    "HIP",      "",      "",       "TALINK", "CDS",
      "CDNSKEY", "OPENPGPKEY", "CSYNC", "ZONEMD", "SVCB", "HTTPS"};
  if (type < kLow.size() && *kLow[type]) return kLow[type];
  switch (type) {
    case 99: return "SPF";
    case 104: return "NID";
    case 105: return "L32";
    case 106: return "L64";
    case 107: return "LP";
    case 108: return "EUI48";
    case 109: return "EUI64";
    case 249: return "TKEY";
    case 250: return "TSIG";
    case 251: return "IXFR";
    case 252: return "AXFR";
    case 253: return "MAILB";
    case 254: return "MAILA";
    case 255: return "ANY";
    case 256: return "URI";
    case 257: return "CAA";
    case 32769: return "DLV";
    default: return fmt::format("TYPE{}", type);
  }
}

std::string class_text(std::uint16_t klass) {
  switch (klass) {
    case 1: return "IN";
    case 3: return "CH";
    case 4: return "HS";
    case 254: return "NONE";
    case 255: return "ANY";
    default: return fmt::format("CLASS{}", klass);
  }
}

std::string flags_text(const Header& h) {
  std::string out;
  const auto add = [&out](bool on, const char* name) {
    if (!on) return;
    if (!out.empty()) out += ',';
    out += name;
  };
  add(h.qr, "QR");
  add(h.aa, "AA");
  add(h.tc, "TC");
  add(h.rd, "RD");
  add(h.ra, "RA");
  add(h.ad, "AD");
  add(h.cd, "CD");
  return out;
}

}  // namespace sarvolt::agent::dns
