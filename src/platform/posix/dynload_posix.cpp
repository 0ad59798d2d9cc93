// Loading the sibling libraries on POSIX.
#include <dlfcn.h>

#include "platform/platform.h"

namespace dv::plat {

ModuleHandle LoadLibraryAt(const std::string& path) {
  // A name without a folder would send dlopen through the library search
  // path; the libraries are always meant as files, relative to the current
  // directory when no folder is given, as LoadLibraryA finds them first.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindExport(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return dlsym(module, name);
}

bool FreeLibraryHandle(ModuleHandle module) {
  if (!module) return false;  // dlclose(nullptr) is undefined
  return dlclose(module) == 0;
}

std::string LibraryFileName(const char* baseName) { return std::string(baseName) + ".so"; }

}  // namespace dv::plat
