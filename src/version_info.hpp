// VersionInfo: the build version record, six texts fixed at build time,
// the derived full commit and profile, and a five-line display.
#pragma once

#include <ostream>
#include <string>

#include <fmt/format.h>

namespace sarvolt {

namespace build {
extern const char* const kVersion;
extern const char* const kGitCommit;
extern const char* const kGitDirty;
extern const char* const kBuildTimestamp;
extern const char* const kDebug;
extern const char* const kFeatures;
}  // namespace build

struct VersionInfo {
  std::string version;
  std::string git_commit;
  std::string git_dirty;
  std::string build_timestamp;
  std::string debug;
  std::string features;

  // The record of this build (also the default value).
  VersionInfo();
  VersionInfo(std::string version, std::string git_commit, std::string git_dirty,
              std::string build_timestamp, std::string debug, std::string features);

  // git_commit, with "-dirty" when git_dirty is exactly "true".
  std::string full_commit() const;
  // "debug" when debug is exactly "true", else "release".
  std::string profile() const;
  // Five lines, each "  Name: value\n".
  std::string to_string() const;
};

std::ostream& operator<<(std::ostream& os, const VersionInfo& v);

}  // namespace sarvolt
