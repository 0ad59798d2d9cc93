// Loading the sibling libraries on Windows.
#include <windows.h>

#include "platform/platform.h"

namespace dv::plat {

ModuleHandle LoadLibraryAt(const std::string& path) {
  return reinterpret_cast<ModuleHandle>(LoadLibraryA(path.c_str()));
}

void* FindExport(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool FreeLibraryHandle(ModuleHandle module) {
  if (!module) return false;
  return FreeLibrary(static_cast<HMODULE>(module)) != 0;
}

std::string LibraryFileName(const char* baseName) { return std::string(baseName) + ".dll"; }

}  // namespace dv::plat
