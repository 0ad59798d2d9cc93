// Step backups: copies of a step's output files under the backup root (or a
// configured folder), and the list of where they went in the message string.
#include <cstdio>

#include "common/files.h"
#include "common/lines.h"
#include "common/params.h"
#include "common/path.h"
#include "common/variant.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

namespace {

// "YYYYMMDD" of the local date, read anew for every file so that a step
// running across midnight files its copies under both days.
std::string TodayFolderName() {
  const plat::LocalTime t = plat::LocalNow();
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.year, t.month, t.day);
  return buf;
}

}  // namespace

void TTaskProcess::BackupPackages(const TStep& Step, const TPackageFileList& Packages,
                                  std::string& Msg) {
  for (const TPackageFile& package : Packages)
    for (const std::string& file : package.Files) BackupOneFile(Step, file, Msg);
}

void TTaskProcess::BackupOneFile(const TStep& Step, const std::string& FileName,
                                 std::string& Msg) {
  if (!Step.Configured || !Step.Backup.BackupFile) return;

  std::string dir = Step.Backup.BackupDir;
  if (dir.empty()) {
    dir = NormalizeDirPath(FBackupDir) + TodayFolderName() + plat::kDirSep +
          StepTable[KindIndex(Step.Kind)].Name + plat::kDirSep;
  }
  // A folder that cannot be made shows up as a failed copy below.
  ForceDirs(dir);

  std::string dest = NormalizeDirPath(dir) + FileNamePart(FileName);
  bool copied = false;
  if (!plat::SameFilePath(FileName, dest)) {
    copied = plat::CopyFileReplace(FileName, dest);
    // Without a copy the list names the original, so the host still learns
    // where the file is.
    if (!copied) dest = plat::FullPathName(FileName);
  }
  if constexpr (kEarlierBuild) {
    // Outputs can land in a backup folder here; what the list names as a
    // backup must outlive the call's clean-ups.
    FBackupFolders.Insert(NormalizeDirPath(dir));
    if (!copied) FBackupsInPlace.Insert(dest);
  }

  const std::string& key = Step.Backup.ReturnParamName;
  if (key.empty()) return;
  std::vector<std::string> lines = SplitLines(GetParamValue(Msg, key));
  lines.push_back(dest);
  Msg = SetParamValue(Msg, key, JoinLines(lines));
}

}  // namespace dv
