#include "data_plane.hpp"

#include <poll.h>
#include <sodium.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <future>
#include <stdexcept>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "util/packet.hpp"

namespace sarvolt::test {

namespace asio = boost::asio;

p2p::Identity identity_from_seed(std::uint8_t seed_byte) {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init");
  std::array<unsigned char, 32> seed;
  seed.fill(seed_byte);
  std::array<unsigned char, 32> pk;
  std::array<std::uint8_t, 64> sk;
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  return p2p::Identity(p2p::SecKey(sk), p2p::Pow(0));
}

util::Ipv4Addr ip(const char* s) { return *util::Ipv4Addr::parse(s); }
util::Ipv4Net net(const char* s) { return *util::Ipv4Net::parse(s); }

Bytes ipv4_packet(const PacketSpec& s) {
  Bytes p(20 + s.payload, s.fill);
  p[0] = 0x45;
  p[1] = 0;
  p[2] = static_cast<std::uint8_t>(p.size() >> 8);
  p[3] = static_cast<std::uint8_t>(p.size());
  p[4] = 0x12;
  p[5] = 0x34;
  const std::uint16_t frag = static_cast<std::uint16_t>((s.dont_fragment ? 0x4000 : 0) |
                                                        (s.more_fragments ? 0x2000 : 0) | s.fragment_offset);
  p[6] = static_cast<std::uint8_t>(frag >> 8);
  p[7] = static_cast<std::uint8_t>(frag);
  p[8] = 64;
  p[9] = s.protocol;
  p[10] = p[11] = 0;
  auto src = ip(s.src).octets(), dst = ip(s.dst).octets();
  std::copy(src.begin(), src.end(), p.begin() + 12);
  std::copy(dst.begin(), dst.end(), p.begin() + 16);
  const std::uint16_t sum = util::internet_checksum({p.data(), 20});
  p[10] = static_cast<std::uint8_t>(sum >> 8);
  p[11] = static_cast<std::uint8_t>(sum);
  if (s.protocol == 17 && s.payload >= 8) {  // UDP from port 40000
    p[20] = 0x9C;
    p[21] = 0x40;
    p[22] = static_cast<std::uint8_t>(s.dport >> 8);
    p[23] = static_cast<std::uint8_t>(s.dport);
  }
  return p;
}

bool FakeDns::handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                                     std::shared_ptr<agent::AsyncTun>) {
  ++offered;
  const std::size_t h = hdr.header_len();
  if (!take || hdr.protocol() != 17 || packet.size() < h + 8 || packet[h + 2] != 0 || packet[h + 3] != 53)
    return false;
  ++taken;
  return true;
}

DataPlane::DataPlane() : DataPlane(Options{}) {}

DataPlane::DataPlane(Options o)
    : fabric(std::make_shared<p2p::Fabric>(o.queue_capacity)), work_(asio::make_work_guard(io)) {
  node_a = fabric->add_node(a);
  node_b = fabric->add_node(b);
  node_c = fabric->add_node(c);
  if (o.with_dns && o.real_dns)
    real_dns = agent::dns::MobileAgentDns::create(io.get_executor());
  else if (o.with_dns)
    dns = std::make_shared<FakeDns>();

  std::shared_ptr<agent::AsyncTun> tun;
  if (o.with_tun && o.tun_fd_override >= 0) {
    tun = agent::AsyncTun::create(io.get_executor(), o.tun_fd_override).value();
  } else if (o.with_tun) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    tun_fd = fds[1];
    tun = agent::AsyncTun::create(io.get_executor(), fds[0]).value();
  }
  agent::AgentInner::Parts parts;
  parts.executor = io.get_executor();
  parts.node = node_a;
  parts.netif = std::make_shared<agent::MobileAgentNetIf>();
  parts.router = std::make_unique<agent::MobileAgentRouter>();
  parts.firewall = std::make_shared<agent::AgentFirewall>();
  parts.dns = real_dns ? std::shared_ptr<agent::dns::AgentDns>(real_dns) : dns;
  parts.tun = std::move(tun);
  parts.tun_mtu = o.mtu;
  agent = std::make_shared<agent::AgentInner>(std::move(parts));
  for (int i = 0; i < o.threads; ++i) threads_.emplace_back([this] { io.run(); });
}

DataPlane::~DataPlane() {
  agent.reset();
  real_dns.reset();  // ends the DNS driver
  networks.clear();
  work_.reset();
  // Drivers end once their handles are gone; give them a moment, then stop.
  eventually([this] { return io.stopped(); }, std::chrono::milliseconds(200));
  io.stop();
  for (auto& t : threads_) t.join();
  if (tun_fd >= 0) ::close(tun_fd);
}

void DataPlane::join(bool policy, const std::string& url) {
  network::NetworkConfig cfg;
  cfg.network = net("10.0.0.0/24");
  const network::GroupSet g{"g"};
  cfg.node[a.pk()] = {a.pk(), ip("10.0.0.1"), "a", g};
  cfg.node[b.pk()] = {b.pk(), ip("10.0.0.2"), "b", g};
  cfg.node[c.pk()] = {c.pk(), ip("10.0.0.3"), "c", g};
  if (policy) cfg.policy.insert({g, g});
  auto u = *util::Url::parse(url);
  auto [it, fresh] = networks.try_emplace(u, network::Network(u));
  auto& n = it->second;
  n.desired.ip = {net("10.0.0.1/24"), std::nullopt};
  n.desired.access_rules = {cfg.effective_access_rule_list(a.pk()).value(), std::nullopt};
  n.desired.hostnames = {cfg.hostnames(a.pk()), std::nullopt};
  apply();
}

void DataPlane::apply() {
  auto done = asio::co_spawn(io, agent->apply_desired_state(networks), asio::use_future);
  done.get();
}

void DataPlane::leave_all() {
  for (auto& [url, n] : networks) n.desired = network::AgentState{};
  apply();
}

void DataPlane::tun_write(const Bytes& packet) {
  if (::write(tun_fd, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size()))
    throw std::runtime_error("tun_write");
}

std::optional<Bytes> DataPlane::tun_read(std::chrono::milliseconds timeout) {
  pollfd pfd{tun_fd, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  Bytes buf(65536);
  ssize_t n = ::read(tun_fd, buf.data(), buf.size());
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

std::size_t DataPlane::tun_pending() {
  std::size_t n = 0;
  while (true) {
    pollfd pfd{tun_fd, POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0) return n;
    Bytes buf(65536);
    if (::read(tun_fd, buf.data(), buf.size()) < 0) return n;
    ++n;
  }
}

std::vector<Bytes> DataPlane::sent_to(const p2p::PubKey& peer, std::size_t count, std::chrono::milliseconds timeout) {
  std::vector<Bytes> got;
  eventually(
      [&] {
        for (auto& d : fabric->drain(peer, a.pk())) got.push_back(std::move(d));
        return got.size() >= count;
      },
      timeout);
  return got;
}

void DataPlane::from_peer(const p2p::PubKey& peer, const Bytes& datagram) {
  if (!fabric->inject(a.pk(), peer, datagram)) throw std::runtime_error("inject: queue full");
}

}  // namespace sarvolt::test
