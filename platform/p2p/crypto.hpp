// Cryptography of the overlay (libsodium):
//   hmac_sha256(key, message)        32-byte HMAC-SHA256
//   AgreementKeys::from_identity     X25519 pair from the Ed25519 identity
//   x25519_public_key(ed25519 pk)    X25519 form of a peer's public key
//   compute_kx_session_keys          crypto_kx transport keys of a pair
//   SessionKeys::seal / open         XChaCha20-Poly1305 with a 24-byte nonce
//   ReplayWindow                     sliding window over (epoch, counter)
// The side with the smaller Ed25519 public key takes the kx client role, so
// both ends derive matching keys without a handshake.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/p2p/identity.hpp"
#include "util/expected.hpp"

namespace sarvolt::p2p::crypto {

using Hmac = std::array<std::uint8_t, 32>;

// HMAC-SHA256 of `message` under `key` (any key length).
Hmac hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message);

using X25519Key = std::array<std::uint8_t, 32>;

class CryptoError {
 public:
  explicit CryptoError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// X25519 form of an Ed25519 public key; fails for keys that are not valid
// curve points (or have small order).
util::Expected<X25519Key, CryptoError> x25519_public_key(const PubKey& pk);

// The node's key-agreement pair. Either half may be absent (a node that does
// not seal has neither).
struct AgreementKeys {
  std::optional<X25519Key> pk;
  std::optional<X25519Key> sk;

  static util::Expected<AgreementKeys, CryptoError> from_identity(const Identity& identity);
};

// Transport keys of one pair: `tx` seals what this side sends, `rx` opens
// what it receives.
class SessionKeys {
 public:
  static constexpr std::size_t kNonceSize = 24;
  static constexpr std::size_t kTagSize = 16;

  SessionKeys(const X25519Key& rx, const X25519Key& tx) : rx_(rx), tx_(tx) {}

  // Writes ciphertext ‖ tag of `plain` to `out` (plain.size() + kTagSize
  // bytes; `out` may alias `plain`); `ad` is authenticated, not encrypted.
  void seal(std::span<std::uint8_t> out, std::span<const std::uint8_t> plain, std::span<const std::uint8_t> ad,
            const std::uint8_t* nonce) const noexcept;
  // Opens ciphertext ‖ tag into `out` (cipher.size() - kTagSize bytes);
  // false when it does not authenticate.
  bool open(std::span<std::uint8_t> out, std::span<const std::uint8_t> cipher, std::span<const std::uint8_t> ad,
            const std::uint8_t* nonce) const noexcept;

 private:
  X25519Key rx_;
  X25519Key tx_;
};

// Session keys between `own` (this side's Ed25519 key and agreement pair) and
// the peer's Ed25519 key. AgreementPkNotPresent / AgreementSkNotPresent when a
// half of the pair is missing; CryptoError when the peer key is unusable.
enum class KxFailure { AgreementPkNotPresent, AgreementSkNotPresent, CryptoError };
struct KxError {
  KxFailure kind;
  std::string message;
};
util::Expected<SessionKeys, KxError> compute_kx_session_keys(const PubKey& own_pk, const AgreementKeys& own,
                                                             const PubKey& peer_pk);

// Accepts each (epoch, counter) once. A greater epoch (the sender restarted)
// resets the window; a smaller one, or a counter older than the window, is
// refused. Not thread-safe.
class ReplayWindow {
 public:
  static constexpr std::uint64_t kSize = 1024;

  // True, and the pair recorded, when it was not seen before.
  bool accept(std::uint64_t epoch, std::uint64_t counter) noexcept;

 private:
  std::uint64_t epoch_ = 0;
  std::uint64_t top_ = 0;  // highest counter + 1; 0 = nothing seen
  std::array<std::uint64_t, kSize / 64> bits_{};
};

// The nonce layout: epoch (8 bytes BE) ‖ counter (8 bytes BE) ‖ salt (8 bytes).
void make_nonce(std::uint8_t* out, std::uint64_t epoch, std::uint64_t counter, std::uint64_t salt) noexcept;
std::uint64_t nonce_epoch(const std::uint8_t* nonce) noexcept;
std::uint64_t nonce_counter(const std::uint8_t* nonce) noexcept;

// Random bytes (libsodium); ensures the library is initialised.
void random_bytes(std::span<std::uint8_t> out);
std::uint64_t random_u64();

}  // namespace sarvolt::p2p::crypto
