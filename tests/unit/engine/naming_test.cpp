// Output file naming: every pattern form, slot filling, message file names,
// and names from hostile target names and patterns that must stay inside the
// work folder.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/files.h"
#include "common/path.h"
#include "engine/task_process.h"
#include "platform/platform.h"
#include "unit/engine/engine_fixture.h"
#include "unit/engine/stepping_clock.h"

namespace dv {
namespace {

using testing::SteppingClock;

constexpr char kSep = plat::kDirSep;

// Test inputs are written with "\"; on POSIX the component's separator is
// "/", so the folder structure carries over.
std::string Native(std::string s) {
  for (char& c : s)
    if (c == '\\') c = kSep;
  return s;
}

class Naming : public ::testing::Test {
 protected:
  void SetUp() override {
    task_ = std::make_unique<TTaskProcess>(root_ + "missing.xml", "", "");
    task_->FWorkDir = root_ + "work" + kSep;
  }
  void TearDown() override {
    task_.reset();
    plat::SetClockForTesting(nullptr);
  }
  const std::string& Work() const { return task_->FWorkDir; }

  // The result must be the work folder plus one plain name, and must still
  // lie directly in the work folder once the system has expanded it.
  void ExpectInWorkFolder(const std::string& result, const std::string& what) {
    ASSERT_EQ(result.compare(0, Work().size(), Work()), 0) << what << " -> " << result;
    const std::string name = result.substr(Work().size());
    EXPECT_EQ(LastSeparatorPos(name), std::string::npos) << what << " -> " << result;
    EXPECT_NE(name, ".") << what;
    EXPECT_NE(name, "..") << what;
    if (name.empty()) return;
    EXPECT_EQ(FolderPart(plat::FullPathName(result)),
              NormalizeDirPath(FolderPart(plat::FullPathName(Work() + "x"))))
        << what << " -> " << result;
  }

  testing::ComponentFolder folder_;
  const std::string root_ = folder_.Dir();
  std::unique_ptr<TTaskProcess> task_;
};

struct NameCase {
  const char* source;
  const char* pattern;
  const char* target;
  const char* name;  // expected, after the work folder
};

TEST_F(Naming, PatternFormsAndSlots) {
  const NameCase cases[] = {
      // extension pattern
      {"C:\\in\\a.xml", "*.zip", "data.txt", "data.zip"},
      {"C:\\in\\a.xml", "*.zip", "", "a.zip"},
      {"C:\\in\\a", "*.zip", "", "a.zip"},
      {"C:\\in\\arc.tar.gz", "*.enc", "", "arc.tar.enc"},
      {"", "*.zip", "", ".zip"},
      // keep the name
      {"C:\\in\\a.xml", "*.*", "D:\\x\\out.dat", "out.dat"},
      {"C:\\in\\a.xml", "", "D:\\x\\out.dat", "out.dat"},
      {"C:\\in\\a.xml", "", "", "a.xml"},
      {"C:\\in\\a.xml", "*.*", "", "a.xml"},
      // literal names, with and without slots
      {"C:\\in\\a.xml", "res.dat", "t.txt", "res.dat"},
      {"", "out_?_?.dat", "A,B", "out_A_B.dat"},
      {"", "out_?_?.dat", "A", "out_A_.dat"},
      {"", "out_?_?.dat", "A,B,C", "out_A_B.dat"},
      {"", "?-?", "x?,y", "xy-"},
      {"", "?_?_?", "a\r\nb\nc", "a_b_c"},
      {"", "?_?_?", "a,,b", "a__b"},
      {"", "?_?", "a,", "a_"},
      {"", "?_?", " a , b ", "a _ b"},
      {"C:\\in\\a.xml", "???", "", "a.xml"},
      {"C:\\in\\a.xml", "???", "t.txt", "t.txt"},
      {"C:\\in\\a.zip", "*.?", "enc", "a.enc"},
      {"", "?", "D:\\x\\f.dat", "f.dat"},
      // folder parts never count
      {"", "D:\\out\\*.zip", "t.txt", "t.zip"},
      {"", "D:\\out\\res.dat", "t.txt", "res.dat"},
      {"", "D:\\out\\", "t.txt", "t.txt"},
      // blanks around every argument
      {"  C:\\in\\a.xml ", "  *.zip\t", " data.txt  ", "data.zip"},
      // nothing at all
      {"", "", "", ""},
      {"", "?", "", ""},
  };
  for (const NameCase& c : cases) {
    const std::string what = std::string("source '") + c.source + "' pattern '" + c.pattern +
                             "' target '" + c.target + "'";
    const std::string got =
        task_->MakeTargetFileName(Native(c.source), Native(c.pattern), Native(c.target));
    EXPECT_EQ(got, Work() + c.name) << what;
  }
}

TEST_F(Naming, WorkFolderWithoutTrailingSeparatorGetsOne) {
  task_->FWorkDir = root_ + "work";
  EXPECT_EQ(task_->MakeTargetFileName("", "", "a.dat"), root_ + "work" + kSep + "a.dat");
}

TEST_F(Naming, SourceAlreadyInWorkFolderNamesItself) {
  EXPECT_EQ(task_->MakeTargetFileName(Work() + "a.zip", "", ""), Work() + "a.zip");
  EXPECT_EQ(task_->MakeTargetFileName(Work() + "a.zip", "*.*", ""), Work() + "a.zip");
}

// Names that try to climb out of the work folder. On Windows "\", ":" and "/"
// all separate; on POSIX only "/", so a "\" there is part of a plain name.
struct HostileCase {
  const char* source;
  const char* pattern;
  const char* target;
  const char* windowsName;
  const char* posixName;
};

TEST_F(Naming, HostileNamesStayInWorkFolder) {
  const HostileCase cases[] = {
      {"", "", "../../Mordane.dll", "Mordane.dll", "Mordane.dll"},
      {"", "*.*", "../../Mordane.dll", "Mordane.dll", "Mordane.dll"},
      {"", "*.dll", "../../Mordane.txt", "Mordane.dll", "Mordane.dll"},
      {"", "", "..\\..\\x", "x", "..\\..\\x"},
      {"s.dat", "", "a/..", "s.dat", "s.dat"},
      {"s.dat", "", "..", "s.dat", "s.dat"},
      {"s.dat", "", ".", "s.dat", "s.dat"},
      {"s.dat", "*.*", "..", "s.dat", "s.dat"},
      {"s.dat", "", "C:..", "s.dat", "C:.."},
      {"s.dat", "", "...", "s.dat", "..."},
      {"", "", "..", "", ""},
      {"s.dat", "?", "..", "s.dat", "s.dat"},
      {"s.dat", "?", ".", "s.dat", "s.dat"},
      {"s.dat", "?/?", "..,..", "s.dat", "s.dat"},
      {"s.dat", "?.?", ".,", "s.dat", "s.dat"},
      {"s.dat", "..?", "", "s.dat", "s.dat"},
      {"s.dat", "?", ".. ,x", "s.dat", ".. "},
      {"s.dat", "?", "a/../../b", "b", "b"},
      {"s.dat", "?", "../../Mordane.dll", "Mordane.dll", "Mordane.dll"},
      {"s.dat", "..", "", "s.dat", "s.dat"},
      {"s.dat", "../..", "t", "t", "t"},
      {"", "..\\..\\evil.dll", "", "evil.dll", "..\\..\\evil.dll"},
      {"", "../../evil.dll", "", "evil.dll", "evil.dll"},
      {"", "C:evil.dll", "", "evil.dll", "C:evil.dll"},
      {"", "*..", ".x", "", ""},
      {"", "*..", "", "", ""},
      {"", "*.", "", "", ""},
      {"../../up.dat", "", "", "up.dat", "up.dat"},
      {"a/..", "", "", "", ""},
      {"..", "*.zip", "", ".zip", ".zip"},
      // a GBK character whose trail byte is 0x5C is no separator
      {"", "", "\x81\x5C.txt", "\x81\x5C.txt", "\x81\x5C.txt"},
      {"", "", "..\x81\x5C", "..\x81\x5C", "..\x81\x5C"},
  };
  for (const HostileCase& c : cases) {
    const std::string what = std::string("source '") + c.source + "' pattern '" + c.pattern +
                             "' target '" + c.target + "'";
    const std::string got = task_->MakeTargetFileName(c.source, c.pattern, c.target);
    EXPECT_EQ(got, Work() + (plat::kWindowsPaths ? c.windowsName : c.posixName)) << what;
    ExpectInWorkFolder(got, what);
  }
}

TEST_F(Naming, MessageFileNames) {
  SteppingClock::Set({{2024, 1, 2, 3, 4, 5}});
  const std::string req = task_->MakeMessageFileName(true, "");
  const std::string resp = task_->MakeMessageFileName(false, "");
  EXPECT_EQ(req, Work() + "Message_request_20240102030405.xml");
  EXPECT_EQ(resp, Work() + "Message_response_20240102030405.xml");

  EXPECT_EQ(task_->MakeMessageFileName(true, Native("  D:\\msg ")),
            Native("D:\\msg\\") + "Message_request_20240102030405.xml");
  EXPECT_EQ(task_->MakeMessageFileName(false, Native("D:\\msg\\")),
            Native("D:\\msg\\") + "Message_response_20240102030405.xml");

  // The message path standing in for the target name.
  EXPECT_EQ(task_->MakeTargetFileName("", "", req), req);
  EXPECT_EQ(task_->MakeTargetFileName("", "*.*", resp), resp);
  EXPECT_EQ(task_->MakeTargetFileName("", "*.req", req),
            Work() + "Message_request_20240102030405.req");
  EXPECT_EQ(task_->MakeTargetFileName("", "reply.xml", resp), Work() + "reply.xml");
}

TEST_F(Naming, MessageTimeStampIsOneReading) {
  // A stamp taken one field at a time would mix the two readings.
  SteppingClock::Set({{2024, 12, 31, 23, 59, 59}, {2025, 1, 1, 0, 0, 0}});
  EXPECT_EQ(task_->MakeMessageFileName(true, ""), Work() + "Message_request_20241231235959.xml");
  EXPECT_EQ(task_->MakeMessageFileName(true, ""), Work() + "Message_request_20250101000000.xml");
  EXPECT_EQ(SteppingClock::reads, 2);

  SteppingClock::Set({{2009, 9, 9, 9, 9, 9}});
  EXPECT_EQ(task_->MakeMessageFileName(false, ""), Work() + "Message_response_20090909090909.xml");
}

TEST_F(Naming, TargetDirIsWorkFolderWhateverItIsGiven) {
  const char* args[][2] = {
      {"", ""},
      {"C:\\in\\a.zip", "D:\\out\\"},
      {"../../a.zip", "../../"},
      {"..", ".."},
  };
  for (const auto& a : args) EXPECT_EQ(task_->GetTargetDir(Native(a[0]), Native(a[1])), Work());
}

}  // namespace
}  // namespace dv
