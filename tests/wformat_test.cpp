// Checks of the simulator's wide printf against the formats the program traces with, of the
// UTF conversions used to show the program's text on the host, and of the text of virtual time.
#include "sim/base/wformat.h"

#include "sim/base/time_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using sim::FormatWideV;

struct FormatCase {
  const char* name;
  std::u16string actual;
  std::u16string expected;
};

void ExpectAll(const std::initializer_list<FormatCase>& cases) {
  for (const FormatCase& c : cases) EXPECT_EQ(c.actual, c.expected) << c.name;
}

TEST(FormatWide, ProgramTraceFormats) {
  const std::uint32_t all_ones = 0xFFFFFFFFu;
  const std::int32_t negative = -42;
  ExpectAll({
      {"ril down", FormatWideV(u"[Shutdown|%s] Ril Down+ %d\r\n", u"NormalShutdown", 1234),
       u"[Shutdown|NormalShutdown] Ril Down+ 1234\r\n"},
      {"timestamp", FormatWideV(u"%d-%.2d-%.2d %.2d:%.2d:%.2d", 2024, 3, 7, 9, 5, 0), u"2024-03-07 09:05:00"},
      {"regread 0", FormatWideV(u"[ShutDownAnimation] regread = %#x.\r\n", 0), u"[ShutDownAnimation] regread = 0.\r\n"},
      {"regread 2", FormatWideV(u"[ShutDownAnimation] regread = %#x.\r\n", 2),
       u"[ShutDownAnimation] regread = 0x2.\r\n"},
      {"hex word", FormatWideV(u"0x%08X", 0x1Fu), u"0x0000001F"},
      {"notify", FormatWideV(u"[RIL|NotifyProc] dwCode = %d\r\n", 0x00800001),
       u"[RIL|NotifyProc] dwCode = 8388609\r\n"},
      {"negative", FormatWideV(u"%d %ld %i", negative, negative, INT32_MIN), u"-42 -42 -2147483648"},
      {"unsigned max", FormatWideV(u"%u %lu", all_ones, all_ones), u"4294967295 4294967295"},
      {"narrow", FormatWideV(u"%S|%hs|%ls|%ws", "gwes.exe", "a", u"b", u"c"), u"gwes.exe|a|b|c"},
      {"null", FormatWideV(u"%s|%S", static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr)),
       u"(null)|(null)"},
  });
}

TEST(FormatWide, IntegerConversions) {
  ExpectAll({
      {"alt hex", FormatWideV(u"%#x %#X %#o %#o", 0x1F, 0x1F, 8, 0), u"0x1f 0X1F 010 0"},
      {"octal", FormatWideV(u"%o", 8), u"10"},
      {"flags", FormatWideV(u"%+d % d %+d", 5, 5, -5), u"+5  5 -5"},
      {"unsigned ignores sign flags", FormatWideV(u"%+u", 5u), u"5"},
      {"width", FormatWideV(u"[%5d][%-5d][%05d][%-05d]", -3, -3, -3, -3), u"[   -3][-3   ][-0003][-3   ]"},
      {"precision beats zero", FormatWideV(u"[%06.3d]", 7), u"[   007]"},
      {"zero after prefix", FormatWideV(u"[%#06x]", 0xA), u"[0x000a]"},
      {"precision 0 of 0", FormatWideV(u"[%.0d][%.d]", 0, 0), u"[][]"},
      {"star", FormatWideV(u"[%*d][%*d][%.*d]", 4, 1, -4, 1, 3, 1), u"[   1][1   ][001]"},
      {"negative star precision", FormatWideV(u"[%.*d]", -1, 0), u"[0]"},
      {"short", FormatWideV(u"%hd %hu %hhd", 0x12345, 0x1FFFF, 0x1FF), u"9029 65535 -1"},
      {"64-bit", FormatWideV(u"%lld %I64u %llx", INT64_MIN, UINT64_MAX, 0x123456789ABCll),
       u"-9223372036854775808 18446744073709551615 123456789abc"},
      {"32-bit after 64", FormatWideV(u"%I64d %d", 1ll << 40, 7), u"1099511627776 7"},
      {"size", FormatWideV(u"%zu %Iu", std::size_t{1} << 40, std::size_t{3}), u"1099511627776 3"},
      {"pointer", FormatWideV(u"%p", reinterpret_cast<void*>(0xAB)), u"00000000000000AB"},
  });
}

TEST(FormatWide, TextAndOddFormats) {
  const char cut[] = {'a', 'b', 'c'};              // not terminated
  const char16_t wide_cut[] = {u'x', u'y', u'z'};  // not terminated
  ExpectAll({
      {"chars", FormatWideV(u"%c%C%hc%lc", u'\u00E9', 'A', 'B', u'\u20AC'), u"\u00E9AB\u20AC"},
      {"narrow high byte", FormatWideV(u"%C", 0xE9), u"\uFFFD"},
      {"string width", FormatWideV(u"[%6s][%-6s][%.2s]", u"abc", u"abc", u"abc"), u"[   abc][abc   ][ab]"},
      {"zero-padded string", FormatWideV(u"[%05s]", u"ab"), u"[000ab]"},
      {"unterminated", FormatWideV(u"%.2S%.3s", cut, wide_cut), u"abxyz"},
      {"narrow utf-8", FormatWideV(u"%S", "gr\xC3\xBC\xC3\x9F"), u"gr\u00FC\u00DF"},
      {"cut inside character", FormatWideV(u"[%.3S]", "a\xE2\x82\xAC"), u"[a]"},
      {"null with precision", FormatWideV(u"%.3s", static_cast<const char16_t*>(nullptr)), u"(nu"},
      {"percent", FormatWideV(u"100%%"), u"100%"},
      {"lone percent", FormatWideV(u"50%"), u"50%"},
      {"unfinished", FormatWideV(u"a%-5", 1), u"a%-5"},
      {"unfinished size", FormatWideV(u"a%I6"), u"a%I6"},
      {"unknown", FormatWideV(u"%k|%5y|%n|%d", 9), u"%k|%5y|%n|9"},
      {"huge width clamped", FormatWideV(u"%99999999999d", 1), std::u16string(sim::kMaxFieldWidth - 1, u' ') + u"1"},
      {"floating", FormatWideV(u"%.2f %e %5.1f", 3.14159, 0.5, -2.25), u"3.14 5.000000e-01  -2.2"},
  });
  EXPECT_EQ(FormatWideV(nullptr), u"");
}

TEST(Utf, RoundTripsAndReplacements) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const Case valid[] = {
      {"", u""},
      {"GWES.EXE", u"GWES.EXE"},
      {"\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\uFFFF\U0010FFFF"},
  };
  for (const Case& c : valid) {
    EXPECT_EQ(sim::Utf8ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(sim::Utf16ToUtf8(c.utf16), c.utf8);
  }
  const Case broken_utf8[] = {
      {"a\x80z", u"a\uFFFDz"},                            // stray continuation byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong lead
      {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82z", u"\uFFFDz"},                          // truncated, next byte kept
      {"\xF0\x9F\x98", u"\uFFFD"},                        // truncated at the end
      {"\xFF", u"\uFFFD"},
  };
  for (const Case& c : broken_utf8) EXPECT_EQ(sim::Utf8ToUtf16(c.utf8), c.utf16);
  // A view that ends inside a character must not be read beyond its end.
  EXPECT_EQ(sim::Utf8ToUtf16(std::string_view("\xE2\x82\xAC", 2)), u"\uFFFD");
  const std::u16string lone_high = {u'a', char16_t(0xD800), u'b'};
  const std::u16string lone_low = {char16_t(0xDC00)};
  const std::u16string reversed = {char16_t(0xDC00), char16_t(0xD800)};
  EXPECT_EQ(sim::Utf16ToUtf8(lone_high),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(sim::Utf16ToUtf8(lone_low), "\xEF\xBF\xBD");
  EXPECT_EQ(sim::Utf16ToUtf8(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Every reader of UTF-8 (the conversions, the picture's width estimate and escaping) decodes
// through DecodeUtf8: the characters it counts are the UTF-16 units Utf8ToUtf16 produces.
TEST(Utf, DecoderAndLengthFollowTheConversion) {
  const std::string texts[] = {"",          "abc",          "\xC3\xA9\xE2\x82\xAC",
                               "a\x80z",    "\xC0\xAF",     "\xED\xA0\x80",
                               "\xE2\x82z", "\xF0\x9F\x98", "\xF4\x90\x80\x80"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(sim::Utf8Length(text), sim::Utf8ToUtf16(text).size());
    std::string again;
    for (std::size_t pos = 0; pos < text.size();) {
      const sim::Utf8Char c = sim::DecodeUtf8(text, pos);
      ASSERT_GE(c.length, 1u);
      sim::AppendUtf8(again, c.code_point);
      pos += c.length;
    }
    EXPECT_EQ(again, sim::Utf16ToUtf8(sim::Utf8ToUtf16(text)));
  }
}

TEST(TimeText, DurationsAndInstants) {
  using sim::DurationDigits;
  struct Case {
    sim::Micros d;
    const char* hundredths;
    const char* three_digits;
  };
  const Case cases[] = {
      {0, "0 \u00b5s", "0 \u00b5s"},    {20, "20 \u00b5s", "20 \u00b5s"}, {999, "999 \u00b5s", "999 \u00b5s"},
      {1000, "1 ms", "1 ms"},           {1100, "1.1 ms", "1.1 ms"},       {63000, "63 ms", "63 ms"},
      {997250, "997.25 ms", "997 ms"},  {999700, "999.7 ms", "1000 ms"},  {1000000, "1 s", "1 s"},
      {1110000, "1.11 s", "1.11 s"},    {2500000, "2.5 s", "2.5 s"},      {59340000, "59.34 s", "59.3 s"},
      {123456789, "123.46 s", "123 s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::DurationText(c.d), c.hundredths) << c.d;
    EXPECT_EQ(sim::DurationText(c.d, DurationDigits::kThreeSignificant), c.three_digits) << c.d;
  }
  EXPECT_EQ(sim::SecondsText(16650000), "16.650 s");
  EXPECT_EQ(sim::SecondsText(0, 0), "0 s");
  EXPECT_EQ(sim::SecondsText(1234567, 6), "1.234567 s");
}

}  // namespace
