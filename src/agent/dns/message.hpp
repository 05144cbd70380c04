// The DNS messages of the overlay server in our own terms: what it reads from
// a query and what it writes into a response, decoded and encoded through
// ldns (which stays inside this directory's .cpp files). Names are carried in
// wire form (length-prefixed labels ending in the root label, uncompressed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/text.hpp"
#include "util/expected.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::agent::dns {

namespace opcode {
inline constexpr std::uint8_t kQuery = 0;
}

namespace rcode {
inline constexpr std::uint8_t kNoError = 0;
inline constexpr std::uint8_t kFormErr = 1;
inline constexpr std::uint8_t kServFail = 2;
inline constexpr std::uint8_t kNxDomain = 3;
inline constexpr std::uint8_t kNotImp = 4;
inline constexpr std::uint8_t kRefused = 5;
}  // namespace rcode

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kClassIn = 1;

// Without EDNS a reply may still take this many bytes.
inline constexpr std::size_t kDefaultMaxSize = 4096;
// The least payload size a response advertises.
inline constexpr std::uint16_t kMinEdnsPayload = 512;

struct Question {
  std::string name;  // wire form, case as received
  std::uint16_t type = 0;
  std::uint16_t klass = 0;
};

struct ARecord {
  std::string owner;  // wire form
  std::uint32_t ttl = 0;
  util::Ipv4Addr addr;
};

struct Edns {
  std::uint16_t payload_size = 0;
  bool dnssec_ok = false;
};

struct Message {
  std::uint16_t id = 0;
  bool qr = false;
  std::uint8_t opcode = opcode::kQuery;
  bool aa = false, tc = false, rd = false, ra = false, ad = false, cd = false;
  std::uint8_t rcode = rcode::kNoError;
  std::vector<Question> questions;
  std::vector<ARecord> answers;  // the only records we write
  std::optional<Edns> edns;
};

// Decodes a whole message. The header, the questions and the OPT record are
// kept; answer, authority and additional records are checked, not kept.
// The error is ldns's text.
util::Expected<Message, std::string> decode_message(std::span<const std::uint8_t> wire);

// Encodes `msg` in at most `max_size` bytes: answers that do not fit are left
// out from the end and TC is set. Fails on a name that is not a well-formed
// wire name, or when ldns cannot write the message.
util::Expected<std::vector<std::uint8_t>, std::string> encode_message(const Message& msg, std::size_t max_size);

// The reply when a response cannot be encoded: 12 header bytes with `id`,
// QR set, opcode QUERY, SERVFAIL and zero counts.
std::vector<std::uint8_t> servfail_header(std::uint16_t id);

// The wire form of a name in presentation form ("alpha.sarvolt.zz.", escapes
// allowed); the error is ldns's text.
util::Expected<std::string, std::string> parse_name(std::string_view text);

// True for length-prefixed labels of 1..63 bytes ending in the root label,
// 255 bytes at most in all.
bool is_wire_name(std::string_view wire) noexcept;
// ASCII letters lowered; length bytes are below 'A' and stay as they are.
inline std::string lower_wire_name(std::string_view wire) { return util::to_lower_ascii(wire); }
// True when `wire` is `zone` or lies under it (both lower-cased).
bool wire_name_in_zone(std::string_view wire, std::string_view zone) noexcept;

// Presentation form with a final dot ("alpha.sarvolt.zz."); ldns's escapes.
std::string name_text(std::string_view wire);
// Texts for log lines: "QUERY", "NXDOMAIN", "A", "IN", "RD,CD".
std::string opcode_text(std::uint8_t op);
std::string rcode_text(std::uint8_t rc);
std::string type_text(std::uint16_t type);
std::string class_text(std::uint16_t klass);
std::string flags_text(const Message& msg);

}  // namespace sarvolt::agent::dns
