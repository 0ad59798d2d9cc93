// The step loop with scripted handlers: which steps run, what each one is
// handed, the skip rule, and which files the loop deletes between steps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/path.h"
#include "engine/task_process.h"
#include "platform/platform.h"
#include "unit/engine/engine_fixture.h"

namespace dv {
namespace {

constexpr char kSep = plat::kDirSep;
using K = TStepKind;

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}
void Touch(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << "x";
}

TPackageFileList Packages(std::initializer_list<std::vector<std::string>> files) {
  TPackageFileList list;
  for (const auto& f : files) list.push_back(TPackageFile{"", f});
  return list;
}

bool SameList(const TPackageFileList& a, const TPackageFileList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].TargetName != b[i].TargetName || a[i].Files != b[i].Files) return false;
  return true;
}

struct Call {
  K kind;
  TPackageFileList input;
};

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_ + "work");
    std::filesystem::create_directories(root_ + "host");
    task_ = std::make_unique<TTaskProcess>(root_ + "missing.xml", "", "");
    task_->FWorkDir = root_ + "work" + kSep;
    for (TStep& s : task_->FTask.Steps) s.Configured = false;
  }

  std::string Work(const std::string& name) const { return task_->FWorkDir + name; }
  std::string Host(const std::string& name) const { return root_ + "host" + kSep + name; }

  // Configures kind k with a handler that records its call, creates the
  // files of out that do not exist yet (only below the test's folder, and
  // none named "missing") and returns result.
  void Step(K k, TPackageFileList out, int32_t result = 0) {
    TStep& step = task_->FTask.Steps[KindIndex(k)];
    step.Configured = true;
    task_->FTask.Handlers[KindIndex(k)] = [this, k, out, result, &step](
                                              const TStep& s, const TPackageFileList& in,
                                              TPackageFileList& output, std::string& msg) {
      EXPECT_EQ(&s, &step) << "a handler gets the task's own step record";
      EXPECT_TRUE(output.empty()) << "the output list is empty on entry";
      calls_.push_back({k, in});
      for (const TPackageFile& p : out)
        for (const std::string& f : p.Files)
          if (f.rfind(root_, 0) == 0 && !Exists(f) && f.find("missing") == std::string::npos)
            Touch(f);
      output = out;
      msg += StepTable[KindIndex(k)].Name;
      return result;
    };
  }

  std::vector<K> Kinds() const {
    std::vector<K> ks;
    for (const Call& c : calls_) ks.push_back(c.kind);
    return ks;
  }
  bool IsConfigured(K k) const { return task_->FTask.Steps[KindIndex(k)].Configured; }

  testing::ComponentFolder folder_;
  const std::string root_ = folder_.Dir();
  std::unique_ptr<TTaskProcess> task_;
  std::vector<Call> calls_;
};

TEST_F(Pipeline, RangesWithoutAConfiguredStepReturnZeroAndTouchNothing) {
  struct Case {
    const char* what;
    K first, last;
    std::vector<K> configured;
  };
  const Case cases[] = {
      {"last below first", K::Request, K::Compress, {K::Compress, K::Request}},
      {"nothing configured", K::Compress, K::Request, {}},
      {"configured only outside the range", K::Response, K::Uncompress, {K::Compress, K::Code}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    calls_.clear();
    for (TStep& s : task_->FTask.Steps) s.Configured = false;
    for (K k : c.configured) Step(k, Packages({{Work("never")}}));
    TPackageFileList files = Packages({{Host("a.txt")}});
    TPackageFileList output = Packages({{"left as it was"}});
    const TPackageFileList filesBefore = files, outputBefore = output;
    std::string msg = "m=1";
    EXPECT_EQ(task_->RunSteps(c.first, c.last, files, output, msg), 0);
    EXPECT_TRUE(calls_.empty());
    EXPECT_TRUE(SameList(files, filesBefore));
    EXPECT_TRUE(SameList(output, outputBefore));
    EXPECT_EQ(msg, "m=1");
    for (K k : c.configured) EXPECT_TRUE(IsConfigured(k)) << "a step outside the run stays";
  }
}

TEST_F(Pipeline, StepsBeforeRequestAreSkippedAndUnconfiguredWithoutPackages) {
  struct Case {
    const char* what;
    TPackageFileList input;
    TPackageFileList compressOut;  // what Compress outputs, when it runs
    std::vector<K> expectCalls;
    std::vector<K> expectUnconfigured;
  };
  const std::string zip = root_ + "work" + kSep + "a.zip";
  const Case cases[] = {
      {"empty input: only Request runs, with the empty list",
       {},
       Packages({{zip}}),
       {K::Request},
       {K::Compress, K::Crypt, K::Code}},
      {"Compress outputs nothing: Crypt and Code skipped, Request still runs",
       Packages({{Host("a.txt")}}),
       {},
       {K::Compress, K::Request},
       {K::Crypt, K::Code}},
      {"a package without files still counts as a package",
       Packages({{}}),
       Packages({{zip}}),
       {K::Compress, K::Crypt, K::Code, K::Request},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    calls_.clear();
    Step(K::Compress, c.compressOut);
    Step(K::Crypt, Packages({{Work("a.enc")}}));
    Step(K::Code, Packages({{Work("a.b64")}}));
    Step(K::Request, Packages({{Work("req.xml")}}));
    TPackageFileList files = c.input, output;
    std::string msg;
    EXPECT_EQ(task_->RunSteps(K::Compress, K::Request, files, output, msg), 0);
    EXPECT_EQ(Kinds(), c.expectCalls);
    for (K k : c.expectUnconfigured) EXPECT_FALSE(IsConfigured(k));
    EXPECT_TRUE(IsConfigured(K::Request));
    ASSERT_FALSE(calls_.empty());
    if (c.expectCalls.front() == K::Request) {
      EXPECT_TRUE(calls_.front().input.empty());
    }
  }
}

TEST_F(Pipeline, InboundStepsRunWithAnEmptyList) {
  Step(K::Response, {});
  Step(K::Decode, Packages({{Work("d.out")}}));
  TPackageFileList files, output;
  std::string msg;
  EXPECT_EQ(task_->RunSteps(K::Response, K::Uncompress, files, output, msg), 0);
  EXPECT_EQ(Kinds(), (std::vector<K>{K::Response, K::Decode}));
  EXPECT_TRUE(IsConfigured(K::Decode));
}

TEST_F(Pipeline, EachStepGetsThePreviousOutputAndTheLastOutputIsDelivered) {
  const TPackageFileList host = Packages({{Host("a.txt"), Host("b.txt")}, {Host("c.txt")}});
  const TPackageFileList zips = Packages({{Work("1.zip")}, {Work("2.zip")}});
  const TPackageFileList encs = Packages({{Work("1.enc")}, {Work("2.enc")}});
  for (const TPackageFile& p : host)
    for (const std::string& f : p.Files) Touch(f);
  Step(K::Compress, zips);
  Step(K::Crypt, encs);
  TPackageFileList files = host, output;
  std::string msg = "m=1";
  ASSERT_EQ(task_->RunSteps(K::Compress, K::Uncompress, files, output, msg), 0);
  ASSERT_EQ(calls_.size(), 2u);
  EXPECT_TRUE(SameList(calls_[0].input, host));
  EXPECT_TRUE(SameList(calls_[1].input, zips));
  EXPECT_TRUE(SameList(files, encs));
  EXPECT_TRUE(SameList(output, encs));
  EXPECT_EQ(msg, "m=1CompressCrypt") << "the message passes through every handler";
  output.clear();
  EXPECT_TRUE(SameList(files, encs)) << "the delivered list is a copy of the output";
}

TEST_F(Pipeline, StepFailureStopsTheRunAfterCleaningUp) {
  Touch(Host("a.txt"));
  Step(K::Compress, Packages({{Work("a.zip")}, {Work("b.zip")}}));
  // Crypt fails after writing one output, naming a.zip again.
  Step(K::Crypt, Packages({{Work("a.enc"), Work("a.zip")}}), -1);
  Step(K::Code, Packages({{Work("never.b64")}}));
  TPackageFileList files = Packages({{Host("a.txt")}}), output;
  std::string msg;
  EXPECT_EQ(task_->RunSteps(K::Compress, K::Request, files, output, msg), -1);
  EXPECT_EQ(Kinds(), (std::vector<K>{K::Compress, K::Crypt}));
  EXPECT_TRUE(SameList(files, Packages({{Work("a.zip")}, {Work("b.zip")}})))
      << "the failing step's input stays";
  EXPECT_TRUE(SameList(output, Packages({{Work("a.enc"), Work("a.zip")}})));
  EXPECT_TRUE(Exists(Work("a.zip"))) << "named again by the failing step";
  EXPECT_FALSE(Exists(Work("b.zip"))) << "dropped by the failing step";
  EXPECT_TRUE(Exists(Host("a.txt")));
}

TEST_F(Pipeline, AFailingFirstStepDeletesNothing) {
  Touch(Host("a.txt"));
  Step(K::Response, {}, 7);
  TPackageFileList files = Packages({{Host("a.txt")}}), output;
  std::string msg;
  EXPECT_EQ(task_->RunSteps(K::Response, K::Uncompress, files, output, msg), 7)
      << "a handler's result comes back unchanged";
  EXPECT_TRUE(Exists(Host("a.txt")));
}

TEST_F(Pipeline, DeletesOnlyStaleFilesOfThisCallsWorkFolder) {
  struct Case {
    const char* what;
    std::string stale;  // reported by the first step, dropped by the second
    bool deleted;
  };
  const Case cases[] = {
      {"an intermediate file of the work folder", Work("a.zip"), true},
      {"a file in a work sub-folder", Work(std::string("sub") + kSep + "a.zip"), true},
      {"a host file a library reported as its output", Host("a.txt"), false},
      {"a file in the component's folder", root_ + "Ulvaran.dll", false},
      {"a folder whose name starts like the work folder", root_ + "work2" + kSep + "a.zip", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    calls_.clear();
    Touch(c.stale);
    Touch(Host("in.txt"));
    Step(K::Compress, Packages({{c.stale}}));
    Step(K::Crypt, Packages({{Work("a.enc")}}));
    TPackageFileList files = Packages({{Host("in.txt")}}), output;
    std::string msg;
    EXPECT_EQ(task_->RunSteps(K::Compress, K::Code, files, output, msg), 0);
    EXPECT_EQ(Exists(c.stale), !c.deleted);
    EXPECT_TRUE(Exists(Host("in.txt"))) << "the caller's input is never deleted";
  }
}

TEST_F(Pipeline, TheFirstStepToRunIsNotCleanedUpAfterEvenWhenNotTheFirstKind) {
  Touch(Work("host-like.dat"));
  Step(K::Crypt, Packages({{Work("a.enc")}}));
  TPackageFileList files = Packages({{Work("host-like.dat")}}), output;
  std::string msg;
  EXPECT_EQ(task_->RunSteps(K::Compress, K::Request, files, output, msg), 0);
  EXPECT_TRUE(Exists(Work("host-like.dat")));
}

TEST_F(Pipeline, AFileNamedAgainUnderAnotherSpellingStays) {
  // Relative to the current directory (the component's folder) before, full
  // path after, in other letter case where the file system folds it.
  const std::string relative = std::string("work") + kSep + "x.dat";
  const std::string full = plat::FullPathName(relative);
  Touch(Work("x.dat"));
  Step(K::Compress, Packages({{relative}}));
  Step(K::Crypt, Packages({{plat::kWindowsPaths ? UpperAscii(full) : full}}));
  TPackageFileList files = Packages({{Host("in.txt")}}), output;
  std::string msg;
  EXPECT_EQ(task_->RunSteps(K::Compress, K::Code, files, output, msg), 0);
  EXPECT_TRUE(Exists(Work("x.dat")));
}

TEST_F(Pipeline, MissingPathsAndFoldersInTheOldListArePassedOver) {
  std::filesystem::create_directories(Work("folder"));
  Step(K::Compress, Packages({{Work("missing.zip"), Work("folder"), Work("a.zip"), Work("a.zip")}}));
  Step(K::Crypt, Packages({{Work("a.enc")}}));
  TPackageFileList files = Packages({{Host("in.txt")}}), output;
  std::string msg;
  EXPECT_EQ(task_->RunSteps(K::Compress, K::Code, files, output, msg), 0);
  EXPECT_TRUE(Exists(Work("folder")));
  EXPECT_FALSE(Exists(Work("a.zip")));
}

TEST(PipelineLists, IsFileInPackagesComparesFullPathsAsTheFileSystemDoes) {
  const std::string dir = plat::FullPathName("pkg_dir") + kSep;
  constexpr bool kFolds = plat::kWindowsPaths;  // letter case, of every script
  struct Case {
    const char* what;
    std::string file;
    TPackageFileList list;
    bool expected;
  };
  const Case cases[] = {
      {"empty list", dir + "a.txt", {}, false},
      {"same path", dir + "a.txt", Packages({{dir + "b.txt"}, {dir + "a.txt"}}), true},
      {"ASCII case", dir + "a.txt", Packages({{UpperAscii(dir + "a.txt")}}), kFolds},
      {"relative against full", std::string("pkg_dir") + kSep + "a.txt",
       Packages({{dir + "a.txt"}}), true},
      {"dot segments folded", dir + "." + kSep + "a.txt", Packages({{dir + "a.txt"}}), true},
      {"other name", dir + "a.txt", Packages({{dir + "a.txt2"}}), false},
      {"full-width case", dir + "Ａ.txt", Packages({{dir + "ａ.txt"}}), kFolds},
      {"Greek case", dir + "Ω.txt", Packages({{dir + "ω.txt"}}), kFolds},
      {"Cyrillic case", dir + "Ж.txt", Packages({{dir + "ж.txt"}}), kFolds},
      {"GBK letters without case", dir + "数据.txt", Packages({{dir + "数揣.txt"}}), false},
      {"package without files", dir + "a.txt", Packages({{}}), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TTaskProcess::IsFileInPackages(c.file, c.list), c.expected) << c.what;
}

TEST(PipelineLists, CopyPackageListIsIndependentAtBothLevels) {
  TPackageFileList source = {{"T1", {"a", "b"}}, {"", {}}, {"T3", {"c"}}};
  TPackageFileList copy = TTaskProcess::CopyPackageList(source);
  EXPECT_TRUE(SameList(copy, source));
  source[0].Files[0] = "changed";
  source[0].TargetName = "changed";
  source.pop_back();
  EXPECT_EQ(copy.size(), 3u);
  EXPECT_EQ(copy[0].Files[0], "a");
  EXPECT_EQ(copy[0].TargetName, "T1");
  EXPECT_TRUE(TTaskProcess::CopyPackageList({}).empty());
}

}  // namespace
}  // namespace dv
