#include <gtest/gtest.h>

#include <vector>

#include "util/encoding.hpp"

namespace sarvolt::util {
namespace {

TEST(Encoding, LabelsFindTheirEncoding) {
  const std::pair<std::string_view, const char*> table[] = {
      {"UTF8", "UTF-8"},
      {" \t\n\f\rUnicode-1-1-UTF-8 \r\n", "UTF-8"},
      {"latin1", "windows-1252"},
      {"us-ascii", "windows-1252"},
      {"utf-16", "UTF-16LE"},
      {"x-mac-ukrainian", "x-mac-cyrillic"},
      {"visual", "ISO-8859-8"},
      {"csISO88598I", "ISO-8859-8-I"},
      {"koi8-ru", "KOI8-U"},
      {"gb2312", "GBK"},
      {"sjis", "Shift_JIS"},
      {"csiso2022kr", "replacement"},
      {"", nullptr},
      {"utf-8\v", nullptr},         // vertical tab is not ASCII whitespace
      {"\xC2\xA0utf-8", nullptr},   // nor is NBSP
      {"unicode-1-1-utf-8x", nullptr},
      {"unicode-1-1-utf-8-longer-than-any", nullptr},
  };
  for (const auto& [label, name] : table) {
    auto e = get_encoding(label);
    if (name == nullptr) {
      EXPECT_FALSE(e) << label << " -> " << encoding_name(*e);
    } else {
      ASSERT_TRUE(e) << label;
      EXPECT_EQ(encoding_name(*e), name) << label;
    }
  }
  // Every canonical name is also a label of its own encoding.
  for (int i = 0; i <= static_cast<int>(Encoding::x_user_defined); ++i) {
    const auto e = static_cast<Encoding>(i);
    EXPECT_EQ(get_encoding(encoding_name(e)), e) << encoding_name(e);
  }
}

TEST(Encoding, ContentTypeCharset) {
  const std::pair<std::string_view, std::optional<std::string>> table[] = {
      {"  Text/Plain ;  CHARSET=Shift_JIS  ", "Shift_JIS"},
      {"text/plain; charset=\"a\\\"b\\\\\"", "a\"b\\"},
      {"text/plain; charset=\"utf-8\"junk; x=y", "utf-8"},
      {"text/plain; charset=first; charset=second", "first"},
      {"text/plain; charset=; charset=second", "second"},
      {"text/plain; charset=\"bad\x01\"; charset=good", "good"},
      {"text/plain; foo=\"x;charset=bad\"; charset=good", "good"},
      {"text/plain; charset=\"koi8-r, x\"", "koi8-r, x"},
      {"text/plain; charset =utf-8", std::nullopt},
      {"text/plain; charset", std::nullopt},
      {"text/plain", std::nullopt},
      {"charset=utf-8", std::nullopt},
      {"text/pl ain; charset=utf-8", std::nullopt},
      {"text/ plain; charset=utf-8", std::nullopt},
      {"", std::nullopt},
      // Comma-joined values, read as one field.
      {"text/html;charset=gbk, */*", "gbk"},
      {"text/html;charset=gbk, text/plain", std::nullopt},
      {"text/plain;charset=a, text/plain;charset=b, text/plain", "a"},
      {"text/plain;charset=a, text/html;charset=b", "b"},
  };
  for (const auto& [value, charset] : table) {
    EXPECT_EQ(charset_from_content_type(value), charset) << value;
  }
}

TEST(Encoding, DecodeReplacesMalformedInputAndHonoursTheByteOrderMark) {
  using enum Encoding;
  struct Case {
    Encoding encoding;  // the label's encoding, which a byte-order mark overrides
    std::vector<std::uint8_t> in;
    std::string out;
  };
  const Case table[] = {
      {windows_1252, {0xEF, 0xBB, 0xBF, 0x41}, "A"},
      {utf_16le, {0xEF, 0xBB, 0xBF, 0x41}, "A"},
      {utf_8, {0xFE, 0xFF, 0x00, 0x41}, "A"},
      {utf_16be, {0xFF, 0xFE, 0x41, 0x00}, "A"},
      {replacement, {0xFF, 0xFE}, ""},
      {utf_8, {0xEF, 0xBB, 0xBF, 0xEF, 0xBB, 0xBF}, "\uFEFF"},
      {utf_8, {0xEF, 0xBB}, "\uFFFD"},
      // UTF-8: one U+FFFD per maximal subpart of a sequence.
      {utf_8, {0xF4, 0x8F, 0xBF, 0xBF, 0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80}, "\U0010FFFF\uD7FF\uE000"},
      {utf_8, {0xF0, 0x9F, 0x98}, "\uFFFD"},
      {utf_8, {0xC0, 0x80}, "\uFFFD\uFFFD"},
      {utf_8, {0xED, 0xA0, 0x80}, "\uFFFD\uFFFD\uFFFD"},
      {utf_8, {0xE0, 0x9F, 0xBF}, "\uFFFD\uFFFD\uFFFD"},
      {utf_8, {0xF4, 0x90, 0x80, 0x80}, "\uFFFD\uFFFD\uFFFD\uFFFD"},
      {utf_8, {0xF5, 0xFF, 0x80}, "\uFFFD\uFFFD\uFFFD"},
      {utf_8, {0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64},
       "a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
      // UTF-16: surrogate pairs, lone surrogates and an odd last byte.
      {utf_16be, {0xD8, 0x3D, 0xDE, 0x00, 0x00, 0xE9}, "\U0001F600\u00E9"},
      {utf_16le, {0x00, 0xDE, 0x41, 0x00}, "\uFFFDA"},
      {utf_16le, {0x3D, 0xD8, 0x41, 0x00}, "\uFFFDA"},
      {utf_16le, {0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}, "\uFFFD\U0001F600"},
      {utf_16be, {0xD8, 0x3D}, "\uFFFD"},
      {utf_16le, {0x41, 0x00, 0x42}, "A\uFFFD"},
      {utf_16be, {0xD8, 0x3D, 0x42}, "\uFFFD"},
      // The replacement encoding and the legacy multi-byte ones.
      {replacement, {0x41, 0x42}, "\uFFFD"},
      {replacement, {}, ""},
      {gbk, {0x41, 0xD6, 0xD0}, "A\u4E2D"},
      {gb18030, {0x81, 0x30, 0x81, 0x30, 0x80, 0xA3, 0xA0}, "\u0080\u20AC\u3000"},
      {gbk, {0x81, 0x30, 0x81}, "\uFFFD"},
      {gbk, {0x95, 0x39, 0x41, 0x85, 0x34, 0xEF, 0x34, 0x42}, "\uFFFD9A\uFFFDB"},
      {euc_jp, {0x8F, 0x41}, "\uFFFDA"},
      {big5, {0xA4, 0xA4, 0x80, 0x41}, "\u4E2D\uFFFDA"},
      {big5, {0x88, 0x62}, "\u00CA\u0304"},
      {euc_jp, {0xC6, 0xFC, 0x8E, 0xB1, 0x8F, 0xB0, 0xA1}, "\u65E5\uFF71\u4E02"},
      {iso_2022_jp, {0x1B, 0x24, 0x42, 0x46, 0x7C, 0x1B, 0x28, 0x42, 0x41}, "\u65E5A"},
      {iso_2022_jp, {0x0E, 0x41, 0x1B, 0x41, 0x1B, 0x24}, "\uFFFDA\uFFFDA\uFFFD$"},
      {shift_jis, {0x93, 0xFA, 0x80, 0xB1, 0xFF, 0x41}, "\u65E5\u0080\uFF71\uFFFDA"},
      {euc_kr, {0xC7, 0xD1, 0xC9, 0xA1, 0x41, 0xA2, 0xE8, 0x42}, "\uD55C\uFFFDA\uFFFDB"},
  };
  for (const auto& c : table)
    EXPECT_EQ(decode(c.in, c.encoding), c.out) << encoding_name(c.encoding) << " " << testing::PrintToString(c.in);
  EXPECT_THROW(decode(std::vector<std::uint8_t>{0x80}, static_cast<Encoding>(200)), std::invalid_argument);
}

TEST(Encoding, SingleByteTables) {
  struct Case {
    const char* label;
    int byte;
    const char* out;
  };
  const Case table[] = {
      {"windows-1252", 0x80, "\u20AC"}, {"windows-1252", 0x81, "\u0081"}, {"windows-1252", 0x8D, "\u008D"},
      {"windows-1252", 0x9D, "\u009D"}, {"windows-1252", 0x9F, "\u0178"}, {"windows-1250", 0x83, "\u0083"},
      {"windows-1250", 0x8A, "\u0160"}, {"windows-1251", 0x98, "\u0098"}, {"windows-1251", 0xC0, "\u0410"},
      {"windows-1253", 0x81, "\u0081"}, {"windows-1253", 0xAA, "\uFFFD"}, {"windows-1253", 0xFF, "\uFFFD"},
      {"windows-1254", 0x8E, "\u008E"}, {"windows-1254", 0xD0, "\u011E"}, {"windows-1255", 0xCA, "\u05BA"},
      {"windows-1255", 0xD9, "\uFFFD"}, {"windows-1255", 0xA4, "\u20AA"}, {"windows-1256", 0x81, "\u067E"},
      {"windows-1257", 0xA1, "\uFFFD"}, {"windows-1257", 0x9F, "\u009F"}, {"windows-1258", 0xCC, "\u0300"},
      {"windows-874", 0x81, "\u0081"}, {"windows-874", 0xA1, "\u0E01"}, {"windows-874", 0xDB, "\uFFFD"},
      {"iso-8859-2", 0x80, "\u0080"}, {"iso-8859-2", 0xA1, "\u0104"}, {"iso-8859-3", 0xA5, "\uFFFD"},
      {"iso-8859-4", 0xA2, "\u0138"}, {"iso-8859-5", 0xB0, "\u0410"}, {"iso-8859-6", 0xC1, "\u0621"},
      {"iso-8859-6", 0xA1, "\uFFFD"}, {"iso-8859-7", 0xA4, "\u20AC"}, {"iso-8859-8", 0xAF, "\u00AF"},
      {"iso-8859-8", 0xDF, "\u2017"}, {"iso-8859-8-i", 0xE0, "\u05D0"}, {"iso-8859-10", 0xA2, "\u0112"},
      {"iso-8859-13", 0xA1, "\u201D"}, {"iso-8859-14", 0xA1, "\u1E02"}, {"iso-8859-15", 0xA4, "\u20AC"},
      {"iso-8859-16", 0xA5, "\u201E"}, {"koi8-r", 0xC1, "\u0430"}, {"koi8-r", 0x9A, "\u00A0"},
      {"koi8-u", 0xAE, "\u045E"}, {"koi8-u", 0xBE, "\u040E"}, {"koi8-u", 0xA4, "\u0454"},
      {"macintosh", 0xDB, "\u20AC"}, {"macintosh", 0x80, "\u00C4"}, {"macintosh", 0xF0, "\uF8FF"},
      {"x-mac-cyrillic", 0xFF, "\u20AC"}, {"x-mac-cyrillic", 0xA2, "\u0490"}, {"ibm866", 0x80, "\u0410"},
      {"ibm866", 0xFF, "\u00A0"}, {"x-user-defined", 0x80, "\uF780"}, {"x-user-defined", 0xFF, "\uF7FF"},
  };
  for (const auto& c : table) {
    const std::uint8_t in[] = {0x41, static_cast<std::uint8_t>(c.byte), 0x7F};
    EXPECT_EQ(decode(in, get_encoding(c.label).value()), std::string("A") + c.out + "\x7F")
        << c.label << " 0x" << std::hex << c.byte;
  }
}

TEST(Encoding, BodyUsesTheContentTypeCharset) {
  const std::vector<std::uint8_t> e9 = {0xE9}, a = {0x41, 0x00};
  EXPECT_EQ(decode_body(e9, std::nullopt), "\uFFFD");
  EXPECT_EQ(decode_body(e9, "text/plain"), "\uFFFD");
  EXPECT_EQ(decode_body(e9, "text/plain; charset=bogus"), "\uFFFD");
  EXPECT_EQ(decode_body(e9, "text/plain; charset=\" Latin1 \""), "\u00E9");
  EXPECT_EQ(decode_body(e9, "text/html; charset=iso-2022-kr"), "\uFFFD");
  EXPECT_EQ(decode_body(a, "application/toml; charset=utf-16"), "A");
}

}  // namespace
}  // namespace sarvolt::util
