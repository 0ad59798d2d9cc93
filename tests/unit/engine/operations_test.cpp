// The folder helpers of the task operations: what counts as a folder path,
// how a folder is listed, and the delivery of files into a folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/task_process.h"
#include "platform/platform.h"
#include "unit/engine/engine_fixture.h"

namespace dv {
namespace {

constexpr char kSep = plat::kDirSep;

void WriteFile(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    task_ = std::make_unique<TTaskProcess>(root_ + "missing.xml", "", "");
  }
  std::string P(const std::string& rel) const {
    std::string s = root_ + rel;
    std::replace(s.begin(), s.end(), '/', kSep);
    return s;
  }

  testing::ComponentFolder folder_;
  const std::string root_ = folder_.Dir();
  std::unique_ptr<TTaskProcess> task_;
};

TEST_F(Operations, IsDirPathAcceptsFoldersEmptyTextsAndTrailingSeparators) {
  WriteFile(P("file.txt"), "x");
  std::filesystem::create_directories(P("folder"));
  struct Case {
    std::string path;
    bool expected;
  };
  const Case cases[] = {
      {P("folder"), true},                        // an existing folder, no separator
      {"  " + P("folder") + "\t", true},          // trimmed first
      {"folder", true},                           // relative to the current directory
      {"", true},
      {" \t\r\n", true},                          // blanks only trim to empty
      {P("new") + kSep, true},                    // ends with the separator
      {P("new"), false},                          // a path that names nothing
      {P("file.txt"), false},                     // an existing file
      {P("new") + kSep + "  ", true},             // the separator counts after trimming
      {P("\x95\x5C"), false},                   // a GBK trail byte 0x5C is no separator
  };
  for (const Case& c : cases) EXPECT_EQ(IsDirPath(c.path), c.expected) << "[" << c.path << "]";
  if (plat::kWindowsPaths) {
    EXPECT_TRUE(IsDirPath(P("new") + "/")) << "\"/\" separates on Windows";
    EXPECT_TRUE(IsDirPath("Q:")) << "a drive ends with \":\"";
  }
}

TEST_F(Operations, ListDirEntriesGivesOnePackagePerEntry) {
  WriteFile(P("in/a.txt"), "a");
  WriteFile(P("in/.hidden"), "h");
  std::filesystem::create_directories(P("in/sub"));
  struct Case {
    const char* what;
    std::string dir;
    std::string prefix;  // the folder as written into the entries
  };
  const Case cases[] = {
      {"without a trailing separator", P("in"), P("in") + kSep},
      {"with one, and blanks", " " + P("in") + kSep + " ", P("in") + kSep},
      {"relative", "in", std::string("in") + kSep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TPackageFileList list = {{"stale", {"stale"}}};
    task_->ListDirEntries(c.dir, list);
    std::vector<std::string> files;
    for (const TPackageFile& p : list) {
      EXPECT_EQ(p.TargetName, "");
      ASSERT_EQ(p.Files.size(), 1u);
      files.push_back(p.Files[0]);
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{c.prefix + ".hidden", c.prefix + "a.txt",
                                               c.prefix + "sub"}));
  }
  TPackageFileList list = {{"stale", {"stale"}}};
  task_->ListDirEntries(P("nowhere"), list);
  EXPECT_TRUE(list.empty()) << "a missing folder gives no entry";
  std::filesystem::create_directories(P("empty"));
  task_->ListDirEntries(P("empty"), list);
  EXPECT_TRUE(list.empty());
}

TEST_F(Operations, CopyFilesToDirCreatesTheFolderAndCopiesEveryFile) {
  WriteFile(P("host/a.txt"), "a1");
  WriteFile(P("host/b.txt"), "b");
  WriteFile(P("host2/a.txt"), "a2");
  const TPackageFileList list = {{"T1", {P("host/a.txt"), P("host/b.txt")}},
                                 {"T2", {P("host2/a.txt")}}};
  EXPECT_TRUE(task_->CopyFilesToDir(list, P("out/deep/er") + kSep));
  EXPECT_EQ(ReadFile(P("out/deep/er/a.txt")), "a2") << "the later file of a name wins";
  EXPECT_EQ(ReadFile(P("out/deep/er/b.txt")), "b");
  EXPECT_EQ(ReadFile(P("host/a.txt")), "a1") << "the sources stay";
  EXPECT_TRUE(task_->CopyFilesToDir({}, P("empty"))) << "no files: only the folder";
  EXPECT_TRUE(std::filesystem::is_directory(P("empty")));
}

TEST_F(Operations, CopyFilesToDirReportsAFailedCopyAfterCopyingTheRest) {
  WriteFile(P("host/a.txt"), "a");
  WriteFile(P("host/c.txt"), "c");
  const TPackageFileList list = {{"", {P("host/a.txt"), P("host/missing.txt"), P("host/c.txt")}}};
  EXPECT_FALSE(task_->CopyFilesToDir(list, P("out")));
  EXPECT_EQ(ReadFile(P("out/a.txt")), "a");
  EXPECT_EQ(ReadFile(P("out/c.txt")), "c");
  EXPECT_FALSE(Exists(P("out/missing.txt")));
}

TEST_F(Operations, CopyFilesToDirReportsAFolderThatCannotBeMade) {
  WriteFile(P("blocker"), "a file where the folder should go");
  WriteFile(P("host/a.txt"), "a");
  EXPECT_FALSE(task_->CopyFilesToDir({{"", {P("host/a.txt")}}}, P("blocker/out")));
  EXPECT_FALSE(task_->CopyFilesToDir({}, P("blocker/out")));
}

TEST_F(Operations, CopyFilesToDirCountsAFileAlreadyInPlaceAsDelivered) {
  WriteFile(P("out/a.txt"), "precious");
  TPackageFileList list = {{"", {P("out/a.txt")}}, {"", {std::string("out") + kSep + "a.txt"}}};
  // Windows names the same file in any letter case.
  if (plat::kWindowsPaths) list.push_back({"", {"OUT\\A.TXT"}});
  EXPECT_TRUE(task_->CopyFilesToDir(list, P("out")));
  EXPECT_EQ(ReadFile(P("out/a.txt")), "precious") << "not truncated by a copy onto itself";
}

}  // namespace
}  // namespace dv
