// The overlay node and its links to remote peers.
//   Node::initiate(pk)              a link to a peer, at once, or InitiateError
//   NodePeer::read_datagrams        waits for >= 1 datagram, fills up to slots.size()
//   NodePeer::send_datagrams_wait   waits while the link's send queue is full
//   NodePeer::send_datagram         immediate; fails when the queue is full
// A link is safe to use from two tasks at once (one reading and sending single
// datagrams, another sending batches). Waiting operations honour Asio's
// per-operation cancellation (terminal) and complete with
// boost::asio::error::operation_aborted raised as boost::system::system_error.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "platform/p2p/identity.hpp"
#include "util/expected.hpp"

namespace sarvolt::p2p {

// A received datagram; slots are reused, so their capacity is kept.
using Datagram = std::vector<std::uint8_t>;

class InitiateError {
 public:
  explicit InitiateError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

class SendDatagramError {
 public:
  enum class Kind { QueueFull, Closed, TooLarge, Failed };
  SendDatagramError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

class NodePeer {
 public:
  virtual ~NodePeer() = default;

  virtual const PubKey& pk() const noexcept = 0;

  // Completes with n >= 1 once datagrams are there; slots[0..n) then hold one
  // datagram each (resized to its length).
  virtual boost::asio::awaitable<std::size_t> read_datagrams(std::span<Datagram> slots) = 0;

  // Completes once the link has taken every datagram (the caller's buffers may
  // be reused then), or with an error.
  virtual boost::asio::awaitable<util::Expected<void, SendDatagramError>> send_datagrams_wait(
      std::span<const std::span<const std::uint8_t>> datagrams) = 0;

  virtual util::Expected<void, SendDatagramError> send_datagram(std::span<const std::uint8_t> datagram) = 0;
};

// Counted handle on a link; copies reach the same link.
using NodePeerRef = std::shared_ptr<NodePeer>;

class Node {
 public:
  virtual ~Node() = default;
  virtual const Identity& identity() const noexcept = 0;
  virtual util::Expected<NodePeerRef, InitiateError> initiate(const PubKey& pk) = 0;
};

}  // namespace sarvolt::p2p
