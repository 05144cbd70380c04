#include "util/task_group.hpp"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

namespace sarvolt::util {

namespace asio = boost::asio;
using Wake = asio::experimental::concurrent_channel<void(boost::system::error_code)>;

struct TaskGroup::Entry {
  Entry() = default;  // of a batch: its strand comes with the launch
  explicit Entry(asio::any_io_executor s) : strand(std::move(s)) { placed.store(true, std::memory_order_relaxed); }
  asio::any_io_executor strand;  // a strand; set once, before `placed`
  asio::cancellation_signal signal;  // emitted on strand only
  std::atomic<bool> placed{false};  // `strand` is set
  std::atomic<bool> done{false};
  std::atomic<bool> stopped{false};  // a stop may come before a batch start
  Block* block = nullptr;  // of a batch: the block it is in

  // A stop before the strand is set leaves the cancel to the launch, which
  // tests `stopped` after setting it: one of the two sees the other.
  void stop(const std::shared_ptr<Entry>& self) {
    if (done.load(std::memory_order_acquire)) return;
    stopped.store(true, std::memory_order_seq_cst);
    if (!placed.load(std::memory_order_seq_cst)) return;
    asio::post(strand, [self] {
      if (!self->done.load(std::memory_order_acquire)) self->signal.emit(asio::cancellation_type::terminal);
    });
  }
};

// A batch's entries, 16 to a block. Each slot counts as live until its
// task has ended, or, for a slot the batch never used, until the batch
// leaves the block; the group holds the block while any slot is live.
struct TaskGroup::Block : std::enable_shared_from_this<Block> {
  static constexpr std::size_t kEntries = 16;
  Block() {
    for (auto& e : entries) e.block = this;
  }
  Entry entries[kEntries];
  std::atomic<std::size_t> used{0};  // entries spawned, published for stop()
  std::size_t live = kEntries;       // under the group's mutex
};

struct TaskGroup::State {
  std::mutex mutex;
  std::condition_variable idle;
  boost::unordered_flat_set<std::shared_ptr<Entry>> tasks;  // spawned alone
  boost::unordered_flat_map<Block*, std::shared_ptr<Block>> blocks;
  std::size_t block_slots = 0;  // live slots of `blocks`
  std::vector<std::shared_ptr<Wake>> waiters;

  bool empty() const noexcept { return tasks.empty() && block_slots == 0; }

  // Under `mutex`: `n` slots of `b` are no longer live.
  void release_locked(Block* b, std::size_t n) {
    b->live -= n;
    block_slots -= n;
    if (b->live == 0) blocks.erase(b);
  }
  // Under `lock`: wakes the waiters once the group has no task left.
  void wake_if_empty(std::unique_lock<std::mutex>& lock) {
    if (!empty()) return;
    std::vector<std::shared_ptr<Wake>> wake;
    wake.swap(waiters);
    idle.notify_all();
    lock.unlock();
    for (auto& w : wake) (void)w->try_send(boost::system::error_code{});
  }

  void finished(const std::shared_ptr<Entry>& e) {
    std::unique_lock lock(mutex);
    e->done.store(true, std::memory_order_release);
    if (e->block)
      release_locked(e->block, 1);
    else
      tasks.erase(e);
    wake_if_empty(lock);
  }
  // On the entry's strand: runs the task until it first waits.
  // The handler travels with the task, never in the entry: a task that
  // never ends (its runtime gone) must not keep what the handler holds.
  static void launch(const std::shared_ptr<State>& s, const std::shared_ptr<Entry>& e, asio::awaitable<void> task,
                     OnDone on_done) {
    // The completion handler keeps the entry, and so the signal whose slot
    // the coroutine uses, alive until the coroutine has ended.
    asio::co_spawn(e->strand, std::move(task),
                   asio::bind_cancellation_slot(e->signal.slot(),
                                                [s, e, on_done = std::move(on_done)](std::exception_ptr failure) {
                                                  s->finished(e);
                                                  if (on_done) on_done(failure);
                                                }));
  }
};

struct TaskGroup::Batch::Pending {
  Pending(Entry* e, Maker&& make, OnDone&& on_done) noexcept
      : e(e), make(std::move(make)), on_done(std::move(on_done)) {}
  Entry* e;  // in one of the batch's blocks
  Maker make;  // called at the launch
  OnDone on_done;
};

void TaskGroup::Task::stop() const {
  if (e_) e_->stop(e_);
}

bool TaskGroup::Task::done() const noexcept { return !e_ || e_->done.load(std::memory_order_acquire); }

TaskGroup::TaskGroup() : s_(std::make_shared<State>()) {}

TaskGroup::~TaskGroup() { stop(); }

namespace {

asio::any_io_executor strand_of(const asio::any_io_executor& ex) {
  if (const auto* io = ex.target<asio::io_context::executor_type>()) return asio::make_strand(*io);
  return asio::make_strand(ex);
}

}  // namespace

TaskGroup::Task TaskGroup::spawn(const asio::any_io_executor& ex, asio::awaitable<void> task, OnDone on_done) {
  return start(strand_of(ex), std::move(task), std::move(on_done));
}

TaskGroup::Task TaskGroup::spawn(Strand strand, asio::awaitable<void> task, OnDone on_done) {
  return start(asio::any_io_executor(std::move(strand)), std::move(task), std::move(on_done));
}

TaskGroup::Task TaskGroup::spawn(IoStrand strand, asio::awaitable<void> task, OnDone on_done) {
  return start(asio::any_io_executor(std::move(strand)), std::move(task), std::move(on_done));
}

TaskGroup::Task TaskGroup::start(asio::any_io_executor strand, asio::awaitable<void> task, OnDone on_done) {
  auto e = std::make_shared<Entry>(std::move(strand));
  {
    std::lock_guard lock(s_->mutex);
    s_->tasks.insert(e);
  }
  // Posted, so that the task never starts inside its spawner.
  asio::post(e->strand, [s = s_, e, task = std::move(task), on_done = std::move(on_done)]() mutable {
    State::launch(s, e, std::move(task), std::move(on_done));
  });
  return Task(std::move(e));
}

TaskGroup::Batch::Batch(TaskGroup& group) : group_(group) {}

TaskGroup::Batch::~Batch() { launch(); }

TaskGroup::Task TaskGroup::Batch::spawn(const asio::any_io_executor& ex, asio::awaitable<void> task,
                                        OnDone on_done) {
  return add(ex, Maker([t = std::move(task)]() mutable { return std::move(t); }), &on_done);
}

// A fresh block joins the group whole, with its slots: one lock per block,
// not per spawn.
void TaskGroup::Batch::open_block() {
  close_block();
  auto b = std::make_shared<Block>();
  // Room for what is still expected (else a block's worth), made once.
  const std::size_t room = expected_ > pending_.size() ? expected_ - pending_.size() : 0;
  const bool grow = pending_.capacity() == pending_.size();
  {
    std::lock_guard lock(group_.s_->mutex);
    auto& blocks = group_.s_->blocks;
    if (grow && room > Block::kEntries) blocks.reserve(blocks.size() + room / Block::kEntries + 1);
    blocks.emplace(b.get(), b);
    group_.s_->block_slots += Block::kEntries;
  }
  if (grow) pending_.reserve(pending_.size() + std::max(room, Block::kEntries));
  open_ = std::move(b);
  open_used_ = 0;
}

// Gives back the slots of the open block that no spawn took.
void TaskGroup::Batch::close_block() noexcept {
  const std::shared_ptr<Block> b = std::move(open_);
  if (!b || open_used_ == Block::kEntries) return;
  std::unique_lock lock(group_.s_->mutex);
  group_.s_->release_locked(b.get(), Block::kEntries - open_used_);
  group_.s_->wake_if_empty(lock);
}

TaskGroup::Task TaskGroup::Batch::add(const asio::any_io_executor& ex, Maker&& make, OnDone* on_done) {
  if (!open_ || open_used_ == Block::kEntries) open_block();
  Entry* e = &open_->entries[open_used_];
  if (pending_.empty()) ex_ = ex;
  pending_.emplace_back(e, std::move(make), on_done ? std::move(*on_done) : OnDone());
  // From here on the group's stop() reaches it.
  open_->used.store(++open_used_, std::memory_order_release);
  return Task(std::shared_ptr<Entry>(open_, e));
}

void TaskGroup::Batch::launch() {
  expected_ = 0;
  if (pending_.empty()) return;
  close_block();
  // One post for the whole batch: the strands are made there, off the
  // spawner's thread, and on a runtime thread each fresh strand runs its
  // task's start inline, so no thread is woken per task. The group holds
  // the blocks until their tasks have ended.
  asio::post(ex_, [s = group_.s_, ex = ex_, all = std::move(pending_)]() mutable {
    std::shared_ptr<Block> block;
    for (auto& p : all) {
      if (block.get() != p.e->block) block = p.e->block->shared_from_this();
      std::shared_ptr<Entry> e(block, p.e);
      e->strand = strand_of(ex);
      e->placed.store(true, std::memory_order_seq_cst);
      const auto& strand = e->strand;
      auto task = p.make();
      asio::dispatch(strand, [s, e = std::move(e), task = std::move(task), on_done = std::move(p.on_done)]() mutable {
        State::launch(s, e, std::move(task), std::move(on_done));
        // A stop that came before the start found no task to cancel.
        if (e->stopped.load(std::memory_order_seq_cst) && !e->done.load(std::memory_order_acquire))
          e->signal.emit(asio::cancellation_type::terminal);
      });
    }
  });
  pending_.clear();
  ex_ = {};
}

void TaskGroup::stop() {
  std::vector<std::shared_ptr<Entry>> all;
  {
    std::lock_guard lock(s_->mutex);
    all.assign(s_->tasks.begin(), s_->tasks.end());
    for (const auto& [raw, b] : s_->blocks) {
      const std::size_t used = b->used.load(std::memory_order_acquire);
      for (std::size_t i = 0; i < used; ++i)
        if (!b->entries[i].done.load(std::memory_order_relaxed)) all.emplace_back(b, &b->entries[i]);
    }
  }
  for (auto& e : all) e->stop(e);
}

std::size_t TaskGroup::size() const {
  std::lock_guard lock(s_->mutex);
  std::size_t n = s_->tasks.size();
  for (const auto& [raw, b] : s_->blocks) {
    const std::size_t used = b->used.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < used; ++i) n += b->entries[i].done.load(std::memory_order_relaxed) ? 0 : 1;
  }
  return n;
}

asio::awaitable<void> TaskGroup::wait() {
  auto wake = std::make_shared<Wake>(co_await asio::this_coro::executor, 1);
  {
    std::lock_guard lock(s_->mutex);
    if (s_->empty()) co_return;
    s_->waiters.push_back(wake);
  }
  (void)co_await wake->async_receive(asio::as_tuple(asio::use_awaitable));
}

bool TaskGroup::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(s_->mutex);
  return s_->idle.wait_for(lock, timeout, [&] { return s_->empty(); });
}

}  // namespace sarvolt::util
