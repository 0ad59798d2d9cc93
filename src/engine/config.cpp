// Placeholder until the configuration loaders land.
#include "engine/task_process.h"

namespace dv {
bool TTaskProcess::LoadComponentCfg() { return false; }
bool TTaskProcess::LoadTaskCfg() { return false; }
void TTaskProcess::PrepareWorkDirs() {}
}  // namespace dv
