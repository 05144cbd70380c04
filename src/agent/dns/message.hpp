// The DNS messages of the overlay server, read and written by hand.
// The reader is strict: the header, every question, and every answer,
// authority and additional record is walked with bounds checks (names may be
// compressed; pointers must point back before the name piece that holds
// them); OPT records of the additional section are counted and the first one
// is kept. The writer puts a response into a caller's buffer: the header,
// the question copied, the A records of one owner name (compressed against
// the question when a suffix is byte-identical, later records pointing at
// the first owner) and an OPT record, leaving out answers from the end (and
// setting TC) when the size limit is reached. Names are in wire form
// (length-prefixed labels ending in the root label, uncompressed). Only
// error texts and the log-line helpers allocate.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/expected.hpp"
#include "util/ipv4.hpp"
#include "util/text.hpp"

namespace sarvolt::agent::dns {

namespace opcode {
inline constexpr std::uint8_t kQuery = 0;
}

namespace rcode {
inline constexpr std::uint16_t kNoError = 0;
inline constexpr std::uint16_t kFormErr = 1;
inline constexpr std::uint16_t kServFail = 2;
inline constexpr std::uint16_t kNxDomain = 3;
inline constexpr std::uint16_t kNotImp = 4;
inline constexpr std::uint16_t kRefused = 5;
// Extended: header code 0, OPT extended code 1.
inline constexpr std::uint16_t kBadVers = 16;
}  // namespace rcode

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypeOpt = 41;
inline constexpr std::uint16_t kTypeAny = 255;
inline constexpr std::uint16_t kClassIn = 1;
inline constexpr std::uint16_t kClassAny = 255;

// Without EDNS a reply may still take this many bytes.
inline constexpr std::size_t kDefaultMaxSize = 4096;
// The least payload size a response advertises.
inline constexpr std::uint16_t kMinEdnsPayload = 512;
inline constexpr std::size_t kMaxNameSize = 255;

// Short byte strings (names) without a library call: unaligned 8-byte
// words, the last one overlapping the one before.
inline std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_word(char* p, std::uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
    return;
  }
  for (std::size_t i = 0; i + 8 < n; i += 8) store_word(dst + i, load_word(src + i));
  store_word(dst + n - 8, load_word(src + n - 8));
}
// ASCII letters of eight bytes lowered at once: a byte is an upper-case
// letter when its low seven bits are at least 'A' and at most 'Z' and its
// high bit is clear; 0x20 is added to those.
inline std::uint64_t lower_word(std::uint64_t w) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  const std::uint64_t low7 = w & ~kHigh;
  const std::uint64_t at_least_a = low7 + (0x80 - 'A') * kOnes;
  const std::uint64_t above_z = low7 + (0x80 - 'Z' - 1) * kOnes;
  const std::uint64_t upper = at_least_a & ~above_z & ~w & kHigh;
  return w | (upper >> 2);
}
inline char lower_char(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
// Equal bytes after lowering ASCII letters in both.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i)
      if (lower_char(a[i]) != lower_char(b[i])) return false;
    return true;
  }
  for (std::size_t i = 0; i + 8 < n; i += 8)
    if (lower_word(load_word(a.data() + i)) != lower_word(load_word(b.data() + i))) return false;
  return lower_word(load_word(a.data() + n - 8)) == lower_word(load_word(b.data() + n - 8));
}
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  for (std::size_t i = 0; i + 8 < n; i += 8)
    if (load_word(a.data() + i) != load_word(b.data() + i)) return false;
  return load_word(a.data() + n - 8) == load_word(b.data() + n - 8);
}

// A well-formed name in wire form held inline (empty until set).
class WireName {
 public:
  std::string_view view() const noexcept { return {bytes_.data(), size_}; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // False (and unchanged) when `wire` is no well-formed wire name.
  bool assign(std::string_view wire) noexcept;
  // This name with ASCII letters lowered (length bytes are below 'A').
  WireName lowered() const noexcept;

 private:
  friend class NameReader;
  std::array<char, kMaxNameSize> bytes_;
  std::uint8_t size_ = 0;
};

struct Question {
  WireName name;  // case as received
  std::uint16_t type = 0;
  std::uint16_t klass = 0;
};

struct Header {
  std::uint16_t id = 0;
  bool qr = false;
  std::uint8_t opcode = opcode::kQuery;
  bool aa = false, tc = false, rd = false, ra = false, ad = false, cd = false;
  std::uint8_t rcode = 0;
};

struct Edns {
  std::uint16_t payload_size = 0;
  bool dnssec_ok = false;
  std::uint8_t version = 0;
};

// What the reader keeps of a message.
struct Request {
  Header header;
  std::uint16_t question_count = 0;
  Question question;           // the first question, when there is one
  std::size_t opt_count = 0;   // OPT records in the additional section
  std::optional<Edns> edns;    // from the first of them
};

// Why a message could not be read, and where.
struct DecodeError {
  const char* what = "";
  std::size_t at = 0;  // byte offset
  std::string text() const;
};

// Reads a message into `out`: the header and every counted record. Fails on
// a message shorter than its header or its counts, a malformed or looping
// name, or a record that runs past the end; bytes after the last counted
// record are ignored.
util::Expected<void, DecodeError> decode_request(std::span<const std::uint8_t> wire, Request& out) noexcept;

// Every question of a message that decode_request accepted, in order (for
// log lines only).
std::vector<Question> read_questions(std::span<const std::uint8_t> wire);

// What the server writes: QR set, at most one question, the A records of one
// owner and an optional OPT record (version 0).
struct Response {
  std::uint16_t id = 0;
  std::uint8_t opcode = opcode::kQuery;
  bool aa = false, tc = false, rd = false;
  // Up to 12 bits: the low 4 go into the header, the rest into the OPT record.
  std::uint16_t rcode = rcode::kNoError;
  const Question* question = nullptr;
  std::string_view owner;  // wire form; every answer has this owner
  std::uint32_t ttl = 0;
  std::span<const util::Ipv4Addr> addrs;  // one A record each, in order
  std::optional<Edns> edns;               // payload size and DO
};

// Encodes `r` in at most `max_size` bytes into `out`, which is grown when it
// is too small and never shrunk; answers that do not fit are left out from
// the end and TC is set. The result is the written prefix of `out`. Fails on
// a name that is not a wire name and when the message does not fit even
// without answers.
util::Expected<std::span<const std::uint8_t>, const char*> encode_response(const Response& r, std::size_t max_size,
                                                                           std::vector<std::uint8_t>& out);

// The reply when a response cannot be encoded: 12 header bytes with `id`,
// QR set, opcode QUERY, SERVFAIL and zero counts.
std::vector<std::uint8_t> servfail_header(std::uint16_t id);

// The wire form of a name in presentation form ("alpha.sarvolt.zz.";
// \X and \DDD escapes; no final dot means the same name).
util::Expected<std::string, std::string> parse_name(std::string_view text);

// True for length-prefixed labels of 1..63 bytes ending in the root label,
// 255 bytes at most in all.
bool is_wire_name(std::string_view wire) noexcept;
// ASCII letters lowered; length bytes are below 'A' and stay as they are.
inline std::string lower_wire_name(std::string_view wire) { return util::to_lower_ascii(wire); }
// True when `wire` is `zone` or lies under it, ASCII case aside.
bool wire_name_in_zone(std::string_view wire, std::string_view zone) noexcept;

// Presentation form with a final dot ("alpha.sarvolt.zz."): '.', ';', '(',
// ')' and '\' escaped as \X, other bytes that are not printable ASCII as \DDD.
std::string name_text(std::string_view wire);
// Texts for log lines: "QUERY", "NXDOMAIN", "A" (TYPE123 when unnamed), "IN"
// (CLASS123), "RD,CD".
std::string opcode_text(std::uint8_t op);
std::string rcode_text(std::uint16_t rc);
std::string type_text(std::uint16_t type);
std::string class_text(std::uint16_t klass);
std::string flags_text(const Header& h);

}  // namespace sarvolt::agent::dns
