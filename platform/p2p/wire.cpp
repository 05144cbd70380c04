#include "platform/p2p/wire.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace sarvolt::p2p::wire {
namespace {

constexpr std::uint8_t kFlagSealed = 1;
constexpr std::uint8_t kFlagShortSender = 2;

void put_be(std::uint8_t* out, std::uint64_t v, int n) noexcept {
  for (int i = n - 1; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

std::uint64_t get_be(const std::uint8_t* in, int n) noexcept {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | in[i];
  return v;
}

PubKey read_pk(const std::uint8_t* in) noexcept {
  std::array<std::uint8_t, PubKey::kSize> b{};
  std::memcpy(b.data(), in, b.size());
  return PubKey(b);
}

util::Unexpected<WireError> error(WireError::Kind kind, std::string message) {
  return util::Unexpected(WireError(kind, std::move(message)));
}

}  // namespace

bool has_magic(std::span<const std::uint8_t> datagram) noexcept {
  return datagram.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end(), datagram.begin());
}

util::Expected<Header, WireError> decode_header(std::span<const std::uint8_t> d) {
  if (d.size() < kShortHeaderSize) return error(WireError::Kind::TooShort, fmt::format("datagram of {} bytes", d.size()));
  if (!has_magic(d)) return error(WireError::Kind::BadMagic, "bad magic");
  Header h;
  const std::uint8_t type = d[4];
  if (type < 1 || type > 4) return error(WireError::Kind::UnknownType, fmt::format("unknown type {}", type));
  h.type = static_cast<Type>(type);
  const std::uint8_t flags = d[5];
  if (flags & ~(kFlagSealed | kFlagShortSender)) return error(WireError::Kind::BadFlags, fmt::format("flags {:#04x}", flags));
  h.sealed = flags & kFlagSealed;
  h.short_sender = flags & kFlagShortSender;
  if (h.short_sender && h.type != Type::App) return error(WireError::Kind::BadFlags, "short sender outside APP");
  const std::size_t header = h.short_sender ? kShortHeaderSize : kLongHeaderSize;
  const std::size_t min = header + (h.sealed ? kSealOverhead : 0);
  if (d.size() < min) return error(WireError::Kind::TooShort, fmt::format("datagram of {} bytes", d.size()));
  h.recipient = read_pk(d.data() + 6);
  if (h.short_sender)
    h.sender_short_id = static_cast<std::uint32_t>(get_be(d.data() + 38, 4));
  else
    h.sender = read_pk(d.data() + 38);
  h.ad = d.first(header);
  std::size_t at = header;
  if (h.sealed) {
    h.nonce = d.data() + at;
    at += crypto::SessionKeys::kNonceSize;
  }
  h.body = d.subspan(at);
  return h;
}

util::Expected<Hello, WireError> decode_hello(std::span<const std::uint8_t> b) {
  if (b.size() < kHelloBodySize) return error(WireError::Kind::BadBody, fmt::format("HELLO body of {} bytes", b.size()));
  Hello h;
  h.version = b[0];
  if (h.version == 0) return error(WireError::Kind::BadBody, "protocol version 0");
  h.pow = Pow(static_cast<std::int32_t>(static_cast<std::uint32_t>(get_be(b.data() + 1, 4))));
  h.network_id = static_cast<std::int32_t>(static_cast<std::uint32_t>(get_be(b.data() + 5, 4)));
  h.short_id = static_cast<std::uint32_t>(get_be(b.data() + 9, 4));
  h.timestamp_us = get_be(b.data() + 13, 8);
  return h;
}

void encode_hello(std::span<std::uint8_t, kHelloBodySize> out, const Hello& h) noexcept {
  out[0] = h.version;
  put_be(out.data() + 1, static_cast<std::uint32_t>(h.pow.value()), 4);
  put_be(out.data() + 5, static_cast<std::uint32_t>(h.network_id), 4);
  put_be(out.data() + 9, h.short_id, 4);
  put_be(out.data() + 13, h.timestamp_us, 8);
}

util::Expected<Unite, WireError> decode_unite(std::span<const std::uint8_t> b) {
  if (b.size() != kUniteBodySize) return error(WireError::Kind::BadBody, fmt::format("UNITE body of {} bytes", b.size()));
  Unite u;
  u.peer = read_pk(b.data());
  const std::uint8_t family = b[32];
  const auto port = static_cast<std::uint16_t>(get_be(b.data() + 49, 2));
  if (port == 0) return error(WireError::Kind::BadBody, "UNITE port 0");
  namespace ip = boost::asio::ip;
  if (family == 4) {
    ip::address_v4::bytes_type a{};
    std::memcpy(a.data(), b.data() + 33, a.size());
    u.endpoint = {ip::address_v4(a), port};
  } else if (family == 6) {
    ip::address_v6::bytes_type a{};
    std::memcpy(a.data(), b.data() + 33, a.size());
    u.endpoint = normalize({ip::address_v6(a), port});
  } else {
    return error(WireError::Kind::BadBody, fmt::format("UNITE address family {}", family));
  }
  if (u.endpoint.address().is_unspecified() || u.endpoint.address().is_multicast())
    return error(WireError::Kind::BadBody, "UNITE address not unicast");
  return u;
}

void encode_unite(std::span<std::uint8_t, kUniteBodySize> out, const Unite& u) noexcept {
  std::fill(out.begin(), out.end(), 0);
  std::memcpy(out.data(), u.peer.bytes().data(), PubKey::kSize);
  const auto ep = normalize(u.endpoint);
  if (ep.address().is_v4()) {
    out[32] = 4;
    const auto a = ep.address().to_v4().to_bytes();
    std::memcpy(out.data() + 33, a.data(), a.size());
  } else {
    out[32] = 6;
    const auto a = ep.address().to_v6().to_bytes();
    std::memcpy(out.data() + 33, a.data(), a.size());
  }
  put_be(out.data() + 49, ep.port(), 2);
}

std::size_t encode(std::span<std::uint8_t> out, Type type, const PubKey& recipient, const Sender& sender,
                   std::span<const std::uint8_t> body, const Seal* seal) noexcept {
  const std::size_t header = sender.short_form ? kShortHeaderSize : kLongHeaderSize;
  const std::size_t total = encoded_size(sender.short_form, seal != nullptr, body.size());
  if (out.size() < total || total > kMaxDatagramSize) return 0;
  std::uint8_t* p = out.data();
  std::memcpy(p, kMagic.data(), kMagic.size());
  p[4] = static_cast<std::uint8_t>(type);
  p[5] = static_cast<std::uint8_t>((seal ? kFlagSealed : 0) | (sender.short_form ? kFlagShortSender : 0));
  std::memcpy(p + 6, recipient.bytes().data(), PubKey::kSize);
  if (sender.short_form)
    put_be(p + 38, sender.short_id, 4);
  else
    std::memcpy(p + 38, sender.pk.bytes().data(), PubKey::kSize);
  if (!seal) {
    if (!body.empty()) std::memmove(p + header, body.data(), body.size());
    return total;
  }
  std::uint8_t* nonce = p + header;
  crypto::make_nonce(nonce, seal->epoch, seal->counter, seal->salt);
  std::uint8_t* cipher = nonce + crypto::SessionKeys::kNonceSize;
  seal->keys->seal({cipher, body.size() + crypto::SessionKeys::kTagSize}, body, {p, header}, nonce);
  return total;
}

bool open(const Header& h, const crypto::SessionKeys& keys, std::span<std::uint8_t> out) noexcept {
  if (!h.sealed || h.body.size() < crypto::SessionKeys::kTagSize) return false;
  if (out.size() < h.body.size() - crypto::SessionKeys::kTagSize) return false;
  return keys.open(out, h.body, h.ad, h.nonce);
}

const char* type_name(Type type) noexcept {
  switch (type) {
    case Type::Hello: return "HELLO";
    case Type::Ack: return "ACK";
    case Type::Unite: return "UNITE";
    case Type::App: return "APP";
  }
  return "?";
}

boost::asio::ip::udp::endpoint normalize(const boost::asio::ip::udp::endpoint& ep) noexcept {
  const auto a = ep.address();
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return {boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()), ep.port()};
  return ep;
}

}  // namespace sarvolt::p2p::wire
