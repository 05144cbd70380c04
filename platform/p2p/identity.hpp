// Node identity of the overlay: Ed25519 keys, their text forms, the proof of
// work that makes identities costly, and super peer URLs.
//   PubKey   32 bytes; text = 64 lowercase hex digits (text order = byte order);
//            udp_port() = 1024 + (first two bytes big-endian) mod 64511
//   SecKey   64 bytes (seed ‖ public key); text = 128 lowercase hex digits
//   Pow      int32 nonce; an identity meets difficulty d when
//            SHA-256(public key ‖ pow as 4 big-endian bytes) starts with >= d zero bits
//   Identity key pair + pow; generate() searches on every core
// Error texts never echo secret input.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "util/cancellation_token.hpp"
#include "util/expected.hpp"

namespace sarvolt::p2p {

class IdentityError {
 public:
  enum class Kind { InvalidPublicKey, InvalidSecretKey, Cancelled, Generation };
  IdentityError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  // Display text.
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

class PubKey {
 public:
  static constexpr std::size_t kSize = 32;
  PubKey() = default;
  explicit PubKey(const std::array<std::uint8_t, kSize>& bytes) : bytes_(bytes) {}

  // Exactly 64 hex digits (either case).
  static util::Expected<PubKey, IdentityError> from_str(std::string_view text);
  std::string to_string() const;
  // Debug form: "PubKey(<hex>)".
  std::string debug() const;
  const std::array<std::uint8_t, kSize>& bytes() const noexcept { return bytes_; }
  // The UDP port derived from the key (1024..65534).
  std::uint16_t udp_port() const noexcept {
    return static_cast<std::uint16_t>(1024 + (static_cast<unsigned>(bytes_[0]) << 8 | bytes_[1]) % 64511);
  }

  // Four word compares, without a call: keys are compared per packet.
  friend bool operator==(const PubKey& a, const PubKey& b) noexcept {
    static_assert(kSize == 32);
    std::uint64_t x[4], y[4];
    std::memcpy(x, a.bytes_.data(), sizeof x);
    std::memcpy(y, b.bytes_.data(), sizeof y);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) == 0;
  }
  friend auto operator<=>(const PubKey&, const PubKey&) = default;

 private:
  std::array<std::uint8_t, kSize> bytes_{};
};

std::size_t hash_value(const PubKey& pk) noexcept;  // for boost containers

// A table of slots found by key, where a slot keeps its key's hash (`hash`,
// from slot_hash) and reaches the key through pk(): the table holds no key,
// and growing it reads none.
// The low half of hash_value(pk), without a call.
inline std::uint32_t slot_hash(const PubKey& pk) noexcept {
  std::uint64_t h;
  std::memcpy(&h, pk.bytes().data(), sizeof h);
  return static_cast<std::uint32_t>(h);
}
template <class Slot>
struct SlotByKeyHash {
  using is_transparent = void;
  std::size_t operator()(const Slot& s) const noexcept { return s.hash; }
  std::size_t operator()(const PubKey& pk) const noexcept { return slot_hash(pk); }
};
template <class Slot>
struct SlotByKeyEq {
  using is_transparent = void;
  bool operator()(const Slot& a, const Slot& b) const noexcept { return a.pk() == b.pk(); }
  bool operator()(const PubKey& pk, const Slot& s) const noexcept { return s.pk() == pk; }
  bool operator()(const Slot& s, const PubKey& pk) const noexcept { return s.pk() == pk; }
};

class SecKey {
 public:
  static constexpr std::size_t kSize = 64;
  explicit SecKey(const std::array<std::uint8_t, kSize>& bytes) : bytes_(bytes) {}

  // Exactly 128 hex digits whose public half matches the seed half.
  static util::Expected<SecKey, IdentityError> from_str(std::string_view text);
  std::string to_string() const;
  PubKey public_key() const;
  const std::array<std::uint8_t, kSize>& bytes() const noexcept { return bytes_; }

  friend bool operator==(const SecKey&, const SecKey&) = default;

 private:
  std::array<std::uint8_t, kSize> bytes_{};
};

class Pow {
 public:
  constexpr explicit Pow(std::int32_t value = 0) : value_(value) {}
  constexpr std::int32_t value() const noexcept { return value_; }
  friend bool operator==(const Pow&, const Pow&) = default;

 private:
  std::int32_t value_;
};

// Leading zero bits of SHA-256(pk ‖ pow big-endian).
std::uint32_t pow_difficulty(const PubKey& pk, Pow pow);

// The search step of generate(): the one padded block that the key and a
// nonce make, hashed by a single compression from the initial state. Equal
// to pow_difficulty(pk, Pow(nonce)); allocates nothing.
class PowHasher {
 public:
  explicit PowHasher(const PubKey& pk) noexcept;
  std::uint32_t difficulty(std::uint32_t nonce) noexcept;

 private:
  alignas(16) std::array<std::uint8_t, 64> block_{};
};

class Identity {
 public:
  // Derives the public key from the secret key; cannot fail.
  Identity(const SecKey& sk, Pow pow);

  // Blocks until an identity meets `difficulty`; fails with Cancelled when the
  // token is cancelled. Uses every core.
  static util::Expected<Identity, IdentityError> generate(
      std::uint8_t difficulty, const util::CancellationToken* token = nullptr);

  const PubKey& pk() const noexcept { return pk_; }
  const SecKey& sk() const noexcept { return sk_; }
  Pow pow() const noexcept { return pow_; }
  std::uint32_t difficulty() const { return pow_difficulty(pk_, pow_); }

  friend bool operator==(const Identity&, const Identity&) = default;

 private:
  SecKey sk_;
  PubKey pk_;
  Pow pow_;
};

class SuperPeerUrlError {
 public:
  explicit SuperPeerUrlError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// udp://HOST:PORT?publicKey=HEX&networkId=N
class SuperPeerUrl {
 public:
  static util::Expected<SuperPeerUrl, SuperPeerUrlError> parse(std::string_view text);
  std::string to_string() const;

  const std::string& host() const noexcept { return host_; }
  std::uint16_t port() const noexcept { return port_; }
  const PubKey& public_key() const noexcept { return public_key_; }
  std::int32_t network_id() const noexcept { return network_id_; }

  friend bool operator==(const SuperPeerUrl&, const SuperPeerUrl&) = default;

 private:
  std::string host_;
  std::uint16_t port_ = 0;
  PubKey public_key_;
  std::int32_t network_id_ = 0;
};

// The default super peer list, built once on first use (one super peer on
// 127.0.0.1:22527 whose identity is default_super_peer_identity()).
const std::vector<SuperPeerUrl>& SUPER_PEERS_DEFAULT();
const Identity& default_super_peer_identity();

}  // namespace sarvolt::p2p

template <>
struct std::hash<sarvolt::p2p::PubKey> {
  std::size_t operator()(const sarvolt::p2p::PubKey& pk) const noexcept {
    return sarvolt::p2p::hash_value(pk);
  }
};

template <>
struct fmt::formatter<sarvolt::p2p::PubKey> : fmt::formatter<std::string_view> {
  auto format(const sarvolt::p2p::PubKey& pk, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(pk.to_string(), ctx);
  }
};
