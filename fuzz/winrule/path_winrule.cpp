// The core's path, built under the Windows path rules.
#include "../../src/common/path.cpp"
