// Overlay datagrams, at the node and at the super peer.
//  Mode 0 (node): decode_header agrees with an independent reading of the
//  layout; an unsealed datagram encodes back to its own bytes; HELLO and
//  UNITE bodies decode only when well-formed, and encoding what was decoded
//  decodes to the same value (HELLO: to the same 21 bytes).
//  Mode 1 (super peer): RelayCore::handle over a stream of datagrams from six
//  addresses (raw bytes, and HELLOs and APPs put together from the input,
//  sealed or not), with expiry; a model tracks which node is registered at
//  which address from the ACKs the core sends. The core never relays or
//  answers anything from an unregistered address except an ACK to a HELLO,
//  relays only to registered nodes with a matching long-form sender, never
//  sends a datagram larger than the one it answers, and sends ACKs and UNITEs
//  only under its own key.
#include <boost/asio/ip/address.hpp>

#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "fuzz_support.hpp"
#include "platform/p2p/crypto.hpp"
#include "platform/p2p/relay_server.hpp"
#include "platform/p2p/wire.hpp"

using namespace sarvolt;
using namespace sarvolt::p2p;
using udp = boost::asio::ip::udp;
using Bytes = std::vector<std::uint8_t>;

namespace {

PubKey pk_at(const std::uint8_t* p) {
  std::array<std::uint8_t, PubKey::kSize> b{};
  std::copy(p, p + PubKey::kSize, b.begin());
  return PubKey(b);
}
using fuzz::be;

// --- mode 0 ------------------------------------------------------------------

void check_unite(std::span<const std::uint8_t> b) {
  const auto u = wire::decode_unite(b);
  const bool sized = b.size() == wire::kUniteBodySize && (b[32] == 4 || b[32] == 6) && be(b.data() + 49, 2) != 0;
  boost::asio::ip::address a;
  if (sized && b[32] == 4) {
    a = boost::asio::ip::address_v4(static_cast<std::uint32_t>(be(b.data() + 33, 4)));
  } else if (sized) {
    boost::asio::ip::address_v6::bytes_type raw{};
    std::copy(b.begin() + 33, b.begin() + 49, raw.begin());
    const boost::asio::ip::address_v6 v6(raw);
    a = v6.is_v4_mapped() ? boost::asio::ip::address(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6))
                          : boost::asio::ip::address(v6);
  }
  FUZZ_CHECK(u.has_value() == (sized && !a.is_unspecified() && !a.is_multicast()), "UNITE body " + fuzz::hex(b));
  if (!u) return;
  FUZZ_CHECK(u->peer == pk_at(b.data()) && u->endpoint == udp::endpoint(a, be(b.data() + 49, 2)), fuzz::hex(b));
  std::array<std::uint8_t, wire::kUniteBodySize> out{};
  wire::encode_unite(out, *u);
  const auto back = wire::decode_unite(out);
  FUZZ_CHECK(back && back->peer == u->peer && back->endpoint == u->endpoint, fuzz::hex(out));
}

void check_hello(std::span<const std::uint8_t> b) {
  const auto h = wire::decode_hello(b);
  FUZZ_CHECK(h.has_value() == (b.size() >= wire::kHelloBodySize && b[0] != 0), "HELLO body " + fuzz::hex(b));
  if (!h) return;
  std::array<std::uint8_t, wire::kHelloBodySize> out{};
  wire::encode_hello(out, *h);
  FUZZ_CHECK(std::equal(out.begin(), out.end(), b.begin()), fuzz::hex(b));
}

void node_mode(std::span<const std::uint8_t> d) {
  const auto h = wire::decode_header(d);
  const bool magic = d.size() >= 4 && be(d.data(), 4) == 0x1E3F5001;
  FUZZ_CHECK(wire::has_magic(d) == magic);
  bool ok = d.size() >= 42 && magic && d[4] >= 1 && d[4] <= 4 && (d[5] & ~3) == 0 && (!(d[5] & 2) || d[4] == 4);
  const bool sealed = ok && (d[5] & 1), short_form = ok && (d[5] & 2);
  const std::size_t header = short_form ? 42 : 70, body = header + (sealed ? 24 : 0);
  ok = ok && d.size() >= header + (sealed ? 40 : 0);
  FUZZ_CHECK(h.has_value() == ok, "header " + fuzz::hex(d));
  check_hello(d);
  check_unite(d);
  if (!h) return (void)h.error().message();
  FUZZ_CHECK(static_cast<int>(h->type) == d[4] && h->sealed == sealed && h->short_sender == short_form &&
             h->recipient == pk_at(d.data() + 6) && h->ad.data() == d.data() && h->ad.size() == header &&
             h->body.data() == d.data() + body && h->body.size() == d.size() - body &&
             (short_form ? h->sender_short_id == be(d.data() + 38, 4) : h->sender == pk_at(d.data() + 38)) &&
             (!sealed || h->nonce == d.data() + header), fuzz::hex(d));
  if (!sealed) {
    std::vector<std::uint8_t> out(d.size());
    FUZZ_CHECK(wire::encode(out, h->type, h->recipient, {h->sender, short_form, h->sender_short_id}, h->body,
                            nullptr) == d.size() && std::equal(out.begin(), out.end(), d.begin()),
               "re-encoded " + fuzz::hex(out));
  }
  check_hello(h->body);
  check_unite(h->body);
}

// --- mode 1 ------------------------------------------------------------------

struct Capture : RelaySink {
  void send(const udp::endpoint& to, std::span<const std::uint8_t> d) override { sent.emplace_back(to, Bytes(d.begin(), d.end())); }
  std::vector<std::pair<udp::endpoint, Bytes>> sent;
};

struct Ids {
  Ids() : super(fuzz::identity_from_seed(0x51)) {
    for (std::uint8_t i = 0; i < 3; ++i) {
      nodes.push_back(fuzz::identity_from_seed(static_cast<std::uint8_t>(0x61 + i)));
      const auto& id = nodes.back();
      keys.push_back(
          crypto::compute_kx_session_keys(id.pk(), crypto::AgreementKeys::from_identity(id).value(), super.pk()).value());
    }
  }
  Identity super;
  std::vector<Identity> nodes;
  std::vector<crypto::SessionKeys> keys;
};

const std::vector<udp::endpoint>& endpoints() {
  namespace ip = boost::asio::ip;
  static const std::vector<udp::endpoint> eps = {
      {ip::make_address("127.0.0.1"), 4000},       {ip::make_address("127.0.0.1"), 4001},
      {ip::make_address("127.0.0.2"), 4000},       {ip::make_address("::1"), 4000},
      {ip::make_address("::ffff:127.0.0.1"), 4000},  // the same address as the first
      {ip::make_address("fe80::1"), 9},
  };
  return eps;
}

// Registrations as the ACKs tell them.
struct Registry {
  std::map<udp::endpoint, PubKey> at;
  std::map<PubKey, std::pair<udp::endpoint, Instant>> node;

  const PubKey* who(const udp::endpoint& ep) const {
    const auto it = at.find(ep);
    return it == at.end() ? nullptr : &it->second;
  }
  void registered(const PubKey& pk, const udp::endpoint& ep, Instant now) {
    if (const auto it = at.find(ep); it != at.end() && it->second != pk) node.erase(it->second);
    if (const auto it = node.find(pk); it != node.end()) at.erase(it->second.first);
    at[ep] = pk;
    node[pk] = {ep, now};
  }
  void expire(Instant now, std::chrono::milliseconds after) {
    std::erase_if(node, [&](const auto& kv) {
      if (now - kv.second.second <= after) return false;
      at.erase(kv.second.first);
      return true;
    });
  }
};

std::vector<std::uint8_t> make_hello(const Ids& ids, fuzz::Reader& in) {
  const std::uint8_t k = in.u8();
  const auto& id = ids.nodes[k % 3];
  const bool sealed = k & 4;
  const std::int32_t network = (k & 8) ? 2 : 1;
  std::vector<std::uint8_t> body(wire::kHelloBodySize + in.u8() % 64);
  wire::encode_hello(std::span(body).first<wire::kHelloBodySize>(),
                     {wire::kProtocolVersion, id.pow(), network, 0, in.u32()});
  std::vector<std::uint8_t> d(wire::encoded_size(false, sealed, body.size()));
  const wire::Seal seal{&ids.keys[k % 3], 1u + in.u8() % 2u, in.u16() % 8u, 0};
  d.resize(wire::encode(d, wire::Type::Hello, ids.super.pk(), {id.pk()}, body, sealed ? &seal : nullptr));
  return d;
}

std::vector<std::uint8_t> make_app(const Ids& ids, fuzz::Reader& in) {
  const std::uint8_t k = in.u8();
  const PubKey& from = ids.nodes[k % 3].pk();
  const PubKey& to = (k >> 2) % 4 == 3 ? ids.super.pk() : ids.nodes[(k >> 2) % 4].pk();
  const wire::Sender s{from, (k & 0x40) != 0, in.u8()};
  std::vector<std::uint8_t> body(in.u8() * 2u, 0xA5);
  const auto type = (k & 0x80) ? wire::Type::Unite : wire::Type::App;
  std::vector<std::uint8_t> d(wire::encoded_size(s.short_form, false, body.size()));
  d.resize(wire::encode(d, type, to, s, body, nullptr));
  return d;
}

void relay_mode(fuzz::Reader& in) {
  static const Ids ids;
  const RelayOptions opt{.min_pow_difficulty = 0, .max_nodes = 3};
  RelayCore core(ids.super, opt);
  Registry reg;
  Instant now{};
  for (int op = 0; op < 64 && !in.empty(); ++op) {
    const std::uint8_t kind = in.u8();
    now += std::chrono::milliseconds(100 * (kind >> 3));
    const udp::endpoint raw_from = endpoints()[in.u8() % endpoints().size()];
    const udp::endpoint from = wire::normalize(raw_from);
    std::vector<std::uint8_t> d;
    switch (kind & 7) {
      case 0: case 1: {
        const auto b = in.bytes(in.u16() % 2100);
        d.assign(b.begin(), b.end());
        break;
      }
      case 2: case 3: d = make_hello(ids, in); break;
      case 4: case 5: d = make_app(ids, in); break;
      case 6:
        core.expire(now);
        reg.expire(now, opt.node_expiry);
        FUZZ_CHECK(core.node_count() == reg.node.size(), "node count after expiry");
        continue;
      case 7: {
        // A datagram another node sent, replayed from this address.
        const auto b = in.bytes(in.u8());
        d = make_hello(ids, in);
        d.insert(d.end(), b.begin(), b.end());
        break;
      }
    }
    const auto* before = reg.who(from);
    const auto sender_reg = before ? std::optional(*before) : std::nullopt;
    Capture sink;
    core.handle(d, raw_from, now, sink);
    auto h = wire::decode_header(d);
    const std::string where = "datagram " + fuzz::hex(d) + " from " + from.address().to_string();
    if (d.size() > opt.max_datagram_size) FUZZ_CHECK(sink.sent.empty(), "answered an oversized datagram");
    for (const auto& [to, bytes] : sink.sent) {
      // No answer is larger than the datagram or goes to one that does not decode.
      const auto sh = wire::decode_header(bytes);
      FUZZ_CHECK(bytes.size() <= d.size() && h && sh, where);
      if (sh->type == wire::Type::Ack && sh->sender == ids.super.pk() && bytes != d) {
        // An ACK answers a HELLO to us from its sender, at its address.
        FUZZ_CHECK(h->type == wire::Type::Hello && h->recipient == ids.super.pk() && to == from &&
                       sh->recipient == h->sender && !sh->short_sender && sh->sealed == h->sealed,
                   where);
        reg.registered(h->sender, from, now);
        continue;
      }
      FUZZ_CHECK(sender_reg.has_value(), "relayed or answered for an unregistered address\n" + where);
      const PubKey* there = reg.who(to);
      if (bytes == d) {
        // Relayed as it came, to the recipient's registered address.
        FUZZ_CHECK(there && *there == h->recipient && h->recipient != ids.super.pk() && h->type != wire::Type::Unite &&
                       (h->short_sender || h->sender == *sender_reg),
                   "relayed wrongly to " + to.address().to_string() + "\n" + where);
      } else {
        FUZZ_CHECK(sh->type == wire::Type::Unite && sh->sender == ids.super.pk() && !sh->short_sender && there &&
                       *there == sh->recipient,
                   "an unexpected datagram or a UNITE to an address that is not registered\n" + where);
        const auto u = sh->sealed ? std::nullopt : std::optional(wire::decode_unite(sh->body));
        FUZZ_CHECK(!u || (*u && reg.node.contains((*u)->peer) && reg.node[(*u)->peer].first == (*u)->endpoint),
                   "a UNITE names no registered node\n" + where);
      }
    }
    FUZZ_CHECK(core.node_count() == reg.node.size(), "node count\n" + where);
  }
  const auto& c = core.counters();
  FUZZ_CHECK(c.received >= c.acked && c.relayed + c.acked + c.dropped_invalid + c.dropped_refused +
                                              c.dropped_unregistered == c.received,
             "counters");
}

}  // namespace

SARVOLT_FUZZ_TARGET {
  if (in.u8() & 1)
    relay_mode(in);
  else
    node_mode(in.rest());
}
