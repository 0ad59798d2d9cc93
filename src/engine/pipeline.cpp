// Placeholder until the step pipeline lands.
#include "engine/task_process.h"

namespace dv {
int32_t TTaskProcess::RunSteps(TStepKind, TStepKind, TPackageFileList&, TPackageFileList&,
                               std::string&) {
  return -1;
}
}  // namespace dv
