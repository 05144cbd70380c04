// The agent's running core: the task group, the state lock, the housekeeping
// runner and pass, documents by URL, per-network processing, network-change
// notification, start and the shutdown step.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/agent.hpp"
#include "agent/housekeeping.hpp"
#include "agent/status.hpp"
#include "data_plane.hpp"
#include "heap_count.hpp"
#include "http_fixture.hpp"
#include "util/block_on.hpp"
#include "util/cancellable.hpp"
#include "util/http_client.hpp"
#include "util/rwlock.hpp"
#include "util/task_group.hpp"

namespace sarvolt::test {
namespace {

namespace asio = boost::asio;
using network::NetworkHealth;


// A network document for 10.1.0.0/16 listing `members` (a: .5, b: .6, c: .7).
std::string document(const std::vector<std::pair<char, const p2p::Identity*>>& members, const std::string& extra = "") {
  std::string doc = "name = \"lab\"\nnetwork = \"10.1.0.0/16\"\n";
  int host = 5;
  for (const auto& [name, id] : members)
    doc += fmt::format("[[node]]\npk = \"{}\"\nip = \"10.1.0.{}\"\nhostname = \"{}\"\ngroups = [\"g\"]\n",
                       id->pk().to_string(), host++, name);
  return doc + "[[policy]]\nsource_groups = [\"g\"]\ndestination_groups = [\"g\"]\n" + extra;
}

// A TCP port on 127.0.0.1 that takes connections and never answers.
struct SilentPort {
  SilentPort() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 4096) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("no listening socket");
    port = ntohs(a.sin_port);
  }
  ~SilentPort() { ::close(fd); }
  std::string url(const std::string& path) const { return fmt::format("http://127.0.0.1:{}{}", port, path); }
  int fd = -1;
  std::uint16_t port = 0;
};

std::string percent_encoded(std::string_view text) {
  std::string out;
  for (unsigned char c : text)
    out += std::isalnum(c) || c == '-' || c == '.' || c == '_' ? std::string(1, static_cast<char>(c))
                                                                : fmt::format("%{:02X}", c);
  return out;
}

// An agent core on the in-memory fabric with an HTTP client that trusts the
// test CA, a configuration file in a temporary directory and a listener that
// records every change.
struct Core {
  Core() : dp(DataPlane::Options{.with_tun = false, .with_dns = false}) {
    agent::AgentInner::Parts parts;
    parts.executor = dp.io.get_executor();
    parts.node = dp.nodes[0];
    parts.dns = agent::dns::MobileAgentDns::create(dp.io.get_executor());
    parts.http_client =
        *util::HttpClient::create(dp.io.get_executor(), {.total_timeout = 3000ms, .ca_file = certs.ca_file()});
    parts.config_path = (dir / "agent.toml").string();
    parts.platform->listener = [this](agent::NetworkChange c) { changes.push_back(std::move(c)); };
    inner = std::make_shared<agent::AgentInner>(std::move(parts));
  }
  ~Core() { inner->dns->shutdown(); }
  template <class F>
  void with_state(F f) { test::with_state(dp, *inner, f); }
  util::Url add(const std::string& url) {  // a manual network
    auto u = *util::Url::parse(url);
    with_state([&](agent::State& st) { st.config.network.emplace(u, network::Network(u)); });
    return u;
  }
  void pass() { ASSERT_TRUE(dp.run(agent::housekeeping(*inner))); }
  std::string file_url(const std::string& name) const { return "file://" + (dir / name).string(); }

  TestCertificates certs;
  TempDir dir;
  DataPlane dp;
  std::shared_ptr<agent::AgentInner> inner;
  std::vector<agent::NetworkChange> changes;  // written by the pass, read after it
};

TEST(RwLock, ServesInArrivalOrderAndACancelledWaitLeavesTheQueue) {
  asio::io_context io;
  util::AsyncRwLock<int> lock(0);
  std::vector<std::string> order;
  auto reader = [&](std::string name, std::chrono::milliseconds hold) -> asio::awaitable<void> {
    auto g = co_await lock.read();
    order.push_back(name);
    co_await asio::steady_timer(io, hold).async_wait(asio::use_awaitable);
  };
  auto writer = [&](std::string name) -> asio::awaitable<void> {
    auto g = co_await lock.write();
    order.push_back(name);
  };
  for (bool cancel_writer : {false, true}) {
    io.restart();
    order.clear();
    asio::cancellation_signal cancel;
    asio::co_spawn(io, reader("r1", 30ms), asio::detached);
    asio::co_spawn(io, writer("w1"), asio::bind_cancellation_slot(cancel.slot(), asio::detached));
    asio::co_spawn(io, reader("r2", 0ms), asio::detached);  // behind the waiting writer
    asio::co_spawn(io, reader("r3", 0ms), asio::detached);
    if (cancel_writer) asio::post(io, [&] { cancel.emit(asio::cancellation_type::terminal); });
    io.run();
    const std::vector<std::string> cancelled = {"r1", "r2", "r3"}, served = {"r1", "w1", "r2", "r3"};
    EXPECT_EQ(order, cancel_writer ? cancelled : served);
  }
}

TEST(TaskGroup, RunsEachTaskOnAStrandAndStopEndsItsWait) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  util::TaskGroup group;
  std::atomic<int> on_io_strand{0}, on_other_strand{0}, waiting{0}, ended{0};
  auto task = [&]() -> asio::awaitable<void> {
    const auto ex = co_await asio::this_coro::executor;
    if (const auto* s = ex.target<asio::strand<asio::io_context::executor_type>>(); s && s->running_in_this_thread())
      ++on_io_strand;
    if (const auto* s = ex.target<asio::strand<asio::any_io_executor>>(); s && s->running_in_this_thread())
      ++on_other_strand;
    ++waiting;
    co_await asio::steady_timer(ex, 10s).async_wait(asio::use_awaitable);
  };
  auto done = [&](std::exception_ptr) { ++ended; };
  group.spawn(io.get_executor(), task(), done);
  group.spawn(io.get_executor(), task(), done);
  // Any other executor: a strand over it.
  group.spawn(asio::any_io_executor(asio::make_strand(io)), task(), done);
  EXPECT_TRUE(eventually([&] { return waiting == 3; }));
  EXPECT_EQ(on_io_strand, 2);
  EXPECT_EQ(on_other_strand, 1);
  EXPECT_EQ(ended, 0);
  group.stop();
  EXPECT_TRUE(group.wait_for(2s));
  EXPECT_TRUE(eventually([&] { return ended == 3; }));
  work.reset();
  runner.join();
}

// A runtime polled on the test's thread (every handler run is counted); its
// tasks wait 10 s once started.
struct PolledTasks {
  asio::io_context io;
  std::atomic<int> started{0}, ended{0};

  asio::awaitable<void> task() {
    ++started;
    const auto ex = co_await asio::this_coro::executor;
    co_await asio::steady_timer(ex, 10s).async_wait(asio::use_awaitable);
  }
  util::TaskGroup::OnDone done() {
    return [this](std::exception_ptr) { ++ended; };
  }
  void drain() {
    for (int i = 0; i < 100 && io.poll() > 0; ++i) io.restart();
    io.restart();
  }
};

TEST(TaskGroup, ABatchStartsItsTasksWithOneHandlerAndKeepsEarlyStops) {
  PolledTasks rig;
  auto& [io, started, ended] = rig;
  util::TaskGroup group;
  constexpr int kTasks = 50;
  std::vector<util::TaskGroup::Task> tasks;
  {
    util::TaskGroup::Batch batch(group);
    for (int i = 0; i < kTasks; ++i) tasks.push_back(batch.spawn(io.get_executor(), rig.task(), rig.done()));
    EXPECT_EQ(group.size(), static_cast<std::size_t>(kTasks));
    EXPECT_EQ(io.poll(), 0u);  // nothing starts before the launch
    EXPECT_EQ(started, 0);
    io.restart();
    batch.launch();
    EXPECT_EQ(io.poll(), 1u);
    EXPECT_EQ(started, kTasks);
    io.restart();
    // Used again; a task stopped before it ever ran ends once started, and
    // destroying the batch launches what it holds.
    tasks.push_back(batch.spawn(io.get_executor(), rig.task(), rig.done()));
    tasks.back().stop();
  }
  rig.drain();
  EXPECT_EQ(started, kTasks + 1);
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(tasks.back().done());
  EXPECT_FALSE(tasks[0].done());
  group.stop();
  rig.drain();
  EXPECT_EQ(ended, kTasks + 1);
  EXPECT_TRUE(group.wait_for(0ms));
}

// A batch spawn costs the spawner the task's entry only: the strands are made
// by the launch, on the runtime. Stops racing with that launch from another
// thread still end every task.
TEST(TaskGroup, ABatchMakesItsStrandsAtTheLaunchAndStopsRacingItEndEveryTask) {
  asio::io_context io;
  util::TaskGroup group;
  auto task = [](std::atomic<int>& started) -> asio::awaitable<void> {
    ++started;
    const auto ex = co_await asio::this_coro::executor;
    co_await asio::steady_timer(ex, 10s).async_wait(asio::use_awaitable);
  };
  constexpr int kTasks = 200;
  std::atomic<int> started{0};
  {
    std::vector<asio::awaitable<void>> made;
    for (int i = 0; i < kTasks; ++i) made.push_back(task(started));
    util::TaskGroup::Batch batch(group);
    const std::size_t before = test::thread_heap_allocations();
    for (auto& t : made) batch.spawn(io.get_executor(), std::move(t));
    const std::size_t blocks = test::thread_heap_allocations() - before;
    EXPECT_LE(blocks, kTasks * 3 / 2) << blocks << " blocks for " << kTasks << " spawns";
  }
  for (int i = 0; i < 100 && io.poll() > 0; ++i) io.restart();
  io.restart();
  EXPECT_EQ(started, kTasks);
  group.stop();
  for (int i = 0; i < 100 && io.poll() > 0; ++i) io.restart();
  EXPECT_TRUE(group.wait_for(0ms));

  io.restart();
  auto work = asio::make_work_guard(io);
  std::thread a([&] { io.run(); }), b([&] { io.run(); });
  for (int round = 0; round < 20; ++round) {
    std::vector<util::TaskGroup::Task> tasks;
    {
      util::TaskGroup::Batch batch(group);
      for (int i = 0; i < 20; ++i) tasks.push_back(batch.spawn(io.get_executor(), task(started)));
    }
    for (const auto& t : tasks) t.stop();  // while the launch runs, or before or after it
    EXPECT_TRUE(group.wait_for(2s)) << "round " << round;
  }
  work.reset();
  a.join();
  b.join();
}

// A batch's entries share blocks: spawns cost far fewer blocks than tasks,
// and each task keeps working alone once the others of its block are gone.
TEST(TaskGroup, BatchEntriesShareBlocksAndOutliveTheirNeighbours) {
  PolledTasks rig;
  auto& [io, started, ended] = rig;
  util::TaskGroup group;
  constexpr int kTasks = 64;
  std::vector<asio::awaitable<void>> made;
  for (int i = 0; i < kTasks; ++i) made.push_back(rig.task());
  std::vector<util::TaskGroup::Task> tasks;
  tasks.reserve(kTasks);
  {
    util::TaskGroup::Batch batch(group);
    const std::size_t before = test::thread_heap_allocations();
    for (auto& t : made) tasks.push_back(batch.spawn(io.get_executor(), std::move(t), rig.done()));
    const std::size_t blocks = test::thread_heap_allocations() - before;
    EXPECT_LE(blocks, kTasks / 4) << blocks << " blocks for " << kTasks << " spawns";
  }
  rig.drain();
  EXPECT_EQ(started, kTasks);
  for (int i = 1; i < kTasks; ++i) tasks[i].stop();
  rig.drain();
  EXPECT_EQ(ended, kTasks - 1);
  tasks.erase(tasks.begin() + 1, tasks.end());  // the first block keeps only the first entry's task
  EXPECT_FALSE(tasks[0].done());
  EXPECT_EQ(group.size(), 1u);
  tasks[0].stop();
  rig.drain();
  EXPECT_TRUE(tasks[0].done());
  EXPECT_EQ(ended, kTasks);
  EXPECT_TRUE(group.wait_for(0ms));
}

// spawn_made() leaves the task's frame to the launch: the spawner makes only
// the entry, the launch calls each maker on the runtime (a stopped task's
// too, which then ends), and what the maker holds is released with it.
TEST(TaskGroup, BatchMakesMadeTasksAtTheLaunchOnTheRuntime) {
  asio::io_context io;
  util::TaskGroup group;
  struct Makes {
    std::atomic<int> made{0};
    std::atomic<bool> outside{false};  // a maker ran off the runner thread
    std::thread::id runner;
  } makes;
  std::atomic<int> started{0}, ended{0};
  const auto held = std::make_shared<int>(7);
  auto task = [&](std::shared_ptr<int> value) -> asio::awaitable<void> {
    ++started;
    EXPECT_EQ(*value, 7);
    const auto ex = co_await asio::this_coro::executor;
    co_await asio::steady_timer(ex, 10s).async_wait(asio::use_awaitable);
  };
  constexpr int kTasks = 64;
  std::vector<util::TaskGroup::Task> tasks;
  tasks.reserve(kTasks);
  const std::thread::id spawner = std::this_thread::get_id();
  {
    util::TaskGroup::Batch batch(group);
    batch.reserve(kTasks);
    const std::size_t before = test::thread_heap_allocations();
    for (int i = 0; i < kTasks; ++i) {
      tasks.push_back(batch.spawn_made(
          io.get_executor(),
          [m = &makes, t = &task, value = held]() mutable {  // as small as a maker must be
            ++m->made;
            if (std::this_thread::get_id() != m->runner) m->outside = true;
            return (*t)(std::move(value));
          },
          [&](std::exception_ptr) { ++ended; }));
    }
    const std::size_t blocks = test::thread_heap_allocations() - before;
    EXPECT_LE(blocks, kTasks / 16 + 2) << blocks << " blocks for " << kTasks << " spawns";
    EXPECT_EQ(makes.made, 0);
    EXPECT_EQ(group.size(), static_cast<std::size_t>(kTasks));
    EXPECT_EQ(held.use_count(), kTasks + 1);
    tasks.back().stop();  // before the launch: made, started, ended
  }
  EXPECT_EQ(makes.made, 0);
  std::thread run([&] {
    makes.runner = std::this_thread::get_id();
    for (int i = 0; i < 100 && io.poll() > 0; ++i) io.restart();
  });
  run.join();
  EXPECT_NE(makes.runner, spawner);
  EXPECT_EQ(makes.made, kTasks);
  EXPECT_FALSE(makes.outside);
  EXPECT_EQ(started, kTasks);
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(tasks.back().done());
  EXPECT_EQ(held.use_count(), kTasks);  // the frames hold it now, the makers no more
  group.stop();
  io.restart();
  for (int i = 0; i < 100 && io.poll() > 0; ++i) io.restart();
  EXPECT_EQ(ended, kTasks);
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_TRUE(group.wait_for(0ms));
}

// A batch's block joins the group whole: the slots no spawn took leave it
// at the launch, so a group whose batch tasks have ended is idle, and a
// batch used again takes a fresh block. Its entries are the group's from
// spawn() on: size(), stop() and wait() see them before the launch.
TEST(TaskGroup, ABatchBlockLeavesTheGroupWithItsLastTask) {
  PolledTasks rig;
  auto& [io, started, ended] = rig;
  util::TaskGroup group;
  util::TaskGroup::Batch batch(group);
  for (int i = 0; i < 3; ++i) batch.spawn_made(io.get_executor(), [&] { return rig.task(); }, rig.done());
  EXPECT_EQ(group.size(), 3u);
  EXPECT_FALSE(group.wait_for(0ms));
  std::thread([&] { group.stop(); }).join();  // before the launch
  batch.launch();
  rig.drain();
  EXPECT_EQ(started, 3);
  EXPECT_EQ(ended, 3);
  EXPECT_EQ(group.size(), 0u);
  EXPECT_TRUE(group.wait_for(0ms)) << "slots no spawn took keep the group busy";

  // Used again: a new block; one task ended by its handle, one by the group.
  auto first = batch.spawn_made(io.get_executor(), [&] { return rig.task(); });
  auto second = batch.spawn_made(io.get_executor(), [&] { return rig.task(); }, rig.done());
  batch.launch();
  rig.drain();
  EXPECT_EQ(group.size(), 2u);
  first.stop();
  rig.drain();
  EXPECT_TRUE(first.done());
  EXPECT_EQ(ended, 3);  // `first` has no handler
  EXPECT_FALSE(group.wait_for(0ms));
  group.stop();
  rig.drain();
  EXPECT_TRUE(second.done());
  EXPECT_EQ(ended, 4);
  EXPECT_TRUE(group.wait_for(0ms));
}

// An owner whose group's tasks hold it through their end handlers is freed
// with its runtime, whether the tasks were waiting, started by a batch, or
// never started at all.
TEST(TaskGroup, EndHandlersOfTasksThatNeverEndGoWithTheirRuntime) {
  struct Owner {
    util::TaskGroup group;
  };
  auto task = []() -> asio::awaitable<void> {
    const auto ex = co_await asio::this_coro::executor;
    co_await asio::steady_timer(ex, 10s).async_wait(asio::use_awaitable);
  };
  for (const int run_first : {0, 1}) {
    std::weak_ptr<Owner> weak;
    {
      auto io = std::make_unique<asio::io_context>();
      auto owner = std::make_shared<Owner>();
      weak = owner;
      {
        const auto done = [owner](std::exception_ptr) {};
        owner->group.spawn(io->get_executor(), task(), done);
        util::TaskGroup::Batch batch(owner->group);
        batch.spawn(io->get_executor(), task(), done);
        batch.spawn_made(io->get_executor(), [&] { return task(); }, done);
      }
      if (run_first)
        for (int i = 0; i < 100 && io->poll() > 0; ++i) io->restart();
      owner.reset();
      EXPECT_FALSE(weak.expired());  // held by its tasks' handlers
      io.reset();
    }
    EXPECT_TRUE(weak.expired()) << "run first: " << run_first;
  }
}

// Room asked of a batch is made at its first spawn, once, for the group's
// table and the batch's list alike.
TEST(TaskGroup, BatchReserveMakesItsRoomAtTheFirstSpawn) {
  asio::io_context io;
  util::TaskGroup group;
  std::atomic<int> started{0};
  auto task = [&]() -> asio::awaitable<void> {
    ++started;
    const auto ex = co_await asio::this_coro::executor;
    co_await asio::steady_timer(ex, 10s).async_wait(asio::use_awaitable);
  };
  constexpr int kTasks = 256;
  std::vector<asio::awaitable<void>> made;
  for (int i = 0; i < kTasks; ++i) made.push_back(task());
  {
    util::TaskGroup::Batch batch(group);
    const std::size_t before = test::thread_heap_allocations();
    batch.reserve(kTasks);
    EXPECT_EQ(test::thread_heap_allocations(), before) << "nothing spawned, nothing made";
    for (auto& t : made) batch.spawn(io.get_executor(), std::move(t));
    const std::size_t blocks = test::thread_heap_allocations() - before;
    EXPECT_LE(blocks, kTasks / 16 + 2) << blocks << " blocks for " << kTasks << " spawns";
    EXPECT_EQ(group.size(), static_cast<std::size_t>(kTasks));
  }
  for (int i = 0; i < 100 && io.poll() > 0; ++i) io.restart();
  io.restart();
  EXPECT_EQ(started, kTasks);
  group.stop();
  for (int i = 0; i < 100 && io.poll() > 0; ++i) io.restart();
  EXPECT_TRUE(group.wait_for(0ms));
}

TEST(DocumentsByUrl, FilesAndHttpBodiesReadSafely) {
  Core core;
  TestHttpServer http(&core.certs);
  const auto doc = document({{'a', &core.dp.a}});
  write_file(core.dir / "a%20b.toml", doc);
  ASSERT_EQ(::mkfifo((core.dir / "fifo").c_str(), 0600), 0);
  std::ofstream(core.dir / "big.toml") << std::string(agent::kMaxDocumentSize + 1, '#');
  write_file(core.dir / "latin1.toml", "\xff\n");
  std::string hex16 = "fffe";  // UTF-16 with its byte-order mark
  for (char ch : doc) hex16 += fmt::format("{:02x}00", ch);
  const struct {
    std::string url;
    std::string error;  // a prefix; empty: the document is read
  } cases[] = {
      {core.file_url("a%20b.toml"), ""},  // the path taken literally
      {core.file_url("missing.toml"), "I/O error: No such file or directory (os error 2)"},
      {core.file_url("fifo"), "I/O error: not a regular file"},
      {core.file_url("big.toml"), "I/O error: file is larger than the 16 MiB limit"},
      {core.file_url("latin1.toml"), "I/O error: stream did not contain valid UTF-8"},
      {"controller://1b4e28ba-2fa1-11d2-883f-0016d3cca427",
       "Configuration parse error: Controller network not found in cache: controller://1b4e28ba-"},
      {"ftp://u:p@h/x.toml", "Configuration parse error: Unsupported URL scheme: ftp://****:****@h/x.toml"},
      {http.url("/body?hex=" + hex16), ""},
      {http.url("/status/404"), "Configuration parse error: HTTP request failed with status '404 Not Found'"},
      {http.url("/status/204"), "Network error: "},  // an empty document
      {"http://127.0.0.1:1/n.toml", "HTTP client error: "},  // nothing listens there
  };
  for (const auto& c : cases) {
    auto got = core.dp.run(agent::fetch_network_config_data(*core.inner, *util::Url::parse(c.url), "s"));
    EXPECT_THAT(got ? "" : got.error().to_string(), testing::StartsWith(c.error)) << c.url;
    EXPECT_EQ(got.has_value(), c.error.empty()) << c.url;
  }
  // Exactly one header of our own: the node's key.
  const auto seen = http.requests().front()["headers"];
  EXPECT_EQ(seen, nlohmann::json::parse(fmt::format(R"([["Host", "127.0.0.1:{}"], ["sarvolt-pk", "{}"]])",
                                                    http.port(), core.dp.a.pk().to_string())));
}

// One network through process_network_configs: slot, flags and prior health in,
// health, desired state and the name flag out.
TEST(ProcessNetworkConfigs, HealthAndDesiredStateTable) {
  Core core;
  const auto &a = core.dp.a, &b = core.dp.b;
  const auto member = *network::NetworkConfig::try_from(document({{'a', &a}, {'b', &b}}));
  const auto stranger = *network::NetworkConfig::try_from(document({{'b', &b}}));
  // A route to b's own address: the access rules cannot be derived.
  const auto clash = *network::NetworkConfig::try_from(
      document({{'a', &a}, {'b', &b}, {'c', &core.dp.c}},
               "[[route]]\ndest = \"10.1.0.6/32\"\ngw = \"" + core.dp.c.pk().to_string() + "\"\n"));
  const auto failure = std::make_shared<const core::Error>(core::Error::io(std::string("gone")));
  using H = NetworkHealth;
  const struct {
    const char* what;
    network::NetworkConfigSlot slot;
    bool disabled;
    H before, after;
    bool derived;  // desired state from the document (else: default or untouched)
    bool name_changed;
  } cases[] = {
      {"empty slot", {}, false, H::ok(), H::ok(), false, false},
      {"empty after disabled", {}, false, H::disabled(), H::initializing(), false, false},
      {"retrieval error", failure, false, H::ok(), H::retrieve_config_error("I/O error: gone"), false, false},
      {"member", member, false, H::initializing(), H::initializing(), true, true},
      {"member after an error", member, false, H::invalid_config_error("x"), H::pending(), true, true},
      {"member again after not a member", member, false, H::not_a_member_error(), H::pending(), true, true},
      {"not a member", stranger, false, H::ok(), H::not_a_member_error(), false, true},
      {"lists fail", clash, false, H::ok(), H::invalid_config_error("duplicate route"), false, true},
      {"disabled", member, true, H::ok(), H::disabled(), false, true},
  };
  for (const auto& c : cases) {
    const auto url = *util::Url::parse("file:///n.toml");
    agent::State state{agent::AgentConfig(a)};
    auto& n = state.config.network.emplace(url, network::Network(url, c.disabled)).first->second;
    n.config = c.slot;
    n.health = c.before;
    n.desired.routes = network::AppliedStatus<network::EffectiveRoutingList>::failed("old");
    EXPECT_EQ(agent::process_network_configs(*core.inner, state), c.name_changed) << c.what;
    EXPECT_EQ(n.health, c.after) << c.what;
    if (c.derived) {
      EXPECT_EQ(n.desired.ip.applied, net("10.1.0.5/16")) << c.what;
      EXPECT_TRUE(n.desired.hostnames.applied) << c.what;
    } else if (std::holds_alternative<network::NetworkConfig>(c.slot)) {
      EXPECT_EQ(n.desired, network::AgentState{}) << c.what;
    } else {
      EXPECT_EQ(n.desired.routes.error, "old") << c.what << ": the last desired state is kept";
    }
  }
}

TEST(Housekeeping, PassNotifiesAndSavesOnlyOnChangesAndRetriesAFailedSave) {
  Core core;
  core.pass();
  ASSERT_EQ(core.changes.size(), 1u) << "the first pass always notifies";
  EXPECT_EQ(core.changes[0].debug(), "NetworkChange { ips: Some([]), routes: Some([]), dns_server: None }");
  const auto route = "[[route]]\ndest = \"10.9.0.0/16\"\ngw = \"" + core.dp.b.pk().to_string() + "\"\n";
  auto doc = document({{'a', &core.dp.a}, {'b', &core.dp.b}}, route);
  write_file(core.dir / "n.toml", doc);
  const auto url = core.add(core.file_url("n.toml"));
  const auto saved = core.dir / "agent.toml";
  core.pass();  // the name "lab" is new
  EXPECT_THAT(read_file(saved), testing::HasSubstr("name = \"lab\""));
  core.with_state([&](agent::State& st) { EXPECT_EQ(st.config.network.at(url).health, NetworkHealth::ok()); });
  ASSERT_EQ(core.changes.size(), 2u);
  EXPECT_EQ(core.changes[1].debug(),
            "NetworkChange { ips: Some([10.1.0.5/16]), routes: Some([10.9.0.0/16]), dns_server: Some(10.1.255.254) }");

  std::filesystem::remove(saved);
  core.pass();
  EXPECT_FALSE(std::filesystem::exists(saved)) << "nothing changed: no write";
  EXPECT_EQ(core.changes.size(), 2u) << "nor a notification";

  // A save that fails is repeated by later passes until it succeeds.
  write_file(core.dir / "n.toml", doc.replace(8, 3, "lob"));
  std::filesystem::create_directory(saved);
  core.pass();
  std::filesystem::remove(saved);
  core.pass();
  EXPECT_THAT(read_file(saved), testing::HasSubstr("name = \"lob\""));
}

TEST(Housekeeping, RunnerTicksAtOnceCatchesUpAndStopsOnTheToken) {
  LogCapture logs;
  Core core;
  util::CancellationToken token;
  auto passes = [&] { return logs.count("Finished housekeeping"); };
  // Hold the state so that the first pass waits three periods.
  auto hold = [&]() -> asio::awaitable<void> {
    auto st = co_await core.inner->state.write();
    co_await asio::steady_timer(core.dp.io, 330ms).async_wait(asio::use_awaitable);
  };
  auto held = asio::co_spawn(core.dp.io, hold(), asio::use_future);
  std::this_thread::sleep_for(20ms);
  core.inner->tasks.spawn(core.dp.io.get_executor(), agent::housekeeping_runner(core.inner, token, 100ms));
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(passes(), 0u);
  held.get();
  // The first pass and the ticks that fell due meanwhile follow at once (the
  // next tick is 100 ms away).
  EXPECT_TRUE(eventually([&] { return passes() >= 4; }, 90ms)) << passes();
  token.cancel();
  EXPECT_TRUE(core.inner->tasks.wait_for(2s));
  const auto done = passes();
  EXPECT_EQ(logs.count("Housekeeping runner cancelled"), 1u);
  EXPECT_EQ(logs.count("Housekeeping runner finished"), 1u);
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(passes(), done);
}

TEST(Housekeeping, ShutdownCancelsTheRunningPassAndKeepsWhatItHad) {
  LogCapture logs;
  Core core;
  TestHttpServer http;
  SilentPort silent;
  std::vector<util::Url> urls;
  for (int i = 0; i < 3; ++i) urls.push_back(core.add(http.url(fmt::format("/slow?seconds=10&n={}", i))));
  for (int i = 0; i < 3; ++i) urls.push_back(core.add(silent.url(fmt::format("/n{}.toml", i))));
  // What an earlier pass left: a document in one slot, a desired state that shutdown resets.
  const auto doc = *network::NetworkConfig::try_from(document({{'a', &core.dp.a}}));
  core.with_state([&](agent::State& st) {
    auto& n = st.config.network.at(urls[0]);
    n.config = doc;
    n.health = NetworkHealth::pending();
    n.desired.ip.applied = net("10.1.0.5/16");
  });
  auto pass = asio::co_spawn(core.dp.io, agent::housekeeping(*core.inner), asio::use_future);
  ASSERT_TRUE(eventually([&] { return logs.count("Sending request") == urls.size(); }));
  auto down = asio::co_spawn(core.dp.io, core.inner->shutdown(), asio::use_future);
  ASSERT_EQ(down.wait_for(2s), std::future_status::ready) << "shutdown waits for no document";
  ASSERT_EQ(pass.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(pass.get());
  down.get();
  EXPECT_TRUE(core.inner->token.is_cancelled());
  EXPECT_EQ(logs.count("Finished housekeeping"), 0u) << "a cancelled pass processes nothing";
  core.with_state([&](agent::State& st) {
    for (const auto& url : urls) {
      const auto& n = st.config.network.at(url);
      EXPECT_EQ(n.desired, network::AgentState{}) << url;
      EXPECT_FALSE(n.config_error()) << url << ": a cancelled fetch is no failure";
    }
    EXPECT_TRUE(st.config.network.at(urls[0]).network_config()) << "the earlier document is kept";
  });
}

// The pass fetches its documents side by side (at most 16 at once) without
// the state's lock, so a status report waits for none of them.
TEST(HousekeepingFetch, StatusWaitsForNoDocumentAndFetchesAreBounded) {
  LogCapture logs;
  Core core;
  TestHttpServer http;
  const std::size_t count = 20;
  for (std::size_t i = 0; i < count; ++i) core.add(http.url(fmt::format("/slow?seconds=2.5&n={}", i)));
  const auto start = std::chrono::steady_clock::now();
  auto pass = asio::co_spawn(core.dp.io, agent::housekeeping(*core.inner), asio::use_future);
  ASSERT_TRUE(eventually([&] { return logs.count("Sending request") >= agent::kMaxConcurrentFetches; }));
  auto report = asio::co_spawn(core.dp.io, agent::status_report(*core.inner), asio::use_future);
  ASSERT_EQ(report.wait_for(1s), std::future_status::ready) << "a status report waits for no document";
  EXPECT_FALSE(report.get().empty());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(logs.count("Sending request"), agent::kMaxConcurrentFetches) << "the rest waits for a free place";
  ASSERT_EQ(pass.wait_for(15s), std::future_status::ready);
  EXPECT_TRUE(pass.get());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 12s) << "two rounds, not twenty fetches in a row";
  EXPECT_EQ(logs.count("Sending request"), count);
  EXPECT_EQ(logs.count("Failed to retrieve network config: Network error: "), count);  // "ok" is no document
}

// A mix of good, failing and slow documents ends as fetching them one by one
// would; networks removed, disabled or added while the pass fetches are
// handled under the lock.
TEST(HousekeepingFetch, ResultsAsOneByOneAndChangesDuringTheFetch) {
  LogCapture logs;
  Core core;
  TestHttpServer http;
  const auto good = document({{'a', &core.dp.a}, {'b', &core.dp.b}});
  const auto stranger = document({{'b', &core.dp.b}});
  write_file(core.dir / "good.toml", good);
  write_file(core.dir / "off.toml", good);
  using H = NetworkHealth;
  const struct {
    std::string url;
    H health;  // the health's text for the errors, as a prefix
    bool derived;
  } cases[] = {
      {core.file_url("good.toml"), H::ok(), true},
      {http.url("/body?text=" + percent_encoded(good)), H::ok(), true},
      {http.url("/slow?seconds=1.5&text=" + percent_encoded(good)), H::ok(), true},
      {http.url("/slow?seconds=1.5&n=2&text=" + percent_encoded(stranger)), H::not_a_member_error(), false},
      {http.url("/slow?seconds=1.5&n=3"), H::retrieve_config_error("Network error: "), false},
      {http.url("/slow?seconds=5"), H::retrieve_config_error("HTTP client error: operation timed out"), false},
      {http.url("/status/404"),
       H::retrieve_config_error("Configuration parse error: HTTP request failed with status '404 Not Found'"), false},
      {"http://127.0.0.1:1/refused.toml", H::retrieve_config_error("HTTP client error: "), false},
      {core.file_url("missing.toml"), H::retrieve_config_error("I/O error: No such file"), false},
  };
  for (const auto& c : cases) core.add(c.url);
  const auto off = core.add(core.file_url("off.toml"));
  core.with_state([&](agent::State& st) { st.config.network.at(off).disabled = true; });
  const auto start = std::chrono::steady_clock::now();
  core.pass();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s) << "the slow documents are fetched side by side";
  const std::string failed = "Failed to retrieve network config: ";
  std::vector<std::string> failures;  // in the order the pass logged them
  for (const auto& line : logs.lines())
    if (line.text.starts_with(failed)) failures.push_back(line.text.substr(failed.size()));
  std::vector<std::string> expected_failures;
  core.with_state([&](agent::State& st) {
    for (const auto& [url, n] : st.config.network)
      if (n.health.kind() == H::Kind::RetrieveConfigError) expected_failures.push_back(n.config_error()->to_string());
    for (const auto& c : cases) {
      const auto& n = st.config.network.at(*util::Url::parse(c.url));
      EXPECT_EQ(n.health.kind(), c.health.kind()) << c.url;
      const auto want = c.health.debug();  // a prefix of the text inside
      EXPECT_THAT(n.health.debug(), testing::StartsWith(want.ends_with("\")") ? want.substr(0, want.size() - 2) : want))
          << c.url;
      EXPECT_EQ(n.desired.ip.applied, c.derived ? std::optional(net("10.1.0.5/16")) : std::nullopt) << c.url;
    }
    EXPECT_EQ(st.config.network.at(off).health, H::disabled());
  });
  EXPECT_EQ(failures, expected_failures) << "processed in the networks' order";

  // While the next pass fetches: one fetched network goes, one is disabled,
  // one is added.
  const auto gone = *util::Url::parse(cases[2].url), disabled = *util::Url::parse(cases[3].url);
  const auto added = *util::Url::parse(core.file_url("added.toml"));
  write_file(core.dir / "added.toml", good);
  auto pass = asio::co_spawn(core.dp.io, agent::housekeeping(*core.inner), asio::use_future);
  ASSERT_TRUE(eventually([&] { return logs.count("Sending request") >= 14; }));
  core.with_state([&](agent::State& st) {
    st.config.network.erase(gone);
    st.config.network.at(disabled).disabled = true;
    st.config.network.emplace(added, network::Network(added));
  });
  EXPECT_EQ(pass.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(logs.count(fmt::format("Network {} not found in config, skipping", gone.as_str())), 1u);
  core.with_state([&](agent::State& st) {
    EXPECT_FALSE(st.config.network.contains(gone));
    const auto& d = st.config.network.at(disabled);
    EXPECT_EQ(d.health, H::disabled());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(d.config));
    EXPECT_EQ(d.desired, network::AgentState{});
    const auto& a = st.config.network.at(added);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(a.config)) << "fetched by the next pass";
    EXPECT_EQ(a.health, H::ok());
  });
  core.pass();
  core.with_state([&](agent::State& st) {
    EXPECT_TRUE(st.config.network.at(added).network_config());
    EXPECT_EQ(st.config.network.at(added).desired.ip.applied, net("10.1.0.5/16"));
  });
}

// The agent's own shutdown ends a pass whose documents hang, and the runner.
TEST(HousekeepingFetch, AgentShutdownReturnsWhileDocumentsHang) {
  TempDir dir;
  Runtime rt;
  ScopedEnv port("SARVOLT_UDP_PORT", std::string("0"));
  SilentPort silent;
  LogCapture logs;
  agent::AgentConfig config(identity_from_seed(7));
  for (int i = 0; i < 3; ++i) {
    auto url = *util::Url::parse(silent.url(fmt::format("/n{}.toml", i)));
    config.network.emplace(url, network::Network(url));
  }
  auto started = util::block_on(rt.io.get_executor(), agent::Agent::start(config, (dir / "a.toml").string(), {}));
  ASSERT_TRUE(started);
  ASSERT_TRUE(eventually([&] { return logs.count("Sending request") >= 1; }));
  const auto start = std::chrono::steady_clock::now();
  util::block_on(rt.io.get_executor(), started->shutdown());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(logs.count("Housekeeping runner finished"), 1u);
  util::block_on(rt.io.get_executor(), started->release());
}

TEST(Cancellable, TheTokenEndsTheTaskAndAFinishedTaskGivesItsResult) {
  Runtime rt;
  auto wait = [](std::chrono::milliseconds d) -> asio::awaitable<int> {
    co_await asio::steady_timer(co_await asio::this_coro::executor, d).async_wait(asio::use_awaitable);
    co_return 7;
  };
  util::CancellationToken token;
  EXPECT_EQ(rt.run(util::cancellable(token, wait(1ms))), std::optional(7));
  auto waiting = asio::co_spawn(rt.io, util::cancellable(token, wait(60s)), asio::use_future);
  std::this_thread::sleep_for(50ms);
  token.cancel();
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), std::nullopt);
  EXPECT_EQ(rt.run(util::cancellable(token, wait(1ms))), std::nullopt) << "a cancelled token runs nothing";
  // A registration that goes first is never called.
  util::CancellationToken other;
  int called = 0;
  { const auto r = other.subscribe([&] { ++called; }); }
  const auto kept = other.subscribe([&] { called += 10; });
  other.cancel();
  EXPECT_EQ(called, 10);
}

// Agent::start with environment overrides and configuration settings: what
// binds, what fails (and how), and what the started agent holds.
TEST(AgentStart, EnvironmentAndConfigurationDecideTheStart) {
  TempDir dir;
  Runtime rt;
  ScopedEnv port("SARVOLT_UDP_PORT", std::string("0"));
  const struct {
    std::vector<std::pair<const char*, const char*>> env;
    std::function<void(agent::AgentConfig&)> edit;
    std::string error;  // a prefix; empty: starts
    std::uint16_t tun_mtu = 1280;
    bool dns = true;
  } cases[] = {
      {{}, {}, ""},
      {{{"SARVOLT_ARM_MESSAGES", "false"}}, {}, "", 1328},
      {{}, [](agent::AgentConfig& c) { c.mtu = 1400; }, "", 1400},
      {{}, [](agent::AgentConfig& c) { c.dns = agent::DnsConfig{true}; }, "", 1280, false},
      {{{"SARVOLT_UDP_ADDRS", " 127.0.0.1  ::1 "}}, {}, ""},
      {{{"SARVOLT_UDP_ADDRS", "10.0.0.1:5000"}}, {}, "Node error: Invalid udp addresses"},
      {{{"SARVOLT_MAX_PEERS", "1000"}}, {}, "Node error: Failed to bind node: "},
      {{}, [](agent::AgentConfig& c) { c.super_peers.emplace(); }, "Node error: Failed to bind node: "},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    std::vector<std::unique_ptr<ScopedEnv>> env;
    for (const auto& [name, value] : c.env) env.push_back(std::make_unique<ScopedEnv>(name, std::string(value)));
    agent::AgentConfig config(identity_from_seed(7));
    if (c.edit) c.edit(config);
    LogCapture logs;
    auto started = util::block_on(rt.io.get_executor(), agent::Agent::start(config, (dir / "a.toml").string(), {}));
    if (!c.error.empty()) {
      ASSERT_FALSE(started) << i;
      EXPECT_THAT(started.error().to_string(), testing::StartsWith(c.error)) << i;
      continue;
    }
    ASSERT_TRUE(started) << i << ": " << started.error().to_string();
    EXPECT_EQ(started->inner()->tun_mtu(), c.tun_mtu) << i;
    EXPECT_EQ(started->inner()->dns != nullptr, c.dns) << i;
    EXPECT_TRUE(logs.contains("debug", "Update check is not available on this platform")) << i;
    util::block_on(rt.io.get_executor(), started->shutdown());
    util::block_on(rt.io.get_executor(), started->release());
  }
}

}  // namespace
}  // namespace sarvolt::test
