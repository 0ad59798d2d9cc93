// A substitute local clock for tests: it gives the set times in turn, then
// stays at the last one, and counts how often it was read.
#pragma once

#include <initializer_list>

#include "platform/platform.h"

namespace dv::testing {

struct SteppingClock {
  static inline plat::LocalTime times[8];
  static inline int count = 1;
  static inline int reads = 0;

  static plat::LocalTime Now() {
    const int i = reads < count ? reads : count - 1;
    ++reads;
    return times[i];
  }
  // Installs the clock; restore the system's with plat::SetClockForTesting(nullptr).
  static void Set(std::initializer_list<plat::LocalTime> list) {
    count = 0;
    for (const auto& t : list)
      if (count < 8) times[count++] = t;
    reads = 0;
    plat::SetClockForTesting(&Now);
  }
};

}  // namespace dv::testing
