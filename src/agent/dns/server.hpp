// The embedded DNS server's pure core: the catalog it answers from (A
// records of the overlay host names under SARVOLT_DOMAIN), the request
// handling that turns one query into one encoded response, and the IPv4/UDP
// reply packet that carries it back into the tunnel. No I/O here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/config.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::agent {
class AsyncTun;
}

namespace sarvolt::agent::dns {

// One intercepted query.
struct DnsServerRequest {
  std::vector<std::uint8_t> payload;   // the DNS message (UDP payload)
  std::shared_ptr<AsyncTun> tun_device;  // where the answer goes
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
  // From every network's desired host-name list (disabled networks too).
  static std::shared_ptr<const Catalog> build(const NetworkMap& networks);

  bool has_zone() const noexcept { return has_zone_; }
  // Lower-cased fully qualified name ("host.sarvolt.zz.") -> addresses, in
  // insertion order, each once.
  const std::map<std::string, std::vector<util::Ipv4Addr>>& records() const noexcept { return records_; }

  // One owner name's A records.
  struct Host {
    std::string owner;  // wire form, as first written
    std::vector<util::Ipv4Addr> addrs;
  };
  // The records of a lower-cased wire-form name, or nullptr.
  const Host* find(const std::string& lower_wire_name) const;

 private:
  // Adds host.SARVOLT_DOMAIN. -> addr; false (nothing added) when that text
  // is no DNS name under the domain.
  bool add(const std::string& host, util::Ipv4Addr addr);

  bool has_zone_ = false;
  std::map<std::string, std::vector<util::Ipv4Addr>> records_;
  std::unordered_map<std::string, Host> hosts_;  // by lower-cased wire name
};

// Answers one DNS message from `catalog`: the encoded response, or nothing
// when no reply must be sent (undecodable payload, a response message).
// Logs the request lines from the decode on (the caller logs the receipt,
// which names the server address too); `client`/`client_port` only feed
// those lines.
std::optional<std::vector<std::uint8_t>> respond(const Catalog& catalog, std::span<const std::uint8_t> query,
                                                 util::Ipv4Addr client, std::uint16_t client_port);

struct Message;

// Encodes a response in at most its EDNS payload size, or 4096 bytes without
// EDNS, dropping answers that do not fit (TC); the 12-byte SERVFAIL header
// when it cannot be encoded. Logs the sending lines.
std::vector<std::uint8_t> encode_reply(const Message& response);

// The IPv4/UDP packet from server:53 to the client carrying `dns` (DF set,
// TTL 64, id 0, both checksums; a UDP checksum of 0 is sent as 0xFFFF).
// `dns` holds at most kMaxUdpPayload bytes.
std::vector<std::uint8_t> build_reply_packet(util::Ipv4Addr server, std::uint16_t server_port, util::Ipv4Addr client,
                                             std::uint16_t client_port, std::span<const std::uint8_t> dns);

}  // namespace sarvolt::agent::dns
