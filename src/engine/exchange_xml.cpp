// Placeholder until the exchange XML formats land.
#include "engine/task_process.h"

namespace dv {
std::string TTaskProcess::BuildPackagesXml(const TPackageFileList&) { return {}; }
bool TTaskProcess::ParsePackagesXml(const std::string&, TPackageFileList&) { return false; }
std::string TTaskProcess::BuildContentControl(TStepList) { return {}; }
bool TTaskProcess::ParseContentControl(const std::string&, TStepList&) { return false; }
}  // namespace dv
