#include "util/task_group.hpp"

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

struct TaskGroup::State {
  std::mutex mutex;
  std::condition_variable idle;
  boost::unordered_flat_set<std::shared_ptr<Entry>> tasks;
  std::vector<std::shared_ptr<Wake>> waiters;

  void finished(const std::shared_ptr<Entry>& e) {
    std::vector<std::shared_ptr<Wake>> wake;
    {
      std::lock_guard lock(mutex);
      e->done.store(true, std::memory_order_release);
      tasks.erase(e);
      if (!tasks.empty()) return;
      wake.swap(waiters);
      idle.notify_all();
    }
    for (auto& w : wake) (void)w->try_send(boost::system::error_code{});
  }
  // On the entry's strand: runs the task until it first waits.
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

struct TaskGroup::Batch::EntryBlock {
  Entry entries[16];
};

struct TaskGroup::Batch::Pending {
  Pending(std::shared_ptr<Entry> e, asio::awaitable<void> task, Maker&& make, OnDone&& on_done) noexcept
      : e(std::move(e)), task(std::move(task)), make(std::move(make)), on_done(std::move(on_done)) {}
  std::shared_ptr<Entry> e;
  asio::awaitable<void> task;  // or made by `make` at the launch
  Maker make;
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
  return add(ex, std::move(task), Maker(), std::move(on_done));
}

TaskGroup::Task TaskGroup::Batch::add(const asio::any_io_executor& ex, asio::awaitable<void> task, Maker&& make,
                                      OnDone&& on_done) {
  if (!entries_ || entries_used_ == std::size(entries_->entries)) {
    entries_ = std::make_shared<EntryBlock>();
    entries_used_ = 0;
  }
  std::shared_ptr<Entry> e(entries_, &entries_->entries[entries_used_]);
  ++entries_used_;
  // Room for what is still expected, made once when the list is full.
  const std::size_t room = expected_ > pending_.size() ? expected_ - pending_.size() : 0;
  const bool grow = pending_.capacity() == pending_.size() && room > 1;
  {
    std::lock_guard lock(group_.s_->mutex);
    auto& tasks = group_.s_->tasks;
    if (grow) tasks.reserve(tasks.size() + room);
    tasks.insert(e);
  }
  if (grow) pending_.reserve(pending_.size() + room);
  if (pending_.empty()) ex_ = ex;
  pending_.emplace_back(e, std::move(task), std::move(make), std::move(on_done));
  return Task(std::move(e));
}

void TaskGroup::Batch::launch() {
  expected_ = 0;
  if (pending_.empty()) return;
  // One post for the whole batch: the strands are made there, off the
  // spawner's thread, and on a runtime thread each fresh strand runs its
  // task's start inline, so no thread is woken per task.
  asio::post(ex_, [s = group_.s_, ex = ex_, all = std::move(pending_)]() mutable {
    for (auto& p : all) {
      p.e->strand = strand_of(ex);
      p.e->placed.store(true, std::memory_order_seq_cst);
      const auto& strand = p.e->strand;
      auto task = p.make ? p.make() : std::move(p.task);
      asio::dispatch(strand, [s, e = p.e, task = std::move(task), on_done = std::move(p.on_done)]() mutable {
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
  }
  for (auto& e : all) e->stop(e);
}

std::size_t TaskGroup::size() const {
  std::lock_guard lock(s_->mutex);
  return s_->tasks.size();
}

asio::awaitable<void> TaskGroup::wait() {
  auto wake = std::make_shared<Wake>(co_await asio::this_coro::executor, 1);
  {
    std::lock_guard lock(s_->mutex);
    if (s_->tasks.empty()) co_return;
    s_->waiters.push_back(wake);
  }
  (void)co_await wake->async_receive(asio::as_tuple(asio::use_awaitable));
}

bool TaskGroup::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(s_->mutex);
  return s_->idle.wait_for(lock, timeout, [&] { return s_->tasks.empty(); });
}

}  // namespace sarvolt::util
