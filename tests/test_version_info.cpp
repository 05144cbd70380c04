#include <gtest/gtest.h>

#include <regex>

#include "version_info.hpp"

namespace sarvolt {
namespace {

VersionInfo record(std::string dirty, std::string debug) {
  return VersionInfo("1.0.0-beta.7", "abc1234", std::move(dirty), "2026-01-02T03:04:05.123456789Z",
                     std::move(debug), "ffi");
}

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
}

TEST(VersionInfo, BuildRecordHasTheFixedForms) {
  VersionInfo v;
  EXPECT_TRUE(std::regex_match(v.version, std::regex(R"(\d+\.\d+\.\d+.*)"))) << v.version;
  EXPECT_TRUE(std::regex_match(v.git_commit, std::regex("[0-9a-f]{7}"))) << v.git_commit;
  EXPECT_TRUE(v.git_dirty == "true" || v.git_dirty == "false");
  EXPECT_TRUE(v.debug == "true" || v.debug == "false");
  EXPECT_TRUE(std::regex_match(v.build_timestamp,
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z)")))
      << v.build_timestamp;
  EXPECT_EQ(v.features, "ffi");
}

}  // namespace
}  // namespace sarvolt
