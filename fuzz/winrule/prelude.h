// Forced in front of every source of the Windows-rule fuzz builds: the
// standard headers come first, untouched, then the platform header sees a
// Windows target, so the core's path code follows the Windows separator rules
// ("\", ":" and "/"; GBK trail byte 0x5C) while the program runs natively.
// The path-rule names are renamed so that no inline definition of the native
// rule, from the POSIX backend's objects, can stand in for them at link time.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#define IsSeparatorChar IsSeparatorChar_WinRule
#define IsDirSepChar IsDirSepChar_WinRule
#define EndsWithDirSep EndsWithDirSep_WinRule
#define kWindowsPaths kWindowsPaths_WinRule
#define kDirSep kDirSep_WinRule
#define _WIN32 1
#include "platform/platform.h"
