// CancellationToken: a shared flag that one side sets once and any number of
// holders observe. Copies share the same state. Callbacks registered before
// cancellation run once, on the cancelling thread; registered after, at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace sarvolt::util {

class CancellationToken {
  struct State;

 public:
  CancellationToken() : state_(std::make_shared<State>()) {}

  void cancel() const {
    std::vector<std::pair<std::uint64_t, std::function<void()>>> run;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled.exchange(true)) return;
      run.swap(state_->callbacks);
    }
    for (auto& [id, f] : run) f();
  }

  bool is_cancelled() const noexcept { return state_->cancelled.load(std::memory_order_acquire); }

  // Runs `f` once when the token is cancelled (at once if it already is).
  void on_cancel(std::function<void()> f) const { (void)add(std::move(f)); }

  // Drops its callback unrun when it goes first; a callback that already
  // started may still be running then.
  class Registration {
   public:
    Registration() = default;
    Registration(Registration&& o) noexcept : state_(std::move(o.state_)), id_(std::exchange(o.id_, 0)) {}
    Registration& operator=(Registration&&) = delete;
    ~Registration() {
      auto s = state_.lock();
      if (!s || id_ == 0) return;
      std::lock_guard lock(s->mutex);
      std::erase_if(s->callbacks, [this](const auto& c) { return c.first == id_; });
    }

   private:
    friend class CancellationToken;
    Registration(const std::shared_ptr<State>& s, std::uint64_t id) : state_(s), id_(id) {}
    std::weak_ptr<State> state_;
    std::uint64_t id_ = 0;
  };

  // Like on_cancel, for as long as the returned registration lives.
  [[nodiscard]] Registration subscribe(std::function<void()> f) const {
    return Registration(state_, add(std::move(f)));
  }

 private:
  struct State {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::uint64_t next_id = 0;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> callbacks;
  };

  // The callback's id, or 0 when it ran at once.
  std::uint64_t add(std::function<void()> f) const {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->cancelled.load()) {
        const auto id = ++state_->next_id;
        state_->callbacks.emplace_back(id, std::move(f));
        return id;
      }
    }
    f();
    return 0;
  }
  std::shared_ptr<State> state_;
};

}  // namespace sarvolt::util
