// The one compile-time setting that selects the earlier build's behaviour.
// The few functions that differ consult it; nothing else does.
#pragma once

#ifndef DORVELK_EARLIER_BUILD
#define DORVELK_EARLIER_BUILD 0
#endif

namespace dv {
inline constexpr bool kEarlierBuild = DORVELK_EARLIER_BUILD != 0;
}  // namespace dv
