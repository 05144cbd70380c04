#include "platform/p2p/identity.hpp"

#include <openssl/sha.h>
#include <sodium.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <thread>

namespace sarvolt::p2p {
namespace {

void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("libsodium could not be initialised");
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes exactly 2 * out.size() hex digits; false on any other input.
bool decode_hex(std::string_view text, std::span<std::uint8_t> out) noexcept {
  if (text.size() != 2 * out.size()) return false;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_value(text[2 * i]);
    const int lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

std::string encode_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(2 * bytes.size(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xf];
  }
  return out;
}

std::uint32_t leading_zero_bits(const std::uint8_t* digest) noexcept {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < crypto_hash_sha256_BYTES; ++i) {
    if (digest[i] != 0) return bits + static_cast<std::uint32_t>(std::countl_zero(digest[i]));
    bits += 8;
  }
  return bits;
}

void put_be32(std::uint8_t* out, std::uint32_t v) noexcept {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

IdentityError cancelled_error() {
  return {IdentityError::Kind::Cancelled, "proof of work generation cancelled"};
}

// Hashes between looks at the stop flag and the cancellation token.
constexpr std::uint64_t kCheckEvery = 1024;
constexpr std::uint64_t kNonceSpace = std::uint64_t{1} << 32;

enum class SearchEnd { Found, Exhausted, Cancelled };

// Searches the whole nonce space for `pk` on `threads` threads, thread t
// taking the nonces t, t + threads, t + 2 * threads, ...
SearchEnd search_nonce(const std::array<std::uint8_t, PubKey::kSize>& pk, std::uint32_t difficulty,
                       unsigned threads, const util::CancellationToken* token, std::int32_t& nonce) {
  std::atomic<bool> stop{false};
  std::atomic<bool> found{false};
  std::atomic<bool> cancelled{false};
  std::atomic<std::uint32_t> winner{0};

  auto worker = [&](unsigned index) {
    PowHasher hasher{PubKey(pk)};
    std::uint64_t since_check = 0;
    for (std::uint64_t n = index; n < kNonceSpace; n += threads) {
      if (++since_check == kCheckEvery) {
        since_check = 0;
        if (stop.load(std::memory_order_relaxed)) return;
        if (token != nullptr && token->is_cancelled()) {
          cancelled.store(true);
          stop.store(true);
          return;
        }
      }
      if (hasher.difficulty(static_cast<std::uint32_t>(n)) >= difficulty) {
        if (!found.exchange(true)) winner.store(static_cast<std::uint32_t>(n));
        stop.store(true);
        return;
      }
    }
  };

  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  try {
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker, t);
  } catch (...) {
    stop.store(true);
    for (auto& th : pool) th.join();
    throw;
  }
  worker(0);
  for (auto& th : pool) th.join();

  if (found.load()) {
    nonce = static_cast<std::int32_t>(winner.load());
    return SearchEnd::Found;
  }
  return cancelled.load() ? SearchEnd::Cancelled : SearchEnd::Exhausted;
}

}  // namespace

// --- PubKey ------------------------------------------------------------------

util::Expected<PubKey, IdentityError> PubKey::from_str(std::string_view text) {
  std::array<std::uint8_t, kSize> bytes{};
  if (!decode_hex(text, bytes)) {
    std::string message = "invalid public key: expected 64 hexadecimal digits";
    if (text.size() != 2 * kSize) message += fmt::format(", got {} characters", text.size());
    return util::Unexpected(IdentityError(IdentityError::Kind::InvalidPublicKey, std::move(message)));
  }
  return PubKey(bytes);
}

std::string PubKey::to_string() const { return encode_hex(bytes_); }

std::string PubKey::debug() const { return "PubKey(" + to_string() + ")"; }

std::size_t hash_value(const PubKey& pk) noexcept {
  // Keys are uniformly random, so their leading bytes already hash well.
  std::uint64_t h;
  std::memcpy(&h, pk.bytes().data(), sizeof h);
  return static_cast<std::size_t>(h);
}

// --- SecKey ------------------------------------------------------------------

util::Expected<SecKey, IdentityError> SecKey::from_str(std::string_view text) {
  std::array<std::uint8_t, kSize> bytes{};
  if (!decode_hex(text, bytes)) {
    sodium_memzero(bytes.data(), bytes.size());
    return util::Unexpected(IdentityError(IdentityError::Kind::InvalidSecretKey,
                                          "invalid secret key: expected 128 hexadecimal digits"));
  }
  ensure_sodium();
  std::uint8_t pk[crypto_sign_PUBLICKEYBYTES];
  std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(pk, sk, bytes.data());
  const bool matches = sodium_memcmp(pk, bytes.data() + crypto_sign_SEEDBYTES, sizeof pk) == 0;
  sodium_memzero(sk, sizeof sk);
  if (!matches) {
    sodium_memzero(bytes.data(), bytes.size());
    return util::Unexpected(IdentityError(IdentityError::Kind::InvalidSecretKey,
                                          "invalid secret key: public half does not match"));
  }
  return SecKey(bytes);
}

std::string SecKey::to_string() const { return encode_hex(bytes_); }

PubKey SecKey::public_key() const {
  std::array<std::uint8_t, PubKey::kSize> pk{};
  std::copy_n(bytes_.begin() + crypto_sign_SEEDBYTES, PubKey::kSize, pk.begin());
  return PubKey(pk);
}

// --- proof of work -----------------------------------------------------------

std::uint32_t pow_difficulty(const PubKey& pk, Pow pow) {
  std::uint8_t input[PubKey::kSize + 4];
  std::memcpy(input, pk.bytes().data(), PubKey::kSize);
  put_be32(input + PubKey::kSize, static_cast<std::uint32_t>(pow.value()));
  std::uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, input, sizeof input);
  return leading_zero_bits(digest);
}

// SHA-256 of 36 bytes fits one block: key, nonce, 0x80, zeros, the length in
// bits (288) big-endian. OpenSSL's compression takes the SHA extensions where
// the CPU has them; its low-level interface is deprecated but the only one
// that hashes a block without a heap context.
PowHasher::PowHasher(const PubKey& pk) noexcept {
  std::memcpy(block_.data(), pk.bytes().data(), PubKey::kSize);
  block_[PubKey::kSize + 4] = 0x80;
  block_[62] = 288 >> 8;
  block_[63] = 288 & 0xff;
}

std::uint32_t PowHasher::difficulty(std::uint32_t nonce) noexcept {
  static constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  put_be32(block_.data() + PubKey::kSize, nonce);
  SHA256_CTX ctx;
  std::memcpy(ctx.h, kInitial, sizeof kInitial);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  SHA256_Transform(&ctx, block_.data());
#pragma GCC diagnostic pop
  std::uint32_t bits = 0;
  for (const auto word : ctx.h) {  // the digest is these words big-endian
    if (word != 0) return bits + static_cast<std::uint32_t>(std::countl_zero(static_cast<std::uint32_t>(word)));
    bits += 32;
  }
  return bits;
}

Identity::Identity(const SecKey& sk, Pow pow) : sk_(sk), pk_(sk.public_key()), pow_(pow) {}

util::Expected<Identity, IdentityError> Identity::generate(std::uint8_t difficulty,
                                                           const util::CancellationToken* token) {
  ensure_sodium();
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  for (;;) {
    if (token != nullptr && token->is_cancelled()) return util::Unexpected(cancelled_error());
    std::array<std::uint8_t, PubKey::kSize> pk{};
    std::array<std::uint8_t, SecKey::kSize> sk{};
    crypto_sign_keypair(pk.data(), sk.data());
    if (difficulty == 0) return Identity(SecKey(sk), Pow(0));

    std::int32_t nonce = 0;
    SearchEnd end;
    try {
      end = search_nonce(pk, difficulty, threads, token, nonce);
    } catch (const std::system_error& e) {
      sodium_memzero(sk.data(), sk.size());
      return util::Unexpected(IdentityError(
          IdentityError::Kind::Generation,
          fmt::format("proof of work generation failed: cannot start threads: {}", e.what())));
    }
    if (end == SearchEnd::Found) {
      Identity found{SecKey(sk), Pow(nonce)};
      sodium_memzero(sk.data(), sk.size());
      return found;
    }
    sodium_memzero(sk.data(), sk.size());
    if (end == SearchEnd::Cancelled) return util::Unexpected(cancelled_error());
    // Every nonce failed for this key: start over with a fresh key pair.
  }
}

// --- super peer URLs ---------------------------------------------------------

namespace {

constexpr std::string_view kUrlPrefix = "invalid super peer URL: ";

util::Unexpected<SuperPeerUrlError> url_error(std::string_view what) {
  return util::Unexpected(SuperPeerUrlError(std::string(kUrlPrefix) + std::string(what)));
}

bool is_dotted_quad(std::string_view host) {
  int parts = 0;
  std::size_t pos = 0;
  while (pos <= host.size()) {
    const std::size_t dot = std::min(host.find('.', pos), host.size());
    const std::string_view part = host.substr(pos, dot - pos);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (ec != std::errc{} || end != part.data() + part.size() || value > 255) return false;
    ++parts;
    pos = dot + 1;
  }
  return parts == 4;
}

bool is_dns_name(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  std::size_t pos = 0;
  while (pos <= host.size()) {
    const std::size_t dot = std::min(host.find('.', pos), host.size());
    const std::string_view label = host.substr(pos, dot - pos);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (const char c : label) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
      if (!ok) return false;
    }
    pos = dot + 1;
  }
  return true;
}

bool is_ipv6(std::string_view host) {
  if (host.empty() || host.size() > INET6_ADDRSTRLEN) return false;
  const std::string copy(host);
  in6_addr addr{};
  return inet_pton(AF_INET6, copy.c_str(), &addr) == 1;
}

bool valid_host(std::string_view host) {
  const bool numeric = host.find_first_not_of("0123456789.") == std::string_view::npos;
  return numeric ? is_dotted_quad(host) : is_dns_name(host);
}

}  // namespace

util::Expected<SuperPeerUrl, SuperPeerUrlError> SuperPeerUrl::parse(std::string_view text) {
  constexpr std::string_view kScheme = "udp://";
  if (!text.starts_with(kScheme)) return url_error("scheme must be udp");
  std::string_view rest = text.substr(kScheme.size());
  if (rest.find('#') != std::string_view::npos) return url_error("unexpected fragment");

  const std::size_t query_at = rest.find('?');
  std::string_view authority = rest.substr(0, query_at);
  const std::string_view query =
      query_at == std::string_view::npos ? std::string_view{} : rest.substr(query_at + 1);
  if (authority.find('/') != std::string_view::npos) return url_error("unexpected path");

  SuperPeerUrl url;
  std::string_view port_text;
  bool has_port = false;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return url_error("invalid host");
    const std::string_view host = authority.substr(1, close - 1);
    if (!is_ipv6(host)) return url_error("invalid host");
    url.host_ = std::string(host);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return url_error("invalid host");
    has_port = !after.empty();
    if (has_port) port_text = after.substr(1);
  } else {
    const std::size_t colon = authority.rfind(':');
    const std::string_view host = authority.substr(0, colon);
    if (host.empty()) return url_error("missing host");
    if (!valid_host(host)) return url_error("invalid host");
    url.host_ = std::string(host);
    has_port = colon != std::string_view::npos;
    if (has_port) port_text = authority.substr(colon + 1);
  }
  if (!has_port || port_text.empty()) return url_error("missing port");
  {
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (ec != std::errc{} || end != port_text.data() + port_text.size() || port == 0 || port > 65535 ||
        port_text.size() > 5) {
      return url_error("invalid port");
    }
    url.port_ = static_cast<std::uint16_t>(port);
  }

  bool has_key = false;
  bool has_network = false;
  std::size_t pos = 0;
  while (!query.empty() && pos <= query.size()) {
    const std::size_t amp = std::min(query.find('&', pos), query.size());
    const std::string_view param = query.substr(pos, amp - pos);
    pos = amp + 1;
    if (param.empty()) return url_error("empty parameter");
    const std::size_t eq = param.find('=');
    const std::string_view name = param.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view{} : param.substr(eq + 1);
    if (name == "publicKey") {
      if (has_key) return url_error("duplicate parameter 'publicKey'");
      has_key = true;
      auto key = PubKey::from_str(value);
      if (!key) return url_error("invalid publicKey");
      url.public_key_ = *key;
    } else if (name == "networkId") {
      if (has_network) return url_error("duplicate parameter 'networkId'");
      has_network = true;
      std::int32_t id = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), id);
      if (value.empty() || ec != std::errc{} || end != value.data() + value.size()) {
        return url_error("invalid networkId");
      }
      url.network_id_ = id;
    } else {
      return url_error(fmt::format("unexpected parameter '{}'", name));
    }
  }
  if (!has_key) return url_error("missing publicKey");
  if (!has_network) return url_error("missing networkId");
  return url;
}

std::string SuperPeerUrl::to_string() const {
  const bool bracket = host_.find(':') != std::string::npos;
  return fmt::format("udp://{}{}{}:{}?publicKey={}&networkId={}", bracket ? "[" : "", host_,
                     bracket ? "]" : "", port_, public_key_.to_string(), network_id_);
}

const Identity& default_super_peer_identity() {
  static const Identity identity = [] {
    ensure_sodium();
    constexpr std::string_view kSeedText = "sarvolt default super peer";
    std::uint8_t seed[crypto_sign_SEEDBYTES];
    static_assert(crypto_hash_sha256_BYTES == crypto_sign_SEEDBYTES);
    crypto_hash_sha256(seed, reinterpret_cast<const unsigned char*>(kSeedText.data()), kSeedText.size());
    std::uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    std::array<std::uint8_t, SecKey::kSize> sk{};
    crypto_sign_seed_keypair(pk, sk.data(), seed);
    return Identity(SecKey(sk), Pow(0));
  }();
  return identity;
}

const std::vector<SuperPeerUrl>& SUPER_PEERS_DEFAULT() {
  static const std::vector<SuperPeerUrl> list = [] {
    const auto text = fmt::format("udp://127.0.0.1:22527?publicKey={}&networkId=1",
                                  default_super_peer_identity().pk().to_string());
    return std::vector<SuperPeerUrl>{SuperPeerUrl::parse(text).value()};
  }();
  return list;
}

}  // namespace sarvolt::p2p
