// The core's files, built under the Windows path rules.
#include "../../src/common/files.cpp"
