#include <gtest/gtest.h>

#include "util/text.hpp"

namespace sarvolt::util {
namespace {

TEST(QuotedDebug, EscapesEveryCharacterThatIsNotPrintable) {
  const std::pair<std::string, std::string> table[] = {
      {"plain text", "\"plain text\""},
      {"say \"hi\" \\ bye", "\"say \\\"hi\\\" \\\\ bye\""},
      {"a\tb\rc\nd", "\"a\\tb\\rc\\nd\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u{0}\\u{1}\\u{1f}\\u{7f}\""},
      {"\xC2\x85 \xC2\x9F", "\"\\u{85} \\u{9f}\""},                       // C1 controls (Cc)
      {"a\xC2\xAD" "b\xE2\x80\x8B\xE2\x80\xAE\xEF\xBB\xBF", "\"a\\u{ad}b\\u{200b}\\u{202e}\\u{feff}\""},  // Cf
      {"x\xE2\x80\xA8y\xE2\x80\xA9z", "\"x\\u{2028}y\\u{2029}z\""},     // Zl, Zp
      {"\xEE\x80\x80\xF3\xB0\x80\x80", "\"\\u{e000}\\u{f0000}\""},     // Co
      {"\xCD\xB8\xEF\xB7\x90\xF4\x8F\xBF\xBF", "\"\\u{378}\\u{fdd0}\\u{10ffff}\""},  // Cn
      {"\xED\xA0\x80|\xED\xBF\xBF", "\"\\u{d800}|\\u{dfff}\""},         // surrogates as bytes
      {"\xFF\xC3", "\"\\xff\\xc3\""},                                     // not UTF-8
      // Printable stays as written: letters, marks, symbols, spaces.
      {"\xC3\xA9\xC3\x84 \xE2\x98\x83 e\xCC\x81 \xC2\xA0 \xE4\xBD\xA0 \xF0\x9F\x92\xA9",
       "\"\xC3\xA9\xC3\x84 \xE2\x98\x83 e\xCC\x81 \xC2\xA0 \xE4\xBD\xA0 \xF0\x9F\x92\xA9\""},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(quoted_debug(in), out);
}

TEST(LowerCase, FullUnicodeOrAsciiOnly) {
  EXPECT_EQ(to_lower_unicode("\xC3\x84RGER-\xCE\xA3\xCE\xA9"), "\xC3\xA4rger-\xCF\x83\xCF\x89");
  EXPECT_EQ(to_lower_unicode("\xE2\x84\xAA"), "k");  // Kelvin sign
  EXPECT_EQ(to_lower_unicode("AB\xFF"), "ab\xFF");    // not UTF-8
  EXPECT_EQ(to_lower_ascii("\xC3\x84Rg"), "\xC3\x84rg");
}

}  // namespace
}  // namespace sarvolt::util
