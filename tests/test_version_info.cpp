#include <gtest/gtest.h>

#include <regex>

#include "version_info.hpp"

namespace sarvolt {
namespace {

VersionInfo record(std::string dirty, std::string debug) {
  return VersionInfo("1.0.0-beta.7", "abc1234", std::move(dirty), "2026-01-02T03:04:05.123456789Z",
                     std::move(debug), "ffi");
}

TEST(VersionInfo, DerivedTextsHonourOnlyExactTrue) {
  for (const char* v : {"true", "True", "TRUE", "1", "false", ""}) {
    const bool yes = std::string_view(v) == "true";
    EXPECT_EQ(record(v, v).full_commit(), yes ? "abc1234-dirty" : "abc1234") << v;
    EXPECT_EQ(record(v, v).profile(), yes ? "debug" : "release") << v;
  }
  EXPECT_EQ(record("false", "false").to_string(),
            "  Version: 1.0.0-beta.7\n  Git Commit: abc1234\n  Build Profile: release\n"
            "  Build Timestamp: 2026-01-02T03:04:05.123456789Z\n  Features: ffi\n");
}

// Each flag on its own: the other one held at "false".
TEST(VersionInfo, DerivedTextsOnlyHonourExactTrue) {
  EXPECT_EQ(record("true", "false").full_commit(), "abc1234-dirty");
  for (const char* v : {"True", "TRUE", "1", "false", ""}) {
    EXPECT_EQ(record(v, "false").full_commit(), "abc1234") << v;
    EXPECT_EQ(record("false", v).profile(), "release") << v;
  }
  EXPECT_EQ(record("false", "true").profile(), "debug");
  EXPECT_EQ(record("false", "yes").profile(), "release");
}

TEST(VersionInfo, DisplaysFiveLines) {
  EXPECT_EQ(record("false", "false").to_string(),
            "  Version: 1.0.0-beta.7\n"
            "  Git Commit: abc1234\n"
            "  Build Profile: release\n"
            "  Build Timestamp: 2026-01-02T03:04:05.123456789Z\n"
            "  Features: ffi\n");
  EXPECT_EQ(record("true", "true").to_string(),
            "  Version: 1.0.0-beta.7\n"
            "  Git Commit: abc1234-dirty\n"
            "  Build Profile: debug\n"
            "  Build Timestamp: 2026-01-02T03:04:05.123456789Z\n"
            "  Features: ffi\n");
}

TEST(VersionInfo, BuildRecordHasTheFixedForms) {
  const VersionInfo v;
  for (const auto& [text, form] : {std::pair{v.version, R"(\d+\.\d+\.\d+.*)"}, {v.git_commit, "[0-9a-f]{7}"},
                                   {v.git_dirty, "true|false"}, {v.debug, "true|false"}, {v.features, "ffi"},
                                   {v.build_timestamp, R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z)"}})
    EXPECT_TRUE(std::regex_match(text, std::regex(form))) << text;
}

}  // namespace
}  // namespace sarvolt
