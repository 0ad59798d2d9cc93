// The Windows-rule naming build holds only the naming code, not the whole
// engine: an engine object without configuration or work folders, whose
// work folder the fuzz target sets itself.
#include "engine/task_process.h"

namespace dv {

TTaskProcess::TTaskProcess(const std::string& ConfigFile, const std::string& TaskID,
                           const std::string& TaskParam)
    : FConfigFile(ConfigFile), FTaskID(TaskID), FTaskParam(TaskParam) {}

}  // namespace dv
