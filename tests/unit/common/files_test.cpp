#include "common/files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "common/path.h"
#include "platform/platform.h"
#include "temp_folder.h"

namespace dv {
namespace {

using testing::ReadAll;
using testing::TempFolder;
using testing::WriteAll;

const std::string S(1, plat::kDirSep);

TEST(MakeGuidID, ThirtyUpperHexDigitsAndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = MakeGuidID();
    ASSERT_EQ(id.size(), 30u) << id;
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(NormalizeDirPath, Cases) {
  struct {
    std::string in, want;
  } cases[] = {
      {" \t" + S + "work" + " \r\n", S + "work" + S},
      {S + "work" + S, S + "work" + S},
      {"", ""},
      {"   ", ""},
      {"work", "work" + S},
      {"work/", "work/"},
      {"work/\x95\x5C", "work/\x95\x5C" + S},
#if defined(_WIN32)
      // The last character is double-byte with trail byte 0x5C: "D:\o\<char>"
      // plus "a.xml" must not name the file "<char>a.xml" in D:\o.
      {"D:\\o\\\x81\\", "D:\\o\\\x81\\\\"},
      {"D:\\o\\\xb1\\", "D:\\o\\\xb1\\\\"},
      {"D:", "D:\\"},
      {"D:\\o\\\x81/", "D:\\o\\\x81/"},
#else
      {"/o\\", "/o\\/"},  // "\" is part of a name here
#endif
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizeDirPath(c.in), c.want) << c.in;
}

TEST(ForceDirs, CreatesTheMissingChain) {
  TempFolder t;
  ForceDirs(t / "a/b/");
  EXPECT_TRUE(DirExists(t / "a"));
  EXPECT_TRUE(DirExists(t / "a/b"));
  ForceDirs(t / "a/b/c");  // the rest of an existing chain
  EXPECT_TRUE(DirExists(t / "a/b/c"));
  ForceDirs(t / "x" + S + S);  // still ends in a separator once one is removed
  EXPECT_FALSE(DirExists(t / "x"));
  // "/" ends a folder's name on every platform, "\" on Windows only, and a
  // double-byte character whose trail byte is 0x5C never does.
  const struct {
    std::string dir, made;
  } trailing[] = {
      {t.path() + S + "f1/", t / "f1"},
      {t.path() + S + "f2\\", plat::kWindowsPaths ? t / "f2" : t.path() + S + "f2\\"},
      {t / "f3/\x95\x5C", t / "f3/\x95\x5C"},
      {t / "f4/\x95\x5C/", t / "f4/\x95\x5C"},
  };
  for (const auto& c : trailing) {
    ForceDirs(c.dir);
    EXPECT_TRUE(DirExists(c.made)) << c.dir;
  }
  WriteAll(t / "file", "x");
  ForceDirs(t / "file/sub");  // a file in the way: nothing, and no error
  EXPECT_FALSE(DirExists(t / "file/sub"));
  EXPECT_FALSE(DirExists(t / "file"));
}

TEST(ForceDirs, RelativeToTheCurrentDirectory) {
  TempFolder t;
  const std::string saved = plat::CurrentDir();
  ASSERT_TRUE(plat::SetCurrentDir(t.path()));
  // Short names are folders like any other: only a drive alone, a server or
  // a share is not, and nothing is made for one. Where "\" is no separator
  // and there are no drives, those are names like any other.
  const auto name = [](const std::string& n) { return plat::kWindowsPaths ? "" : n; };
  const struct {
    std::string dir, made;  // made: "" where nothing may be made
  } cases[] = {
      {"abc" + S + "de", "abc/de"},
      {"xy", "xy"},
      {"c" + S, "c"},
      {"ab" + S + "c", "ab/c"},
      {"q" + S + "r" + S, "q/r"},
      {"保", "保"},  // one double-byte character
      {"C:\\", name("C:\\")},
      {"C:", name("C:")},
      {"\\\\server\\share", name("\\\\server\\share")},
      {"\\\\server\\share\\", name("\\\\server\\share\\")},
      {"", ""},
  };
  for (const auto& c : cases) ForceDirs(c.dir);
  plat::SetCurrentDir(saved);
  std::set<std::string> made;
  for (const auto& c : cases) {
    if (c.made.empty()) continue;
    EXPECT_TRUE(DirExists(t / c.made)) << c.dir;
    made.insert(c.made.substr(0, c.made.find('/')));
  }
  // And nothing else: no folder named for a drive, a server or a share.
  std::vector<plat::DirEntry> entries;
  ASSERT_TRUE(plat::ListDir(t.path(), entries));
  std::set<std::string> names;
  for (const auto& e : entries) names.insert(e.name);
  EXPECT_EQ(names, made);
}

TEST(DirExists, FoldersOnly) {
  TempFolder t;
  WriteAll(t / "f", "");
  EXPECT_TRUE(DirExists(t.path()));
  EXPECT_TRUE(DirExists(t.path() + S));
  EXPECT_FALSE(DirExists(t / "f"));
  EXPECT_FALSE(DirExists(t / "missing"));
  EXPECT_FALSE(DirExists(""));
#if defined(_WIN32)
  EXPECT_TRUE(DirExists("C:\\"));
#endif
}

TEST(LoadFileText, WholeFileOrEmpty) {
  TempFolder t;
  const std::string bytes("a\0b\r\n\xff\x81\\", 8);
  WriteAll(t / "bin", bytes);
  WriteAll(t / "empty", "");
  std::string text = "stale";
  LoadFileText(t / "bin", text);
  EXPECT_EQ(text, bytes);
  for (const std::string& p : {t / "empty", t / "missing", t.path()}) {
    text = "stale";
    LoadFileText(p, text);
    EXPECT_EQ(text, "") << p;
  }
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
  // More than memory holds (a sparse 8 TiB file): empty text, no exception.
  // The address sanitizer ends the process on such a request instead.
  std::error_code error;
  WriteAll(t / "huge", "");
  std::filesystem::resize_file(t / "huge", uint64_t{1} << 43, error);
  if (!error) {
    text = "stale";
    EXPECT_NO_THROW(LoadFileText(t / "huge", text));
    EXPECT_EQ(text, "");
  }
#endif
}

TEST(SaveFileText, WritesTheWholeFileAndItsFolders) {
  TempFolder t;
  SaveFileText(t / "n1/n2/empty.txt", "");
  EXPECT_TRUE(plat::IsExistingFile(t / "n1/n2/empty.txt"));
  EXPECT_EQ(ReadAll(t / "n1/n2/empty.txt"), "");
  SaveFileText(t / "f.txt", std::string(100000, 'x'));
  SaveFileText(t / "f.txt", "short");  // an existing longer file is cut
  EXPECT_EQ(ReadAll(t / "f.txt"), "short");
}

TEST(SaveFileText, RaisesWhenTheFileCannotBeCreated) {
  TempFolder t;
  plat::MakeDir(t / "dir");
  try {
    SaveFileText(t / "dir", "x");  // a folder stands where the file should go
    FAIL() << "no error";
  } catch (const EFileError& e) {
    const std::string msg = e.what(), full = plat::FullPathName(t / "dir");
    const std::size_t at = msg.find("[" + full + "]");
    ASSERT_NE(at, std::string::npos) << msg;
    // "]", a full-width colon, then the system's text for the failure.
    EXPECT_GT(msg.size(), at + full.size() + 4) << msg;
  }
  EXPECT_TRUE(DirExists(t / "dir"));
}

#if !defined(_WIN32)
// A full disk: the write fails after the file was created.
TEST(SaveFileText, RaisesWhenTheWriteFails) {
  if (!plat::IsExistingFile("/dev/full")) GTEST_SKIP() << "no /dev/full";
  try {
    SaveFileText("/dev/full", "data");
    FAIL() << "a failed write passed for a good one";
  } catch (const EFileError& e) {
    EXPECT_NE(std::string(e.what()).find("[/dev/full]"), std::string::npos) << e.what();
  }
}
#endif

TEST(ReadIniString, CutsAt2047Bytes) {
  TempFolder t;
  WriteAll(t / "a.ini", "[S]\r\nlong=" + std::string(3000, 'v') + "\r\nk=" +
                            std::string(2047, 'w') + "\r\n");
  EXPECT_EQ(ReadIniString(t / "a.ini", "S", "long", ""), std::string(2047, 'v'));
  EXPECT_EQ(ReadIniString(t / "a.ini", "S", "k", ""), std::string(2047, 'w'));
  EXPECT_EQ(ReadIniString(t / "a.ini", "S", "none", "dflt"), "dflt");
}

TEST(ThisModule, FileAndFolder) {
  const std::string file = GetThisModuleFileName();
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(plat::FullPathName(file), file) << "not a full path";
  EXPECT_TRUE(plat::IsExistingFile(file)) << file;
#if defined(_WIN32)
  EXPECT_TRUE(SameTextAscii(FileNamePart(file), "test_common.exe")) << file;
#else
  EXPECT_EQ(FileNamePart(file), "test_common");
#endif
  EXPECT_EQ(GetThisModuleDir(), FolderPart(file));
  EXPECT_TRUE(EndsWithDirSep(GetThisModuleDir()));

  // A path far beyond 260 bytes comes back whole, and its folder with it.
  const std::string longDir = S + "host" + S + std::string(300, 'd') + S + "bin" + S;
  plat::SetModuleFileNameForTesting(longDir + "Dorvelk.dll");
  EXPECT_EQ(GetThisModuleFileName(), longDir + "Dorvelk.dll");
  EXPECT_EQ(GetThisModuleDir(), longDir);
  plat::SetModuleFileNameForTesting("");
  EXPECT_EQ(GetThisModuleFileName(), file);
}

}  // namespace
}  // namespace dv
