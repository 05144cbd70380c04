// The in-memory p2p fabric: ordering, per-sender queues, link reuse and size, refusal,
// back-pressure, the fault switches, cancelled and orphaned waits, no
// allocation on steady traffic, two concurrent senders to one node, and many
// readers woken from another thread, a key reopened while its closed link
// ends on another thread.
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <future>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "heap_count.hpp"
#include "platform/p2p/fabric.hpp"
#include "support.hpp"

// Counts the heap allocations of the calling thread. Sanitizer builds keep
// their own operator new and count through the allocator's hook instead.
namespace {
thread_local std::size_t thread_allocations = 0;
}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SARVOLT_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SARVOLT_TEST_SANITIZED 1
#endif
#endif

#ifdef SARVOLT_TEST_SANITIZED
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                                         void (*)(const volatile void*));
namespace {
[[maybe_unused]] const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) { ++thread_allocations; }, [](const volatile void*) {});
}  // namespace
#else
void* operator new(std::size_t n) {
  ++thread_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // the pair above allocates with malloc
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
#endif

namespace sarvolt::p2p {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test::Bytes;
using List = std::vector<Bytes>;
using Received = std::optional<List>;
using SendKind = SendDatagramError::Kind;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes seq_bytes(std::uint32_t seq) {
  Bytes b(sizeof seq);
  std::memcpy(b.data(), &seq, sizeof seq);
  return b;
}

// Outcome of a coroutine run by the test's io_context.
template <class T>
struct Outcome {
  bool done = false;
  std::exception_ptr error;
  std::optional<T> value;
};

bool aborted(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& err) {
    return err.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

// Owns the datagrams of a batch send and the spans over them.
struct Batch {
  explicit Batch(std::vector<Bytes> d) : data(std::move(d)) {
    for (const auto& b : data) views.emplace_back(b);
  }
  std::vector<Bytes> data;
  std::vector<std::span<const std::uint8_t>> views;
};

// Nodes A and B on a fabric of 4-datagram queues, with A's link to B.
class FabricTest : public ::testing::Test {
 protected:
  std::shared_ptr<MemoryNode> node() { return fabric->add_node(Identity::generate(0).value()); }
  const PubKey& key(const std::shared_ptr<MemoryNode>& n) { return n->identity().pk(); }

  // Starts `op` and runs ready handlers until none is left (bounded).
  template <class T>
  std::shared_ptr<Outcome<T>> run(asio::awaitable<T> op, asio::cancellation_slot slot = {}) {
    auto out = std::make_shared<Outcome<T>>();
    asio::co_spawn(io, std::move(op), asio::bind_cancellation_slot(slot, [out](std::exception_ptr e, T v) {
                     out->done = true;
                     out->error = e;
                     if (!e) out->value.emplace(std::move(v));
                   }));
    settle();
    return out;
  }
  void settle() {
    io.restart();
    for (int i = 0; i < 1000 && io.poll() > 0; ++i) {
    }
  }
  auto read(const NodePeerRef& link, std::size_t n = 8, asio::cancellation_slot slot = {}) {
    return run(link->read_datagrams(std::span(slots).first(n)), slot);
  }
  // What a finished read delivered; nullopt while it waits or after an error.
  Received got(const std::shared_ptr<Outcome<std::size_t>>& r) {
    if (!r->done || r->error) return std::nullopt;
    return List(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(*r->value));
  }
  auto send(Batch& batch, asio::cancellation_slot slot = {}) { return run(ab->send_datagrams_wait(batch.views), slot); }
  List drain_b() { return fabric->drain(key(b), key(a)); }

  asio::io_context io;  // first: outlives the links and their waits
  std::shared_ptr<Fabric> fabric = std::make_shared<Fabric>(4);
  std::shared_ptr<MemoryNode> a = node();
  std::shared_ptr<MemoryNode> b = node();
  NodePeerRef ab = a->initiate(key(b)).value();
  std::vector<Datagram> slots = std::vector<Datagram>(8);
};

TEST_F(FabricTest, DeliversInOrderAndReadsWaitForTheirOwnSender) {
  for (const char* s : {"one", "two", "three"}) ASSERT_TRUE(ab->send_datagram(bytes(s)));
  NodePeerRef ba = b->initiate(key(a)).value();  // only now: what A sent earlier was kept
  EXPECT_EQ(got(read(ba, 2)), (List{bytes("one"), bytes("two")}));
  EXPECT_EQ(got(read(ba)), List{bytes("three")});

  auto r = read(ba);
  EXPECT_FALSE(r->done);
  const PubKey stranger = Identity::generate(0)->pk();
  EXPECT_TRUE(fabric->inject(key(b), stranger, bytes("elsewhere")));  // another sender's queue
  settle();
  EXPECT_FALSE(r->done);
  EXPECT_TRUE(fabric->inject(key(b), key(a), bytes("forged")));
  settle();
  EXPECT_EQ(got(r), List{bytes("forged")});
  EXPECT_EQ(fabric->drain(key(b), stranger), List{bytes("elsewhere")});
  EXPECT_EQ(fabric->sent_count(key(a), key(b)), 3u);  // injected datagrams do not count
}

TEST_F(FabricTest, InitiateReusesALiveLinkAndRefusesOnRequest) {
  EXPECT_EQ(a->initiate(key(b)).value(), ab);
  ASSERT_TRUE(ab->send_datagram(bytes("kept")));
  ab.reset();  // a new link sits on the same queues
  ASSERT_TRUE(a->initiate(key(b)).value()->send_datagram(bytes("too")));
  EXPECT_EQ(drain_b(), (List{bytes("kept"), bytes("too")}));

  fabric->refuse_initiate(key(b), true);
  auto refused = a->initiate(key(b));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "peer refused: " + key(b).to_string());
  fabric->refuse_initiate(key(b), false);
  EXPECT_TRUE(a->initiate(key(b)));
  EXPECT_FALSE(a->initiate(key(a)));
  EXPECT_THROW(fabric->add_node(a->identity()), std::invalid_argument);
}

// A link's stats carry when it was opened: never later than the steady
// clock, and within a clock tick of it.
TEST_F(FabricTest, LinkReportsWhenItWasOpened) {
  auto c = node();
  const Instant before = Clock::now();
  NodePeerRef ac = a->initiate(key(c)).value();
  const Instant after = Clock::now();
  const Instant created = ac->stats().created_at;
  EXPECT_LE(created, after);
  EXPECT_GE(created, before - std::chrono::milliseconds(50));
}

// Opening a link is one small block; its queues and wakers come with its
// first use, and then work both ways.
TEST_F(FabricTest, LinkIsOneSmallBlockUntilItsFirstUse) {
  auto c = node();
  fabric->queued(key(a), key(c));
  fabric->queued(key(c), key(a));
  const std::size_t blocks = test::thread_heap_allocations();
  const std::int64_t bytes_before = test::thread_heap_bytes();
  NodePeerRef ac = a->initiate(key(c)).value();
  EXPECT_LE(test::thread_heap_allocations() - blocks, 1u);
  // Its block comes from the node's slabs: the second link of the node
  // makes a slab of two.
  EXPECT_LT(test::thread_heap_bytes() - bytes_before, 2 * 512) << "bytes per opened link";
  NodePeerRef ca = c->initiate(key(a)).value();
  ASSERT_TRUE(ca->send_datagram(bytes("early")));  // kept until A's link reads
  auto r = read(ac);
  EXPECT_EQ(got(r), List{bytes("early")});
  auto waiting = read(ac);
  EXPECT_FALSE(waiting->done);
  ASSERT_TRUE(ca->send_datagram(bytes("hi")));
  settle();
  EXPECT_EQ(got(waiting), List{bytes("hi")});
  waiting = read(ac);
  ac->close();
  settle();
  EXPECT_TRUE(waiting->done && aborted(waiting->error));
}

// Links opened in a row share the node's slabs: far fewer blocks than
// links. Each keeps working alone once its node and its neighbours are
// gone, and the last link of a slab frees it.
TEST_F(FabricTest, LinksOpenedInARowShareSlabsAndOutliveTheirNode) {
  constexpr std::size_t kLinks = 64;
  auto c = node();
  std::vector<PubKey> keys;
  for (std::size_t i = 0; i < kLinks; ++i) {
    std::array<std::uint8_t, PubKey::kSize> raw{};
    raw[0] = 0xC0;
    raw[1] = static_cast<std::uint8_t>(i + 1);
    keys.emplace_back(raw);
  }
  keys.back() = key(a);
  const PubKey c_key = key(c);
  std::vector<NodePeerRef> links;
  links.reserve(kLinks);
  const std::size_t blocks = test::thread_heap_allocations();
  for (const auto& k : keys) links.push_back(c->initiate(k).value());
  EXPECT_LE(test::thread_heap_allocations() - blocks, kLinks / 4) << "blocks for " << kLinks << " links";
  c.reset();  // the node goes; its links stay
  for (std::size_t i = 0; i + 1 < kLinks; ++i) links[i].reset();
  ASSERT_TRUE(links.back()->send_datagram(bytes("alone")));
  NodePeerRef ac = a->initiate(c_key).value();
  EXPECT_EQ(got(read(ac)), List{bytes("alone")});
  links.back().reset();  // the slab's last link
}

// A link that ended leaves its node's table: what stays of it is the
// table's room, not its block.
TEST_F(FabricTest, EndedLinksLeaveNothingBehind) {
  constexpr std::size_t kLinks = 1000;
  std::vector<PubKey> keys;
  for (std::size_t i = 0; i < kLinks; ++i) {
    std::array<std::uint8_t, PubKey::kSize> raw{};
    for (std::size_t j = 0; j < 8; ++j) raw[j] = static_cast<std::uint8_t>((i + 1) >> (8 * j));
    keys.emplace_back(raw);
  }
  const std::int64_t before = test::thread_heap_bytes();
  for (const auto& k : keys) ASSERT_TRUE(a->initiate(k));  // each link ends at once
  const auto per_link = static_cast<double>(test::thread_heap_bytes() - before) / kLinks;
  EXPECT_LT(per_link, 128.0) << "bytes kept per ended link; a link is " << sizeof(MemoryNodePeer);
  NodePeerRef again = a->initiate(keys.front()).value();
  ASSERT_TRUE(again->send_datagram(bytes("again")));
  EXPECT_EQ(fabric->drain(keys.front(), key(a)), List{bytes("again")});
}

// Links opened in a row and kept, never used: each costs two cache lines
// of its slab and its table slot; the same key again gives the same link;
// all of them work once used, and their node's key is theirs.
TEST_F(FabricTest, LinksKeptUnusedCostTwoLinesEach) {
  constexpr std::size_t kLinks = 2000;
  std::vector<PubKey> keys;
  for (std::size_t i = 0; i < kLinks; ++i) {
    std::array<std::uint8_t, PubKey::kSize> raw{};
    raw[0] = 0xD0;
    for (std::size_t j = 1; j < 8; ++j) raw[j] = static_cast<std::uint8_t>((i + 1) >> (8 * (j - 1)));
    keys.emplace_back(raw);
  }
  std::vector<NodePeerRef> links;
  links.reserve(kLinks);
  const std::int64_t before = test::thread_heap_bytes();
  for (const auto& k : keys) links.push_back(a->initiate(k).value());
  const auto per_link = static_cast<double>(test::thread_heap_bytes() - before) / kLinks;
  EXPECT_LT(per_link, 176.0) << "bytes per kept link; a link is " << sizeof(MemoryNodePeer);
  for (std::size_t i = 0; i < kLinks; i += 97) EXPECT_EQ(a->initiate(keys[i]).value(), links[i]);
  const auto& last = dynamic_cast<const MemoryNodePeer&>(*links.back());
  EXPECT_EQ(last.local_pk(), key(a));
  EXPECT_EQ(last.pk(), keys.back());
  ASSERT_TRUE(links.back()->send_datagram(bytes("late")));
  EXPECT_EQ(fabric->drain(keys.back(), key(a)), List{bytes("late")});
}

// A link closed before its first use refuses everything, and the next
// initiate opens a new one on the same queues.
TEST_F(FabricTest, LinkClosedBeforeItsFirstUseRefusesEverything) {
  ASSERT_TRUE(a->initiate(key(b)).value() == ab);
  ab->close();
  EXPECT_TRUE(ab->closed());
  auto r = read(ab);
  EXPECT_TRUE(r->done && aborted(r->error));
  EXPECT_EQ(ab->send_datagram(bytes("x")).error().kind(), SendKind::Closed);
  Batch batch({bytes("y")});
  auto s = send(batch);
  ASSERT_TRUE(s->done && !s->error);
  EXPECT_EQ(s->value->error().kind(), SendKind::Closed);
  NodePeerRef fresh = a->initiate(key(b)).value();
  EXPECT_NE(fresh, ab);
  ASSERT_TRUE(fresh->send_datagram(bytes("z")));
  EXPECT_EQ(drain_b(), List{bytes("z")});
}

// A closed link still held is replaced by the next initiate; its end later
// leaves the new link where it is, and other keys' links stay found.
TEST_F(FabricTest, ReplacedClosedLinkEndsWithoutTakingItsSuccessor) {
  auto c = node();
  NodePeerRef ac = a->initiate(key(c)).value();
  ab->close();
  NodePeerRef fresh = a->initiate(key(b)).value();
  ASSERT_NE(fresh, ab);
  ab.reset();  // the closed link ends
  EXPECT_EQ(a->initiate(key(b)).value(), fresh);
  EXPECT_EQ(a->initiate(key(c)).value(), ac);
  fresh.reset();
  ac.reset();
  EXPECT_FALSE(a->initiate(key(b)).value()->closed());
}

TEST_F(FabricTest, FullQueueRefusesSingleSendsAndHoldsBatchesUntilARead) {
  for (std::uint8_t i = 0; i < 4; ++i) ASSERT_TRUE(ab->send_datagram(Bytes{i}));
  EXPECT_EQ(ab->send_datagram(Bytes{4}).error().kind(), SendKind::QueueFull);

  Batch batch({Bytes{4}, Bytes{5}});
  auto sent = send(batch);
  EXPECT_FALSE(sent->done);
  NodePeerRef ba = b->initiate(key(a)).value();
  read(ba, 1);
  EXPECT_FALSE(sent->done);  // one slot freed, two needed
  read(ba, 1);
  ASSERT_TRUE(sent->done);
  EXPECT_TRUE(*sent->value);
  EXPECT_EQ(drain_b(), (List{{2}, {3}, {4}, {5}}));
  EXPECT_EQ(fabric->sent_count(key(a), key(b)), 6u);
}

TEST_F(FabricTest, HeldSendsWaitForReleaseAndFailedSendsFail) {
  fabric->hold_sends(key(a), key(b), true);
  EXPECT_EQ(ab->send_datagram(bytes("x")).error().kind(), SendKind::QueueFull);
  Batch batch({bytes("held")});
  auto held = send(batch);
  EXPECT_FALSE(held->done);
  EXPECT_EQ(fabric->queued(key(b), key(a)), 0u);
  fabric->hold_sends(key(a), key(b), false);
  settle();
  ASSERT_TRUE(held->done);
  EXPECT_TRUE(*held->value);
  EXPECT_EQ(drain_b(), List{bytes("held")});

  fabric->hold_sends(key(a), key(b), true);
  auto pending = send(batch);
  fabric->fail_sends(key(a), key(b), true);  // a pending send fails as well
  settle();
  ASSERT_TRUE(pending->done && !*pending->value);
  EXPECT_EQ(pending->value->error().kind(), SendKind::Failed);
  EXPECT_EQ(pending->value->error().message(), "send failed");
  EXPECT_EQ(ab->send_datagram(bytes("x")).error().kind(), SendKind::Failed);
  fabric->fail_sends(key(a), key(b), false);
  fabric->hold_sends(key(a), key(b), false);
  EXPECT_TRUE(ab->send_datagram(bytes("x")));
  EXPECT_EQ(ab->send_datagram(Bytes(Fabric::kMaxDatagramSize + 1)).error().kind(), SendKind::TooLarge);
}

TEST_F(FabricTest, CancelledOrOrphanedWaitsEndAndTakeNothing) {
  NodePeerRef ba = b->initiate(key(a)).value();
  fabric->hold_sends(key(a), key(b), true);
  Batch batch({bytes("never")});
  asio::cancellation_signal read_signal, send_signal;
  auto r = read(ba, 8, read_signal.slot());
  auto sent = send(batch, send_signal.slot());
  ASSERT_FALSE(r->done || sent->done);
  read_signal.emit(asio::cancellation_type::terminal);
  send_signal.emit(asio::cancellation_type::terminal);
  settle();
  ASSERT_TRUE(r->done && sent->done);
  EXPECT_TRUE(aborted(r->error));
  EXPECT_TRUE(aborted(sent->error));

  // The link still works, and the cancelled send took nothing.
  fabric->hold_sends(key(a), key(b), false);
  ASSERT_TRUE(ab->send_datagram(bytes("after")));
  EXPECT_EQ(got(read(ba)), List{bytes("after")});

  // Dropping the links ends their pending waits.
  fabric->hold_sends(key(a), key(b), true);
  r = read(ba);
  sent = send(batch);
  ba.reset();
  ab.reset();
  settle();
  ASSERT_TRUE(r->done && sent->done);
  EXPECT_TRUE(aborted(r->error));
  ASSERT_FALSE(*sent->value);
  EXPECT_EQ(sent->value->error().kind(), SendKind::Closed);
}

// Reader and sender both run on this thread, so its count is theirs alone.
TEST_F(FabricTest, SteadyTrafficAllocatesNothing) {
  NodePeerRef ba = b->initiate(key(a)).value();
  constexpr int kWarmUp = 50, kRounds = 500;
  std::size_t before = 0, after = 0, received = 0;
  auto reader = [&]() -> asio::awaitable<void> {
    auto two = std::span(slots).first(2);  // the queue of 4 fills and empties
    while (received < 3 * (kWarmUp + kRounds)) received += co_await ba->read_datagrams(two);
  };
  auto sender = [&]() -> asio::awaitable<void> {
    Batch batch({Bytes(1200, 1), Bytes(40, 2), Bytes(600, 3)});
    for (int round = 0; round < kWarmUp + kRounds; ++round) {
      if (round == kWarmUp) before = thread_allocations;
      if (!co_await ab->send_datagrams_wait(batch.views)) co_return;
    }
    after = thread_allocations;
  };
  asio::co_spawn(io, reader(), asio::detached);
  asio::co_spawn(io, sender(), asio::detached);
  io.run_for(30s);  // returns once both ended
  EXPECT_EQ(received, 3u * (kWarmUp + kRounds));
  ASSERT_GT(after, 0u) << "the sender did not finish";
  EXPECT_EQ(after - before, 0u);
}

// A reader on an io thread woken by a sender on another thread, both sides
// of the wake-ups and waits counted at the C heap on their own thread, so
// memory that one thread allocates and the other frees is seen as well.
TEST_F(FabricTest, WakeUpsAcrossThreadsAllocateNothing) {
  NodePeerRef ba = b->initiate(key(a)).value();
  constexpr std::size_t kWarmUp = 2000, kTotal = 12000;
  std::atomic<std::size_t> received{0};
  std::size_t reader_before = 0, reader_after = 0;
  auto reader = [&]() -> asio::awaitable<void> {
    try {
      while (received.load() < kTotal) {
        if (received.load() >= kWarmUp && reader_before == 0) reader_before = test::thread_heap_allocations();
        received += co_await ba->read_datagrams(std::span(slots).first(2));
      }
      reader_after = test::thread_heap_allocations();
    } catch (const boost::system::system_error&) {
    }
  };
  asio::co_spawn(io, reader(), asio::detached);
  std::thread runner([&] { io.run(); });  // one run: the thread keeps its recycled memory
  const Bytes datagram(100, 7);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::size_t sender_before = 0, sent = 0;
  while (sent < kTotal && std::chrono::steady_clock::now() < deadline) {
    if (sent == kWarmUp) sender_before = test::thread_heap_allocations();
    if (ab->send_datagram(datagram)) {
      ++sent;
    } else {
      std::this_thread::yield();  // the queue of 4 is full
    }
  }
  const std::size_t sender_after = test::thread_heap_allocations();
  if (sent < kTotal) ba->close();  // ends the reader's wait
  runner.join();
  ASSERT_EQ(received.load(), kTotal);
  ASSERT_GT(reader_before, 0u);
  EXPECT_EQ(sender_after - sender_before, 0u);
  EXPECT_EQ(reader_after - reader_before, 0u);
}

// Many readers, each on its own strand, woken in bursts from another thread:
// every reader gets every datagram of its sender once, in order, and after a
// warm-up neither the io thread nor the sending thread allocates.
TEST(FabricConcurrency, ManyReadersWokenFromAnotherThreadGetAllInOrderWithoutAllocating) {
  constexpr std::size_t kLinks = 100;
  constexpr std::uint32_t kPerLink = 300, kWarmUp = 100;
  asio::io_context io;
  auto fabric = std::make_shared<Fabric>(16);
  auto b = fabric->add_node(Identity::generate(0).value());
  std::vector<std::shared_ptr<MemoryNode>> senders;
  std::vector<NodePeerRef> out, in;
  for (std::size_t i = 0; i < kLinks; ++i) {
    senders.push_back(fabric->add_node(Identity::generate(0).value()));
    out.push_back(senders.back()->initiate(b->identity().pk()).value());
    in.push_back(b->initiate(senders.back()->identity().pk()).value());
  }
  std::atomic<std::size_t> warm{0}, done{0}, in_order{0};
  std::size_t io_before = 0, io_after = 0;
  auto reader = [&](NodePeerRef link) -> asio::awaitable<void> {
    std::vector<Datagram> slots(4, Datagram(64));
    std::uint32_t expected = 0;
    try {
      while (expected < kPerLink) {
        const std::size_t n = co_await link->read_datagrams(slots);
        for (std::size_t i = 0; i < n; ++i, ++expected) {
          std::uint32_t seq = 0;
          if (slots[i].size() != sizeof seq) co_return;
          std::memcpy(&seq, slots[i].data(), sizeof seq);
          if (seq != expected) co_return;
        }
        if (expected >= kWarmUp && expected - n < kWarmUp && ++warm == kLinks)
          io_before = test::thread_heap_allocations();
      }
      ++in_order;
    } catch (const boost::system::system_error&) {
    }
    if (++done == kLinks) io_after = test::thread_heap_allocations();
  };
  for (auto& link : in) asio::co_spawn(asio::make_strand(io), reader(link), asio::detached);
  std::thread runner([&] { io.run(); });  // one run: the thread keeps its recycled memory

  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::size_t sender_before = 0;
  std::vector<Bytes> data;
  for (std::uint32_t seq = 0; seq < kPerLink; ++seq) data.push_back(seq_bytes(seq));
  for (std::uint32_t seq = 0; seq < kPerLink && std::chrono::steady_clock::now() < deadline; ++seq) {
    if (seq == kWarmUp + 20) sender_before = test::thread_heap_allocations();
    for (std::size_t i = 0; i < kLinks; ++i) {
      while (!out[i]->send_datagram(data[seq]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();  // that reader's queue of 16 is full
    }
  }
  const std::size_t sender_after = test::thread_heap_allocations();
  if (done.load() < kLinks) {
    const auto wait_end = std::chrono::steady_clock::now() + 10s;
    while (done.load() < kLinks && std::chrono::steady_clock::now() < wait_end) std::this_thread::sleep_for(1ms);
  }
  for (auto& link : in) link->close();  // ends any reader still waiting
  runner.join();
  ASSERT_EQ(done.load(), kLinks);
  EXPECT_EQ(in_order.load(), kLinks);
  EXPECT_EQ(sender_after - sender_before, 0u);
  EXPECT_EQ(io_after - io_before, 0u);
}

// A batching sender on the io threads and a single-datagram sender on a plain
// thread, each sequence-numbered: B's readers see every number once, in order.
TEST(FabricConcurrency, TwoSendersReachOneNodeWithoutLossOrReordering) {
  constexpr std::uint32_t kCount = 10000;
  asio::io_context io;
  auto fabric = std::make_shared<Fabric>(16);
  auto add = [&] { return fabric->add_node(Identity::generate(0).value()); };
  auto a = add(), c = add(), b = add();
  const PubKey ak = a->identity().pk(), bk = b->identity().pk(), ck = c->identity().pk();
  NodePeerRef ab = a->initiate(bk).value(), cb = c->initiate(bk).value();

  auto reader = [](NodePeerRef link) -> asio::awaitable<std::uint32_t> {
    std::vector<Datagram> slots(5);
    std::uint32_t expected = 0;
    while (expected < kCount) {
      const std::size_t n = co_await link->read_datagrams(slots);
      for (std::size_t i = 0; i < n; ++i, ++expected)
        if (slots[i] != seq_bytes(expected)) co_return expected;
    }
    co_return expected;
  };
  auto batch_sender = [](NodePeerRef link) -> asio::awaitable<bool> {
    std::vector<Bytes> data(7, Bytes(4));
    std::vector<std::span<const std::uint8_t>> views(data.begin(), data.end());
    for (std::uint32_t seq = 0; seq < kCount;) {
      const std::size_t n = std::min<std::size_t>(data.size(), kCount - seq);
      for (std::size_t i = 0; i < n; ++i, ++seq) std::memcpy(data[i].data(), &seq, 4);
      if (!co_await link->send_datagrams_wait(std::span(views).first(n))) co_return false;
    }
    co_return true;
  };

  auto from_a = asio::co_spawn(io, reader(b->initiate(ak).value()), asio::use_future);
  auto from_c = asio::co_spawn(io, reader(b->initiate(ck).value()), asio::use_future);
  auto sent_a = asio::co_spawn(io, batch_sender(ab), asio::use_future);
  std::vector<std::thread> pool;
  for (int i = 0; i < 3; ++i) pool.emplace_back([&] { io.run_for(60s); });
  std::thread single([&] {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (std::uint32_t seq = 0; seq < kCount && std::chrono::steady_clock::now() < deadline;) {
      if (cb->send_datagram(seq_bytes(seq))) {
        ++seq;
      } else {
        std::this_thread::yield();
      }
    }
  });
  single.join();
  const bool finished = from_a.wait_for(60s) == std::future_status::ready &&
                        from_c.wait_for(60s) == std::future_status::ready &&
                        sent_a.wait_for(60s) == std::future_status::ready;
  io.stop();
  for (auto& t : pool) t.join();
  ASSERT_TRUE(finished);
  EXPECT_TRUE(sent_a.get());
  EXPECT_EQ(from_a.get(), kCount);
  EXPECT_EQ(from_c.get(), kCount);
  EXPECT_EQ(fabric->sent_count(ak, bk), kCount);
  EXPECT_EQ(fabric->sent_count(ck, bk), kCount);
}

// Opening a key again while another thread lets go of its closed link: the
// old link may end inside initiate(), and its end must not wait on the
// node's table that initiate() holds.
TEST(FabricConcurrency, ReopeningAKeyWhileItsClosedLinkEndsElsewhereGoesOn) {
  auto fabric = std::make_shared<Fabric>(4);
  auto a = fabric->add_node(Identity::generate(0).value());
  const PubKey bk = fabric->add_node(Identity::generate(0).value())->identity().pk();
  constexpr int kRounds = 200000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
  NodePeerRef handed;
  std::atomic<int> state{0};  // 1: `handed` waits for the releaser; 2: done
  std::thread releaser([&] {
    for (std::uint64_t spins = 1;; ++spins) {
      const int now = state.load(std::memory_order_acquire);
      if (now == 2 || (spins % 4096 == 0 && late())) return;
      if (now != 1) continue;
      handed.reset();
      state.store(0, std::memory_order_release);
    }
  });
  auto opener = std::async(std::launch::async, [&] {
    int reopened = 0;
    for (int i = 0; i < kRounds; ++i) {
      NodePeerRef link = a->initiate(bk).value();
      link->close();
      handed = std::move(link);
      state.store(1, std::memory_order_release);
      reopened += a->initiate(bk).value()->closed() ? 0 : 1;
      for (std::uint64_t spins = 1; state.load(std::memory_order_acquire) != 0; ++spins) {
        if (spins % 4096 == 0 && late()) return -1;  // the releaser is gone
        if (spins % 64 == 0) std::this_thread::yield();
      }
    }
    return reopened;
  });
  if (opener.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "initiate() hung while a closed link ended\n");
    std::abort();  // the stuck threads cannot be joined
  }
  EXPECT_EQ(opener.get(), kRounds) << "each reopening gives an open link";
  state.store(2, std::memory_order_release);
  releaser.join();
}

// Threads opening, using, closing and dropping links of one node at once,
// while the node itself goes: each opened link is open or closed by its
// own thread only, and the links kept work to the end.
TEST(FabricConcurrency, ThreadsOpeningAndEndingLinksOfOneNodeAtOnce) {
  auto fabric = std::make_shared<Fabric>(4);
  auto a = fabric->add_node(Identity::generate(0).value());
  const PubKey ak = a->identity().pk();
  std::vector<PubKey> keys;
  for (int i = 0; i < 16; ++i) {
    std::array<std::uint8_t, PubKey::kSize> raw{};
    raw[0] = 0xE0;
    raw[1] = static_cast<std::uint8_t>(i);
    keys.emplace_back(raw);
  }
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::future<std::vector<NodePeerRef>>> runs;
  for (int t = 0; t < kThreads; ++t) {
    runs.push_back(std::async(std::launch::async, [&, t] {
      std::vector<NodePeerRef> kept;
      for (int i = 0; i < kRounds; ++i) {
        NodePeerRef link = a->initiate(keys[(i * 7 + t) % keys.size()]).value();
        if (i % 5 == 0) link->close();
        if (i % 11 == 0) (void)link->send_datagram(bytes("x"));
        if (i % 997 == t) kept.push_back(std::move(link));
      }
      return kept;
    }));
  }
  std::vector<NodePeerRef> kept;
  for (auto& r : runs) {
    ASSERT_EQ(r.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    for (auto& l : r.get()) kept.push_back(std::move(l));
  }
  a.reset();  // its links stay
  ASSERT_FALSE(kept.empty());
  for (const auto& l : kept) {
    const auto& link = dynamic_cast<const MemoryNodePeer&>(*l);
    EXPECT_EQ(link.local_pk(), ak);
    if (!l->closed()) {
      EXPECT_TRUE(l->send_datagram(bytes("y")) || fabric->queued(l->pk(), ak) == 4);
    }
  }
}

}  // namespace
}  // namespace sarvolt::p2p
