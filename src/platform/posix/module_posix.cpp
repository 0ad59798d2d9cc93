// The path of the module that holds this code, on POSIX.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/platform.h"

namespace dv::plat {

namespace {

std::string gModuleOverride;

// True when addr lies in the main program rather than in a shared object.
bool InMainProgram(const void* addr) {
  struct Query {
    uintptr_t addr;
    bool found = false;
    bool main = false;
  } q{reinterpret_cast<uintptr_t>(addr)};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* q = static_cast<Query*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
          if (q->addr >= lo && q->addr < lo + ph.p_memsz) {
            q->found = true;
            q->main = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
            return 1;
          }
        }
        return 0;
      },
      &q);
  return q.found && q.main;
}

std::string ReadLink(const char* link) {
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = readlink(link, buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

// The file mapped at addr, as the kernel names it (always absolute).
std::string MappedFileAt(const void* addr) {
  std::ifstream maps("/proc/self/maps");
  const auto a = reinterpret_cast<uintptr_t>(addr);
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, perms, offset, dev, inode, path;
    in >> range >> perms >> offset >> dev >> inode;
    std::getline(in >> std::ws, path);
    const auto dash = range.find('-');
    if (dash == std::string::npos || path.empty() || path[0] != '/') continue;
    const uintptr_t lo = std::stoull(range.substr(0, dash), nullptr, 16);
    const uintptr_t hi = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (a >= lo && a < hi) return path;
  }
  return {};
}

}  // namespace

std::string ThisModuleFileName() {
  if (!gModuleOverride.empty()) return gModuleOverride;
  const void* self = reinterpret_cast<const void*>(&ThisModuleFileName);
  Dl_info info{};
  if (!InMainProgram(self) && dladdr(self, &info) != 0 && info.dli_fname &&
      info.dli_fname[0] != '\0') {
    const std::string name = info.dli_fname;
    if (name[0] == '/') return name;
    // Loaded by a relative path: the current directory may have moved since.
    const std::string mapped = MappedFileAt(self);
    return mapped.empty() ? FullPathName(name) : mapped;
  }
  return ReadLink("/proc/self/exe");
}

void SetModuleFileNameForTesting(const std::string& path) { gModuleOverride = path; }

}  // namespace dv::plat
