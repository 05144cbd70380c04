// The firewall against a simple model: AgentFirewall::update_tries over up
// to three networks of fuzzed rules (peers on the in-memory overlay, one key
// possibly refused), twice; the published tries and the two packet lookups
// against a two-level longest match over a model built from the rules; peers
// are one object per key, and kept across rebuilds.
//
// Input: one byte of no meaning (the seeds keep their layout), the refused
// key, then per round the networks and their rules and the probes.
#include <boost/asio/io_context.hpp>

#include <map>
#include <optional>
#include <vector>

#include "agent/firewall/firewall.hpp"
#include "fuzz_support.hpp"
#include "network/config/effective.hpp"
#include "platform/p2p/fabric.hpp"
#include "util/packet.hpp"

using namespace sarvolt;
using util::Ipv4Addr;
using util::Ipv4Net;

namespace {

// Addresses near a few bases, so that prefixes nest and overlap.
Ipv4Addr pick_addr(fuzz::Reader& in) {
  static constexpr std::uint32_t kBases[8] = {0x0A000000, 0x0A000100, 0x0A010000, 0xC0A80100,
                                              0x00000000, 0xFFFFFF00, 0x0A0000FE, 0x7F000001};
  const std::uint8_t b = in.u8();
  const std::uint32_t noise = in.u8();
  return Ipv4Addr(kBases[b & 7] ^ (noise << ((b >> 3) % 4 * 8)));
}
Ipv4Net pick_net(fuzz::Reader& in) {
  const Ipv4Addr a = pick_addr(in);
  return *Ipv4Net::create(a, in.u8() % 33u);
}

// A prefix map the plain way: entries by (network, length), keys as
// inserted; the longest match tries every length from 32 down.
template <class V>
struct ListMap {
  using Entry = std::pair<Ipv4Net, V>;
  std::map<std::pair<std::uint32_t, unsigned>, Entry> entries;

  static std::pair<std::uint32_t, unsigned> key(const Ipv4Net& n) { return {n.network().to_u32(), n.prefix_len()}; }
  const Entry* find(const Ipv4Net& n) const {
    const auto it = entries.find(key(n));
    return it == entries.end() ? nullptr : &it->second;
  }
  void insert(const Ipv4Net& n, V v) { entries.insert_or_assign(key(n), Entry{n, std::move(v)}); }
  const Entry* longest(Ipv4Addr a) const {
    for (unsigned len = 33; len-- > 0;)
      if (const auto* e = find(*Ipv4Net::create(a, len))) return e;
    return nullptr;
  }
};

constexpr int kKeys = 6;

struct Env {
  Env() {
    ctx.executor = io.get_executor();
    ctx.node = fabric->add_node(fuzz::identity_from_seed(1));
    for (int i = 0; i < kKeys; ++i) keys.push_back(fuzz::identity_from_seed(static_cast<std::uint8_t>(2 + i)).pk());
  }
  boost::asio::io_context io;
  std::shared_ptr<p2p::Fabric> fabric = std::make_shared<p2p::Fabric>();
  agent::DataPlaneContext ctx;
  std::vector<p2p::PubKey> keys;
};

using Model = ListMap<ListMap<p2p::PubKey>>;

// The tries the rules of every network give, built the plain way: per
// network an outer entry per destination (TX) or source (RX) collecting its
// allowed rules; across networks a later network's outer entry replaces an
// earlier one; a TX leaf loses the refused key's entries, and a leaf left
// empty is not entered.
std::pair<Model, Model> model_of(const network::NetworkMap& networks, std::optional<p2p::PubKey> refused) {
  Model tx, rx;
  for (const auto& [url, n] : networks) {
    if (!n.current.ip.applied || !n.current.access_rules.applied) continue;
    Model per[2];
    for (const auto& [key, r] : n.current.access_rules.applied->rules) {
      if (r.action != network::Action::Allow) continue;
      const bool out = r.direction == network::Direction::OUT;
      const Ipv4Net &outer = out ? r.dest : r.source, &inner = out ? r.source : r.dest;
      per[out].entries.try_emplace(Model::key(outer), outer, ListMap<p2p::PubKey>{}).first->second.second.insert(inner,
                                                                                                                 r.pk);
    }
    for (auto& [key, e] : per[1].entries) {
      std::erase_if(e.second.entries, [&](const auto& kv) { return kv.second.second == refused; });
      if (!e.second.entries.empty()) tx.insert(e.first, e.second);
    }
    for (auto& [key, e] : per[0].entries) rx.insert(e.first, e.second);
  }
  return {tx, rx};
}

// The peer the two-level longest match names, if any.
std::optional<p2p::PubKey> model_lookup(const Model& m, Ipv4Addr outer, Ipv4Addr inner) {
  const auto* e = m.longest(outer);
  const auto* leaf = e ? e->second.longest(inner) : nullptr;
  return leaf ? std::optional(leaf->second) : std::nullopt;
}

const p2p::PubKey& pk_of(const p2p::PubKey& pk) { return pk; }
const p2p::PubKey& pk_of(const agent::NodePeer* peer) { return peer->pk(); }

// The published entries, keys as inserted.
template <class Trie>
void check_trie(const Trie& trie, const Model& m) {
  FUZZ_CHECK(trie.size() == m.entries.size(), "outer entry count");
  for (const auto& [outer, leaf] : trie) {
    const auto* want = m.find(outer);
    FUZZ_CHECK(want && want->first == outer && leaf.size() == want->second.entries.size(), outer.to_string());
    for (const auto& [inner, v] : leaf) {
      const auto* w = want->second.find(inner);
      FUZZ_CHECK(w && w->first == inner && pk_of(v) == w->second, inner.to_string());
    }
  }
}

void probe(const agent::FirewallTries& t, const Model& tx, const Model& rx, Ipv4Addr src, Ipv4Addr dst,
           const p2p::PubKey& from) {
  std::vector<std::uint8_t> p(28);
  util::build_udp_packet(src, 1, dst, 2, {}, p);
  const std::string what = src.to_string() + " -> " + dst.to_string();
  agent::OutboundBatches batches;
  const bool routed = agent::AgentFirewall::handle_outbound_packet(t.tx, p, *util::Ipv4HeaderView::decode(p), batches);
  const auto want = model_lookup(tx, dst, src);
  FUZZ_CHECK(routed == want.has_value(), "outbound " + what);
  FUZZ_CHECK(batches.batches().size() == (routed ? 1u : 0u), what);
  if (routed) {
    const auto& b = batches.batches()[0];
    FUZZ_CHECK(b.peer->pk() == *want && b.packets.size() == 1 && b.packets[0].data() == p.data(), what);
  }
  std::vector<std::span<const std::uint8_t>> to_tun;
  const bool known = agent::AgentFirewall::handle_inbound_packet(t.rx, p, src, dst, from, to_tun);
  const auto expected = model_lookup(rx, src, dst);
  FUZZ_CHECK(known == expected.has_value(), "inbound " + what);
  FUZZ_CHECK(to_tun.size() == (expected == from ? 1u : 0u), "inbound accepted " + what);
}

}  // namespace

SARVOLT_FUZZ_TARGET {
  static Env env;
  (void)in.u8();
  const std::uint8_t r = in.u8();
  const auto refused = r < kKeys ? std::optional(env.keys[r]) : std::nullopt;
  if (refused) env.fabric->refuse_initiate(*refused, true);
  auto fw = std::make_shared<agent::AgentFirewall>();
  env.ctx.firewall = fw;
  std::shared_ptr<const agent::FirewallTries> previous;
  for (int round = 0; round < 2; ++round) {
    network::NetworkMap networks;
    for (int i = 0, count = 1 + in.u8() % 3; i < count; ++i) {
      const auto url = *util::Url::parse("file:///n" + std::to_string(i) + ".toml");
      auto& n = networks.try_emplace(url, network::Network(url)).first->second;
      const std::uint8_t flags = in.u8();
      if (!(flags & 1)) n.current.ip = network::AppliedStatus<Ipv4Net>::value(*Ipv4Net::parse("10.0.0.1/24"));
      if (flags & 2) continue;
      network::EffectiveAccessRuleList list;
      for (int k = in.u8() % 12; k > 0; --k) {
        const auto d = in.flag() ? network::Direction::OUT : network::Direction::IN;
        const auto action = in.u8() % 4 ? network::Action::Allow : network::Action::Deny;
        const Ipv4Net source = pick_net(in), dest = pick_net(in);
        list.rules.insert_or_assign({d, source, dest},
                                    network::EffectiveAccessRule{d, source, dest, env.keys[in.u8() % kKeys], action});
      }
      n.current.access_rules = network::AppliedStatus<network::EffectiveAccessRuleList>::value(std::move(list));
    }
    fw->update_tries(env.ctx, networks);
    const auto tries = fw->tries();
    const auto [tx, rx] = model_of(networks, refused);
    check_trie(tries->tx, tx);
    check_trie(tries->rx, rx);
    // The peer list holds exactly the peers the transmit trie names, one per key.
    std::map<p2p::PubKey, const agent::NodePeer*> by_key;
    for (const auto& [d, leaf] : tries->tx)
      for (const auto& [s, peer] : leaf)
        FUZZ_CHECK(by_key.emplace(peer->pk(), peer).first->second == peer, "two peer objects for one key");
    FUZZ_CHECK(tries->peers.size() == by_key.size(), "peer list");
    for (const auto& p : tries->peers) FUZZ_CHECK(by_key[p->pk()] == p.get(), "peer list");
    // Probes at the edges of every entry and at fuzzed addresses.
    std::vector<std::pair<Ipv4Addr, Ipv4Addr>> probes;
    for (const Model* m : {&tx, &rx})
      for (const auto& [ko, outer] : m->entries)
        for (const auto& [ki, inner] : outer.second.entries)
          for (const Ipv4Addr o : {outer.first.network(), outer.first.broadcast()})
            for (const Ipv4Addr i : {inner.first.network(), inner.first.broadcast()})
              probes.emplace_back(m == &tx ? i : o, m == &tx ? o : i);
    for (int i = 0; i < 8; ++i) probes.emplace_back(pick_addr(in), pick_addr(in));
    for (const auto& [src, dst] : probes) probe(*tries, tx, rx, src, dst, env.keys[(src.to_u32() ^ dst.to_u32()) % kKeys]);
    // A key named before and after a rebuild keeps its peer object.
    if (previous)
      for (const auto& old : previous->peers)
        FUZZ_CHECK(!by_key.contains(old->pk()) || by_key[old->pk()] == old.get(), "a rebuild replaced a peer it kept");
    previous = tries;
  }
  previous.reset();
  fw.reset();
  if (refused) env.fabric->refuse_initiate(*refused, false);
  // Let the stopped peer drivers finish.
  env.io.restart();
  env.io.poll();
}
