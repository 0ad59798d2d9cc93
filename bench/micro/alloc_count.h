// Counts every allocation through the global operator new of the program.
#pragma once

#include <cstdint>

namespace dvbench {

uint64_t AllocCount();  // allocations so far
uint64_t AllocBytes();  // bytes asked for so far

}  // namespace dvbench
