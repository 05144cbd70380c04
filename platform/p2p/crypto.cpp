#include "platform/p2p/crypto.hpp"

#include <sodium.h>

#include <stdexcept>

namespace sarvolt::p2p::crypto {
namespace {

void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("libsodium could not be initialised");
}

void put_be64(std::uint8_t* out, std::uint64_t v) noexcept {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

std::uint64_t get_be64(const std::uint8_t* in) noexcept {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | in[i];
  return v;
}

}  // namespace

static_assert(SessionKeys::kNonceSize == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(SessionKeys::kTagSize == crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(sizeof(X25519Key) == crypto_kx_SESSIONKEYBYTES);

Hmac hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
  ensure_sodium();
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, key.data(), key.size());
  crypto_auth_hmacsha256_update(&state, message.data(), message.size());
  Hmac out{};
  crypto_auth_hmacsha256_final(&state, out.data());
  sodium_memzero(&state, sizeof state);
  return out;
}

util::Expected<X25519Key, CryptoError> x25519_public_key(const PubKey& pk) {
  ensure_sodium();
  X25519Key out{};
  if (crypto_sign_ed25519_pk_to_curve25519(out.data(), pk.bytes().data()) != 0)
    return util::Unexpected(CryptoError("cannot convert public key " + pk.to_string() + " to X25519"));
  return out;
}

util::Expected<AgreementKeys, CryptoError> AgreementKeys::from_identity(const Identity& identity) {
  ensure_sodium();
  auto pk = x25519_public_key(identity.pk());
  if (!pk) return util::Unexpected(std::move(pk.error()));
  X25519Key sk{};
  if (crypto_sign_ed25519_sk_to_curve25519(sk.data(), identity.sk().bytes().data()) != 0)
    return util::Unexpected(CryptoError("cannot convert the secret key to X25519"));
  return AgreementKeys{*pk, sk};
}

util::Expected<SessionKeys, KxError> compute_kx_session_keys(const PubKey& own_pk, const AgreementKeys& own,
                                                             const PubKey& peer_pk) {
  if (!own.pk) return util::Unexpected(KxError{KxFailure::AgreementPkNotPresent, "agreement public key not present"});
  if (!own.sk) return util::Unexpected(KxError{KxFailure::AgreementSkNotPresent, "agreement secret key not present"});
  auto peer = x25519_public_key(peer_pk);
  if (!peer) return util::Unexpected(KxError{KxFailure::CryptoError, peer.error().message()});
  X25519Key rx{}, tx{};
  const bool client = own_pk < peer_pk;
  const int rc = client ? crypto_kx_client_session_keys(rx.data(), tx.data(), own.pk->data(), own.sk->data(),
                                                        peer->data())
                        : crypto_kx_server_session_keys(rx.data(), tx.data(), own.pk->data(), own.sk->data(),
                                                        peer->data());
  if (rc != 0)
    return util::Unexpected(KxError{KxFailure::CryptoError, "key exchange with " + peer_pk.to_string() + " failed"});
  SessionKeys keys(rx, tx);
  sodium_memzero(rx.data(), rx.size());
  sodium_memzero(tx.data(), tx.size());
  return keys;
}

void SessionKeys::seal(std::span<std::uint8_t> out, std::span<const std::uint8_t> plain,
                       std::span<const std::uint8_t> ad, const std::uint8_t* nonce) const noexcept {
  unsigned long long len = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(out.data(), &len, plain.data(), plain.size(), ad.data(), ad.size(),
                                             nullptr, nonce, tx_.data());
}

bool SessionKeys::open(std::span<std::uint8_t> out, std::span<const std::uint8_t> cipher,
                       std::span<const std::uint8_t> ad, const std::uint8_t* nonce) const noexcept {
  if (cipher.size() < kTagSize) return false;
  unsigned long long len = 0;
  return crypto_aead_xchacha20poly1305_ietf_decrypt(out.data(), &len, nullptr, cipher.data(), cipher.size(),
                                                    ad.data(), ad.size(), nonce, rx_.data()) == 0;
}

bool ReplayWindow::accept(std::uint64_t epoch, std::uint64_t counter) noexcept {
  if (epoch < epoch_ || counter == UINT64_MAX) return false;
  if (epoch > epoch_) {
    epoch_ = epoch;
    top_ = 0;
    bits_.fill(0);
  }
  const auto bit = [](std::uint64_t c) { return std::pair{(c % kSize) / 64, std::uint64_t{1} << (c % 64)}; };
  if (counter >= top_) {
    if (counter - top_ >= kSize) {
      bits_.fill(0);
    } else {
      for (std::uint64_t c = top_; c < counter; ++c) {
        const auto [w, m] = bit(c);
        bits_[w] &= ~m;
      }
    }
    const auto [w, m] = bit(counter);
    bits_[w] |= m;
    top_ = counter + 1;
    return true;
  }
  if (top_ - counter > kSize) return false;
  const auto [w, m] = bit(counter);
  if (bits_[w] & m) return false;
  bits_[w] |= m;
  return true;
}

void make_nonce(std::uint8_t* out, std::uint64_t epoch, std::uint64_t counter, std::uint64_t salt) noexcept {
  put_be64(out, epoch);
  put_be64(out + 8, counter);
  put_be64(out + 16, salt);
}

std::uint64_t nonce_epoch(const std::uint8_t* nonce) noexcept { return get_be64(nonce); }
std::uint64_t nonce_counter(const std::uint8_t* nonce) noexcept { return get_be64(nonce + 8); }

void random_bytes(std::span<std::uint8_t> out) {
  ensure_sodium();
  randombytes_buf(out.data(), out.size());
}

std::uint64_t random_u64() {
  std::uint64_t v = 0;
  random_bytes({reinterpret_cast<std::uint8_t*>(&v), sizeof v});
  return v;
}

}  // namespace sarvolt::p2p::crypto
