// Placeholder until the outbound step handlers land.
#include "engine/task_process.h"

namespace dv {
#define DV_PLACEHOLDER(name)                                                                   \
  int32_t TTaskProcess::name(const TStep&, const TPackageFileList&, TPackageFileList&,        \
                             std::string&) {                                                   \
    return -1;                                                                                 \
  }
DV_PLACEHOLDER(DoCompress)
DV_PLACEHOLDER(DoCrypt)
DV_PLACEHOLDER(DoCode)
DV_PLACEHOLDER(DoRequest)
DV_PLACEHOLDER(DoCommunication)
}  // namespace dv
