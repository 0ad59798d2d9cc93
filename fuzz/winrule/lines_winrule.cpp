// The core's lines, built under the Windows path rules.
#include "../../src/common/lines.cpp"
