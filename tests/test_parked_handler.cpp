#include "util/parked_handler.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace {

namespace asio = boost::asio;
using sarvolt::util::Completion;
using sarvolt::util::ParkedHandler;
using Slot = ParkedHandler<128>;

// A handler on `io` that records its error code; `alive` tells whether a copy
// of it still exists.
auto recorder(asio::io_context& io, std::optional<boost::system::error_code>& got,
              std::shared_ptr<int> alive = nullptr) {
  return asio::bind_executor(io, [&got, alive](boost::system::error_code ec) { got = ec; });
}

TEST(ParkedHandler, HeldWorkKeepsContextRunningUntilCompleted) {
  asio::io_context io;
  std::optional<boost::system::error_code> got;
  Slot slot;
  EXPECT_FALSE(slot);
  slot.emplace(recorder(io, got));
  EXPECT_TRUE(slot);
  io.poll();
  EXPECT_FALSE(io.stopped());  // run() would wait for the parked handler
  slot.complete(asio::error::operation_aborted, Completion::post);
  EXPECT_FALSE(slot);
  EXPECT_FALSE(got);
  io.poll();
  EXPECT_EQ(got, asio::error::operation_aborted);
  EXPECT_TRUE(io.stopped());
}

TEST(ParkedHandler, DispatchRunsInlinePostAndDeferDoNot) {
  for (Completion how : {Completion::dispatch, Completion::post, Completion::defer}) {
    asio::io_context io;
    std::optional<boost::system::error_code> got;
    std::optional<bool> inline_run;
    Slot slot;
    slot.emplace(recorder(io, got));
    asio::post(io, [&] {
      slot.complete({}, how);
      inline_run = got.has_value();
    });
    io.run();  // bounded: returns once the handler ran and released its work
    EXPECT_EQ(inline_run, how == Completion::dispatch);
    EXPECT_EQ(got, boost::system::error_code{});
  }
}

TEST(ParkedHandler, ResetDropsHandlerAndReleasesWork) {
  asio::io_context io;
  std::optional<boost::system::error_code> got;
  auto alive = std::make_shared<int>(0);
  Slot slot;
  slot.emplace(recorder(io, got, alive));
  EXPECT_GT(alive.use_count(), 1);
  slot.reset();
  EXPECT_FALSE(slot);
  EXPECT_EQ(alive.use_count(), 1);
  io.poll();
  EXPECT_TRUE(io.stopped());
  EXPECT_FALSE(got);
  slot.complete({}, Completion::post);  // nothing parked: no effect
}

TEST(ParkedHandler, MovesBetweenSlotsAndFreesSlotBeforeRunning) {
  asio::io_context io;
  std::optional<boost::system::error_code> first, second;
  auto alive = std::make_shared<int>(0);
  Slot a;
  a.emplace(recorder(io, first, alive));
  Slot b = std::move(a);
  EXPECT_FALSE(a);
  EXPECT_TRUE(b);
  a = std::move(b);
  EXPECT_TRUE(a);
  EXPECT_FALSE(b);
  // Assigning over a held handler drops it.
  a = Slot{};
  EXPECT_EQ(alive.use_count(), 1);
  io.restart();  // its released work was the last

  // A handler parks the next wait in the slot it came from.
  a.emplace(asio::bind_executor(io, [&](boost::system::error_code ec) {
    first = ec;
    a.emplace(recorder(io, second));
  }));
  asio::post(io, [&] { a.complete({}, Completion::dispatch); });
  io.poll();
  EXPECT_TRUE(first);
  EXPECT_TRUE(a);
  EXPECT_FALSE(io.stopped());
  a.complete(asio::error::eof, Completion::post);
  io.run();
  EXPECT_EQ(second, asio::error::eof);
}

TEST(ParkedHandler, WithoutTrackedWorkContextMayStop) {
  asio::io_context io;
  std::optional<boost::system::error_code> got;
  ParkedHandler<64, false> slot;
  slot.emplace(recorder(io, got));
  io.poll();
  EXPECT_TRUE(io.stopped());
  io.restart();
  slot.complete({}, Completion::post);
  io.run();
  EXPECT_TRUE(got);
}

}  // namespace
