#include "platform/p2p/fabric.hpp"
#include "platform/p2p/waiter_guard.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <array>
#include <atomic>
#include <list>
#include <new>
#include <stdexcept>
#include <utility>

#include "util/log.hpp"

namespace sarvolt::p2p {

SV_NAMED_LOGGER(logger, "sarvolt_p2p::fabric")

namespace asio = boost::asio;

namespace {

struct PairHash {
  std::size_t operator()(const std::pair<PubKey, PubKey>& p) const noexcept {
    return hash_value(p.first) * 0x9e3779b97f4a7c15ull ^ hash_value(p.second);
  }
};

[[noreturn]] void throw_aborted() {
  throw boost::system::system_error(asio::error::operation_aborted);
}

// Memory for the wait of one side of one link: the waiting operation and,
// once a wake-up completes it, the handler posted to the waiter's executor.
// The two are never alive together, so a wait and its wake-up reuse two
// fixed blocks, on whichever thread wakes. Blocks that are busy (several
// waits at once) or too small fall back to the heap.
class WaitArena {
 public:
  static constexpr std::size_t kBlockSize = 160;  // a channel wait, or a relay

  void* allocate(std::size_t size, std::size_t align) {
    if (size <= kBlockSize && align <= alignof(std::max_align_t)) {
      for (auto& b : blocks_) {
        bool expected = false;
        if (!b.busy.load(std::memory_order_relaxed) &&
            b.busy.compare_exchange_strong(expected, true, std::memory_order_acquire))
          return b.bytes;
      }
    }
    return ::operator new(size, std::align_val_t{align});
  }

  void deallocate(void* p, std::size_t align) noexcept {
    for (auto& b : blocks_) {
      if (p == b.bytes) {
        b.busy.store(false, std::memory_order_release);
        return;
      }
    }
    ::operator delete(p, std::align_val_t{align});
  }

 private:
  struct Block {
    alignas(std::max_align_t) unsigned char bytes[kBlockSize];
    std::atomic<bool> busy{false};
  };
  std::array<Block, 2> blocks_;
};

// Allocator of the wait operations; its copies keep the arena alive until the
// last block is back.
template <class T>
struct WaitAllocator {
  using value_type = T;

  explicit WaitAllocator(std::shared_ptr<WaitArena> a) noexcept : arena(std::move(a)) {}
  template <class U>
  WaitAllocator(const WaitAllocator<U>& other) noexcept : arena(other.arena) {}

  T* allocate(std::size_t n) { return static_cast<T*>(arena->allocate(n * sizeof(T), alignof(T))); }
  void deallocate(T* p, std::size_t) noexcept { arena->deallocate(p, alignof(T)); }

  template <class U>
  friend bool operator==(const WaitAllocator& a, const WaitAllocator<U>& b) noexcept {
    return a.arena == b.arena;
  }

  std::shared_ptr<WaitArena> arena;
};

// Channel traits whose spill-over buffer is a list: a wake-up channel only
// ever buffers one value, which lives in the channel itself, so a new link
// allocates no buffer (a deque would allocate two blocks up front).
template <class... Signatures>
struct WakeTraits : asio::experimental::channel_traits<Signatures...> {
  template <class... NewSignatures>
  struct rebind {
    using other = WakeTraits<NewSignatures...>;
  };
  template <class Element>
  struct container {
    using type = std::list<Element>;
  };
};

}  // namespace

// Wake-up signal of the waits on one side of one link. Wakers try_send; a
// waiter re-checks its queue after every wake, so a spare buffered signal
// only costs one extra look. Closing it ends the link's waits.
// A wake-up from a thread outside the waiter's io_context is relayed through
// that io_context: the relay's memory comes from the waker's arena, and the
// waiter is then resumed from one of its own threads, whose recycled memory
// serves it. So neither side allocates per wake-up.
struct MemoryNodePeer::Waker {
  using Channel =
      asio::experimental::basic_concurrent_channel<asio::any_io_executor, WakeTraits<>, void(boost::system::error_code)>;

  explicit Waker(std::shared_ptr<asio::io_context> context)
      : ctx(std::move(context)), channel(ctx->get_executor(), 1) {}

  // Under the queue's mutex, before a wait: where to relay wake-ups to.
  void prepare_wait(asio::io_context* io) {
    if (!arena) arena = std::make_shared<WaitArena>();
    home.store(io, std::memory_order_release);
  }

  // Waits for the next wake-up, without a heap allocation while this is the
  // only wait of the waker.
  auto wait() {
    return channel.async_receive(
        asio::bind_allocator(WaitAllocator<void>(arena), asio::as_tuple(asio::use_awaitable)));
  }

  static void wake(const std::shared_ptr<Waker>& self) {
    asio::io_context* io = self->home.load(std::memory_order_acquire);
    if (io == nullptr || self->is_closed() || io->get_executor().running_in_this_thread()) {
      self->channel.try_send(boost::system::error_code{});
      return;
    }
    if (self->relay_pending.exchange(true, std::memory_order_acq_rel)) return;  // one is on its way
    asio::post(io->get_executor(), asio::bind_allocator(WaitAllocator<void>(self->arena), [self] {
                 self->relay_pending.store(false, std::memory_order_release);
                 self->channel.try_send(boost::system::error_code{});
               }));
  }

  void close() {
    closed.store(true, std::memory_order_release);
    channel.close();
  }
  bool is_closed() const noexcept { return closed.load(std::memory_order_acquire); }

  std::shared_ptr<asio::io_context> ctx;  // the channel's service lives here
  Channel channel;
  std::shared_ptr<WaitArena> arena;  // from the first wait on
  std::atomic<asio::io_context*> home{nullptr};
  std::atomic<bool> relay_pending{false};
  std::atomic<bool> closed{false};
};

namespace {

// The io_context a coroutine runs on, directly or through a strand.
asio::io_context* io_context_of(const asio::any_io_executor& ex) {
  using IoExecutor = asio::io_context::executor_type;
  if (const auto* io = ex.target<IoExecutor>()) return &io->context();
  if (const auto* strand = ex.target<asio::strand<IoExecutor>>()) return &strand->get_inner_executor().context();
  return nullptr;
}

}  // namespace

// Inbound queue at `to` for datagrams from `from`: a ring of buffers whose
// capacity is kept, so steady traffic allocates nothing.
struct Fabric::Queue {
  using Waker = MemoryNodePeer::Waker;

  explicit Queue(std::size_t capacity) : ring(capacity) {}

  bool full() const noexcept { return count == ring.size(); }
  bool writable() const noexcept { return failing || (!held && !full()); }

  void push(std::span<const std::uint8_t> bytes) {
    ring[(head + count) % ring.size()].assign(bytes.begin(), bytes.end());
    ++count;
  }
  void pop_into(Datagram& out) {
    auto& slot = ring[head];
    out.assign(slot.begin(), slot.end());
    slot.clear();
    head = (head + 1) % ring.size();
    --count;
  }

  // Under `mutex`: the wakers to notify once it is released.
  std::shared_ptr<Waker> reader_to_wake() const { return count > 0 && read_waiters > 0 ? reader : nullptr; }
  std::shared_ptr<Waker> writer_to_wake() const { return writable() && write_waiters > 0 ? writer : nullptr; }

  std::mutex mutex;
  std::vector<Datagram> ring;
  std::size_t head = 0;
  std::size_t count = 0;
  std::size_t sent = 0;
  bool failing = false;
  bool held = false;
  std::size_t read_waiters = 0;
  std::size_t write_waiters = 0;
  std::shared_ptr<Waker> reader;  // of the link at `to` towards `from`
  std::shared_ptr<Waker> writer;  // of the link at `from` towards `to`
};

namespace {

void wake(const std::shared_ptr<MemoryNodePeer::Waker>& w) {
  if (w) MemoryNodePeer::Waker::wake(w);
}

}  // namespace

// --- Fabric ------------------------------------------------------------------

struct Fabric::Impl {
  // Never run: it only hosts the channel service of the wakers.
  std::shared_ptr<asio::io_context> signal_ctx = std::make_shared<asio::io_context>(1);
  mutable std::mutex mutex;
  boost::unordered_flat_map<std::pair<PubKey, PubKey>, std::shared_ptr<Queue>, PairHash> queues;
  boost::unordered_flat_set<PubKey> refused;
  boost::unordered_flat_map<PubKey, std::weak_ptr<MemoryNode>> nodes;
};

Fabric::Fabric(std::size_t queue_capacity) : capacity_(queue_capacity), impl_(std::make_unique<Impl>()) {
  if (capacity_ == 0) throw std::invalid_argument("fabric queue capacity must be at least 1");
}

Fabric::~Fabric() = default;

std::shared_ptr<MemoryNode> Fabric::add_node(Identity identity) {
  const PubKey pk = identity.pk();
  std::lock_guard lock(impl_->mutex);
  auto& slot = impl_->nodes[pk];
  if (!slot.expired()) throw std::invalid_argument("fabric already has a node with key " + pk.to_string());
  auto node = std::make_shared<MemoryNode>(MemoryNode::Key{}, shared_from_this(), std::move(identity));
  slot = node;
  SV_DEBUG(logger(), "node {} joined the fabric", pk);
  return node;
}

std::shared_ptr<Fabric::Queue> Fabric::queue(const PubKey& from, const PubKey& to) const {
  std::lock_guard lock(impl_->mutex);
  auto& q = impl_->queues[{from, to}];
  if (!q) q = std::make_shared<Queue>(capacity_);
  return q;
}

bool Fabric::refused(const PubKey& pk) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->refused.contains(pk);
}

void Fabric::refuse_initiate(const PubKey& pk, bool refuse) {
  std::lock_guard lock(impl_->mutex);
  if (refuse) {
    impl_->refused.insert(pk);
  } else {
    impl_->refused.erase(pk);
  }
}

// Sets one fault flag of the queue and wakes its writer to look again.
void Fabric::set_fault(Queue& q, bool Queue::*flag, bool on) {
  std::shared_ptr<Queue::Waker> w;
  {
    std::lock_guard lock(q.mutex);
    q.*flag = on;
    w = q.writer_to_wake();
  }
  wake(w);
}

void Fabric::fail_sends(const PubKey& from, const PubKey& to, bool fail) {
  set_fault(*queue(from, to), &Queue::failing, fail);
}

void Fabric::hold_sends(const PubKey& from, const PubKey& to, bool hold) {
  set_fault(*queue(from, to), &Queue::held, hold);
}

bool Fabric::inject(const PubKey& to_node, const PubKey& from, std::span<const std::uint8_t> bytes) {
  auto q = queue(from, to_node);
  std::shared_ptr<Queue::Waker> r;
  {
    std::lock_guard lock(q->mutex);
    if (q->full()) return false;
    q->push(bytes);
    r = q->reader_to_wake();
  }
  wake(r);
  return true;
}

std::size_t Fabric::sent_count(const PubKey& from, const PubKey& to) const {
  auto q = queue(from, to);
  std::lock_guard lock(q->mutex);
  return q->sent;
}

std::size_t Fabric::queued(const PubKey& to_node, const PubKey& from) const {
  auto q = queue(from, to_node);
  std::lock_guard lock(q->mutex);
  return q->count;
}

std::vector<std::vector<std::uint8_t>> Fabric::drain(const PubKey& to_node, const PubKey& from) {
  auto q = queue(from, to_node);
  std::vector<std::vector<std::uint8_t>> out;
  std::shared_ptr<Queue::Waker> w;
  {
    std::lock_guard lock(q->mutex);
    out.resize(q->count);
    for (auto& d : out) q->pop_into(d);
    w = q->writer_to_wake();
  }
  wake(w);
  return out;
}

// --- MemoryNode --------------------------------------------------------------

struct MemoryNode::Links {
  std::mutex mutex;
  boost::unordered_flat_map<PubKey, std::weak_ptr<MemoryNodePeer>> by_key;
};

MemoryNode::MemoryNode(Key, std::shared_ptr<Fabric> fabric, Identity identity)
    : fabric_(std::move(fabric)), identity_(std::move(identity)), links_(std::make_unique<Links>()) {}

MemoryNode::~MemoryNode() = default;

util::Expected<NodePeerRef, InitiateError> MemoryNode::initiate(const PubKey& pk) {
  if (pk == identity_.pk()) return util::Unexpected(InitiateError("cannot initiate own key"));
  if (fabric_->refused(pk)) {
    SV_DEBUG(logger(), "{} refused initiate of {}", identity_.pk(), pk);
    return util::Unexpected(InitiateError("peer refused: " + pk.to_string()));
  }
  std::lock_guard lock(links_->mutex);
  auto& slot = links_->by_key[pk];
  if (auto link = slot.lock(); link && !link->closed()) return NodePeerRef(std::move(link));
  auto link = std::make_shared<MemoryNodePeer>(MemoryNodePeer::Key{}, fabric_, identity_.pk(), pk);
  slot = link;
  SV_TRACE(logger(), "link {} -> {} opened", identity_.pk(), pk);
  return NodePeerRef(std::move(link));
}

// --- MemoryNodePeer ----------------------------------------------------------

asio::awaitable<std::size_t> MemoryNodePeer::read_loop(std::shared_ptr<Fabric::Queue> q,
                                                       std::shared_ptr<Waker> self, std::span<Datagram> slots) {
  if (slots.empty()) co_return 0;
  asio::io_context* const home = io_context_of(co_await asio::this_coro::executor);
  for (;;) {
    if (self->is_closed()) throw_aborted();
    std::size_t n = 0;
    std::shared_ptr<MemoryNodePeer::Waker> reader, writer;
    {
      std::lock_guard lock(q->mutex);
      while (n < slots.size() && q->count > 0) q->pop_into(slots[n++]);
      if (n > 0) {
        writer = q->writer_to_wake();
        reader = q->reader_to_wake();  // another reader may take the rest
      } else {
        ++q->read_waiters;
        self->prepare_wait(home);
      }
    }
    if (n > 0) {
      wake(writer);
      wake(reader);
      co_return n;
    }
    WaiterGuard guard(q->mutex, q->read_waiters);
    auto [ec] = co_await self->wait();
    if (ec) throw_aborted();  // cancelled, or the link was closed
  }
}

asio::awaitable<util::Expected<void, SendDatagramError>> MemoryNodePeer::send_loop(
    std::shared_ptr<Fabric::Queue> q, std::shared_ptr<Waker> self,
    std::span<const std::span<const std::uint8_t>> datagrams) {
  for (const auto& d : datagrams) {
    if (d.size() > Fabric::kMaxDatagramSize) {
      co_return util::Unexpected(SendDatagramError(SendDatagramError::Kind::TooLarge,
                                                   fmt::format("datagram too large: {} bytes", d.size())));
    }
  }
  std::size_t next = 0;
  asio::io_context* const home = io_context_of(co_await asio::this_coro::executor);
  for (;;) {
    if (self->is_closed()) co_return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Closed, "link closed"));
    bool failed = false;
    std::shared_ptr<MemoryNodePeer::Waker> reader, writer;
    {
      std::lock_guard lock(q->mutex);
      if (q->failing) {
        failed = true;
      } else if (!q->held) {
        for (; next < datagrams.size() && !q->full(); ++next) {
          q->push(datagrams[next]);
          ++q->sent;
        }
      }
      reader = q->reader_to_wake();
      if (failed || next == datagrams.size()) {
        writer = q->writer_to_wake();  // pass the room (or the failure) on
      } else {
        ++q->write_waiters;
        self->prepare_wait(home);
      }
    }
    wake(reader);
    wake(writer);
    if (failed) co_return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Failed, "send failed"));
    if (next == datagrams.size()) co_return util::Expected<void, SendDatagramError>{};

    WaiterGuard guard(q->mutex, q->write_waiters);
    auto [ec] = co_await self->wait();
    if (ec == asio::experimental::error::channel_closed) {
      co_return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Closed, "link closed"));
    }
    if (ec) throw_aborted();
  }
}

namespace {

// Both wakers of a link, in one allocation.
struct LinkWakers {
  explicit LinkWakers(const std::shared_ptr<asio::io_context>& ctx) : read(ctx), write(ctx) {}
  MemoryNodePeer::Waker read;
  MemoryNodePeer::Waker write;
};

}  // namespace

MemoryNodePeer::MemoryNodePeer(Key, std::shared_ptr<Fabric> fabric, const PubKey& local, const PubKey& remote)
    : fabric_(std::move(fabric)), local_(local), remote_(remote) {}

MemoryNodePeer::~MemoryNodePeer() { close(); }

void MemoryNodePeer::attach() {
  if (attached_.load(std::memory_order_acquire)) return;
  std::lock_guard guard(attach_mutex_);
  if (attached_.load(std::memory_order_relaxed)) return;
  const auto wakers = std::make_shared<LinkWakers>(fabric_->impl_->signal_ctx);
  read_wake_ = std::shared_ptr<Waker>(wakers, &wakers->read);
  write_wake_ = std::shared_ptr<Waker>(wakers, &wakers->write);
  in_ = fabric_->queue(remote_, local_);
  out_ = fabric_->queue(local_, remote_);
  if (closed_.load(std::memory_order_relaxed)) {
    // Closed before its first use: it waits for nothing and sends nothing.
    read_wake_->close();
    write_wake_->close();
  } else {
    {
      std::lock_guard lock(in_->mutex);
      in_->reader = read_wake_;
    }
    std::lock_guard lock(out_->mutex);
    out_->writer = write_wake_;
  }
  attached_.store(true, std::memory_order_release);
}

bool MemoryNodePeer::closed() const noexcept { return closed_.load(std::memory_order_acquire); }

void MemoryNodePeer::close() {
  {
    std::lock_guard guard(attach_mutex_);
    if (closed_.exchange(true, std::memory_order_acq_rel)) return;
    if (!attached_.load(std::memory_order_relaxed)) {
      SV_TRACE(logger(), "link {} -> {} closed", local_, remote_);
      return;
    }
  }
  {
    std::lock_guard lock(in_->mutex);
    if (in_->reader == read_wake_) in_->reader.reset();
  }
  {
    std::lock_guard lock(out_->mutex);
    if (out_->writer == write_wake_) out_->writer.reset();
  }
  read_wake_->close();
  write_wake_->close();
  SV_TRACE(logger(), "link {} -> {} closed", local_, remote_);
}

asio::awaitable<std::size_t> MemoryNodePeer::read_datagrams(std::span<Datagram> slots) {
  // The coroutine holds the queue and waker, not `this`.
  attach();
  return read_loop(in_, read_wake_, slots);
}

asio::awaitable<util::Expected<void, SendDatagramError>> MemoryNodePeer::send_datagrams_wait(
    std::span<const std::span<const std::uint8_t>> datagrams) {
  attach();
  return send_loop(out_, write_wake_, datagrams);
}

util::Expected<void, SendDatagramError> MemoryNodePeer::send_datagram(std::span<const std::uint8_t> datagram) {
  if (datagram.size() > Fabric::kMaxDatagramSize) {
    return util::Unexpected(SendDatagramError(SendDatagramError::Kind::TooLarge,
                                              fmt::format("datagram too large: {} bytes", datagram.size())));
  }
  if (closed()) return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Closed, "link closed"));
  attach();
  std::shared_ptr<Waker> reader;
  {
    std::lock_guard lock(out_->mutex);
    if (out_->failing) return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Failed, "send failed"));
    if (out_->held || out_->full()) {
      return util::Unexpected(SendDatagramError(SendDatagramError::Kind::QueueFull, "send queue full"));
    }
    out_->push(datagram);
    ++out_->sent;
    reader = out_->reader_to_wake();
  }
  wake(reader);
  return {};
}

}  // namespace sarvolt::p2p
