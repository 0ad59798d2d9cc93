// The core's naming, built under the Windows path rules.
#include "../../src/engine/naming.cpp"
