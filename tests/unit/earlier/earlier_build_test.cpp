// The earlier build's four differences: the host's window handle reaches
// every library, one shared work folder emptied per call, outputs beside
// their pattern, target or source, and the older parameter-string rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../engine/engine_fixture.h"
#include "common/earlier_build.h"
#include "common/lines.h"
#include "common/params.h"
#include "common/variant.h"
#include "component_loader.h"
#include "engine/task_process.h"
#include "support/sandbox.h"

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
namespace {
// The component's XML readers need COM on the calling thread.
const bool kComReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}  // namespace
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace dv {
namespace {

// A link at link to the folder target; false when the system will not make
// one for this user.
bool MakeFolderLink(const std::string& target, const std::string& link) {
#if defined(_WIN32)
  constexpr DWORD kDirectory = 0x1, kUnprivileged = 0x2;
  return CreateSymbolicLinkA(link.c_str(), target.c_str(), kDirectory | kUnprivileged) != 0;
#else
  return symlink(target.c_str(), link.c_str()) == 0;
#endif
}

using testing::ComponentFolder;
using testing::kSep;

std::string ReadText(const std::string& path) {
  std::string text;
  LoadFileText(path, text);
  return text;
}

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

// A link is removed as an entry, never entered: nothing outside the folder
// being emptied goes, whether the link stands inside it or in its place.
TEST(EarlierFolders, LinksAreRemovedWithoutEnteringThem) {
  ComponentFolder f;
  f.Write("hostdata/precious.txt", "keep");
  f.Write("task_temp/a.txt", "a");
  if (!MakeFolderLink(f.Path("hostdata"), f.Path("task_temp/link")))
    GTEST_SKIP() << "no folder links here";
  const auto attrs = plat::FileAttributes(f.Path("task_temp/link"));
  // Wine makes a link that it then cannot describe.
  if (!attrs.has_value()) GTEST_SKIP() << "no link this system can describe";
  EXPECT_NE(*attrs & plat::kAttrReparsePoint, 0u);
  EXPECT_TRUE(earlier::RecreateFolder(f.Path("task_temp") + kSep));
  EXPECT_EQ(ReadText(f.Path("hostdata/precious.txt")), "keep");
  EXPECT_FALSE(plat::FileAttributes(f.Path("task_temp/link")).has_value());
  EXPECT_FALSE(plat::IsExistingFile(f.Path("task_temp/a.txt")));

  // The work folder itself a link: the link goes, a real folder takes its place.
  plat::RemoveDir(f.Path("task_temp"));
  ASSERT_TRUE(MakeFolderLink(f.Path("hostdata"), f.Path("task_temp")));
  EXPECT_TRUE(earlier::RecreateFolder(f.Path("task_temp") + kSep));
  EXPECT_EQ(ReadText(f.Path("hostdata/precious.txt")), "keep");
  const auto now = plat::FileAttributes(f.Path("task_temp"));
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(*now & plat::kAttrReparsePoint, 0u);
}

TEST(EarlierFolders, EmptyFolderEmptiesARelativeFolder) {
  ComponentFolder f;  // the current directory
  f.Write("rel/w/a.txt", "a");
  f.Write("rel/w/sub/b.txt", "b");
  EXPECT_TRUE(earlier::EmptyFolder(Sep("rel/w")));
  EXPECT_TRUE(plat::IsExistingFolder(f.Path("rel/w")));
  std::vector<plat::DirEntry> left;
  plat::ListDir(f.Path("rel/w"), left);
  EXPECT_TRUE(left.empty());
}

TEST(EarlierFolders, EmptyFolderFailsForAFolderItCannotEnterOrNameAndRestoresTheDirectory) {
  ComponentFolder f;
  const std::string cwd = plat::CurrentDir();
  EXPECT_THROW(earlier::EmptyFolder(f.Path("missing")), EFileError);
  EXPECT_EQ(plat::CurrentDir(), cwd);
  EXPECT_TRUE(earlier::RecreateFolder(f.Path("missing")));
  EXPECT_TRUE(plat::IsExistingFolder(f.Path("missing")));
#if !defined(_WIN32)
  // Entered, but the system gives no path for it: a failure, and nothing
  // listed or removed. A removed current directory has none.
  f.MakeDir("gone");
  ASSERT_TRUE(plat::SetCurrentDir(f.Path("gone")));
  plat::RemoveDir(f.Path("gone"));
  const bool emptied = earlier::EmptyFolder(".");
  plat::SetCurrentDir(cwd);
  EXPECT_FALSE(emptied);

  // Nor has one outside the process's root, whose entries are there to be
  // seen: a sub-folder must not be taken for the same-named one at the root.
  f.Write("jail/sub/keep.txt", "the root's");
  f.Write("w/sub/keep.txt", "the folder's");
  const pid_t child = fork();
  if (child == 0) {
    const bool unnamed = chdir(f.Path("w").c_str()) == 0 &&
                         chroot(f.Path("jail").c_str()) == 0 && plat::CurrentDir().empty();
    _exit(!unnamed ? 2 : earlier::EmptyFolder(".") ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(ReadText(f.Path("jail/sub/keep.txt")), "the root's");
  EXPECT_EQ(ReadText(f.Path("w/sub/keep.txt")), "the folder's");
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no chroot for this user";
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
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

// Outputs land beside the host's files here: the intermediate files this
// call named go like those of the work folder; the host's never, and no
// backup, even where a named output is one.
TEST(EarlierDeletion, NamedOutputsGoHostFilesBackupsAndOthersStay) {
  ComponentFolder f;
  TTaskProcess engine("missing.xml", "", "");
  const std::string zip = engine.MakeTargetFileName(f.Path("data/a.txt"), "*.zip", "");
  const std::string hostZip = engine.MakeTargetFileName(f.Path("data/h.txt"), "*.zip", "");
  ASSERT_EQ(zip, f.Path("data/a.zip"));
  const std::string inPlace = engine.MakeTargetFileName(f.Path("out/k.txt"), "*.zip", "");
  const std::string unCopied = engine.MakeTargetFileName(f.Path("data/u.txt"), "*.zip", "");
  const std::string inBackupDir = engine.MakeTargetFileName(f.Path("in/b.txt"), f.Path("bk/*.enc"), "");
  const std::string inBackupRoot =
      engine.MakeTargetFileName(f.Path("in/r.txt"), engine.FBackupDir + "*.enc", "");
  const std::string all[] = {zip, hostZip, inPlace, unCopied, inBackupDir, inBackupRoot};
  for (const std::string& p : all) f.Write(p.substr(f.Dir().size()), "named");
  f.Write("data/other.zip", "unnamed");
  f.Write("task_temp/w.dat", "work");
  f.Write("blocker", "a file where a backup folder should be");

  TStep step;
  step.Configured = true;
  step.Backup.BackupFile = true;
  step.Backup.ReturnParamName = "K";
  std::string msg;
  step.Backup.BackupDir = f.Path("out");  // the folder the output landed in: no copy
  engine.BackupOneFile(step, inPlace, msg);
  step.Backup.BackupDir = f.Path("blocker/sub");  // cannot be made: the list names the output
  engine.BackupOneFile(step, unCopied, msg);
  step.Backup.BackupDir = "bk";  // relative, as configured
  engine.BackupOneFile(step, f.Write("in/x.dat", "x"), msg);
  ASSERT_EQ(SplitLines(GetParamValue(msg, "K")),
            (std::vector<std::string>{inPlace, plat::FullPathName(unCopied), Sep("bk/x.dat")}));

  // Relative: the same file all the same.
  engine.FHostFiles = TFullPathSet(TPackageFileList{{"", {Sep("data/h.zip")}}});
  const struct {
    std::string file;
    bool stays;
  } cases[] = {
      {zip, false},
      {hostZip, true},
      {f.Path("data/other.zip"), true},
      {f.Path("task_temp/w.dat"), false},
      {inPlace, true},       // a backup kept where the output landed
      {unCopied, true},      // named as the backup of a copy that failed
      {inBackupDir, true},   // in a folder this call's backups went to
      {inBackupRoot, true},  // under the backup root
  };
  TPackageFileList old(1);
  for (const auto& c : cases) old[0].Files.push_back(c.file);
  engine.DeleteStaleFiles(old, {});
  for (const auto& c : cases) EXPECT_EQ(plat::IsExistingFile(c.file), c.stays) << c.file;
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
