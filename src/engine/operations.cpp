// The four task operations behind the exports, and the folder helpers they use.
#include <memory>

#include "common/files.h"
#include "common/params.h"
#include "common/path.h"
#include "common/text_search.h"
#include "components/manage_dlls.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

namespace {

constexpr const char* kNeedFolderMsg = "没有配置报文生成步骤，必须传入目录！";
constexpr const char* kBadInputMsg = "输入文件参数有误！";
constexpr const char* kCopyFailedMsg = "拷贝文件发生错误！";
constexpr const char* kEmptyTargetMsg = "目标路径不能为空！";
constexpr const char* kEmptyInPathMsg = "原始文件不能为空！";
constexpr const char* kEmptyFolderMsg = "指定目录[%s]找不到任何文件！";
constexpr const char* kFolderWithResponseMsg = "因为配置了报文解析步骤，不能输入目录！";
constexpr const char* kMissingExchangeStepsMsg =
    "任务配置信息文件[%s]配置有误：报文生成、通讯、报文解析过程必须存在！";

}  // namespace

int32_t FailStep(std::string& Msg, const std::string& Text) {
  Msg = SetParamValue(Msg, kResultMsgKey, Text);
  return -1;
}

bool IsDirPath(const std::string& Path) {
  const std::string trimmed = Trim(Path);
  if (trimmed.empty()) return true;
  if (plat::IsExistingFolder(trimmed)) return true;
  return FileNamePart(trimmed).empty();
}

int32_t TTaskProcess::ExportData(const std::string& InPackagesXml, std::string& TargetPath,
                                 std::string& Msg) {
  if (!FInitialized) return FailStep(Msg, FErrorMsg);
  const bool hasRequest = FTask.Steps[KindIndex(TStepKind::Request)].Configured;
  if (!hasRequest && !IsDirPath(TargetPath)) return FailStep(Msg, kNeedFolderMsg);
  TPackageFileList files, output;
  if (!ParsePackagesXml(InPackagesXml, files)) return FailStep(Msg, kBadInputMsg);
  // An empty target would deliver the host's files into the component's own
  // folder, over the sibling libraries.
  if (!hasRequest && Trim(TargetPath).empty()) return FailStep(Msg, kEmptyTargetMsg);

  const int32_t result = RunSteps(TStepKind::Compress, TStepKind::Request, files, output, Msg);
  if (result != 0) return result;

  if (!hasRequest) {
    if (!CopyFilesToDir(files, TargetPath)) return FailStep(Msg, kCopyFailedMsg);
    return 0;
  }

  // The Request step outputs the request message file first.
  if (output.empty() || output[0].Files.empty()) return FailStep(Msg, kCopyFailedMsg);
  const std::string requestFile = output[0].Files[0];
  if (IsDirPath(TargetPath)) TargetPath = NormalizeDirPath(TargetPath) + FileNamePart(requestFile);
  if (!plat::CopyFileReplace(requestFile, TargetPath)) return FailStep(Msg, kCopyFailedMsg);
  return 0;
}

int32_t TTaskProcess::ImportData(const std::string& InPath, std::string& OutText,
                                 std::string& Msg) {
  if (!FInitialized) return FailStep(Msg, FErrorMsg);
  if (InPath.empty()) return FailStep(Msg, kEmptyInPathMsg);

  TPackageFileList files, output;
  if (IsDirPath(InPath)) {
    ListDirEntries(InPath, files);
    if (files.empty())
      return FailStep(Msg, FormatWithPath(kEmptyFolderMsg, InPath));
    if (FTask.Steps[KindIndex(TStepKind::Response)].Configured)
      return FailStep(Msg, kFolderWithResponseMsg);
  } else {
    files.push_back(TPackageFile{std::string(), {InPath}});
  }

  const int32_t result = RunSteps(TStepKind::Response, TStepKind::Uncompress, files, output, Msg);
  if (result == 0) OutText = BuildPackagesXml(output);
  return result;
}

int32_t TTaskProcess::TransmitData(const std::string& InPackagesXml, std::string& OutText,
                                   std::string& Msg) {
  if (!FInitialized) return FailStep(Msg, FErrorMsg);
  const TStepList& steps = FTask.Steps;
  if (!steps[KindIndex(TStepKind::Request)].Configured ||
      !steps[KindIndex(TStepKind::Communication)].Configured ||
      !steps[KindIndex(TStepKind::Response)].Configured)
    return FailStep(Msg, FormatWithPath(kMissingExchangeStepsMsg, FComponentCfg.TaskCfgFile));

  TPackageFileList files, output;
  if (!ParsePackagesXml(InPackagesXml, files)) return FailStep(Msg, kBadInputMsg);

  const int32_t result = RunSteps(TStepKind::Compress, TStepKind::Uncompress, files, output, Msg);
  if (result == 0) OutText = BuildPackagesXml(output);
  return result;
}

bool TTaskProcess::CheckConnection(const std::string& NetParam, std::string& Msg) {
  // Deliberately blind to FInitialized: a broken configuration still asks
  // the communication library, with whatever paths were read.
  const std::unique_ptr<TNetManageDll> net =
      TBaseDll::Create<TNetManageDll>(GetThisModuleDir() + NetDllName());
  return net->IsConnected(FComponentCfg.CommunCfgFile, FComponentCfg.ProxyCfgFile, NetParam, Msg);
}

void TTaskProcess::ListDirEntries(const std::string& Dir, TPackageFileList& List) {
  List.clear();
  const std::string dir = NormalizeDirPath(Dir);
  std::vector<plat::DirEntry> entries;
  plat::ListDir(dir, entries);
  for (const plat::DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    List.push_back(TPackageFile{std::string(), {dir + e.name}});
  }
}

bool TTaskProcess::CopyFilesToDir(const TPackageFileList& List, const std::string& Dir) {
  const std::string dir = NormalizeDirPath(Dir);
  ForceDirs(dir);
  bool allCopied = DirExists(dir);
  for (const TPackageFile& package : List) {
    for (const std::string& file : package.Files) {
      const std::string target = dir + FileNamePart(file);
      // A file already at its destination is delivered; copying it onto
      // itself would fail, or truncate it.
      if (plat::IsExistingFile(file) && plat::SameFilePath(file, target)) continue;
      if (!plat::CopyFileReplace(file, target)) allCopied = false;
    }
  }
  return allCopied;
}

}  // namespace dv
