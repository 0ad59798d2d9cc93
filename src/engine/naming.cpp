// Placeholder until output naming lands.
#include "engine/task_process.h"

namespace dv {
std::string TTaskProcess::MakeTargetFileName(const std::string&, const std::string&,
                                             const std::string&) {
  return FWorkDir;
}
std::string TTaskProcess::MakeMessageFileName(bool, const std::string&) { return FWorkDir; }
std::string TTaskProcess::GetTargetDir(const std::string&, const std::string&) { return FWorkDir; }
}  // namespace dv
