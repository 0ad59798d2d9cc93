#include "calls/bench_os.h"

#include <algorithm>
#include <atomic>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#else
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>
#endif

namespace dvbench {

#if defined(_WIN32)

int64_t NowNs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<int64_t>(static_cast<double>(c.QuadPart) * 1e9 /
                              static_cast<double>(f.QuadPart));
}

void InitHostThread() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

bool PlatformCopy(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool PlatformDelete(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

std::string ProgramDir() {
  char buf[MAX_PATH * 4];
  std::string p(buf, GetModuleFileNameA(nullptr, buf, sizeof buf));
  return p.substr(0, p.find_last_of("\\/:") + 1);
}

namespace {
PROCESS_MEMORY_COUNTERS_EX Counters() {
  PROCESS_MEMORY_COUNTERS_EX c{};
  c.cb = sizeof c;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c),
                       sizeof c);
  return c;
}
}  // namespace

uint64_t MemoryNow() { return Counters().WorkingSetSize; }
uint64_t MemoryPeak() { return Counters().PeakWorkingSetSize; }
bool ResetPeak() { return false; }
const char* MemoryKind() { return "working set (GetProcessMemoryInfo)"; }
// Wine leaves PrivateUsage at 0 and tells the same in PagefileUsage, where
// it fills that at all.
uint64_t PrivateNow() {
  const PROCESS_MEMORY_COUNTERS_EX c = Counters();
  return std::max<uint64_t>(c.PrivateUsage, c.PagefileUsage);
}
const char* PrivateKind() { return "private bytes (PrivateUsage or PagefileUsage), sampled every ms"; }

#else

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void InitHostThread() {}

bool PlatformCopy(const std::string& from, const std::string& to) {
  std::error_code ec;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                    ec);
}

bool PlatformDelete(const std::string& path) { return unlink(path.c_str()) == 0; }

std::string ProgramDir() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  std::string p(buf.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  return p.substr(0, p.rfind('/') + 1);
}

namespace {
// A "Vm...:  1234 kB" line of /proc/self/status, in bytes.
uint64_t StatusValue(const char* key) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  uint64_t kb = 0;
  const std::size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') kb = std::strtoull(line + n + 1, nullptr, 10);
  std::fclose(f);
  return kb * 1024;
}
}  // namespace

uint64_t MemoryNow() { return StatusValue("VmRSS"); }
uint64_t MemoryPeak() { return StatusValue("VmHWM"); }
bool ResetPeak() {
  // "5" resets the peak resident size to the current one.
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}
const char* MemoryKind() { return "resident set (VmRSS/VmHWM)"; }
uint64_t PrivateNow() { return StatusValue("RssAnon"); }
const char* PrivateKind() { return "resident anonymous memory (RssAnon), sampled every ms"; }

#endif

// Neither system keeps a peak of private memory that can be reset: sampled
// every millisecond on a thread of its own.
struct PrivatePeak::Sampler {
  std::atomic<bool> stop{false};
  uint64_t peak = PrivateNow();  // written by the thread until it is joined
  std::thread thread{[this] {
    while (!stop) {
      peak = std::max(peak, PrivateNow());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }};
};

PrivatePeak::PrivatePeak() = default;
PrivatePeak::~PrivatePeak() = default;

void PrivatePeak::Start() { sampler_ = std::make_unique<Sampler>(); }

uint64_t PrivatePeak::Stop() {
  sampler_->stop = true;
  sampler_->thread.join();
  const uint64_t peak = std::max(sampler_->peak, PrivateNow());
  sampler_.reset();
  return peak;
}

}  // namespace dvbench
