// The earlier build's four differences: the host's window handle reaches
// every library, one shared work folder emptied per call, outputs beside
// their pattern, target or source, and the older parameter-string rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../engine/engine_fixture.h"
#include "common/earlier_build.h"
#include "common/params.h"
#include "common/variant.h"
#include "component_loader.h"
#include "engine/task_process.h"
#include "support/sandbox.h"

#if defined(_WIN32)
#include <objbase.h>
namespace {
// The component's XML readers need COM on the calling thread.
const bool kComReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}  // namespace
#endif

namespace dv {
namespace {

using testing::ComponentFolder;
using testing::kSep;

std::string Sep(std::string s) {
  for (char& c : s)
    if (c == '/') c = kSep;
  return s;
}

static_assert(kEarlierBuild, "this program tests the earlier build");

struct ParamCase {
  const char* params;
  const char* name;
  const char* value;  // nullptr: a read
  const char* expected;
};

TEST(EarlierParams, ReadsAndWritesByTheOlderRules) {
  const ParamCase cases[] = {
      {"A=;A=2", "A", nullptr, "2"},
      {" A=1", "A", nullptr, ""},
      {"a=1", "A", nullptr, "1"},
      {"X=a&eq%b&lim%c", "x", nullptr, "a=b;c"},
      {"A=1;B=2", "B", nullptr, "2"},
      {"A=1", "A", "2", "A=2;"},
      {"A=2;", "A", "3", "A=3;"},
      {"A=1;B=2", "A", "", "B=2;"},
      {"a=1;B=2", "A", "x", "a=x;B=2;"},
      {"A=1;", "B", "2", "A=1;B=2"},
      {"A=1", "B", "2", "A=1;B=2"},
      {"", "X", "a=b;c", "X=a&eq%b&lim%c"},
      // An item without "=" is written back as it stood.
      {"A=1;flag;;B=2", "B", "3", "A=1;flag;B=3;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.params) + " / " + c.name);
    if (c.value == nullptr) {
      EXPECT_EQ(GetParamValue(c.params, c.name), c.expected);
    } else {
      EXPECT_EQ(SetParamValue(c.params, c.name, c.value), c.expected);
    }
  }
}

TEST(EarlierFolders, EmptyFolderRemovesFilesAndSubFoldersButKeepsTheFolder) {
  ComponentFolder f;
  const std::string dir = f.Path("w");
  f.Write("w/a.txt", "a");
  f.Write("w/sub/b.txt", "b");
  f.Write("w/sub/deeper/c.txt", "c");
  const std::string cwd = plat::CurrentDir();
  EXPECT_TRUE(earlier::EmptyFolder(dir));
  EXPECT_EQ(plat::CurrentDir(), cwd);
  EXPECT_TRUE(plat::IsExistingFolder(dir));
  std::vector<plat::DirEntry> left;
  plat::ListDir(dir, left);
  EXPECT_TRUE(left.empty());
}

TEST(EarlierFolders, EmptyFolderOnAnEmptyFolderRemovesIt) {
  ComponentFolder f;
  const std::string dir = f.Path("empty");
  ForceDirs(dir);
  EXPECT_TRUE(earlier::EmptyFolder(dir));
  EXPECT_FALSE(plat::IsExistingFolder(dir));
}

TEST(EarlierFolders, EmptyFolderRaisesForAFolderItCannotEnterAndRestoresTheDirectory) {
  ComponentFolder f;
  const std::string cwd = plat::CurrentDir();
  EXPECT_THROW(earlier::EmptyFolder(f.Path("missing")), EFileError);
  EXPECT_EQ(plat::CurrentDir(), cwd);
  EXPECT_TRUE(earlier::RecreateFolder(f.Path("missing")));
  EXPECT_TRUE(plat::IsExistingFolder(f.Path("missing")));
}

TEST(EarlierWorkFolder, OneSharedFolderThatTheNextCallEmpties) {
  ComponentFolder f;
  TTaskProcess first("missing.xml", "", "");
  EXPECT_EQ(first.FWorkDir, f.Dir() + "task_temp" + kSep);
  EXPECT_EQ(first.FBackupDir, f.Dir() + "task_backup" + kSep);
  f.Write("task_temp/out.dat", "returned to the host");
  f.Write("task_temp/sub/x.dat", "x");

  TTaskProcess second("missing.xml", "", "");
  EXPECT_EQ(second.FWorkDir, first.FWorkDir);
  EXPECT_TRUE(plat::IsExistingFolder(second.FWorkDir));
  EXPECT_FALSE(plat::IsExistingFile(f.Path("task_temp/out.dat")));
  EXPECT_FALSE(plat::IsExistingFolder(f.Path("task_temp/sub")));
}

TEST(EarlierWorkFolder, AFileNamedTempIsLeftAlone) {
  ComponentFolder f;
  f.Write("temp", "not a folder");
  TTaskProcess engine("missing.xml", "", "");
  EXPECT_TRUE(plat::IsExistingFile(f.Path("temp")));
}

struct NameCase {
  const char* source;
  const char* pattern;
  const char* target;
  const char* expected;  // as the folders were given; "@" stands for the work folder
};

TEST(EarlierNaming, OutputsLandInThePatternTargetOrSourceFolder) {
  ComponentFolder f;
  TTaskProcess engine("missing.xml", "", "");
  const NameCase cases[] = {
      {"in/a.xml", "out/*.zip", "tn/data.txt", "out/data.zip"},
      {"in/a.xml", "*.zip", "tn/data.txt", "tn/data.zip"},
      {"in/a.xml", "*.zip", "", "in/a.zip"},
      {"a.xml", "*.zip", "", "@a.zip"},
      {"in/a.xml", "pat/out_?.dat", "x", "pat/out_x.dat"},
      // A "?" pattern clears the target name, so its folder never counts.
      {"in/a.xml", "out_?.dat", "tn", "in/out_tn.dat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + c.pattern + " " + c.target);
    const std::string exp = c.expected;
    const std::string want = exp[0] == '@' ? engine.FWorkDir + exp.substr(1) : Sep(exp);
    EXPECT_EQ(engine.MakeTargetFileName(Sep(c.source), Sep(c.pattern), Sep(c.target)), want);
  }
}

TEST(EarlierNaming, UnpackFolderIsThePatternsElseTheSourcesElseTheWorkFolder) {
  ComponentFolder f;
  TTaskProcess engine("missing.xml", "", "");
  EXPECT_EQ(engine.GetTargetDir(Sep("in/a.zip"), Sep("out/*.*")), Sep("out/"));
  EXPECT_EQ(engine.GetTargetDir(Sep("in/a.zip"), ""), Sep("in/"));
  EXPECT_EQ(engine.GetTargetDir("", ""), engine.FWorkDir);
}

// The host's window handle reaches the library as its first argument, for
// that call only.
TEST(EarlierWindowHandle, LibrariesReceiveTheHostsHandle) {
  dvtest::Sandbox box(true);
  box.Write("component.xml",
            "<?xml version=\"1.0\" encoding=\"GBK\"?><C><CommunCfgFile>n.ini</CommunCfgFile>"
            "<ProxyCfgFile>p.ini</ProxyCfgFile></C>");
  dvtest::ComponentLoader dll(box.Dir());
  ASSERT_TRUE(dll.Ok()) << dll.Error();
  const std::string config = box.Path("component.xml");
  char message[10240] = "";
  char* msg = message;
  dll.IsConnected(reinterpret_cast<void*>(0x1234), config.c_str(), "net", &msg);
  dll.IsConnected(nullptr, config.c_str(), "net", &msg);
  const auto calls = box.CallsOf("IsConnected");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0][1], "4660");
  EXPECT_EQ(calls[1][1], "0");
}

}  // namespace
}  // namespace dv
