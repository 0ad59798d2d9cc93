#include <gtest/gtest.h>

#include "common/lines.h"
#include "common/path.h"
#include "platform/platform.h"

namespace dv {
namespace {

using Lines = std::vector<std::string>;

struct PathCase {
  const char* path;
  const char* folder;
  const char* file;
};

TEST(PathParts, SplitAtThePlatformsSeparators) {
#if defined(_WIN32)
  const PathCase cases[] = {
      {"C:\\a\\b.xml", "C:\\a\\", "b.xml"},
      {"C:b.xml", "C:", "b.xml"},
      {"a/b.xml", "a/", "b.xml"},
      {"b.xml", "", "b.xml"},
      {"C:\\a\\", "C:\\a\\", ""},
      // 0x81 0x5C is one character: its trail byte is no separator.
      {"D:\\o\\\x81\\x.xml", "D:\\o\\", "\x81\\x.xml"},
      {"D:\\o\\\x81\\", "D:\\o\\", "\x81\\"},
      {"D:\\o\\\x81:x", "D:\\o\\\x81:", "x"},  // a byte below 0x40 is no trail byte
      {"\\\\srv\\share\\f", "\\\\srv\\share\\", "f"},
  };
#else
  const PathCase cases[] = {
      {"/a/b.xml", "/a/", "b.xml"},
      {"a\\b.xml", "", "a\\b.xml"},
      {"C:b", "", "C:b"},
      {"b.xml", "", "b.xml"},
      {"/a/", "/a/", ""},
      {"/o/\x81\\x", "/o/", "\x81\\x"},
      // Lead byte then "/": "/" is never a trail byte, so it still separates.
      {"/o/\x81/x", "/o/\x81/", "x"},
  };
#endif
  for (const auto& c : cases) {
    EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
    EXPECT_EQ(FileNamePart(c.path), c.file) << c.path;
  }
}

TEST(PathParts, EndsWithDirSepTakesTheLastCharacterWhole) {
  const std::string s(1, plat::kDirSep);
  EXPECT_TRUE(EndsWithDirSep("x" + s));
  EXPECT_TRUE(EndsWithDirSep(s));
  EXPECT_TRUE(EndsWithDirSep("\xb1\xa3" + s));
  EXPECT_FALSE(EndsWithDirSep(""));
  EXPECT_FALSE(EndsWithDirSep("x"));
#if defined(_WIN32)
  EXPECT_FALSE(EndsWithDirSep("D:\\o\\\x81\\"));   // ends in a double-byte character
  EXPECT_TRUE(EndsWithDirSep("D:\\o\\\x81\\\\"));
  EXPECT_TRUE(EndsWithDirSep("D:\\o/"));           // "/" ends a folder's name too
  EXPECT_TRUE(EndsWithDirSep("D:\\o\\\x81/"));
  EXPECT_FALSE(EndsWithDirSep("D:"));               // a drive alone
#else
  EXPECT_FALSE(EndsWithDirSep("/o\\"));
#endif
}

TEST(PathParts, TrimAndSameText) {
  EXPECT_EQ(Trim(std::string("\x01 \tab c\r\n\0", 10)), "ab c");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\xa1\xa1x"), "\xa1\xa1x");  // bytes from 0x80 on are text
  EXPECT_TRUE(SameTextAscii("TaskID", "taskid"));
  EXPECT_FALSE(SameTextAscii("Task", "Tasks"));
  EXPECT_FALSE(SameTextAscii("\xc1", "\xe1"));  // only ASCII letters fold
  EXPECT_EQ(UpperAscii("ab\xe1z"), "AB\xe1Z");
}

TEST(LineLists, Split) {
  struct {
    const char* text;
    Lines want;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb", {"a", "b"}},
      {"a\rb\nc", {"a", "b", "c"}},
      {"a\n\r\nb", {"a", "", "b"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"\r\n", {""}},
      {"\n\r", {"", ""}},  // LF then a lone CR: two breaks
      {" a \r\n", {" a "}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.want) << c.text;
}

TEST(LineLists, JoinAndItems) {
  EXPECT_EQ(JoinLines({}), "");
  EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
  EXPECT_EQ(SplitLines(JoinLines({"a", "", "b"})), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitItems("des,aes"), (Lines{"des", "aes"}));
  EXPECT_EQ(SplitItems(",des"), (Lines{"", "des"}));
  EXPECT_EQ(SplitItems("des,"), (Lines{"des"}));
  EXPECT_EQ(SplitItems(""), Lines{});
  EXPECT_EQ(SplitItems(std::string("a,b\0,c", 6)), (Lines{"a", "b"}));
}

// Sources are UTF-8 and the binary holds GBK: a message must arrive as GBK bytes.
TEST(Charset, ChineseLiteralsAreGbkInTheBinary) {
  EXPECT_EQ(std::string("保存反馈文件！"),
            "\xb1\xa3\xb4\xe6\xb7\xb4\xc0\xa1\xce\xc4\xbc\xfe\xa3\xa1");
}

}  // namespace
}  // namespace dv
