// Placeholder until the inbound step handlers land.
#include "engine/task_process.h"

namespace dv {
#define DV_PLACEHOLDER(name)                                                                   \
  int32_t TTaskProcess::name(const TStep&, const TPackageFileList&, TPackageFileList&,        \
                             std::string&) {                                                   \
    return -1;                                                                                 \
  }
DV_PLACEHOLDER(DoResponse)
DV_PLACEHOLDER(DoDecode)
DV_PLACEHOLDER(DoDecrypt)
DV_PLACEHOLDER(DoUncompress)
}  // namespace dv
