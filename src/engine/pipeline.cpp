// The step loop: runs a range of configured steps through the handler table
// and removes the intermediate files that a step no longer carries on.
#include <string>

#include "common/path.h"
#include "common/variant.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

namespace {

// A step kind below Request works on packages; with none left it is skipped.
bool NeedsPackages(TStepKind k) { return KindIndex(k) < KindIndex(TStepKind::Request); }

// True when full path lies below the folder whose full path is dirFull
// (dirFull ends with the separator), compared as the file system compares.
bool LiesInside(const std::string& full, const std::string& dirFull) {
  return full.size() > dirFull.size() &&
         plat::CompareFullPaths(full.substr(0, dirFull.size()), dirFull) == 0;
}

}  // namespace

int32_t TTaskProcess::RunSteps(TStepKind First, TStepKind Last, TPackageFileList& Files,
                               TPackageFileList& Output, std::string& Msg) {
  if (KindIndex(Last) < KindIndex(First)) return 0;
  int32_t result = 0;
  bool hasRun = false;
  if constexpr (kEarlierBuild) FHostFiles = TFullPathSet(Files);
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

namespace {

// Which files the deletions may touch: only this call's own.
class OwnFiles {
 public:
  explicit OwnFiles(const TTaskProcess& Task)
      : workFull_(FolderFull(Task.FWorkDir)),
        backupFull_(kEarlierBuild ? FolderFull(Task.FBackupDir) : std::string()),
        named_(Task.FNamedOutputs),
        host_(Task.FHostFiles),
        backupFolders_(Task.FBackupFolders),
        backupsInPlace_(Task.FBackupsInPlace) {}
  bool Contains(const std::string& FileName) const {
    if constexpr (kEarlierBuild) {
      // Step outputs land beside the host's files here: what this call named
      // as a step's output is its own, what the host named never is, and
      // neither is a backup, even one that was an output a step named.
      if (host_.Contains(FileName)) return false;
      const std::string full = plat::FullPathName(FileName);
      if (backupsInPlace_.Contains(full) || backupFolders_.Contains(FolderPart(full)) ||
          (!backupFull_.empty() && LiesInside(full, backupFull_)))
        return false;
      if (named_.Contains(FileName)) return true;
    }
    // A library may report any path as its output; only what lies in this
    // call's work folder is ours to remove, never a host file.
    return !workFull_.empty() && LiesInside(plat::FullPathName(FileName), workFull_);
  }

 private:
  static std::string FolderFull(const std::string& dir) {
    if (dir.empty()) return {};
    std::string full = plat::FullPathName(dir);
    if (!EndsWithDirSep(full)) full += plat::kDirSep;
    return full;
  }
  std::string workFull_;
  std::string backupFull_;
  const TFullPathSet& named_;
  const TFullPathSet& host_;
  const TFullPathSet& backupFolders_;
  const TFullPathSet& backupsInPlace_;
};

// Deletes FileName when it is a file that NewList does not name again and
// that belongs to this call.
void DeleteUnlisted(const std::string& FileName, const TFullPathSet& NewList, const OwnFiles& own) {
  if (!plat::IsExistingFile(FileName)) return;
  if (NewList.Contains(FileName)) return;
  if (!own.Contains(FileName)) return;
  plat::DeleteFileAt(FileName);
}

}  // namespace

void TTaskProcess::DeleteStaleFiles(const TPackageFileList& OldList,
                                    const TPackageFileList& NewList) {
  const TFullPathSet kept(NewList);
  const OwnFiles own(*this);
  for (const TPackageFile& package : OldList)
    for (const std::string& file : package.Files) DeleteUnlisted(file, kept, own);
}

void TTaskProcess::DeleteIfUnused(const std::string& FileName, const TPackageFileList& NewList) {
  DeleteUnlisted(FileName, TFullPathSet(NewList), OwnFiles(*this));
}

bool TTaskProcess::IsFileInPackages(const std::string& FileName, const TPackageFileList& List) {
  return TFullPathSet(List).Contains(FileName);
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
