#include "platform/p2p/fabric.hpp"
#include "platform/p2p/waiter_guard.hpp"

#include <boost/asio/append.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/experimental/channel_error.hpp>
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
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "util/log.hpp"
#include "util/slab.hpp"
#include "util/wake_signal.hpp"

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

// Memory for the relay post of one io_context: one post is on its way at a
// time, so fixed blocks serve it on whichever thread posts. Blocks that are
// busy or too small fall back to the heap.
class WaitArena {
 public:
  static constexpr std::size_t kBlockSize = 160;  // a relay post

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

// Allocator of the relay posts; its copies keep the arena alive until the
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

using util::Completion;

// Per io_context: the wakers woken from threads outside it, relayed to it
// with one post per burst, whose memory is a fixed block.
class WakeRelay : public asio::execution_context::service {
 public:
  using Waker = MemoryNodePeer::Waker;
  inline static asio::execution_context::id id;
  static constexpr std::size_t kPerRun = 4;

  explicit WakeRelay(asio::execution_context& ctx)
      : service(ctx), io_(static_cast<asio::io_context&>(ctx)), arena_(std::make_shared<WaitArena>()) {}

  asio::io_context& io() const noexcept { return io_; }

  // From any thread; a waker already on its way is not added again.
  void add(const std::shared_ptr<Waker>& w);

 private:
  void shutdown() override {
    std::lock_guard lock(mutex_);
    pending_.clear();
    running_.clear();
    next_ = 0;
  }
  void post();
  void run();

  asio::io_context& io_;
  std::shared_ptr<WaitArena> arena_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Waker>> pending_;  // under mutex_
  std::vector<std::shared_ptr<Waker>> running_;  // only in run()
  std::size_t next_ = 0;                         // of running_, only in run()
  bool posted_ = false;                          // under mutex_
};

}  // namespace

// Wake-up signal of the waits on one side of one link: a parked wait, or a
// spare signal that the next wait takes at once. A waiter re-checks its queue
// after every wake, so a spare signal only costs one extra look. Closing it
// ends the link's waits.
// A wake-up on one of the waiter's own threads completes the wait through
// its executor. One from another thread goes to the waiter's WakeRelay: the
// wakers of a burst are relayed with one post, and each waiter is resumed
// from there directly when its executor allows it. Nothing is allocated per
// wake-up on either side.
struct MemoryNodePeer::Waker : util::WakeSignal<128, Completion::post> {
  // Under the queue's mutex, before a wait: where to relay wake-ups to.
  void prepare_wait(asio::io_context* io) {
    WakeRelay* r = relay.load(std::memory_order_relaxed);
    if (io == nullptr) {
      r = nullptr;
    } else if (r == nullptr || &r->io() != io) {
      r = &asio::use_service<WakeRelay>(*io);
    }
    relay.store(r, std::memory_order_release);
  }

  static void wake(const std::shared_ptr<Waker>& self) {
    // Already on its way through the relay: the waiter looks again anyway.
    if (self->relay_queued.load(std::memory_order_acquire)) return;
    WakeRelay* r = self->relay.load(std::memory_order_acquire);
    if (r != nullptr && !r->io().get_executor().running_in_this_thread()) {
      r->add(self);
      return;
    }
    self->signal(Completion::post);
  }

  std::atomic<WakeRelay*> relay{nullptr};
  std::atomic<bool> relay_queued{false};  // on its way through `relay`
};

namespace {

void WakeRelay::add(const std::shared_ptr<Waker>& w) {
  if (w->relay_queued.exchange(true, std::memory_order_acq_rel)) return;
  bool post_now = false;
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(w);
    post_now = !std::exchange(posted_, true);
  }
  if (post_now) post();
}

void WakeRelay::post() {
  asio::post(io_.get_executor(), asio::bind_allocator(WaitAllocator<void>(arena_), [this] { run(); }));
}

// On a thread of io_: resumes the wakers of a burst, a few per run. What
// the resumed waiters post (a yield, say) then runs before the next few, so
// the thread's recycled handler memory covers it. Wakers added meanwhile go
// out with a later run.
void WakeRelay::run() {
  if (next_ == running_.size()) {
    running_.clear();
    next_ = 0;
    std::lock_guard lock(mutex_);
    running_.swap(pending_);
  }
  for (const std::size_t end = std::min(running_.size(), next_ + kPerRun); next_ < end; ++next_) {
    const std::shared_ptr<Waker> w = std::move(running_[next_]);
    w->relay_queued.store(false, std::memory_order_release);
    w->signal(Completion::dispatch);
  }
  bool again = next_ < running_.size();
  {
    std::lock_guard lock(mutex_);
    again = again || !pending_.empty();
    posted_ = again;
  }
  if (again) post();
}

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

bool Fabric::refused_now(const PubKey& pk) const {
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
  refusing_.store(!impl_->refused.empty(), std::memory_order_release);
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

namespace {

// A lock for short sections: one atomic operation each way, and no call,
// while nobody waits; a waiter sleeps on the word.
class ShortLock {
 public:
  void lock() noexcept {
    int free = 0;
    if (state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire)) [[likely]]
      return;
    while (state_.exchange(kWaited, std::memory_order_acquire) != kFree)
      state_.wait(kWaited, std::memory_order_relaxed);
  }
  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kWaited) [[unlikely]]
      state_.notify_one();
  }

 private:
  static constexpr int kFree = 0, kHeld = 1, kWaited = 2;  // kWaited: held, and someone may wait
  std::atomic<int> state_{kFree};
};

}  // namespace

// The node's links by key, and the slabs their blocks come from: links
// opened in a row (a rebuild's) rarely allocate. The links hold it, and it
// holds the fabric. A link is in the table until it ends (its destructor
// takes it out), so every link the table names is still there.
struct MemoryNode::Links {
  // A link's key and its hash: 16 bytes a key, and growing the table reads
  // no link. The key is the link's own; while a new link is made, the
  // caller's.
  struct Slot {
    std::uint32_t hash;
    mutable const detail::LinkKey* key;  // replaced in place when a closed link is
    const PubKey& pk() const noexcept { return key->remote; }
    MemoryNodePeer* link() const noexcept {
      return static_cast<MemoryNodePeer*>(const_cast<detail::LinkKey*>(key));
    }
  };

  Links(std::shared_ptr<Fabric> f, const PubKey& own) : fabric(std::move(f)), local(own) {}
  const std::shared_ptr<Fabric> fabric;
  const PubKey local;  // the node's key
  // Guards the table and slabs, each link's attached_ and closed_, and
  // what keeps this: counted here, not per link with an atomic operation.
  ShortLock mutex;
  boost::unordered_flat_set<Slot, SlotByKeyHash<Slot>, SlotByKeyEq<Slot>> by_key;
  util::Slabs<128, 64> slabs;
  std::size_t live = 0;    // links made and not ended
  bool node_gone = false;  // the node ended
};

MemoryNode::MemoryNode(Key, std::shared_ptr<Fabric> fabric, Identity identity)
    : fabric_(std::move(fabric)), identity_(std::move(identity)), links_(new Links(fabric_, identity_.pk())) {}

MemoryNode::~MemoryNode() {
  bool last = false;
  {
    std::lock_guard lock(links_->mutex);
    links_->node_gone = true;
    last = links_->live == 0;
  }
  if (last) delete links_;
}

util::Expected<NodePeerRef, InitiateError> MemoryNode::initiate(const PubKey& pk) {
  if (pk == identity_.pk()) return util::Unexpected(InitiateError("cannot initiate own key"));
  if (fabric_->refused(pk)) {
    SV_DEBUG(logger(), "{} refused initiate of {}", identity_.pk(), pk);
    return util::Unexpected(InitiateError("peer refused: " + pk.to_string()));
  }
  // A closed link still held elsewhere may end with this hold: after the
  // lock is released, since its end takes the lock.
  std::shared_ptr<MemoryNodePeer> closed;
  std::lock_guard lock(links_->mutex);
  // One probe finds the key's slot or makes it, for now with the caller's key.
  const detail::LinkKey probe{pk};
  const auto [it, added] = links_->by_key.insert(Links::Slot{slot_hash(pk), &probe});
  if (!added) {
    // Null once its last handle is gone and its end waits for the lock.
    if (auto link = it->link()->weak_from_this().lock()) {
      if (!link->closed()) return NodePeerRef(std::move(link));
      closed = std::move(link);
    }
  }
  std::shared_ptr<MemoryNodePeer> link;
  ++links_->live;  // the new link's, given back when it ends
  try {
    link = std::allocate_shared<MemoryNodePeer>(links_->slabs.allocator<MemoryNodePeer>(), MemoryNodePeer::Key{},
                                                links_, pk);
  } catch (...) {
    --links_->live;
    if (added) links_->by_key.erase(it);
    throw;
  }
  it->key = link.get();
  SV_TRACE(logger(), "link {} -> {} opened", identity_.pk(), pk);
  return NodePeerRef(std::move(link));
}

// --- MemoryNodePeer ----------------------------------------------------------

asio::awaitable<std::size_t> MemoryNodePeer::read_loop(std::shared_ptr<Fabric::Queue> q,
                                                       std::shared_ptr<Waker> self, std::span<Datagram> slots) {
  if (slots.empty()) co_return 0;
  // Where this coroutine runs: looked up only once it has to wait.
  std::optional<asio::io_context*> home;
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
      } else if (home) {
        ++q->read_waiters;
        self->prepare_wait(*home);
      }
    }
    if (n > 0) {
      wake(writer);
      wake(reader);
      co_return n;
    }
    if (!home) {
      home = io_context_of(co_await asio::this_coro::executor);
      continue;  // and look again
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
  std::optional<asio::io_context*> home;  // once it has to wait
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
      } else if (home) {
        ++q->write_waiters;
        self->prepare_wait(*home);
      }
    }
    wake(reader);
    wake(writer);
    if (failed) co_return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Failed, "send failed"));
    if (next == datagrams.size()) co_return util::Expected<void, SendDatagramError>{};
    if (!home) {
      home = io_context_of(co_await asio::this_coro::executor);
      continue;  // and look again
    }

    WaiterGuard guard(q->mutex, q->write_waiters);
    auto [ec] = co_await self->wait();
    if (ec == asio::experimental::error::channel_closed) {
      co_return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Closed, "link closed"));
    }
    if (ec) throw_aborted();
  }
}

struct MemoryNodePeer::Attachment {
  Waker read;
  Waker write;
  std::shared_ptr<Fabric::Queue> in;   // remote -> local
  std::shared_ptr<Fabric::Queue> out;  // local -> remote
};

MemoryNodePeer::MemoryNodePeer(Key, MemoryNode::Links* links, const PubKey& remote)
    : LinkKey{remote}, links_(links) {}

const PubKey& MemoryNodePeer::local_pk() const noexcept { return links_->local; }

MemoryNodePeer::~MemoryNodePeer() {
  // An ended link leaves its node's table, so its block is freed now, not
  // when the same key is opened again; closing it takes the same lock.
  // The node's key is copied while the table is sure to be there.
  bool ending = false, in_use = false, last = false;
  std::optional<PubKey> local;
  {
    std::lock_guard lock(links_->mutex);
    if (const auto it = links_->by_key.find(remote); it != links_->by_key.end() && it->link() == this)
      links_->by_key.erase(it);
    ending = !closed_.exchange(true, std::memory_order_acq_rel);
    in_use = attached_.load(std::memory_order_relaxed);
    if (ending) local = links_->local;
    last = --links_->live == 0 && links_->node_gone;
  }
  if (ending) ended(in_use, *local);
  if (last) delete links_;
}

void MemoryNodePeer::attach() {
  if (attached_.load(std::memory_order_acquire)) return;
  const auto att = std::make_shared<Attachment>();
  std::lock_guard guard(links_->mutex);
  if (attached_.load(std::memory_order_relaxed)) return;
  att->in = links_->fabric->queue(remote, links_->local);
  att->out = links_->fabric->queue(links_->local, remote);
  att_ = att;
  const std::shared_ptr<Waker> read(att_, &att_->read), write(att_, &att_->write);
  if (closed_.load(std::memory_order_relaxed)) {
    // Closed before its first use: it waits for nothing and sends nothing.
    att_->read.close();
    att_->write.close();
  } else {
    {
      std::lock_guard lock(att_->in->mutex);
      att_->in->reader = read;
    }
    std::lock_guard lock(att_->out->mutex);
    att_->out->writer = write;
  }
  attached_.store(true, std::memory_order_release);
}

void MemoryNodePeer::ended(bool in_use, const PubKey& local) {
  if (in_use) {
    {
      std::lock_guard lock(att_->in->mutex);
      if (att_->in->reader.get() == &att_->read) att_->in->reader.reset();
    }
    {
      std::lock_guard lock(att_->out->mutex);
      if (att_->out->writer.get() == &att_->write) att_->out->writer.reset();
    }
    att_->read.close();
    att_->write.close();
  }
  SV_TRACE(logger(), "link {} -> {} closed", local, remote);
}

bool MemoryNodePeer::closed() const noexcept { return closed_.load(std::memory_order_acquire); }

void MemoryNodePeer::close() {
  bool in_use = false;
  {
    std::lock_guard guard(links_->mutex);
    if (closed_.exchange(true, std::memory_order_acq_rel)) return;
    in_use = attached_.load(std::memory_order_relaxed);
  }
  ended(in_use, links_->local);
}

asio::awaitable<std::size_t> MemoryNodePeer::read_datagrams(std::span<Datagram> slots) {
  // The coroutine holds the queue and waker, not `this`.
  attach();
  return read_loop(att_->in, std::shared_ptr<Waker>(att_, &att_->read), slots);
}

asio::awaitable<util::Expected<void, SendDatagramError>> MemoryNodePeer::send_datagrams_wait(
    std::span<const std::span<const std::uint8_t>> datagrams) {
  attach();
  return send_loop(att_->out, std::shared_ptr<Waker>(att_, &att_->write), datagrams);
}

util::Expected<void, SendDatagramError> MemoryNodePeer::send_datagram(std::span<const std::uint8_t> datagram) {
  if (datagram.size() > Fabric::kMaxDatagramSize) {
    return util::Unexpected(SendDatagramError(SendDatagramError::Kind::TooLarge,
                                              fmt::format("datagram too large: {} bytes", datagram.size())));
  }
  if (closed()) return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Closed, "link closed"));
  attach();
  Fabric::Queue& out = *att_->out;
  std::shared_ptr<Waker> reader;
  {
    std::lock_guard lock(out.mutex);
    if (out.failing) return util::Unexpected(SendDatagramError(SendDatagramError::Kind::Failed, "send failed"));
    if (out.held || out.full()) {
      return util::Unexpected(SendDatagramError(SendDatagramError::Kind::QueueFull, "send queue full"));
    }
    out.push(datagram);
    ++out.sent;
    reader = out.reader_to_wake();
  }
  wake(reader);
  return {};
}

}  // namespace sarvolt::p2p
