#include "version_info.hpp"

namespace sarvolt {

VersionInfo::VersionInfo()
    : VersionInfo(build::kVersion, build::kGitCommit, build::kGitDirty, build::kBuildTimestamp,
                  build::kDebug, build::kFeatures) {}

VersionInfo::VersionInfo(std::string version_, std::string git_commit_, std::string git_dirty_,
                         std::string build_timestamp_, std::string debug_, std::string features_)
    : version(std::move(version_)),
      git_commit(std::move(git_commit_)),
      git_dirty(std::move(git_dirty_)),
      build_timestamp(std::move(build_timestamp_)),
      debug(std::move(debug_)),
      features(std::move(features_)) {}

std::string VersionInfo::full_commit() const {
  return git_dirty == "true" ? git_commit + "-dirty" : git_commit;
}

std::string VersionInfo::profile() const { return debug == "true" ? "debug" : "release"; }

std::string VersionInfo::to_string() const {
  return fmt::format(
      "  Version: {}\n  Git Commit: {}\n  Build Profile: {}\n  Build Timestamp: {}\n  Features: {}\n",
      version, full_commit(), profile(), build_timestamp, features);
}

std::ostream& operator<<(std::ostream& os, const VersionInfo& v) { return os << v.to_string(); }

}  // namespace sarvolt
