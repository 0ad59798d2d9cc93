// The step loop: runs a range of configured steps through the handler table
// and removes the intermediate files that a step no longer carries on.
#include "common/path.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

namespace {

// A step kind below Request works on packages; with none left it is skipped.
bool NeedsPackages(TStepKind k) { return KindIndex(k) < KindIndex(TStepKind::Request); }

// True when full path lies below the folder whose full path is dirFull
// (dirFull ends with the separator), ASCII letters compared without case.
bool LiesInside(const std::string& full, const std::string& dirFull) {
  return full.size() > dirFull.size() && SameTextAscii(full.substr(0, dirFull.size()), dirFull);
}

}  // namespace

int32_t TTaskProcess::RunSteps(TStepKind First, TStepKind Last, TPackageFileList& Files,
                               TPackageFileList& Output, std::string& Msg) {
  if (KindIndex(Last) < KindIndex(First)) return 0;
  int32_t result = 0;
  bool hasRun = false;
  for (int k = KindIndex(First); k <= KindIndex(Last) && result == 0; ++k) {
    TStep& step = FTask.Steps[k];
    if (!step.Configured) continue;
    if (Files.empty() && NeedsPackages(static_cast<TStepKind>(k))) {
      // Counts as not configured for the rest of the call, so the Request
      // step's contentControl XML does not list it either.
      step.Configured = false;
      continue;
    }
    Output.clear();
    result = FTask.Handlers[k](step, Files, Output, Msg);
    // The first step's input is the caller's own list: never cleaned up.
    if (hasRun) DeleteStaleFiles(Files, Output);
    hasRun = true;
    if (result != 0) break;
    Files = CopyPackageList(Output);
  }
  return result;
}

void TTaskProcess::DeleteStaleFiles(const TPackageFileList& OldList,
                                    const TPackageFileList& NewList) {
  for (const TPackageFile& package : OldList)
    for (const std::string& file : package.Files) DeleteIfUnused(file, NewList);
}

void TTaskProcess::DeleteIfUnused(const std::string& FileName, const TPackageFileList& NewList) {
  if (!plat::IsExistingFile(FileName)) return;
  if (IsFileInPackages(FileName, NewList)) return;
  // A library may report any path as its output; only what lies in this
  // call's work folder is ours to remove, never a host file.
  if (FWorkDir.empty()) return;
  std::string workFull = plat::FullPathName(FWorkDir);
  if (!EndsWithDirSep(workFull)) workFull += plat::kDirSep;
  if (!LiesInside(plat::FullPathName(FileName), workFull)) return;
  plat::DeleteFileAt(FileName);
}

bool TTaskProcess::IsFileInPackages(const std::string& FileName, const TPackageFileList& List) {
  if (List.empty()) return false;
  const std::string full = plat::FullPathName(FileName);
  for (const TPackageFile& package : List)
    for (const std::string& file : package.Files)
      if (SameTextAscii(full, plat::FullPathName(file))) return true;
  return false;
}

TPackageFileList TTaskProcess::CopyPackageList(const TPackageFileList& Source) {
  TPackageFileList copy(Source.size());
  for (std::size_t i = 0; i < Source.size(); ++i) {
    copy[i].TargetName = Source[i].TargetName;
    copy[i].Files = Source[i].Files;
  }
  return copy;
}

}  // namespace dv
