// The path of the module that holds this code, on Windows.
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace dv::plat {

namespace {

std::string gModuleOverride;

}  // namespace

std::string ThisModuleFileName() {
  if (!gModuleOverride.empty()) return gModuleOverride;
  // The module that contains this code: the DLL when it is one, the program
  // when the code is linked into it.
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&ThisModuleFileName), &self))
    self = nullptr;
  // A path that fills the buffer may have been cut: grow until it fits.
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(self, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::string(buf.data(), n);
    if (buf.size() >= 0x100000) return {};
    buf.resize(buf.size() * 2);
  }
}

void SetModuleFileNameForTesting(const std::string& path) { gModuleOverride = path; }

}  // namespace dv::plat
