// Datagram layout of the overlay protocol, shared by the node and the super
// peer daemon. Decoding never trusts the input: every function checks lengths
// and values and returns a WireError for anything else.
//
//   off  size  field
//   0    4     magic 1E 3F 50 01
//   4    1     type: 1 HELLO, 2 ACK, 3 UNITE, 4 APP
//   5    1     flags: bit 0 sealed, bit 1 short sender (APP only)
//   6    32    recipient public key
//   38   32|4  sender public key, or with the short-sender flag the sender's
//              ShortId as the recipient assigned it (4 bytes, big-endian)
//   then, sealed:   nonce (24) ‖ XChaCha20-Poly1305(body) ‖ tag (16), the
//                   header bytes above as associated data
//        unsealed:  body
//
// Bodies (integers big-endian):
//   HELLO, ACK  version (1) ‖ pow (4) ‖ network id (4) ‖ short id (4) ‖
//               timestamp µs (8) [‖ padding]; the short id is the one the
//               sender assigned to the recipient (0 towards a super peer);
//               an ACK echoes the HELLO's timestamp
//   UNITE       peer public key (32) ‖ family (1: 4 or 6) ‖ address (16, IPv4
//               in the first 4) ‖ port (2)
//   APP         the application datagram
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <boost/asio/ip/udp.hpp>

#include "platform/p2p/crypto.hpp"
#include "platform/p2p/identity.hpp"
#include "util/expected.hpp"

namespace sarvolt::p2p::wire {

inline constexpr std::array<std::uint8_t, 4> kMagic{0x1E, 0x3F, 0x50, 0x01};
inline constexpr std::uint8_t kProtocolVersion = 2;
inline constexpr std::size_t kMaxDatagramSize = 65507;  // largest UDP payload over IPv4
inline constexpr std::size_t kLongHeaderSize = 70;
inline constexpr std::size_t kShortHeaderSize = 42;
inline constexpr std::size_t kSealOverhead = crypto::SessionKeys::kNonceSize + crypto::SessionKeys::kTagSize;
inline constexpr std::size_t kHelloBodySize = 21;
inline constexpr std::size_t kUniteBodySize = 51;
// Largest application datagram that fits in any form.
inline constexpr std::size_t kMaxAppPayload = kMaxDatagramSize - kLongHeaderSize - kSealOverhead;

enum class Type : std::uint8_t { Hello = 1, Ack = 2, Unite = 3, App = 4 };

class WireError {
 public:
  enum class Kind { TooShort, BadMagic, UnknownType, BadFlags, BadBody };
  WireError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

// A decoded header; spans point into the datagram.
struct Header {
  Type type = Type::Hello;
  bool sealed = false;
  bool short_sender = false;
  PubKey recipient;
  PubKey sender;                  // long form only
  std::uint32_t sender_short_id = 0;  // short form only
  std::span<const std::uint8_t> ad;   // the header bytes
  const std::uint8_t* nonce = nullptr;  // sealed only
  std::span<const std::uint8_t> body;   // ciphertext ‖ tag when sealed
};

// True when `datagram` starts with the magic (cheap pre-check).
bool has_magic(std::span<const std::uint8_t> datagram) noexcept;

util::Expected<Header, WireError> decode_header(std::span<const std::uint8_t> datagram);

// HELLO and ACK body.
struct Hello {
  std::uint8_t version = kProtocolVersion;
  Pow pow;
  std::int32_t network_id = 0;
  std::uint32_t short_id = 0;
  std::uint64_t timestamp_us = 0;
};
util::Expected<Hello, WireError> decode_hello(std::span<const std::uint8_t> body);
void encode_hello(std::span<std::uint8_t, kHelloBodySize> out, const Hello& hello) noexcept;

struct Unite {
  PubKey peer;
  boost::asio::ip::udp::endpoint endpoint;
};
util::Expected<Unite, WireError> decode_unite(std::span<const std::uint8_t> body);
void encode_unite(std::span<std::uint8_t, kUniteBodySize> out, const Unite& unite) noexcept;

// How a datagram names its sender.
struct Sender {
  PubKey pk;
  bool short_form = false;
  std::uint32_t short_id = 0;
};

// Seals with `keys` under the nonce (epoch, counter, salt).
struct Seal {
  const crypto::SessionKeys* keys;
  std::uint64_t epoch;
  std::uint64_t counter;
  std::uint64_t salt;
};

// Size of an encoded datagram.
constexpr std::size_t encoded_size(bool short_sender, bool sealed, std::size_t body) noexcept {
  return (short_sender ? kShortHeaderSize : kLongHeaderSize) + (sealed ? kSealOverhead : 0) + body;
}

// Writes a whole datagram into `out` and returns its length, or 0 when `out`
// is too small. `seal` null writes it unsealed.
std::size_t encode(std::span<std::uint8_t> out, Type type, const PubKey& recipient, const Sender& sender,
                   std::span<const std::uint8_t> body, const Seal* seal) noexcept;

// Opens a sealed body into `out` (header.body.size() - tag bytes); empty
// optional-like result: false when it does not authenticate.
bool open(const Header& header, const crypto::SessionKeys& keys, std::span<std::uint8_t> out) noexcept;

// Text of a type, for logs.
const char* type_name(Type type) noexcept;

// IPv4-mapped IPv6 endpoints as plain IPv4; others unchanged.
boost::asio::ip::udp::endpoint normalize(const boost::asio::ip::udp::endpoint& ep) noexcept;

}  // namespace sarvolt::p2p::wire
