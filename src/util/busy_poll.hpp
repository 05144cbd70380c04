// Busy polling on the data path: a thread that has just moved traffic keeps
// polling, for a short bounded time, its own descriptor and those of the
// registered sources (parked readers such as the TUN reader), so that an
// answer coming back soon is taken on this thread without a wake-up. Sources
// register while they exist (process-wide, held weakly); a spin only ever
// follows traffic, so an idle process never spins.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

namespace sarvolt::util {

// A reader parked on a descriptor that a spinning thread may wake.
class PollSource {
 public:
  virtual ~PollSource() = default;
  virtual int poll_fd() const noexcept = 0;
  // Wakes the parked reader, at once on this thread where it can; false
  // when no reader waits.
  virtual bool poll_wake() = 0;
};

namespace busy_poll {

inline constexpr std::size_t kMaxSources = 8;

// Registers `source` (`id` is its address, for removal). False when the
// table is full: it is then not polled.
bool add(std::weak_ptr<PollSource> source, const PollSource* id);
void remove(const PollSource* id) noexcept;

// How a spin ended: `own` readable (or with an error to read), or the time
// up after it woke a source's reader, or up with nothing caught.
enum class SpinEnd { readable, woke, missed };

// Polls `own` and the sources until `window` has passed since the spin began
// or since the last source whose reader it woke, and for `limit` at most;
// ends at once when `own` is readable.
SpinEnd spin(int own, std::chrono::nanoseconds window, std::chrono::nanoseconds limit);

}  // namespace busy_poll
}  // namespace sarvolt::util
