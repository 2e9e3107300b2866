// Checks of the 16-bit text helpers the program uses on registry values, resource strings
// and process names.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

#include "platform/platform.h"

namespace {

TEST(WText, WtolReadsLikeStrtol) {
  struct Case {
    LPCWSTR text;
    LONG expected;
  };
  const Case cases[] = {
      {u" -12x", -12},
      {u"+7", 7},
      {u"", 0},
      {u"abc", 0},
      {u"\t\n\v\f\r 42", 42},
      {u"-", 0},
      {u"+-3", 0},
      {u"- 3", 0},
      {u"007", 7},
      {u"2147483647", INT32_MAX},
      {u"-2147483648", INT32_MIN},
      {u"2147483648", INT32_MAX},
      {u"-2147483649", INT32_MIN},
      {u"99999999999", INT32_MAX},
      {u"-99999999999999999999", INT32_MIN},
      {u"12\x0663", 12},  // Arabic-Indic digit stops
      {nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(_wtol(c.text), c.expected) << testing::PrintToString(c.text);
  }
}

TEST(WText, LstrcpynWRespectsCapacity) {
  struct Case {
    LPCWSTR source;
    int capacity;
    std::u16string expected;  // buffer contents up to the terminator
  };
  const Case cases[] = {
      {u"GWES.EXE", 9, u"GWES.EXE"},
      {u"GWES.EXE", 8, u"GWES.EX"},
      {u"GWES.EXE", 1, u""},
      {u"", 5, u""},
      {nullptr, 5, u""},
  };
  for (const Case& c : cases) {
    WCHAR buffer[12];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(lstrcpynW(buffer, c.source, c.capacity), buffer);
    EXPECT_EQ(std::u16string(buffer), c.expected) << c.capacity;
    // Nothing beyond the capacity may be touched.
    for (int i = c.capacity; i < 12; ++i) EXPECT_EQ(buffer[i], u'#') << c.capacity;
  }
  for (int capacity : {0, -1, INT_MIN}) {
    WCHAR buffer[2] = {u'#', u'#'};
    lstrcpynW(buffer, u"abc", capacity);
    EXPECT_EQ(buffer[0], u'#') << capacity;
  }
}

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(WText, Comparisons) {
  struct Case {
    LPCWSTR left;
    LPCWSTR right;
    int exact;   // sign of lstrcmpW
    int folded;  // sign of lstrcmpiW
  };
  const Case cases[] = {
      {u"GWES.EXE", u"gwes.exe", -1, 0},
      {u"abc", u"abc", 0, 0},
      {u"abc", u"abd", -1, -1},
      {u"ab", u"abc", -1, -1},
      {u"abc", u"ab", 1, 1},
      {u"AZ", u"az", -1, 0},
      {u"@", u"`", -1, -1},            // neighbours of the letter ranges do not fold
      {u"[", u"a", -1, -1},            // folding goes to lower case, so '[' stays below letters
      {u"\u00C4", u"\u00E4", -1, -1},  // only ASCII letters fold
      {u"\xFFFF", u"a", 1, 1},         // code units compare unsigned
      {nullptr, u"", -1, -1},
      {nullptr, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(lstrcmpW(c.left, c.right)), c.exact);
    EXPECT_EQ(Sign(lstrcmpW(c.right, c.left)), -c.exact);
    EXPECT_EQ(Sign(lstrcmpiW(c.left, c.right)), c.folded);
    EXPECT_EQ(Sign(lstrcmpiW(c.right, c.left)), -c.folded);
  }
}

TEST(WText, Searches) {
  WCHAR path[40] = u"\\Windows\\gwes.exe\\";  // zero-filled after the text
  const int length = lstrlenW(path);
  EXPECT_EQ(length, 18);
  EXPECT_EQ(lstrlenW(nullptr), 0);

  EXPECT_EQ(StrChrW(path, u'\\'), path);
  EXPECT_EQ(StrChrW(path, u'g'), path + 9);
  EXPECT_EQ(StrChrW(path, u'Z'), nullptr);
  EXPECT_EQ(StrChrW(path, 0), nullptr);
  EXPECT_EQ(StrChrW(nullptr, u'a'), nullptr);

  EXPECT_EQ(StrRChrW(path, nullptr, u'\\'), path + 17);  // the trailing backslash
  EXPECT_EQ(StrRChrW(path, path + 17, u'\\'), path + 8);
  EXPECT_EQ(StrRChrW(path, path, u'\\'), nullptr);
  EXPECT_EQ(StrRChrW(path, path + 40, u'\\'), path + 17);  // stops at the terminator
  EXPECT_EQ(StrRChrW(path, nullptr, u'Z'), nullptr);

  EXPECT_EQ(StrStrW(path, u"gwes"), path + 9);
  EXPECT_EQ(StrStrW(path, u"GWES"), nullptr);
  EXPECT_EQ(StrStrW(path, u"exe\\"), path + 14);
  EXPECT_EQ(StrStrW(path, u"exe\\x"), nullptr);  // partial match at the very end
  const WCHAR repeat[] = u"aab";
  EXPECT_EQ(StrStrW(repeat, u"ab"), repeat + 1);  // retries after a false start
  EXPECT_EQ(StrStrW(path, u""), path);
  EXPECT_EQ(StrStrW(u"", u"a"), nullptr);
}

}  // namespace
