#include "calls/bench_os.h"

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

namespace {
struct Sampler {
  volatile LONG stop = 0;
  uint64_t peak = 0;
  HANDLE thread = nullptr;
};
DWORD WINAPI SampleLoop(void* p) {
  auto* s = static_cast<Sampler*>(p);
  while (!s->stop) {
    s->peak = std::max<uint64_t>(s->peak, PrivateNow());
    Sleep(1);
  }
  return 0;
}
}  // namespace

void PrivatePeak::Start() {
  auto* s = new Sampler;
  s->peak = PrivateNow();
  s->thread = CreateThread(nullptr, 0, SampleLoop, s, 0, nullptr);
  thread_ = s;
}

uint64_t PrivatePeak::Stop() {
  auto* s = static_cast<Sampler*>(thread_);
  InterlockedExchange(&s->stop, 1);
  if (s->thread) {
    WaitForSingleObject(s->thread, INFINITE);
    CloseHandle(s->thread);
  }
  const uint64_t peak = std::max<uint64_t>(s->peak, PrivateNow());
  delete s;
  thread_ = nullptr;
  return peak;
}

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

namespace {
struct Sampler {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> peak{0};
  pthread_t thread{};
  bool started = false;
};
void* SampleLoop(void* p) {
  auto* s = static_cast<Sampler*>(p);
  while (!s->stop) {
    const uint64_t now = PrivateNow();
    if (now > s->peak) s->peak = now;
    usleep(1000);
  }
  return nullptr;
}
}  // namespace

void PrivatePeak::Start() {
  auto* s = new Sampler;
  s->peak = PrivateNow();
  s->started = pthread_create(&s->thread, nullptr, SampleLoop, s) == 0;
  thread_ = s;
}

uint64_t PrivatePeak::Stop() {
  auto* s = static_cast<Sampler*>(thread_);
  s->stop = true;
  if (s->started) pthread_join(s->thread, nullptr);
  const uint64_t peak = std::max<uint64_t>(s->peak, PrivateNow());
  delete s;
  thread_ = nullptr;
  return peak;
}

#endif

}  // namespace dvbench
