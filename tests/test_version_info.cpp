#include <gtest/gtest.h>

#include <regex>

#include "version_info.hpp"

namespace sarvolt {
namespace {

TEST(VersionInfo, DerivedTextsHonourOnlyExactTrue) {
  const auto record = [](std::string dirty, std::string debug) {
    return VersionInfo("1.0.0-beta.7", "abc1234", dirty, "2026-01-02T03:04:05.123456789Z", debug, "ffi");
  };
  for (const char* v : {"true", "True", "TRUE", "1", "false", ""}) {
    const bool yes = std::string_view(v) == "true";
    EXPECT_EQ(record(v, v).full_commit(), yes ? "abc1234-dirty" : "abc1234") << v;
    EXPECT_EQ(record(v, v).profile(), yes ? "debug" : "release") << v;
  }
  EXPECT_EQ(record("false", "false").to_string(),
            "  Version: 1.0.0-beta.7\n  Git Commit: abc1234\n  Build Profile: release\n"
            "  Build Timestamp: 2026-01-02T03:04:05.123456789Z\n  Features: ffi\n");
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
