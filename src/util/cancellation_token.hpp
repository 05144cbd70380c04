// CancellationToken: a shared flag that one side sets once and any number of
// holders observe. Copies share the same state. Callbacks registered before
// cancellation run once, on the cancelling thread; registered after, at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sarvolt::util {

class CancellationToken {
 public:
  CancellationToken() : state_(std::make_shared<State>()) {}

  void cancel() const {
    std::vector<std::function<void()>> run;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled.exchange(true)) return;
      run.swap(state_->callbacks);
    }
    for (auto& f : run) f();
  }

  bool is_cancelled() const noexcept { return state_->cancelled.load(std::memory_order_acquire); }

  // Runs `f` once when the token is cancelled (at once if it already is).
  void on_cancel(std::function<void()> f) const {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->cancelled.load()) {
        state_->callbacks.push_back(std::move(f));
        return;
      }
    }
    f();
  }

 private:
  struct State {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::vector<std::function<void()>> callbacks;
  };
  std::shared_ptr<State> state_;
};

}  // namespace sarvolt::util
