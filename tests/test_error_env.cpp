#include <gtest/gtest.h>

#include <fcntl.h>

#include "agent/env.hpp"
#include "agent/error.hpp"
#include "support.hpp"

namespace sarvolt::agent {
namespace {

using K = Error::Kind;

TEST(Error, EveryKindDisplaysItsMessageInKindOrder) {
  const std::pair<K, std::string> cases[] = {
      {K::HttpClientError, "HTTP client error: x"},
      {K::Utf8Error, "UTF8 error: x"},
      {K::IoError, "I/O error: x"},
      {K::TomlError, "TOML error: x"},
      {K::UrlParseError, "URL parsing error: x"},
      {K::NetworkError, "Network error: x"},
      {K::IdentityError, "Identity error: x"},
      {K::NodeError, "Node error: x"},
      {K::TomlSerializationError, "TOML serialization error: x"},
      {K::ConfigParseError, "Configuration parse error: x"},
      {K::NetworkAlreadyExists, "Network already exists: x"},
      {K::NetworkNotFound, "Network not found: x"},
      {K::ControllerManagedNetwork, "Controller-managed networks cannot be added or removed manually: x"},
      {K::UnsupportedTunPlatform, "Unsupported TUN creation platform"},
      {K::NotLoggedIn, "Not logged in"},
  };
  int expected_kind = 0;
  for (const auto& [kind, text] : cases) {
    EXPECT_EQ(static_cast<int>(kind), expected_kind++);
    EXPECT_EQ(Error::make(kind, "x").to_string(), text);
  }
  EXPECT_EQ(Error::controller_unlink_failed(404, "gone").to_string(),
            "Controller unlink failed (HTTP 404 Not Found): gone");
  EXPECT_EQ(static_cast<int>(K::ControllerUnlinkFailed), 15);
  EXPECT_EQ(Error::controller_unlink_failed(599, "odd").to_string(), "Controller unlink failed (HTTP 599): odd");
}

TEST(Error, IoErrorCarriesTheOperatingSystemText) {
  int fd = ::open("/nonexistent/sarvolt", O_RDONLY);
  ASSERT_LT(fd, 0);
  auto e = Error::io(std::error_code(errno, std::system_category()));
  EXPECT_EQ(e.to_string(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(e.io_code(), std::errc::no_such_file_or_directory);
}

TEST(GetEnv, MinPowDifficulty) {
  const std::pair<std::optional<std::string>, int> table[] = {
      {std::nullopt, 24}, {"", 24}, {"abc", 24}, {"-1", 24}, {"256", 24}, {" 30", 24}, {"30 ", 24},
      {"++30", 24},       {"+", 24}, {"30", 30}, {"+30", 30}, {"0", 0},  {"255", 255}, {"030", 30},
      {"\xff", 24},
  };
  for (const auto& [value, expected] : table) {
    test::ScopedEnv env("SARVOLT_MIN_POW_DIFFICULTY", value);
    EXPECT_EQ(get_env_min_pow_difficulty(), expected) << value.value_or("<unset>");
  }
}

TEST(GetEnv, Boolean) {
  const std::pair<std::optional<std::string>, bool> table[] = {
      {std::nullopt, true}, {"true", true}, {"false", false}, {"False", true},
      {"FALSE", true},      {"0", true},    {"1", true},      {"", true},
  };
  for (const auto& [value, expected] : table) {
    test::ScopedEnv env("SARVOLT_ARM_MESSAGES", value);
    EXPECT_EQ(get_env("ARM_MESSAGES", true), expected) << value.value_or("<unset>");
  }
  test::ScopedEnv env("SARVOLT_ARM_MESSAGES", "yes");
  EXPECT_FALSE(get_env("ARM_MESSAGES", false));
}

}  // namespace
}  // namespace sarvolt::agent
