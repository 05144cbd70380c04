// TaskGroup: coroutine tasks that can be stopped and whose end can be awaited.
//   spawn(ex, task)  runs `task` on a strand of `ex`; the Task handle stops it
//   spawn(strand, task)  runs it on that strand, which several tasks may share
//   stop()           stops every task of the group
//   wait()           completes once the group has no task left
//   wait_for(d)      the same, blocking, for threads outside the runtime
// A task starts on its strand after spawn() returned, never inside it.
// Batch: tasks spawned through it start together, with one post, when it is
// launched (or destroyed); they belong to the group from spawn() on. Their
// entries share blocks, which join the group whole, so a spawn rarely
// allocates or locks. spawn_made() leaves the making of the task (its
// coroutine frame) to the launch, on the runtime.
// Stopping is Asio's terminal cancellation, delivered on the task's strand:
// the operation the task waits on completes with operation_aborted, and so
// does every later one. Destroying the group stops its tasks without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

namespace sarvolt::util {

class TaskGroup {
  struct State;
  struct Entry;
  struct Block;

 public:
  using Strand = boost::asio::strand<boost::asio::any_io_executor>;
  using IoStrand = boost::asio::strand<boost::asio::io_context::executor_type>;
  // Told how a task ended: null for a return, else what it threw.
  using OnDone = std::function<void(std::exception_ptr)>;

  class Task {
   public:
    Task() = default;
    void stop() const;
    bool done() const noexcept;

   private:
    friend class TaskGroup;
    explicit Task(std::shared_ptr<Entry> e) : e_(std::move(e)) {}
    std::shared_ptr<Entry> e_;
  };

  // A move-only `() -> awaitable<void>` held in place: keeping one
  // allocates nothing.
  class Maker {
   public:
    static constexpr std::size_t kSize = 32;  // two counted handles
    Maker() = default;
    template <class F>
    explicit Maker(F f) {
      static_assert(sizeof(F) <= kSize && alignof(F) <= alignof(void*), "maker too large");
      static_assert(std::is_nothrow_move_constructible_v<F>);
      ::new (static_cast<void*>(buf_)) F(std::move(f));
      ops_ = &kOps<F>;
    }
    Maker(Maker&& o) noexcept { take(o); }
    Maker& operator=(Maker&& o) noexcept {
      if (this != &o) {
        reset();
        take(o);
      }
      return *this;
    }
    ~Maker() { reset(); }
    explicit operator bool() const noexcept { return ops_ != nullptr; }
    boost::asio::awaitable<void> operator()() { return ops_->call(buf_); }

   private:
    struct Ops {
      boost::asio::awaitable<void> (*call)(void*);
      void (*move)(void* from, void* to) noexcept;
      void (*destroy)(void*) noexcept;
    };
    template <class F>
    static constexpr Ops kOps = {
        [](void* p) { return (*static_cast<F*>(p))(); },
        [](void* from, void* to) noexcept {
          ::new (to) F(std::move(*static_cast<F*>(from)));
          static_cast<F*>(from)->~F();
        },
        [](void* p) noexcept { static_cast<F*>(p)->~F(); }};
    void take(Maker& o) noexcept {
      if (!o.ops_) return;
      o.ops_->move(o.buf_, buf_);
      ops_ = std::exchange(o.ops_, nullptr);
    }
    void reset() noexcept {
      if (ops_) std::exchange(ops_, nullptr)->destroy(buf_);
    }
    alignas(void*) unsigned char buf_[kSize];
    const Ops* ops_ = nullptr;
  };

  class Batch {
   public:
    explicit Batch(TaskGroup& group);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // As TaskGroup::spawn; the task starts once the batch is launched.
    Task spawn(const boost::asio::any_io_executor& ex, boost::asio::awaitable<void> task, OnDone on_done = {});
    // The same for the task `make()` returns, called at the launch on the
    // runtime (also for a task stopped before).
    template <class F>
    Task spawn_made(const boost::asio::any_io_executor& ex, F make) {
      return add(ex, Maker(std::move(make)), nullptr);
    }
    template <class F>
    Task spawn_made(const boost::asio::any_io_executor& ex, F make, OnDone on_done) {
      return add(ex, Maker(std::move(make)), &on_done);
    }
    // Starts every task spawned so far; the batch may be used again.
    void launch();
    // Room for up to `n` spawns until the launch, made at the next spawn
    // (none while nothing is spawned).
    void reserve(std::size_t n) noexcept { expected_ = n; }

   private:
    Task add(const boost::asio::any_io_executor& ex, Maker&& make, OnDone* on_done);
    void open_block();
    void close_block() noexcept;
    struct Pending;
    TaskGroup& group_;
    boost::asio::any_io_executor ex_;  // of the first spawn: one per batch
    std::vector<Pending> pending_;
    // Entries come 16 to a block, which the group holds while any of its
    // entries may still run.
    std::shared_ptr<Block> open_;  // the block entries come from now
    std::size_t open_used_ = 0;
    std::size_t expected_ = 0;
  };

  TaskGroup();
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  Task spawn(Strand strand, boost::asio::awaitable<void> task, OnDone on_done = {});
  Task spawn(IoStrand strand, boost::asio::awaitable<void> task, OnDone on_done = {});
  // On an io_context's executor the strand is a strand of that concrete
  // executor: it fits in the any_io_executor the coroutine runs on, so its
  // wake-ups and yields allocate nothing.
  Task spawn(const boost::asio::any_io_executor& ex, boost::asio::awaitable<void> task, OnDone on_done = {});

  void stop();
  std::size_t size() const;
  boost::asio::awaitable<void> wait();
  // False when tasks were still running after `timeout`.
  bool wait_for(std::chrono::milliseconds timeout);

 private:
  Task start(boost::asio::any_io_executor strand, boost::asio::awaitable<void> task, OnDone on_done);
  std::shared_ptr<State> s_;
};

}  // namespace sarvolt::util
