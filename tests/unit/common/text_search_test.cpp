#include "common/text_search.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace dv {
namespace {

// Plain left-to-right replace of non-overlapping matches: what every
// replace-all of this module must give.
std::string Reference(const std::string& s, const std::string& find, const std::string& repl) {
  if (find.empty()) return s;
  std::string out;
  std::size_t from = 0, p;
  while ((p = s.find(find, from)) != std::string::npos) {
    out.append(s, from, p - from).append(repl);
    from = p + find.size();
  }
  return out.append(s, from, std::string::npos);
}

std::string RandomText(std::mt19937& rng, std::size_t maxLen, const char* alphabet) {
  const std::string a = alphabet;
  std::string s(rng() % (maxLen + 1), ' ');
  for (char& c : s) c = a[rng() % a.size()];
  return s;
}

struct ReplaceCase {
  std::string source, find, replace;
  bool caseSensitive;
  std::string expected;
};

TEST(ReplaceAllMatches, EdgeCases) {
  const ReplaceCase cases[] = {
      {"a=b=c", "=", "&eq%", true, "a&eq%b&eq%c"},
      {"aaa", "aa", "b", true, "ba"},
      {"a&EQ%b", "&eq%", "=", true, "a&EQ%b"},
      {"a&EQ%b", "&eq%", "=", false, "a=b"},
      {"", "=", "x", true, ""},
      {"abc", "", "x", true, ""},
      {"=", "=", "&eq%", true, "&eq%"},
      {"x;", ";", "", true, "x"},
      {"abc", "abcd", "z", true, "abc"},
      {"\xb1\xa3=\xb4\xe6", "=", "&eq%", true, "\xb1\xa3&eq%\xb4\xe6"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReplaceAllMatches(c.source, c.find, c.replace, c.caseSensitive), c.expected)
        << c.source << " / " << c.find;
}

// A reservation that starts too small (the path taken when the bound cannot
// be reserved) must still grow to fit, never stall at 0 or 1 byte.
TEST(ReplaceAllMatches, GrowsFromAnyReservation) {
  EXPECT_GE(GrowReservation(0, 1), 1u);
  EXPECT_GE(GrowReservation(1, 7), 7u);
  EXPECT_EQ(GrowReservation(10, 11), 15u);
  for (std::size_t reserve : {0u, 1u, 2u, 3u}) {
    EXPECT_EQ(ReplaceAllMatchesReserved("=a==", "=", "&lim%", true, reserve), "&lim%a&lim%&lim%");
    EXPECT_EQ(ReplaceAllMatchesReserved("xyz", "y", "", true, reserve), "xz");
  }
}

TEST(ReplaceAllMatches, AgreesWithPlainReplaceOnRandomTexts) {
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    const std::string s = RandomText(rng, 60, "ab=;&");
    std::string find = RandomText(rng, 4, "ab=;&");
    if (find.empty()) find = "=";
    const std::string repl = RandomText(rng, 6, "xy");
    ASSERT_EQ(ReplaceAllMatches(s, find, repl, true), Reference(s, find, repl))
        << s << " / " << find << " / " << repl;
  }
}

TEST(SkipTable, Entries) {
  SkipTable t;
  BuildSkipTable("abca", 4, t);
  EXPECT_EQ(t['a'], 3);
  EXPECT_EQ(t['b'], 2);
  EXPECT_EQ(t['c'], 1);
  EXPECT_EQ(t['z'], 4);
  EXPECT_EQ(t[0xff], 4);
  BuildSkipTable("x", 1, t);
  EXPECT_EQ(t['x'], 0);
  EXPECT_EQ(t['y'], 1);
  BuildSkipTableIgnoreCase("ab", 2, t);
  EXPECT_EQ(t['A'], 1);
  EXPECT_EQ(t['a'], 2);  // the table is indexed by folded bytes
  try {
    BuildSkipTable("", 0, t);
    FAIL() << "no error for an empty pattern";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "BufferLen is 0");
  }
  EXPECT_THROW(BuildSkipTableIgnoreCase("", 0, t), std::invalid_argument);
}

TEST(SkipTable, SearchStaysInsideTheRange) {
  const std::string text = "xxabxab";
  SkipTable t;
  BuildSkipTable("ab", 2, t);
  EXPECT_EQ(FindWithSkipTable(text.data(), "ab", 7, 2, t), text.data() + 2);
  EXPECT_EQ(FindWithSkipTable(text.data(), "ab", 3, 2, t), nullptr);  // "ab" would end past byte 3
  EXPECT_EQ(FindWithSkipTable(text.data() + 3, "ab", 4, 2, t), text.data() + 5);
  EXPECT_EQ(FindWithSkipTable(text.data(), "ab", 1, 2, t), nullptr);
  BuildSkipTableIgnoreCase("AB", 2, t);
  EXPECT_EQ(FindWithSkipTableIgnoreCase(text.data(), "AB", 7, 2, t), text.data() + 2);
}

TEST(UpperCaseTable, FoldsAsciiLettersAndKeepsOtherAscii) {
  const auto& up = UpperCaseTable();
  for (int i = 0; i < 0x80; ++i) {
    const int want = (i >= 'a' && i <= 'z') ? i - 32 : i;
    EXPECT_EQ(up[i], want) << i;
  }
#if !defined(_WIN32)
  for (int i = 0x80; i < 0x100; ++i) EXPECT_EQ(up[i], i) << i;
#endif
}

TEST(FindSubstrFrom, Positions) {
  struct {
    const char *sub, *s;
    int32_t from, want;
  } cases[] = {
      {"ab", "xabab", 3, 4}, {"ab", "xabab", 5, 0}, {"", "xabab", 1, 0}, {"ab", "", 1, 0},
      {"ab", "xabab", 1, 2}, {"ab", "xabab", 0, 2}, {"b", "xabab", 5, 5}, {"abc", "xab", 1, 0},
      {"ab", "xabab", 9, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(FindSubstrFrom(c.sub, c.s, c.from), c.want) << c.sub << " in " << c.s;
}

TEST(QuickReplace, EdgeCases) {
  const ReplaceCase cases[] = {
      {"a,b,,c", ",", "\r\n", true, "a\r\nb\r\n\r\nc"},
      {",,", ",", "", true, ""},
      {"aaaa a", "aa", "b", true, "bb a"},
      {"abc", "x", "y", true, "abc"},
      {"abc", "", "y", true, "abc"},
      {"?a?b?", "?", "", true, "ab"},
      {"a?", "?", "0123456789abcdefXYZ", true, "a0123456789abcdefXYZ"},
  };
  for (const auto& c : cases) EXPECT_EQ(QuickReplace(c.find, c.replace, c.source), c.expected) << c.source;
}

TEST(QuickReplace, AgreesWithPlainReplaceOnRandomTexts) {
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; ++i) {
    const std::string s = RandomText(rng, 80, "ab,?");
    std::string find = RandomText(rng, 3, "ab,?");
    if (find.empty()) find = ",";
    const std::string repl = RandomText(rng, 40, "xyz\r\n");  // long ones take the word copies
    ASSERT_EQ(QuickReplace(find, repl, s), Reference(s, find, repl)) << s << " / " << find;
  }
}

TEST(ReplaceEvery, Cases) {
  EXPECT_EQ(ReplaceEvery("aXbx", "x", "-", false), "a-b-");
  EXPECT_EQ(ReplaceEvery("aXbx", "x", "-", true), "aXb-");
  EXPECT_EQ(ReplaceEvery("{A-B}", "-", "", false), "{AB}");
  EXPECT_EQ(ReplaceEvery("abc", "", "-", false), "abc");
  EXPECT_EQ(ReplaceEvery("aaa", "aa", "b", true), "ba");
}

TEST(CopyText, Clipping) {
  EXPECT_EQ(CopyText("abc", 2, 10), "bc");
  EXPECT_EQ(CopyText("abc", 0, 2), "ab");
  EXPECT_EQ(CopyText("abc", 1, -1), "");
  EXPECT_EQ(CopyText("abc", 4, 1), "");
  EXPECT_EQ(CopyText("abcdef", 3, 2), "cd");
}

TEST(MoveBytes, EveryLengthAroundTheWordCopy) {
  std::string src(40, '\0');
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<char>('A' + i);
  for (int32_t n = 1; n <= 40; ++n) {
    std::string dst(41, '.');
    MoveBytes(src.data(), dst.data(), n);
    EXPECT_EQ(dst.substr(0, n), src.substr(0, n)) << n;
    EXPECT_EQ(dst[n], '.') << "wrote past " << n;
  }
}

}  // namespace
}  // namespace dv
