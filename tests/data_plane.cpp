#include "data_plane.hpp"

#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "util/packet.hpp"

namespace sarvolt::test {

namespace asio = boost::asio;

p2p::Identity identity_from_seed(std::uint32_t seed_value) {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init");
  std::array<unsigned char, 32> seed;
  seed.fill(0x5A);
  std::memcpy(seed.data(), &seed_value, sizeof seed_value);
  std::array<unsigned char, 32> pk;
  std::array<std::uint8_t, 64> sk;
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  return p2p::Identity(p2p::SecKey(sk), p2p::Pow(0));
}

Bytes ipv4_packet(PacketSpec s) {
  if (!s.data.empty()) s.payload = 8 + s.data.size();
  Bytes p(20 + s.payload, s.fill);
  p[0] = 0x45;
  p[1] = 0;
  put16(p, 2, static_cast<std::uint16_t>(p.size()));
  put16(p, 4, 0x1234);
  put16(p, 6, static_cast<std::uint16_t>((s.dont_fragment ? 0x4000 : 0) | (s.more_fragments ? 0x2000 : 0) |
                                         s.fragment_offset));
  p[8] = 64;
  p[9] = s.protocol;
  put16(p, 10, 0);
  const auto src = s.src.v.octets(), dst = s.dst.v.octets();
  std::copy(src.begin(), src.end(), p.begin() + 12);
  std::copy(dst.begin(), dst.end(), p.begin() + 16);
  put16(p, 10, util::internet_checksum({p.data(), 20}));
  if ((s.protocol == 17 || s.protocol == 6) && s.payload >= 8) {
    put16(p, 20, s.sport);
    put16(p, 22, s.dport);
  }
  if (s.protocol == 17 && s.payload >= 8) {
    put16(p, 24, static_cast<std::uint16_t>(s.payload));
    put16(p, 26, 0);
    std::copy(s.data.begin(), s.data.end(), p.begin() + 28);
  }
  return p;
}

Runtime::Runtime(int threads, std::function<void()> on_thread) : work_(asio::make_work_guard(io)) {
  for (int i = 0; i < threads; ++i)
    threads_.emplace_back([this, on_thread] {
      if (on_thread) on_thread();
      io.run();
    });
}

void Runtime::stop(std::chrono::milliseconds grace) {
  if (threads_.empty()) return;
  work_.reset();
  eventually([this] { return io.stopped(); }, grace);
  io.stop();
  for (auto& t : threads_) t.join();
  threads_.clear();
}

SocketTun::SocketTun(int buffer_size) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
  device = fds[0];
  test = fds[1];
  for (int fd : fds)
    for (int opt : {SO_SNDBUF, SO_RCVBUF})
      if (buffer_size > 0) ::setsockopt(fd, SOL_SOCKET, opt, &buffer_size, sizeof buffer_size);
}

SocketTun::~SocketTun() {
  if (device >= 0) ::close(device);
  ::close(test);
}

std::shared_ptr<util::AsyncTun> SocketTun::take(asio::io_context& io) {
  return util::AsyncTun::create(io.get_executor(), std::exchange(device, -1)).value();
}

void SocketTun::write(const Bytes& packet) {
  if (::write(test, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size()))
    throw std::runtime_error("SocketTun::write");
}

std::optional<Bytes> SocketTun::read(std::chrono::milliseconds timeout) {
  pollfd pfd{test, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  Bytes buf(65536);
  const ssize_t n = ::read(test, buf.data(), buf.size());
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

namespace {
std::vector<p2p::Identity> identities(std::size_t n) {
  std::vector<p2p::Identity> ids;
  for (std::uint32_t i = 0; i < std::max<std::size_t>(n, 3); ++i) ids.push_back(identity_from_seed(i + 1));
  return ids;
}
}  // namespace

DataPlane::DataPlane() : DataPlane(Options{}) {}

DataPlane::DataPlane(Options o)
    : Runtime(o.threads, o.on_thread),
      options(o),
      fabric(std::make_shared<p2p::Fabric>(o.queue_capacity)),
      ids(identities(o.members)),
      a(ids[0]),
      b(ids[1]),
      c(ids[2]) {
  for (const auto& id : ids) nodes.push_back(fabric->add_node(id));
  if (o.with_dns) dns = agent::dns::MobileAgentDns::create(io.get_executor());
  if (o.with_tun)
    device_ = o.tun_fd >= 0 ? util::AsyncTun::create(io.get_executor(), o.tun_fd).value()
                            : tun.emplace(o.socket_buffer).take(io);
  agent = make_agent();
}

DataPlane::~DataPlane() {
  const auto ctx = agent ? agent->data_plane : nullptr;
  const auto dns_server = dns ? dns->server() : nullptr;
  agent.reset();
  dns.reset();  // shuts the DNS server down
  networks.clear();
  if (ctx) {
    ctx->tasks.stop();
    ctx->tasks.wait_for(2s);
  }
  if (dns_server) dns_server->tasks.wait_for(2s);
  stop();
}

std::shared_ptr<agent::AgentInner> DataPlane::make_agent() {
  agent::AgentInner::Parts parts;
  parts.executor = io.get_executor();
  parts.node = nodes[0];
  parts.dns = dns;
  parts.platform->tun_device = std::exchange(device_, nullptr);
  parts.tun_mtu = options.mtu;
  return std::make_shared<agent::AgentInner>(std::move(parts));
}

network::Network DataPlane::member_network(bool policy) const {
  const unsigned prefix = options.members > 253 ? 16 : 24;
  network::NetworkConfig cfg;
  cfg.network = *util::Ipv4Net::create(ip("10.0.0.0"), prefix);
  const network::GroupSet g{"g"};
  for (std::uint32_t i = 0; i < options.members; ++i) {
    const std::string name = i < 26 ? std::string(1, static_cast<char>('a' + i)) : fmt::format("n{}", i);
    cfg.node[ids[i].pk()] = {ids[i].pk(), util::Ipv4Addr(0x0A000001u + i), name, g};
  }
  if (policy) cfg.policy.insert({g, g});
  network::Network n(*util::Url::parse("file:///net.toml"));
  n.desired.ip = {*util::Ipv4Net::create(ip("10.0.0.1"), prefix), std::nullopt};
  n.desired.access_rules = {cfg.effective_access_rule_list(a.pk()).value(), std::nullopt};
  n.desired.hostnames = {cfg.hostnames(a.pk()), std::nullopt};
  return n;
}

void DataPlane::join(bool policy) {
  auto n = member_network(policy);
  networks.try_emplace(n.config_url, n).first->second.desired = n.desired;
  apply();
}

void DataPlane::apply() { run(agent->apply_desired_state(networks)); }

void DataPlane::leave_all() {
  for (auto& [url, n] : networks) n.desired = network::AgentState{};
  apply();
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
