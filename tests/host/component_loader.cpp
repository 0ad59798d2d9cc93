#include "component_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace dvtest {

namespace {

#if defined(_WIN32)
constexpr char kSep = '\\';
bool IsSep(char c) { return c == '\\' || c == '/' || c == ':'; }
void* Load(const std::string& path, std::string& error) {
  HMODULE h = LoadLibraryA(path.c_str());
  if (!h) error = "LoadLibraryA failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(h);
}
void* Find(void* h, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(h), name));
}
void Unload(void* h) { FreeLibrary(static_cast<HMODULE>(h)); }
#else
constexpr char kSep = '/';
bool IsSep(char c) { return c == '/'; }
void* Load(const std::string& path, std::string& error) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = dlerror();
    error = e ? e : "dlopen failed";
  }
  return h;
}
void* Find(void* h, const char* name) { return dlsym(h, name); }
void Unload(void* h) { dlclose(h); }
#endif

template <class Fn>
void Bind(void* h, const char* name, Fn& fn, std::string& error) {
  fn = reinterpret_cast<Fn>(Find(h, name));
  if (!fn) error += std::string(error.empty() ? "" : "; ") + "missing export " + name;
}

}  // namespace

std::string ComponentFileName() {
#if defined(_WIN32)
  return "Dorvelk.dll";
#else
  return "Dorvelk.so";
#endif
}

ComponentLoader::ComponentLoader(const std::string& folder) {
  path_ = folder;
  if (!path_.empty() && !IsSep(path_.back())) path_ += kSep;
  path_ += ComponentFileName();
  handle_ = Load(path_, error_);
  if (!handle_) return;
  Bind(handle_, "DataImport", DataImport, error_);
  Bind(handle_, "DataExport", DataExport, error_);
  Bind(handle_, "DataTransmit", DataTransmit, error_);
  Bind(handle_, "IsConnected", IsConnected, error_);
}

ComponentLoader::~ComponentLoader() {
  if (handle_) Unload(handle_);
}

}  // namespace dvtest
