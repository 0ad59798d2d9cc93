#include "engine/task_process.h"

namespace dv {

const std::array<TProcessStep, StepKindCount> StepTable = {{
    {TStepKind::Compress, "Compress"},
    {TStepKind::Crypt, "Crypt"},
    {TStepKind::Code, "Code"},
    {TStepKind::Request, "Request"},
    {TStepKind::Communication, "Communication"},
    {TStepKind::Response, "Response"},
    {TStepKind::Decode, "Decode"},
    {TStepKind::Decrypt, "Decrypt"},
    {TStepKind::Uncompress, "Uncompress"},
}};

const std::array<TProcessStep, 3> ContentControlTypes = {{
    {TStepKind::Compress, "zip"},
    {TStepKind::Crypt, "crypt"},
    {TStepKind::Code, "code"},
}};

TTaskProcess::TTaskProcess(const std::string& ConfigFile, const std::string& TaskID,
                           const std::string& TaskParam)
    : FConfigFile(ConfigFile), FTaskID(TaskID), FTaskParam(TaskParam) {
  using Method = int32_t (TTaskProcess::*)(const TStep&, const TPackageFileList&,
                                           TPackageFileList&, std::string&);
  static constexpr std::array<Method, StepKindCount> kHandlers = {
      &TTaskProcess::DoCompress, &TTaskProcess::DoCrypt,    &TTaskProcess::DoCode,
      &TTaskProcess::DoRequest,  &TTaskProcess::DoCommunication, &TTaskProcess::DoResponse,
      &TTaskProcess::DoDecode,   &TTaskProcess::DoDecrypt,  &TTaskProcess::DoUncompress,
  };
  for (int k = 0; k < StepKindCount; ++k) {
    FTask.Steps[k].Kind = StepTable[k].Kind;
    const Method m = kHandlers[k];
    FTask.Handlers[k] = [this, m](const TStep& step, const TPackageFileList& files,
                                  TPackageFileList& output, std::string& msg) {
      return (this->*m)(step, files, output, msg);
    };
  }
  FInitialized = LoadComponentCfg();
  if (FInitialized) FInitialized = LoadTaskCfg();
  PrepareWorkDirs();
}

}  // namespace dv
