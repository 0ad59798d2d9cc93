// Pass-through siblings for the whole-call benchmarks, one source built once
// per library (DVB_LIB_ULVARAN ... DVB_LIB_QUEMBRY). Each export does the
// least a real sibling must: a plain copy of its file (the platform's own
// copy), the message library a plain concatenation, the loopback service an
// echo of the request. Nothing is logged or steered, so what a call costs
// beyond these copies is the component's. Every export adds the time it took
// to the host through "DvBenchSiblingCall" when the host exports one.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "components/sibling_api.h"
#include "support/double_formats.h"

#if defined(_WIN32)
#include <windows.h>
#define DVB_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#include <time.h>

#include <filesystem>
#define DVB_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using dv::LibBool;
using dv::WindowHandle;

namespace {

constexpr std::size_t kMessageSize = 10240;
constexpr std::size_t kListSize = 20480;
constexpr std::size_t kReplySize = 10485760;

#if defined(_WIN32)
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

// A monotonic clock in nanoseconds (<chrono> cannot be compiled with a GBK
// execution character set).
int64_t NowNs() {
#if defined(_WIN32)
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<int64_t>(static_cast<double>(c.QuadPart) * 1e9 / static_cast<double>(f.QuadPart));
#else
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#endif
}

// A counter the host exports under that name, or null.
template <class Fn>
Fn HostCounter(const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name)));
#else
  return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
#endif
}

// Times one export call and hands the host its name, start and end (one
// clock for host and siblings), so the host can tell what the component did
// between the calls.
class Timed {
 public:
  explicit Timed(const char* name) : name_(name), start_(NowNs()) {}
  ~Timed() {
    const int64_t end = NowNs();
    if (auto note = HostCounter<void (*)(const char*, int64_t, int64_t)>("DvBenchSiblingCall"))
      note(name_, start_, end);
  }

 private:
  const char* name_;
  int64_t start_;
};

[[maybe_unused]] std::string Text(const char* p) { return p ? p : ""; }

// The platform's own copy, replacing the target.
[[maybe_unused]] bool CopyPlain(const std::string& from, const std::string& to) {
#if defined(_WIN32)
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
#else
  std::error_code ec;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                    ec);
#endif
}

// Appends the bytes of from, from offset on, to out.
[[maybe_unused]] bool AppendFile(std::FILE* out, const std::string& from, long offset = 0) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) return false;
  bool ok = std::fseek(in, offset, SEEK_SET) == 0;
  std::vector<char> buf(1 << 20);
  std::size_t n;
  while (ok && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0)
    ok = std::fwrite(buf.data(), 1, n, out) == n;
  std::fclose(in);
  return ok;
}

[[maybe_unused]] std::string FileName(const std::string& path) {
  std::size_t i = path.size();
  while (i > 0 && path[i - 1] != '/' && (kSep == '/' || (path[i - 1] != '\\' && path[i - 1] != ':')))
    --i;
  return path.substr(i);
}

[[maybe_unused]] std::string InFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == kSep || folder.back() == '/') return folder + name;
  return folder + kSep + name;
}

// A file list or a single file copied to target: the files one after the
// other (a single file is a plain copy).
[[maybe_unused]] bool Concatenate(const std::vector<std::string>& files, const std::string& target,
                 const std::string& head = std::string()) {
  if (files.size() == 1 && head.empty()) return CopyPlain(files[0], target);
  std::FILE* out = std::fopen(target.c_str(), "wb");
  if (!out) return false;
  bool ok = std::fwrite(head.data(), 1, head.size(), out) == head.size();
  for (const std::string& f : files) ok = ok && AppendFile(out, f);
  return std::fclose(out) == 0 && ok;
}

[[maybe_unused]] void PutText(char* buf, std::size_t cap, const std::string& text) {
  const std::size_t n = std::min(text.size(), cap - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

// The request message: "DVB1 <length of the contentControl XML>\n", the
// XML, then the files' bytes.
[[maybe_unused]] const char kHeadMagic[] = "DVB1 ";

}  // namespace

#if defined(DVB_LIB_ULVARAN)
DVB_EXPORT LibBool DV_STDCALL Encode(WindowHandle, const char*, const char*, const char* src,
                                     const char* tgt, char**) {
  Timed t("Encode");
  return CopyPlain(Text(src), Text(tgt));
}
DVB_EXPORT LibBool DV_STDCALL Decode(WindowHandle, const char*, const char*, const char* src,
                                     const char* tgt, char**) {
  Timed t("Decode");
  return CopyPlain(Text(src), Text(tgt));
}
#endif

#if defined(DVB_LIB_SIBBERT)
DVB_EXPORT LibBool DV_STDCALL Encrypt(WindowHandle, const char*, const char*, const char*,
                                      const char* src, const char* tgt, char**) {
  Timed t("Encrypt");
  return CopyPlain(Text(src), Text(tgt));
}
DVB_EXPORT LibBool DV_STDCALL Decrypt(WindowHandle, const char*, const char*, const char*,
                                      const char* src, const char* tgt, char**) {
  Timed t("Decrypt");
  return CopyPlain(Text(src), Text(tgt));
}
#endif

#if defined(DVB_LIB_MORDANE)
DVB_EXPORT LibBool DV_STDCALL Compress(WindowHandle, const char*, const char*,
                                       const char* listText, const char* tgt, char**) {
  Timed t("Compress");
  const auto files = dvtest::fmt::ListLines(Text(listText));
  return !files.empty() && Concatenate(files, Text(tgt));
}
// "Unpacks" the archive as one file beside it, named after it.
DVB_EXPORT LibBool DV_STDCALL UnCompress(WindowHandle, const char*, const char*, const char* src,
                                         char* listBuf, char**) {
  Timed t("UnCompress");
  const std::string to = InFolder(Text(listBuf), FileName(Text(src)) + ".out");
  if (!CopyPlain(Text(src), to)) return 0;
  PutText(listBuf, kListSize, to + "\r\n");
  return 1;
}
#endif

#if defined(DVB_LIB_TRESSIL)
DVB_EXPORT LibBool DV_STDCALL IsConnected(WindowHandle, const char*, const char*, const char*,
                                          char**) {
  Timed t("IsConnected");
  return 1;
}
DVB_EXPORT LibBool DV_STDCALL IsServerConnected(WindowHandle, const char*, const char*,
                                                const char*, char**) {
  return 1;
}
// Reads the whole request, as sending it would, and echoes it, cut to what
// the reply buffer holds with its zero byte.
DVB_EXPORT LibBool DV_STDCALL Send(WindowHandle, const char*, const char*, const char*, int32_t,
                                   const char* request, int32_t requestLen, char* replyBuf,
                                   int32_t* replyLen, char**) {
  Timed t("Send");
  if (auto note = HostCounter<void (*)(int64_t)>("DvBenchNoteRequest")) note(requestLen);
  uint64_t sum = 0;
  for (int32_t i = 0; i < requestLen; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, request + i, static_cast<std::size_t>(std::min<int32_t>(8, requestLen - i)));
    sum += word;
  }
  volatile uint64_t sink = sum;
  (void)sink;
  const std::size_t n = std::min<std::size_t>(requestLen > 0 ? requestLen : 0, kReplySize - 1);
  std::memcpy(replyBuf, request, n);
  replyBuf[n] = '\0';
  if (replyLen) *replyLen = static_cast<int32_t>(n);
  return 1;
}
#endif

#if defined(DVB_LIB_QUEMBRY)
DVB_EXPORT LibBool DV_STDCALL MessagePacket(WindowHandle, const char*, const char*,
                                            const char* listText, const char* tgt, const char*,
                                            const char*, const char* contentControl, char**) {
  Timed t("MessagePacket");
  const std::string cc = Text(contentControl);
  return Concatenate(dvtest::fmt::ListLines(Text(listText)), Text(tgt),
                     kHeadMagic + std::to_string(cc.size()) + "\n" + cc);
}
// The reply's files as one file in the unpack folder, its contentControl
// XML in out text 3, and "ReturnCode=0" in the message.
DVB_EXPORT LibBool DV_STDCALL MessageParse(WindowHandle, const char*, const char*,
                                           const char* src, char* listBuf, char* out1, char* out2,
                                           char* out3, char** msg) {
  Timed t("MessageParse");
  std::FILE* in = std::fopen(Text(src).c_str(), "rb");
  if (!in) return 0;
  char head[64] = {};
  const bool got = std::fgets(head, sizeof head, in) != nullptr;
  const std::size_t ccLen =
      got && std::strncmp(head, kHeadMagic, 5) == 0 ? std::strtoul(head + 5, nullptr, 10) : 0;
  std::string cc(std::min(ccLen, kMessageSize - 1), '\0');
  const std::size_t ccGot = std::fread(cc.data(), 1, cc.size(), in);
  cc.resize(ccGot);
  const long offset = std::ftell(in);
  std::fclose(in);
  const std::string to = InFolder(Text(listBuf), FileName(Text(src)) + ".data");
  std::FILE* out = std::fopen(to.c_str(), "wb");
  if (!out) return 0;
  const bool ok = AppendFile(out, Text(src), offset);
  if (std::fclose(out) != 0 || !ok) return 0;
  PutText(listBuf, kMessageSize, to + "\r\n");
  PutText(out1, kMessageSize, "");
  PutText(out2, kMessageSize, "");
  PutText(out3, kMessageSize, cc);
  const std::string m = Text(*msg);
  PutText(*msg, kMessageSize, m.empty() ? "ReturnCode=0" : m + ";ReturnCode=0");
  return 1;
}
#endif
