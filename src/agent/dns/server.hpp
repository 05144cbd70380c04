// The embedded DNS server's pure core: the catalog it answers from (A
// records of the overlay host names under SARVOLT_DOMAIN), the request
// handling that turns one query into one encoded response, and the IPv4/UDP
// reply packet that carries it back into the tunnel. No I/O here; answering
// allocates nothing once the caller's reply buffer has grown to size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent/dns/message.hpp"
#include "network/network.hpp"
#include "util/async_tun.hpp"
#include "util/ipv4.hpp"

namespace spdlog {
class logger;
}

namespace sarvolt::agent::dns {

// The server's log target, shared by its driver.
spdlog::logger& server_logger();

// One intercepted query.
struct DnsServerRequest {
  std::vector<std::uint8_t> payload;   // the DNS message (UDP payload)
  std::shared_ptr<util::AsyncTun> tun_device;  // where the answer goes
  util::Ipv4Addr src;                  // the client
  util::Ipv4Addr dst;                  // the DNS server address it asked
  std::uint16_t src_port = 0;
  std::uint16_t dst_port = 53;
};

inline constexpr std::uint32_t kRecordTtl = 10;
// The most a UDP datagram over IPv4 can carry.
inline constexpr std::size_t kMaxUdpPayload = 65535 - 28;

// The overlay zone. Names are kept as written and matched without regard to
// ASCII case. A default-constructed catalog has no zone: every query is
// refused.
class Catalog {
 public:
  Catalog() = default;
  // The hosts point into the catalog's own storage.
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;
  // From every network's desired host-name list (disabled networks too).
  static std::shared_ptr<const Catalog> build(const network::NetworkMap& networks);

  bool has_zone() const noexcept { return has_zone_; }
  // Lower-cased fully qualified name ("host.sarvolt.zz.") -> addresses, in
  // insertion order, each once.
  const std::map<std::string, std::vector<util::Ipv4Addr>>& records() const noexcept { return records_; }

  // One owner name's A records.
  struct Host {
    std::string_view owner;  // wire form, as first written
    std::span<const util::Ipv4Addr> addrs;
  };
  // The records of a wire-form name (ASCII case aside), if any.
  std::optional<Host> find(std::string_view wire_name) const noexcept;

 private:
  struct Staging;
  // Adds host.SARVOLT_DOMAIN. -> addr to `staging`; false (nothing added)
  // when that text is no DNS name under the domain.
  bool add(Staging& staging, const std::string& host, util::Ipv4Addr addr);
  // Lays the staged hosts out in names_ and addrs_ and indexes them.
  void freeze(Staging& staging);
  // Of a name with ASCII letters lowered.
  static std::uint64_t hash(std::string_view wire_name) noexcept;

  bool has_zone_ = false;
  std::map<std::string, std::vector<util::Ipv4Addr>> records_;
  // Each host's lower-cased name followed by its owner name (the same
  // length), back to back, and every host's addresses.
  std::string names_;
  std::vector<util::Ipv4Addr> addrs_;
  // Open addressing with linear probing, at most half full; a slot holds
  // what a lookup needs, so a hit touches the slot, the names and the
  // addresses.
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t names_at = 0, addrs_at = 0, addr_count = 0;
    std::uint8_t name_size = 0;  // 0: empty slot
  };
  std::vector<Slot> slots_;
  unsigned shift_ = 64;  // slot index = hash >> shift_
};

// Answers one DNS message from `catalog`: the encoded response, written at
// the start of `scratch` (grown when too small, never shrunk, so a buffer
// kept across calls stops allocating), or nothing when no reply must be sent
// (undecodable payload, a response message). Logs the request lines from the
// decode on (the caller logs the receipt, which names the server address
// too); `client`/`client_port` only feed those lines.
std::optional<std::span<const std::uint8_t>> respond(const Catalog& catalog, std::span<const std::uint8_t> query,
                                                     util::Ipv4Addr client, std::uint16_t client_port,
                                                     std::vector<std::uint8_t>& scratch);
// The same into a vector of its own.
std::optional<std::vector<std::uint8_t>> respond(const Catalog& catalog, std::span<const std::uint8_t> query,
                                                 util::Ipv4Addr client, std::uint16_t client_port);

// Encodes a response into `scratch` in at most its EDNS payload size, or
// 4096 bytes without EDNS, and never more than one datagram carries,
// dropping answers that do not fit (TC); the 12-byte SERVFAIL header when it
// cannot be encoded. Logs the sending lines.
std::span<const std::uint8_t> encode_reply(const Response& response, std::vector<std::uint8_t>& scratch);

// The IPv4/UDP packet from server:53 to the client carrying `dns` (DF set,
// TTL 64, id 0, both checksums; a UDP checksum of 0 is sent as 0xFFFF).
// `dns` holds at most kMaxUdpPayload bytes.
std::vector<std::uint8_t> build_reply_packet(util::Ipv4Addr server, std::uint16_t server_port, util::Ipv4Addr client,
                                             std::uint16_t client_port, std::span<const std::uint8_t> dns);

}  // namespace sarvolt::agent::dns
