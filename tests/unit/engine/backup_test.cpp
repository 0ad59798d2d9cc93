// Step backups: where the copies go, when none is made, what a failed copy
// records, and how the path list grows in the message string.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "engine/task_process.h"
#include "platform/platform.h"
#include "unit/engine/engine_fixture.h"
#include "unit/engine/stepping_clock.h"

namespace dv {
namespace {

using testing::SteppingClock;

constexpr char kSep = plat::kDirSep;

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}
// The parameter-string form of a value, to compare whole message texts
// (a read would drop the list's final line break with the text's end blanks).
std::string Escaped(const std::string& v) {
  std::string out;
  for (char c : v) out += c == '=' ? std::string("&eq%") : c == ';' ? "&lim%" : std::string(1, c);
  return out;
}

// A message that holds nothing but the list under K.
std::string Listed(const std::string& list) { return "K=" + Escaped(list); }

TStep BackupStep(TStepKind kind, const std::string& dir, const std::string& key) {
  TStep s;
  s.Kind = kind;
  s.Configured = true;
  s.Backup.BackupFile = true;
  s.Backup.BackupDir = dir;
  s.Backup.ReturnParamName = key;
  return s;
}

class Backup : public ::testing::Test {
 protected:
  // Relative backup folders resolve against the current directory, which a
  // call sets to the component's folder.
  void SetUp() override {
    std::filesystem::create_directories(root_ + "work");
    task_ = std::make_unique<TTaskProcess>(root_ + "missing.xml", "", "");
    task_->FWorkDir = root_ + "work" + kSep;
    task_->FBackupDir = root_ + "task_backup" + kSep;
    SteppingClock::Set({{2024, 3, 5, 10, 20, 30}});
  }
  void TearDown() override {
    task_.reset();
    plat::SetClockForTesting(nullptr);
  }
  std::string WorkFile(const std::string& name, const std::string& data) {
    const std::string path = task_->FWorkDir + name;
    WriteFile(path, data);
    return path;
  }
  std::string DayDir(const char* day, const char* step) const {
    return task_->FBackupDir + day + kSep + step + kSep;
  }

  testing::ComponentFolder folder_;
  const std::string root_ = folder_.Dir();
  std::unique_ptr<TTaskProcess> task_;
};

TEST_F(Backup, SwitchedOffStepsCopyNothingAndLeaveTheMessage) {
  const std::string file = WorkFile("a.dat", "data");
  TStep notBacked = BackupStep(TStepKind::Compress, "", "K");
  notBacked.Backup.BackupFile = false;
  TStep notConfigured = BackupStep(TStepKind::Compress, "", "K");
  notConfigured.Configured = false;
  for (const TStep& step : {notBacked, notConfigured}) {
    std::string msg = "ResultMsgStr=成功！;K=old";
    task_->BackupOneFile(step, file, msg);
    task_->BackupPackages(step, {{"", {file}}}, msg);
    EXPECT_EQ(msg, "ResultMsgStr=成功！;K=old");
    EXPECT_FALSE(Exists(task_->FBackupDir + "20240305"));
  }
  EXPECT_EQ(SteppingClock::reads, 0);
}

TEST_F(Backup, DefaultFolderIsDateThenStepName) {
  const std::string file = WorkFile("Message_request_1.xml", "<request/>");
  for (const TProcessStep& entry : StepTable) {
    std::string msg;
    task_->BackupOneFile(BackupStep(entry.Kind, "", "K"), file, msg);
    const std::string copy = DayDir("20240305", entry.Name) + "Message_request_1.xml";
    EXPECT_EQ(ReadFile(copy), "<request/>") << entry.Name;
    EXPECT_EQ(msg, Listed(copy + "\r\n")) << entry.Name;
  }
  EXPECT_EQ(ReadFile(file), "<request/>");
}

TEST_F(Backup, LaterCopyReplacesEarlierAndIsListedAgain) {
  const TStep step = BackupStep(TStepKind::Crypt, "", "K");
  const std::string file = WorkFile("a.enc", "first, and longer");
  std::string msg;
  task_->BackupOneFile(step, file, msg);
  WriteFile(file, "second");
  task_->BackupOneFile(step, file, msg);
  const std::string copy = DayDir("20240305", "Crypt") + "a.enc";
  EXPECT_EQ(ReadFile(copy), "second");
  EXPECT_EQ(msg, Listed(copy + "\r\n" + copy + "\r\n"));
}

TEST_F(Backup, ConfiguredFolderIsUsedAsBuilt) {
  const std::string file = WorkFile("a.zip", "zip");
  struct DirCase {
    std::string dir;       // BackupDir
    std::string recorded;  // expected list entry
    std::string copy;      // where the copy must be
  };
  const DirCase cases[] = {
      {"mine", std::string("mine") + kSep + "a.zip", root_ + "mine" + kSep + "a.zip"},
      {"bk", std::string("bk") + kSep + "a.zip", root_ + "bk" + kSep + "a.zip"},
      {std::string("deep") + kSep + "er" + kSep, std::string("deep") + kSep + "er" + kSep + "a.zip",
       root_ + "deep" + kSep + "er" + kSep + "a.zip"},
      {root_ + "abs", root_ + "abs" + kSep + "a.zip", root_ + "abs" + kSep + "a.zip"},
      // "/" ends a folder's name on every platform, "\" on Windows only; a
      // double-byte character with trail byte 0x5C is part of the name.
      {"bak/", "bak/a.zip", root_ + "bak" + kSep + "a.zip"},
      {root_ + "abs2/", root_ + "abs2/a.zip", root_ + "abs2" + kSep + "a.zip"},
      {"bsl\\", plat::kWindowsPaths ? "bsl\\a.zip" : "bsl\\/a.zip",
       root_ + (plat::kWindowsPaths ? "bsl\\a.zip" : "bsl\\/a.zip")},
      {"gb\x95\x5C", std::string("gb\x95\x5C") + kSep + "a.zip",
       root_ + "gb\x95\x5C" + kSep + "a.zip"},
  };
  for (const DirCase& c : cases) {
    std::string msg;
    task_->BackupOneFile(BackupStep(TStepKind::Compress, c.dir, "K"), file, msg);
    EXPECT_EQ(msg, Listed(c.recorded + "\r\n")) << c.dir;
    EXPECT_EQ(ReadFile(c.copy), "zip") << c.dir;
  }
  // A configured folder takes no date or step folder.
  EXPECT_FALSE(Exists(task_->FBackupDir + "20240305"));
  EXPECT_EQ(SteppingClock::reads, 0);
}

TEST_F(Backup, FileAlreadyInBackupFolderIsNotCopiedOntoItself) {
  // Large enough that a copy onto itself would visibly truncate it.
  const std::string data(200000, 'x');
  const std::string file = WorkFile("big.dat", data);
  const std::string work = std::string("work") + kSep;
  struct SameCase {
    std::string fileName;
    std::string dir;
    std::string recorded;  // the folder as built, then the name
  };
  const SameCase cases[] = {
      {file, task_->FWorkDir, task_->FWorkDir},
      {file, root_ + "work", task_->FWorkDir},
      {work + "big.dat", task_->FWorkDir, task_->FWorkDir},  // relative source
      {file, "work", work},                                   // relative folder
      {file, " work ", work},                                 // blanks trimmed
      // Letter case: the same folder on Windows, another one on POSIX.
      {file, root_ + "WORK" + kSep, root_ + "WORK" + kSep},
  };
  for (const SameCase& c : cases) {
    std::string msg;
    task_->BackupOneFile(BackupStep(TStepKind::Code, c.dir, "K"), c.fileName, msg);
    EXPECT_EQ(msg, Listed(c.recorded + "big.dat\r\n")) << c.dir;
    EXPECT_EQ(ReadFile(file), data) << c.dir;
  }
}

TEST_F(Backup, FailedCopyRecordsTheSourceFullPath) {
  const std::string blocker = root_ + "blocker";
  WriteFile(blocker, "a file where a folder should be");
  const std::string existing = WorkFile("e.dat", "e");
  struct FailCase {
    std::string fileName;
    std::string dir;
  };
  const FailCase cases[] = {
      {task_->FWorkDir + "missing.dat", ""},
      {std::string("work") + kSep + "missing.dat", ""},
      {existing, blocker + kSep + "sub"},  // the folder cannot be made
  };
  for (const FailCase& c : cases) {
    std::string msg = "K=V";
    task_->BackupOneFile(BackupStep(TStepKind::Decode, c.dir, "K"), c.fileName, msg);
    EXPECT_EQ(msg, Listed("V\r\n" + plat::FullPathName(c.fileName) + "\r\n"))
        << c.fileName;
  }
  EXPECT_EQ(ReadFile(blocker), "a file where a folder should be");
}

TEST_F(Backup, ListGrowsAcrossFilesPackagesAndSteps) {
  const std::string a = WorkFile("a.dat", "a"), b = WorkFile("b.dat", "b"),
                    c = WorkFile("c.dat", "c");
  std::string msg;
  task_->BackupPackages(BackupStep(TStepKind::Compress, "", "K"), {{"t1", {a, b}}, {"", {c}}},
                        msg);
  const std::string dir = DayDir("20240305", "Compress");
  EXPECT_EQ(msg, Listed(dir + "a.dat\r\n" + dir + "b.dat\r\n" + dir + "c.dat\r\n"));

  // A later step sharing the key extends the same list.
  task_->BackupPackages(BackupStep(TStepKind::Crypt, "", "K"), {{"", {a}}}, msg);
  EXPECT_EQ(msg, Listed(dir + "a.dat\r\n" + dir + "b.dat\r\n" + dir + "c.dat\r\n" +
                                         DayDir("20240305", "Crypt") + "a.dat\r\n"));
  EXPECT_EQ(ReadFile(DayDir("20240305", "Crypt") + "a.dat"), "a");
}

TEST_F(Backup, HostValueIsExtendedAndTheRestOfTheMessageKept) {
  // A name holding "=" and ";" must reach the list escaped, not split it.
  const std::string file = WorkFile("x;y=z.dat", "xyz");
  const std::string copy = DayDir("20240305", "Uncompress") + "x;y=z.dat";
  struct HostCase {
    std::string msg;
    std::string expected;
  };
  const HostCase cases[] = {
      {"ResultMsgStr=成功！;K=V;Other=1",
       "ResultMsgStr=成功！;K=" + Escaped("V\r\n" + copy + "\r\n") + ";Other=1"},
      {"K=V\r\n", "K=" + Escaped("V\r\n" + copy + "\r\n")},
      {"K=a\n\rb\r", "K=" + Escaped("a\r\n\r\nb\r\n" + copy + "\r\n")},
      {"ResultMsgStr=x", "ResultMsgStr=x;K=" + Escaped(copy + "\r\n")},
      {"", "K=" + Escaped(copy + "\r\n")},
  };
  for (const HostCase& c : cases) {
    std::string msg = c.msg;
    task_->BackupOneFile(BackupStep(TStepKind::Uncompress, "", "K"), file, msg);
    EXPECT_EQ(msg, c.expected) << c.msg;
  }
  EXPECT_EQ(ReadFile(copy), "xyz");
}

TEST_F(Backup, NoKeyMeansCopyOnly) {
  const std::string file = WorkFile("n.dat", "n");
  std::string msg = "ResultMsgStr=x";
  task_->BackupOneFile(BackupStep(TStepKind::Response, "", ""), file, msg);
  EXPECT_EQ(msg, "ResultMsgStr=x");
  EXPECT_EQ(ReadFile(DayDir("20240305", "Response") + "n.dat"), "n");
}

TEST_F(Backup, StepAcrossMidnightFilesIntoTwoDays) {
  SteppingClock::Set({{2024, 12, 31, 23, 59, 59}, {2025, 1, 1, 0, 0, 0}});
  const std::string a = WorkFile("a.dat", "a"), b = WorkFile("b.dat", "b");
  std::string msg;
  task_->BackupPackages(BackupStep(TStepKind::Decrypt, "", "K"), {{"", {a}}, {"", {b}}}, msg);
  const std::string first = DayDir("20241231", "Decrypt") + "a.dat";
  const std::string second = DayDir("20250101", "Decrypt") + "b.dat";
  EXPECT_EQ(ReadFile(first), "a");
  EXPECT_EQ(ReadFile(second), "b");
  EXPECT_FALSE(Exists(DayDir("20241231", "Decrypt") + "b.dat"));
  EXPECT_EQ(msg, Listed(first + "\r\n" + second + "\r\n"));
}

TEST_F(Backup, CopyKeepsOnlyTheFileNamePart) {
  // "/" separates on Windows too, so the copy lands in the backup folder.
  std::filesystem::create_directories(root_ + "work" + kSep + "sub");
  const std::string file = task_->FWorkDir + "sub/s.dat";
  WriteFile(file, "s");
  std::string msg;
  task_->BackupOneFile(BackupStep(TStepKind::Code, "", "K"), file, msg);
  const std::string copy = DayDir("20240305", "Code") + "s.dat";
  EXPECT_EQ(msg, Listed(copy + "\r\n"));
  EXPECT_EQ(ReadFile(copy), "s");
}

}  // namespace
}  // namespace dv
