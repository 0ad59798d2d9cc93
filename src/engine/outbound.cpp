// The outbound step handlers: Compress, Crypt, Code, Request, Communication.
// Each loads its library for the one call, hands it the package files, names
// every file to be written and backs up the output only after success.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/files.h"
#include "common/lines.h"
#include "components/manage_dlls.h"
#include "engine/handler_frame.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

int32_t TTaskProcess::DoCompress(const TStep& Step, const TPackageFileList& Files,
                                 TPackageFileList& Output, std::string& Msg) {
  if (Files.empty()) return 0;
  auto dll = LoadStepLibrary<TCompressManageDll>(CompressDllName());
  Output.clear();
  TFullPathSet produced;  // this pass's outputs so far
  for (const TPackageFile& package : Files) {
    std::vector<std::string> list;
    list.reserve(package.Files.size());
    for (const std::string& f : package.Files) list.push_back(plat::FullPathName(f));
    // A package without files is refused by the wrapper with its own text.
    const std::string source = package.Files.empty() ? std::string() : package.Files.front();
    const std::string target = MakeTargetFileName(source, Step.FileName, package.TargetName);
    if (!produced.Add(target)) return FailStep(Msg, FormatWithPath(kDuplicateOutputMsg, target));
    if (!dll->Compress(FComponentCfg.CompressCfgFile, Step.Name, list, target, Msg)) return -1;
    Output.push_back({std::string(), {target}});
  }
  dll.reset();
  BackupPackages(Step, Output, Msg);
  return 0;
}

int32_t TTaskProcess::DoCrypt(const TStep& Step, const TPackageFileList& Files,
                              TPackageFileList& Output, std::string& Msg) {
  if (Files.empty()) return 0;
  const std::vector<std::string> names = SplitItems(Step.Name);
  // Without a pass the host's files would silently drop out of the request.
  if (names.empty()) return FailStep(Msg, kNoCryptNameMsg);
  if (CheckSingleFilePackages(Files, Msg) != 0) return -1;
  auto dll = LoadStepLibrary<TCryptManageDll>(CryptDllName());
  TPackageFileList current = Files;
  for (const std::string& name : names) {
    const int32_t pass = RunSingleFilePass(
        *this, Step, current, Output, Msg, [&](const std::string& source, const std::string& target) {
          return dll->Encrypt(FComponentCfg.CryptCfgFile, name, FTaskParam, source, target, Msg);
        });
    if (pass != 0) return pass;
    current = Output;
  }
  dll.reset();
  BackupPackages(Step, Output, Msg);
  return 0;
}

int32_t TTaskProcess::DoCode(const TStep& Step, const TPackageFileList& Files,
                             TPackageFileList& Output, std::string& Msg) {
  if (Files.empty()) return 0;
  if (CheckSingleFilePackages(Files, Msg) != 0) return -1;
  auto dll = LoadStepLibrary<TCodeManageDll>(CodeDllName());
  const int32_t pass = RunSingleFilePass(
      *this, Step, Files, Output, Msg, [&](const std::string& source, const std::string& target) {
        return dll->Encode(FComponentCfg.CodeCfgFile, Step.Name, source, target, Msg);
      });
  if (pass != 0) return pass;
  dll.reset();
  BackupPackages(Step, Output, Msg);
  return 0;
}

int32_t TTaskProcess::DoRequest(const TStep& Step, const TPackageFileList& Files,
                                TPackageFileList& Output, std::string& Msg) {
  // Built after the pipeline switched off the steps that had nothing to do,
  // so the reply is told only of transformations that were applied.
  const std::string control = BuildContentControl(FTask.Steps);
  auto dll = LoadStepLibrary<TMessageManageDll>(MessageDllName());
  std::vector<std::string> list;
  for (const TPackageFile& package : Files)
    list.insert(list.end(), package.Files.begin(), package.Files.end());
  const std::string target =
      MakeTargetFileName(std::string(), Step.FileName, MakeMessageFileName(true, std::string()));
  if (!dll->MessagePacket(FComponentCfg.MessageCfgFile, Step.Name, list, target, FTaskParam,
                          FTask.ServiceID, control, Msg))
    return -1;
  Output.push_back({std::string(), {target}});
  dll.reset();
  BackupOneFile(Step, target, Msg);
  return 0;
}

int32_t TTaskProcess::DoCommunication(const TStep& Step, const TPackageFileList& Files,
                                      TPackageFileList& Output, std::string& Msg) {
  auto dll = LoadStepLibrary<TNetManageDll>(NetDllName());
  if (Files.empty() || Files.front().Files.empty()) return FailStep(Msg, kNoFileToProcessMsg);
  const std::string& requestFile = Files.front().Files.front();
  // An unreadable request must not go out as an empty one; an empty file
  // that could be read is sent as it is. Send takes the length as a signed
  // 32-bit number: a request of 2 GiB or more cannot be told to it. The
  // library reads the request from a view of the file: a copy would cost
  // the host's memory the request's size. The view is let go before the
  // step loop deletes the file.
  constexpr uint64_t kMaxRequestBytes = INT32_MAX;
  std::string reply;
  {
    plat::FileView request;
    if (!request.Open(requestFile, kMaxRequestBytes))
      return FailStep(Msg, FormatWithPath(kReadRequestMsg, requestFile));
    if (!dll->Send(FComponentCfg.CommunCfgFile, FComponentCfg.ProxyCfgFile, Step.Name, 0,
                   std::string_view(request.Data(), request.Size()), reply, Msg))
      return -1;
  }
  // Named once the reply is in, so its time stamp is that of the reply.
  const std::string target =
      MakeTargetFileName(std::string(), Step.FileName, MakeMessageFileName(false, std::string()));
  try {
    SaveFileText(target, reply);
  } catch (const EFileError&) {
    // A response that is missing or cut short must not be parsed as the reply.
    return FailStep(Msg, FormatWithPath(kSaveResponseMsg, target));
  }
  Output.push_back({std::string(), {target}});
  dll.reset();
  BackupOneFile(Step, target, Msg);
  return 0;
}

}  // namespace dv
