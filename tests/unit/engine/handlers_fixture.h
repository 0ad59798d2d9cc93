// One engine object in a sandbox that holds the test-double siblings: the
// sandbox stands in for the component's folder (so the handlers load the
// doubles from it and the work folder lands in it) and is the current
// directory, as during an export call.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/lines.h"
#include "common/params.h"
#include "engine/task_process.h"
#include "platform/platform.h"
#include "support/sandbox.h"

namespace dv::testing {

class HandlerTest : public ::testing::Test {
 protected:
  HandlerTest() : saved_(plat::CurrentDir()) {
    plat::SetModuleFileNameForTesting(box_.Dir() + "Dorvelk.dll");
    plat::SetCurrentDir(box_.Dir());
    task_ = std::make_unique<TTaskProcess>(box_.Path("none.xml"), "", "Param=7");
    TComponentCfg& c = task_->FComponentCfg;
    c.CompressCfgFile = "Mordane.cfg";
    c.CryptCfgFile = "Sibbert.cfg";
    c.CodeCfgFile = "Ulvaran.cfg";
    c.CommunCfgFile = "Tressil.cfg";
    c.ProxyCfgFile = "proxy.cfg";
    c.MessageCfgFile = "Quembry.cfg";
    task_->FTask.ServiceID = "SVC9";
  }
  ~HandlerTest() override {
    task_.reset();
    plat::SetCurrentDir(saved_);
    plat::SetModuleFileNameForTesting("");
  }

  // Switches step k on with its implementation name and output pattern.
  TStep& Configure(TStepKind k, const std::string& name, const std::string& fileName = "") {
    TStep& s = task_->FTask.Steps[KindIndex(k)];
    s.Configured = true;
    s.Name = name;
    s.FileName = fileName;
    return s;
  }
  // Backs up step k's output into the sandbox folder "bak", listed under "Bak".
  void WithBackup(TStepKind k) {
    TBackup& b = task_->FTask.Steps[KindIndex(k)].Backup;
    b.BackupFile = true;
    b.BackupDir = box_.Path("bak");
    b.ReturnParamName = "Bak";
  }
  int32_t Run(TStepKind k, const TPackageFileList& in, TPackageFileList& out) {
    out.clear();
    return task_->FTask.Handlers[KindIndex(k)](task_->FTask.Steps[KindIndex(k)], in, out, msg_);
  }

  std::string Host(const std::string& rel, const std::string& bytes) {
    box_.Write("host/" + rel, bytes);
    return box_.Path("host/" + rel);
  }
  std::string Work(const std::string& name) const { return task_->FWorkDir + name; }
  std::string ResultMsg() const { return GetParamValue(msg_, "ResultMsgStr"); }
  // The backup paths listed under "Bak", one per line.
  std::vector<std::string> Backups() const { return SplitLines(GetParamValue(msg_, "Bak")); }
  std::string ReadPath(const std::string& path) const {
    std::string bytes;
    plat::ReadFileBytes(path, bytes);
    return bytes;
  }
  static std::vector<std::string> FilesOf(const TPackageFileList& list) {
    std::vector<std::string> files;
    for (const auto& p : list) {
      EXPECT_TRUE(p.TargetName.empty());
      files.insert(files.end(), p.Files.begin(), p.Files.end());
    }
    return files;
  }

  dvtest::Sandbox box_;
  std::string saved_;
  std::unique_ptr<TTaskProcess> task_;
  std::string msg_;
};

}  // namespace dv::testing
