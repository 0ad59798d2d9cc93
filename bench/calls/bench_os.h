// What the whole-call benchmarks need from the operating system, in one
// place: the calling thread's COM, the platform's own file copy, the
// program's folder and the process's memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace dvbench {

#if defined(_WIN32)
inline constexpr char kSep = '\\';
#else
inline constexpr char kSep = '/';
#endif

// A monotonic clock, in nanoseconds.
int64_t NowNs();

// Windows: COM on this thread, as a host must have it before it calls.
void InitHostThread();
// CopyFileA on Windows, std::filesystem::copy_file elsewhere; replaces to.
bool PlatformCopy(const std::string& from, const std::string& to);
// DeleteFileA on Windows, unlink elsewhere.
bool PlatformDelete(const std::string& path);
// Folder of the running program, with a trailing separator.
std::string ProgramDir();

// Resident memory of the process now and at its peak, in bytes. ResetPeak
// makes the peak the current value where the system allows (Linux); where
// it does not, the peak is that of the whole process so far.
uint64_t MemoryNow();
uint64_t MemoryPeak();
bool ResetPeak();
// The name of what MemoryNow and MemoryPeak read.
const char* MemoryKind();

// The process's private memory now, in bytes: Windows, its private commit
// (PrivateUsage; under Wine its resident anonymous memory); Linux, its
// resident anonymous memory (RssAnon). Neither keeps a peak that can be
// reset (Wine keeps none at all), so PrivatePeak samples it every
// millisecond on a thread of its own from Start to Stop.
uint64_t PrivateNow();
const char* PrivateKind();
class PrivatePeak {
 public:
  PrivatePeak();
  ~PrivatePeak();
  void Start();
  uint64_t Stop();  // the highest value seen

 private:
  struct Sampler;
  std::unique_ptr<Sampler> sampler_;
};

}  // namespace dvbench
