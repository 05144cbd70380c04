// The stand-in system log: what it shows by default and by SARVOLT_LOG, and
// that loggers pass no line it would not show (those would be formatted for
// nothing, on the packet path too).
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/log/unified_log.hpp"
#include "util/log.hpp"

namespace {

using namespace sarvolt;
using spdlog::level::level_enum;

// Runs in a child: installs the log under SARVOLT_LOG=`wanted` (unset when
// null) and exits 0 when a logger passes `shown` and nothing below it.
[[noreturn]] void install_and_check(const char* wanted, level_enum shown) {
  if (wanted != nullptr) {
    ::setenv("SARVOLT_LOG", wanted, 1);
  } else {
    ::unsetenv("SARVOLT_LOG");
  }
  if (!unified_log::install() || unified_log::install()) std::_Exit(2);
  auto& logger = log::target("sarvolt_agent::test");
  const bool below = shown != spdlog::level::trace && logger.should_log(static_cast<level_enum>(shown - 1));
  std::_Exit(logger.should_log(shown) && !below ? 0 : 1);
}

TEST(UnifiedLogDeathTest, LoggersPassOnlyTheLevelsShown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(install_and_check(nullptr, spdlog::level::info), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(install_and_check("", spdlog::level::info), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(install_and_check("trace", spdlog::level::trace), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(install_and_check("Debug", spdlog::level::debug), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(install_and_check("error", spdlog::level::err), testing::ExitedWithCode(0), "");
  // Not a level: a warning, and info as by default.
  EXPECT_EXIT(install_and_check("loud", spdlog::level::info), testing::ExitedWithCode(0), "SARVOLT_LOG=loud is not a level");
}

TEST(UnifiedLog, EntryTypesAndLevelNames) {
  EXPECT_EQ(unified_log::entry_type(spdlog::level::trace), "debug");
  EXPECT_EQ(unified_log::entry_type(spdlog::level::info), "default");
  EXPECT_EQ(unified_log::entry_type(spdlog::level::err), "fault");
  EXPECT_EQ(unified_log::level_named("WARN"), spdlog::level::warn);
  EXPECT_FALSE(unified_log::level_named("warning").has_value());
}

}  // namespace
