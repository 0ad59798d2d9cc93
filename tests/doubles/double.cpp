// Test doubles of the five sibling libraries, one source built once per
// library (DV_LIB_ULVARAN ... DV_LIB_QUEMBRY) and per variant. They do real,
// reversible work in simple formats (tests/support/double_formats.h) and are
// steered by the file "<Lib>.steering" in their own folder, read on every
// call (no state in memory, so a test may change it between calls). Every
// call first appends one line to "calls.log" in that folder. See README.md.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/double_formats.h"
#include "support/fpu_state.h"

// The "no-exports" variant: a loadable library without any of the exports.
#if defined(DV_LIB_NONE)
#undef DV_LIB_ULVARAN
#undef DV_LIB_SIBBERT
#undef DV_LIB_MORDANE
#undef DV_LIB_TRESSIL
#undef DV_LIB_QUEMBRY
#endif

#if defined(_WIN32)
#include <windows.h>
#define DV_EXPORT extern "C" __declspec(dllexport)
#define DV_CALL __stdcall
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#define DV_EXPORT extern "C" __attribute__((visibility("default")))
#define DV_CALL
#endif

using LibBool = uint8_t;
using Hwnd = void*;

namespace {

namespace fmt = dvtest::fmt;

constexpr std::size_t kMessageSize = 10240;
constexpr std::size_t kListSize = 20480;
constexpr std::size_t kReplySize = 10485760;

#if defined(_WIN32)
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

bool IsSep(char c) { return c == '/' || (kSep == '\\' && (c == '\\' || c == ':')); }

std::string OwnFolder() {
  std::string path;
#if defined(_WIN32)
  HMODULE h = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&OwnFolder), &h);
  char buf[4096];
  path.assign(buf, GetModuleFileNameA(h, buf, sizeof buf));
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnFolder), &info) && info.dli_fname) path = info.dli_fname;
#endif
  std::size_t i = path.size();
  while (i > 0 && !IsSep(path[i - 1])) --i;
  return path.substr(0, i);
}

bool ReadFile(const std::string& path, std::string& out) {
  return fmt::ReadWholeFile(path, out);
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

std::string FileName(const std::string& path) {
  std::size_t i = path.size();
  while (i > 0 && !IsSep(path[i - 1])) --i;
  return path.substr(i);
}

bool IsAbsolute(const std::string& p) {
  if (kSep == '\\') return (p.size() > 1 && p[1] == ':') || (!p.empty() && IsSep(p[0]));
  return !p.empty() && p[0] == '/';
}

std::string InFolder(const std::string& folder, const std::string& name) {
  if (IsAbsolute(name) || folder.empty()) return name;
  return IsSep(folder.back()) ? folder + name : folder + kSep + name;
}

std::string JoinList(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

// ---- parameter strings, as far as a library needs them -------------------
std::string EscapeParam(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '=') out += "&eq%";
    else if (c == ';') out += "&lim%";
    else out += c;
  }
  return out;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

std::vector<std::string> Entries(const std::string& params) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos <= params.size() && !params.empty()) {
    std::size_t semi = params.find(';', pos);
    if (semi == std::string::npos) semi = params.size();
    out.push_back(params.substr(pos, semi - pos));
    pos = semi + 1;
  }
  return out;
}

std::string JoinEntries(const std::vector<std::string>& entries) {
  std::string out;
  for (std::size_t i = 0; i < entries.size(); ++i) out += (i ? ";" : "") + entries[i];
  return out;
}

std::string EntryName(const std::string& e) { return e.substr(0, e.find('=')); }

std::string SetParam(const std::string& params, const std::string& name, const std::string& value) {
  auto entries = Entries(params);
  const std::string entry = EscapeParam(name) + "=" + EscapeParam(value);
  for (auto& e : entries) {
    if (SameName(EntryName(e), EscapeParam(name))) {
      e = entry;
      return JoinEntries(entries);
    }
  }
  entries.push_back(entry);
  return JoinEntries(entries);
}

std::string RemoveParam(const std::string& params, const std::string& name) {
  std::vector<std::string> kept;
  for (auto& e : Entries(params))
    if (!SameName(EntryName(e), EscapeParam(name))) kept.push_back(e);
  return JoinEntries(kept);
}

// ---- steering and the call log -------------------------------------------
struct Steering {
  std::vector<std::pair<std::string, std::string>> kv;
  bool Has(const std::string& key) const {
    for (const auto& p : kv)
      if (p.first == key) return true;
    return false;
  }
  std::string Get(const std::string& key, const std::string& def = "") const {
    for (const auto& p : kv)
      if (p.first == key) return p.second;
    return def;
  }
};

Steering LoadSteering() {
  Steering st;
  std::string text;
  ReadFile(OwnFolder() + DV_LIB_NAME + ".steering", text);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    const std::string line = text.substr(pos, eol - pos);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos)
      st.kv.emplace_back(fmt::Unescape(line.substr(0, eq)), fmt::Unescape(line.substr(eq + 1)));
    pos = eol + 1;
  }
  return st;
}

// Calls of exportName logged so far.
int CountCalls(const std::string& log, const std::string& exportName) {
  int n = 0;
  const std::string head = exportName + "|";
  std::size_t pos = 0;
  while (pos < log.size()) {
    if (log.compare(pos, head.size(), head) == 0) ++n;
    const std::size_t eol = log.find('\n', pos);
    if (eol == std::string::npos) break;
    pos = eol + 1;
  }
  return n;
}

std::string Text(const char* p) { return p ? std::string(p) : std::string("(null)"); }
std::string Text(const char* p, std::size_t max) {
  if (!p) return "(null)";
  std::size_t n = 0;
  while (n < max && p[n]) ++n;
  return std::string(p, n);
}
std::string Num(const void* p) { return std::to_string(reinterpret_cast<uintptr_t>(p)); }
std::string Num(int32_t v) { return std::to_string(v); }

struct Ctx {
  std::string name;
  Steering st;
  std::string mode;
  std::string error;  // set by the work on failure: the library's own "ResultMsgStr"
  std::string Setting(const std::string& suffix, const std::string& def = "") const {
    return st.Get(name + "." + suffix, def);
  }
  bool HasSetting(const std::string& suffix) const { return st.Has(name + "." + suffix); }
  bool Fail(const std::string& why) {
    error = std::string(DV_LIB_NAME) + "." + name + ": " + why;
    return false;
  }
};

Ctx Begin(const char* exportName, const std::vector<std::string>& args) {
  Ctx c;
  c.name = exportName;
  c.st = LoadSteering();
  const std::string logPath = OwnFolder() + "calls.log";
  std::string log;
  ReadFile(logPath, log);
  const int callNo = CountCalls(log, c.name) + 1;
  std::string line = c.name;
  for (const auto& a : args) line += "|" + fmt::Escape(a);
  if (std::FILE* f = std::fopen(logPath.c_str(), "ab")) {
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
  c.mode = c.st.Get(c.name, "ok");
  if (c.HasSetting("onCall") && std::to_string(callNo) != c.Setting("onCall")) c.mode = "ok";
  return c;
}

#if defined(__GNUC__)
#define DV_NOINLINE __attribute__((noinline))
#else
#define DV_NOINLINE
#endif

#if defined(_WIN32)
// "fault-unwind": the null write happens below a frame with a termination
// handler of its own, as a library's __finally or try..finally. When an
// unwind runs it, it appends "Unwound|<Export>" to the call log;
// "fault-unwind-fault": and then faults itself.
std::string gUnwindExport;
bool gUnwindFaults = false;

void OnUnwound() {
  if (std::FILE* f = std::fopen((OwnFolder() + "calls.log").c_str(), "ab")) {
    std::fputs(("Unwound|" + gUnwindExport + "\n").c_str(), f);
    std::fclose(f);
  }
  if (gUnwindFaults) {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 2;
  }
}

// Named for the x86_64 frame's assembly; kept, the compiler sees no use.
__attribute__((used, noinline)) void DvNullWrite() asm("dv_double_null_write");
void DvNullWrite() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

__attribute__((used)) EXCEPTION_DISPOSITION DvOnUnwind(EXCEPTION_RECORD* rec, void*, CONTEXT*,
                                                       void*) asm("dv_double_on_unwind");
EXCEPTION_DISPOSITION DvOnUnwind(EXCEPTION_RECORD* rec, void*, CONTEXT*, void*) {
  if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) OnUnwound();
  return ExceptionContinueSearch;
}

#if defined(__i386__)
// The frame's registration record, linked on the thread's exception chain.
struct UnwindRecord {
  UnwindRecord* next;
  void* handler;
};

DV_NOINLINE void FaultInFrame() {
  UnwindRecord record{nullptr, reinterpret_cast<void*>(&DvOnUnwind)};
  asm volatile("movl %%fs:0, %%eax\n\tmovl %%eax, (%0)\n\tmovl %0, %%fs:0"
               :
               : "r"(&record)
               : "eax", "memory");
  DvNullWrite();
  asm volatile("movl (%0), %%eax\n\tmovl %%eax, %%fs:0" : : "r"(&record) : "eax", "memory");
}
#else
}  // namespace
// A frame whose unwind data names the handler for the unwind pass only.
extern "C" void FaultInFrame() asm("dv_double_fault_in_frame");
namespace {
asm(R"(
    .text
    .p2align 4
    .def dv_double_fault_in_frame; .scl 3; .type 32; .endef
    .seh_proc dv_double_fault_in_frame
dv_double_fault_in_frame:
    subq  $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler dv_double_on_unwind, @unwind
    callq dv_double_null_write
    nop
    addq  $40, %rsp
    ret
    .seh_endproc
)");
#endif
#endif

DV_NOINLINE void Fault(const std::string& mode, const std::string& exportName) {
#if defined(_WIN32)
  if (mode == "fault-unwind" || mode == "fault-unwind-fault") {
    gUnwindExport = exportName;
    gUnwindFaults = mode == "fault-unwind-fault";
    FaultInFrame();
  }
#else
  (void)exportName;
#endif
  if (mode == "fault-div") {
    volatile int zero = 0;
    volatile int r = 7 / zero;
    (void)r;
  } else if (mode == "fault-ill") {
    asm volatile("ud2");  // an illegal instruction
  } else if (mode == "fault-fpu") {
#if DV_TEST_X87
    dvtest::fpu::LeaveMidWork();  // then the null write
#endif
  } else if (mode == "fault-bus") {
#if defined(_WIN32)
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
    *static_cast<volatile char*>(page) = 1;
#else
    // A shared mapping of a file cut short under it: touching it is a bus error.
    const std::string path = OwnFolder() + "bus.tmp";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0 && ftruncate(fd, 4096) == 0) {
      void* p = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
      if (ftruncate(fd, 0) == 0 && p != MAP_FAILED) {
        close(fd);
        unlink(path.c_str());
        volatile char v = *static_cast<volatile char*>(p);
        (void)v;
      }
    }
#endif
  }
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

volatile bool gDeeper = true;  // always true; the compiler cannot know

// Recurses until the stack runs out. The buffer is live across the call, so
// the recursion can be neither a loop nor a tail call.
DV_NOINLINE int Recurse(int depth) {
  volatile char frame[256];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  const int below = gDeeper ? Recurse(depth + 1) : 0;
  return below + frame[(depth + 1) % sizeof frame];
}

DV_NOINLINE void Throw() {
#if defined(_WIN32)
  // What a C++ throw of another compiler's library looks like from outside
  // it: a structured exception (0xE06D7363 is the code MSVC's throw raises).
  // A mingw throw cannot be used here: with its own static runtime this
  // library cannot unwind into the caller's frames and would terminate.
  RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
  throw std::runtime_error(std::string(DV_LIB_NAME) + " throws");
#endif
}

// Writes text into a buffer of cap bytes with a terminating zero (cut to
// fit, as a library keeping to its contract would).
void Put(char* buf, std::size_t cap, const std::string& text) {
  const std::size_t n = std::min(text.size(), cap - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

// One export call: the mode decides whether work runs and what comes back.
template <class Work, class Copy>
LibBool Run(Ctx& c, char** msg, Work work, Copy copy) {
  const std::string entryMsg = *msg ? *msg : "";
  // The room the wrapper promises a message: the fixed size, or twice a
  // longer message, so that a library can add to it.
  const std::size_t msgCap = std::max(kMessageSize, 2 * (entryMsg.size() + 1));
  const std::string& m = c.mode;
  if (m.rfind("fault", 0) == 0) Fault(m, c.name);
  if (m == "throw") Throw();
  if (m == "recurse") Recurse(0);
#if !defined(_WIN32)
  if (m == "exit-thread") pthread_exit(nullptr);
#endif

  std::string out = entryMsg;
  bool ok;
  if (m == "false") {
    out = RemoveParam(out, "ResultMsgStr");
    ok = false;
  } else if (m == "false-text") {
    out = SetParam(out, "ResultMsgStr",
                   c.Setting("text", std::string(DV_LIB_NAME) + "." + c.name + " refused"));
    ok = false;
  } else if (m == "false-empty") {
    out = SetParam(out, "ResultMsgStr", "");
    ok = false;
  } else if (m == "true" || m == "unterminated" || m == "replace-buffer") {
    ok = true;  // success without doing any work
  } else {
    ok = m == "copy" ? copy() : work(out);
    if (!ok) out = SetParam(out, "ResultMsgStr", c.error);
  }
  if (c.HasSetting("msg")) out = c.Setting("msg");
  Put(*msg, msgCap, out);
  if (m == "unterminated") std::memset(*msg, 'M', msgCap);
  if (m == "replace-buffer") {
    static char replacement[64];
    Put(replacement, sizeof replacement, "Replaced=1");
    *msg = replacement;
  }
  LibBool result = ok ? 1 : 0;
  if (c.HasSetting("result")) result = static_cast<LibBool>(std::stoi(c.Setting("result")));
  return result;
}

bool CopyOne(Ctx& c, const std::string& from, const std::string& to) {
  std::string data;
  if (!ReadFile(from, data)) return c.Fail("cannot read [" + from + "]");
  if (!WriteFile(to, data)) return c.Fail("cannot write [" + to + "]");
  return true;
}

// ---- the work -------------------------------------------------------------
template <class Fn>
bool Transform(Ctx& c, const std::string& src, const std::string& tgt, Fn fn) {
  std::string data, out;
  if (!ReadFile(src, data)) return c.Fail("cannot read [" + src + "]");
  if (!fn(data, out)) return false;
  if (!WriteFile(tgt, out)) return c.Fail("cannot write [" + tgt + "]");
  return true;
}

// The reading of a list in a file-list buffer: the folder to unpack into.
struct ListBuffer {
  char* buf;
  std::size_t cap;
  ListBuffer(char* b, std::size_t fixed) : buf(b), cap(std::max(fixed, std::strlen(b) + 1)) {}
  std::string Folder() const { return buf; }
  // Hands back the unpacked paths, or the steered text; false when they do
  // not fit (a library keeping to its contract reports that).
  bool Answer(Ctx& c, const std::vector<std::string>& paths) const {
    const std::string text = c.HasSetting("list") ? c.Setting("list") : JoinList(paths);
    if (text.size() + 1 > cap) return c.Fail("file list too long");
    Put(buf, cap, text);
    if (c.mode == "unterminated-list") std::memset(buf, 'L', cap);
    return true;
  }
};

[[maybe_unused]] bool WriteFiles(Ctx& c, const std::string& folder,
                                 const std::vector<std::pair<std::string, std::string>>& files,
                                 std::vector<std::string>& paths) {
  for (const auto& [name, data] : files) {
    const std::string p = InFolder(folder, name);
    if (!WriteFile(p, data)) return c.Fail("cannot write [" + p + "]");
    paths.push_back(p);
  }
  return true;
}

[[maybe_unused]] bool ReadFiles(Ctx& c, const std::string& listText,
                                std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& p : fmt::ListLines(listText)) {
    std::string data;
    if (!ReadFile(p, data)) return c.Fail("cannot read [" + p + "]");
    files.emplace_back(FileName(p), data);
  }
  return true;
}

[[maybe_unused]] uint64_t Fnv(const std::string& s) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ULL;
  return h;
}

[[maybe_unused]] std::string KeyStream(const std::string& data, const std::string& key) {
  uint64_t x = Fnv(key) | 1;
  std::string out = data;
  for (char& ch : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    ch = static_cast<char>(ch ^ static_cast<char>(x >> 56));
  }
  return out;
}

[[maybe_unused]] std::string Message(const std::vector<fmt::Entry>& meta,
                                     const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<fmt::Entry> all = meta;
  for (const auto& [name, data] : files) all.push_back({"file", name, fmt::Hex(data)});
  return fmt::Pack(fmt::kMessageMagic, all);
}

[[maybe_unused]] bool ParseMessage(const std::string& bytes, std::vector<fmt::Entry>& meta,
                                   std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<fmt::Entry> all;
  if (!fmt::Unpack(bytes, fmt::kMessageMagic, all)) return false;
  for (auto& e : all) {
    if (e.tag == "file") {
      std::string data;
      if (!fmt::Unhex(e.data, data)) return false;
      files.emplace_back(e.name, data);
    } else {
      meta.push_back(e);
    }
  }
  return true;
}

[[maybe_unused]] const fmt::Entry* FindMeta(const std::vector<fmt::Entry>& meta,
                                            const std::string& name) {
  for (const auto& e : meta)
    if (e.name == name) return &e;
  return nullptr;
}

}  // namespace

// ---- Ulvaran: encoding ------------------------------------------------------
#if defined(DV_LIB_ULVARAN)
namespace {
LibBool CodeCall(const char* name, Hwnd w, const char* cfg, const char* impl, const char* src,
                 const char* tgt, char** msg, bool encode) {
  Ctx c = Begin(name, {Num(w), Text(cfg), Text(impl), Text(src), Text(tgt), Text(*msg)});
  const std::string head = "ULV1 " + Text(impl) + "\n";
  auto work = [&](std::string&) {
    return Transform(c, Text(src), Text(tgt), [&](const std::string& in, std::string& out) {
      if (encode) {
        out = head + fmt::Hex(in);
        return true;
      }
      if (in.compare(0, head.size(), head) != 0 || !fmt::Unhex(in.substr(head.size()), out))
        return c.Fail("not encoded as [" + Text(impl) + "]");
      return true;
    });
  };
  return Run(c, msg, work, [&] { return CopyOne(c, Text(src), Text(tgt)); });
}
}  // namespace

#if !defined(DV_NO_ENCODE)
DV_EXPORT LibBool DV_CALL Encode(Hwnd w, const char* cfg, const char* impl, const char* src,
                                 const char* tgt, char** msg) {
  return CodeCall("Encode", w, cfg, impl, src, tgt, msg, true);
}
#endif
#if !defined(DV_NO_DECODE)
DV_EXPORT LibBool DV_CALL Decode(Hwnd w, const char* cfg, const char* impl, const char* src,
                                 const char* tgt, char** msg) {
  return CodeCall("Decode", w, cfg, impl, src, tgt, msg, false);
}
#endif
#endif

// ---- Sibbert: encryption ----------------------------------------------------
#if defined(DV_LIB_SIBBERT)
namespace {
// A keystream keyed by the implementation name and the task parameter; the
// header carries a check of the key, so a wrong key is refused, not garbled.
LibBool CryptCall(const char* name, Hwnd w, const char* cfg, const char* impl,
                  const char* taskParam, const char* src, const char* tgt, char** msg,
                  bool encrypt) {
  Ctx c = Begin(name, {Num(w), Text(cfg), Text(impl), Text(taskParam), Text(src), Text(tgt),
                       Text(*msg)});
  const std::string key = Text(impl) + "\x01" + Text(taskParam);
  const std::string head = "SIB1 " + std::to_string(Fnv(key)) + "\n";
  auto work = [&](std::string&) {
    return Transform(c, Text(src), Text(tgt), [&](const std::string& in, std::string& out) {
      if (encrypt) {
        out = head + KeyStream(in, key);
        return true;
      }
      if (in.compare(0, head.size(), head) != 0)
        return c.Fail("not encrypted with [" + Text(impl) + "] and this task parameter");
      out = KeyStream(in.substr(head.size()), key);
      return true;
    });
  };
  return Run(c, msg, work, [&] { return CopyOne(c, Text(src), Text(tgt)); });
}
}  // namespace

DV_EXPORT LibBool DV_CALL Encrypt(Hwnd w, const char* cfg, const char* impl,
                                  const char* taskParam, const char* src, const char* tgt,
                                  char** msg) {
  return CryptCall("Encrypt", w, cfg, impl, taskParam, src, tgt, msg, true);
}
#if !defined(DV_NO_DECRYPT)
DV_EXPORT LibBool DV_CALL Decrypt(Hwnd w, const char* cfg, const char* impl,
                                  const char* taskParam, const char* src, const char* tgt,
                                  char** msg) {
  return CryptCall("Decrypt", w, cfg, impl, taskParam, src, tgt, msg, false);
}
#endif
#endif

// ---- Mordane: compression ---------------------------------------------------
#if defined(DV_LIB_MORDANE)
DV_EXPORT LibBool DV_CALL Compress(Hwnd w, const char* cfg, const char* impl,
                                   const char* listText, const char* tgt, char** msg) {
  Ctx c = Begin("Compress", {Num(w), Text(cfg), Text(impl), Text(listText), Text(tgt), Text(*msg)});
  auto work = [&](std::string&) {
    std::vector<std::pair<std::string, std::string>> files;
    if (!ReadFiles(c, Text(listText), files)) return false;
    if (files.empty()) return c.Fail("nothing to compress");
    std::vector<fmt::Entry> entries;
    for (const auto& [n, d] : files) entries.push_back({"file", n, d});
    if (!WriteFile(Text(tgt), fmt::Pack(fmt::kArchiveMagic, entries)))
      return c.Fail("cannot write [" + Text(tgt) + "]");
    return true;
  };
  auto copy = [&] {
    const auto lines = fmt::ListLines(Text(listText));
    return lines.empty() ? c.Fail("nothing to copy") : CopyOne(c, lines[0], Text(tgt));
  };
  return Run(c, msg, work, copy);
}

#if !defined(DV_NO_UNCOMPRESS)
DV_EXPORT LibBool DV_CALL UnCompress(Hwnd w, const char* cfg, const char* impl, const char* src,
                                     char* listBuf, char** msg) {
  Ctx c = Begin("UnCompress", {Num(w), Text(cfg), Text(impl), Text(src), Text(listBuf), Text(*msg)});
  const ListBuffer list(listBuf, kListSize);
  auto work = [&](std::string&) {
    std::string bytes;
    std::vector<fmt::Entry> entries;
    if (!ReadFile(Text(src), bytes)) return c.Fail("cannot read [" + Text(src) + "]");
    if (!fmt::Unpack(bytes, fmt::kArchiveMagic, entries)) return c.Fail("not an archive");
    std::vector<std::pair<std::string, std::string>> files;
    for (auto& e : entries) files.emplace_back(e.name, e.data);
    std::vector<std::string> paths;
    return WriteFiles(c, list.Folder(), files, paths) && list.Answer(c, paths);
  };
  auto copy = [&] {
    const std::string to = InFolder(list.Folder(), FileName(Text(src)));
    return CopyOne(c, Text(src), to) && list.Answer(c, {to});
  };
  return Run(c, msg, work, copy);
}
#endif
#endif

// ---- Tressil: communication (a loopback service) -----------------------------
#if defined(DV_LIB_TRESSIL)
namespace {
LibBool Connected(const char* name, Hwnd w, const char* communCfg, const char* proxyCfg,
                  const char* netParam, char** msg) {
  Ctx c = Begin(name, {Num(w), Text(communCfg), Text(proxyCfg), Text(netParam), Text(*msg)});
  auto yes = [] { return true; };
  return Run(c, msg, [&](std::string&) { return yes(); }, yes);
}

// Cuts the file at path to nothing; false when it cannot be opened for
// writing or cut.
bool CutFile(const std::string& path) {
#if defined(_WIN32)
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetEndOfFile(h) != 0;
  return CloseHandle(h) != 0 && ok;
#else
  return truncate(path.c_str(), 0) == 0;
#endif
}
}  // namespace

DV_EXPORT LibBool DV_CALL IsConnected(Hwnd w, const char* communCfg, const char* proxyCfg,
                                      const char* netParam, char** msg) {
  return Connected("IsConnected", w, communCfg, proxyCfg, netParam, msg);
}
#if !defined(DV_NO_SERVER_CONNECTED)
DV_EXPORT LibBool DV_CALL IsServerConnected(Hwnd w, const char* communCfg, const char* proxyCfg,
                                            const char* netParam, char** msg) {
  return Connected("IsServerConnected", w, communCfg, proxyCfg, netParam, msg);
}
#endif

// The reply carries the request's files, "ReturnCode" (steering "ReturnCode":
// default "0", "none" for no code) and a contentControl XML (steering
// "contentControl": "echo" (default, the request's own), "empty",
// "malformed", or the text to send); "replyNames": "outside" names every
// file one folder above the unpack folder, "prefix:<text>" puts text before
// every name (an absolute folder names files anywhere).
DV_EXPORT LibBool DV_CALL Send(Hwnd w, const char* communCfg, const char* proxyCfg,
                               const char* impl, int32_t value, const char* request,
                               int32_t requestLen, char* replyBuf, int32_t* replyLen,
                               char** msg) {
  // "cut-request": the file "Send.file" is cut to nothing before the request
  // is read, as a writer elsewhere might.
  const Steering early = LoadSteering();
  const std::string cutPath = early.Get("Send.file");
  const bool cut = early.Get("Send") == "cut-request" && CutFile(cutPath);
  const std::string req =
      request && requestLen > 0 ? std::string(request, static_cast<std::size_t>(requestLen)) : "";
  // The byte after the last is read as a library scanning for the end would.
  const bool terminated = !request || requestLen < 0 || request[requestLen] == '\0';
  Ctx c = Begin("Send", {Num(w), Text(communCfg), Text(proxyCfg), Text(impl), Num(value), req,
                         Num(requestLen), Text(replyBuf, kReplySize),
                         replyLen ? Num(*replyLen) : "(null)", Text(*msg)});
  auto answer = [&](const std::string& reply) {
    if (reply.size() + 1 > kReplySize) return c.Fail("reply too long");
    if (c.mode == "overlong-reply" || c.mode == "unterminated-reply") {
      std::memset(replyBuf, 'R', kReplySize);
    } else if (c.mode == "reply-nul") {
      std::memcpy(replyBuf, "HEAD\0TAIL", 10);
    } else {
      std::memcpy(replyBuf, reply.data(), reply.size());
      replyBuf[reply.size()] = '\0';
    }
    if (replyLen) *replyLen = static_cast<int32_t>(reply.size());
    return true;
  };
  auto work = [&](std::string&) {
    if (!terminated) return c.Fail("no zero byte after the request");
    if (c.mode == "cut-request" && !cut) return c.Fail("cannot cut [" + cutPath + "]");
    if (c.HasSetting("reply")) return answer(c.Setting("reply"));
    std::vector<fmt::Entry> meta;
    std::vector<std::pair<std::string, std::string>> files;
    if (!ParseMessage(req, meta, files)) return c.Fail("not a request message");
    std::vector<fmt::Entry> out;
    const std::string code = c.st.Get("ReturnCode", "0");
    if (code != "none") out.push_back({"meta", "ReturnCode", code});
    const std::string cc = c.st.Get("contentControl", "echo");
    const fmt::Entry* own = FindMeta(meta, "contentControl");
    std::string ccText = cc;
    if (cc == "echo") ccText = own ? own->data : "";
    else if (cc == "empty") ccText = "";
    else if (cc == "malformed") ccText = "<contentControl><control><type>zip";
    out.push_back({"meta", "contentControl", ccText});
    const std::string names = c.st.Get("replyNames");
    for (auto& [name, data] : files) {
      if (names == "outside") name = std::string("..") + kSep + name;
      else if (names.rfind("prefix:", 0) == 0) name = names.substr(7) + name;
    }
    return answer(Message(out, files));
  };
  return Run(c, msg, work, [&] { return answer(req.substr(0, req.find('\0'))); });
}
#endif

// ---- Quembry: message building and parsing --------------------------------
#if defined(DV_LIB_QUEMBRY)
DV_EXPORT LibBool DV_CALL MessagePacket(Hwnd w, const char* cfg, const char* impl,
                                        const char* listText, const char* tgt,
                                        const char* taskParam, const char* serviceId,
                                        const char* contentControl, char** msg) {
  Ctx c = Begin("MessagePacket", {Num(w), Text(cfg), Text(impl), Text(listText), Text(tgt),
                                  Text(taskParam), Text(serviceId), Text(contentControl),
                                  Text(*msg)});
  auto work = [&](std::string&) {
    std::vector<std::pair<std::string, std::string>> files;
    if (!ReadFiles(c, Text(listText), files)) return false;
    const std::vector<fmt::Entry> meta = {{"meta", "serviceId", Text(serviceId)},
                                          {"meta", "taskParam", Text(taskParam)},
                                          {"meta", "impl", Text(impl)},
                                          {"meta", "contentControl", Text(contentControl)}};
    if (!WriteFile(Text(tgt), Message(meta, files)))
      return c.Fail("cannot write [" + Text(tgt) + "]");
    return true;
  };
  auto copy = [&] {
    const auto lines = fmt::ListLines(Text(listText));
    return lines.empty() ? c.Fail("nothing to copy") : CopyOne(c, lines[0], Text(tgt));
  };
  return Run(c, msg, work, copy);
}

#if !defined(DV_NO_MESSAGE_PARSE)
DV_EXPORT LibBool DV_CALL MessageParse(Hwnd w, const char* cfg, const char* impl, const char* src,
                                       char* listBuf, char* out1, char* out2, char* out3,
                                       char** msg) {
  Ctx c = Begin("MessageParse",
                {Num(w), Text(cfg), Text(impl), Text(src), Text(listBuf),
                 Text(out1, kMessageSize), Text(out2, kMessageSize), Text(out3, kMessageSize),
                 Text(*msg)});
  const ListBuffer list(listBuf, kMessageSize);
  auto outs = [&](const std::string& serviceId, const std::string& cc) {
    const std::string texts[3] = {c.Setting("out1", serviceId), c.Setting("out2", Text(impl)),
                                  c.Setting("out3", cc)};
    char* bufs[3] = {out1, out2, out3};
    for (int i = 0; i < 3; ++i) {
      if (texts[i].size() + 1 > kMessageSize) return c.Fail("out text too long");
      Put(bufs[i], kMessageSize, texts[i]);
      if (c.mode == "unterminated-out") std::memset(bufs[i], 'O', kMessageSize);
    }
    return true;
  };
  auto work = [&](std::string& msgText) {
    std::string bytes;
    std::vector<fmt::Entry> meta;
    std::vector<std::pair<std::string, std::string>> files;
    if (!ReadFile(Text(src), bytes)) return c.Fail("cannot read [" + Text(src) + "]");
    if (!ParseMessage(bytes, meta, files)) return c.Fail("not a reply message");
    std::vector<std::string> paths;
    if (!WriteFiles(c, list.Folder(), files, paths) || !list.Answer(c, paths)) return false;
    const fmt::Entry* sid = FindMeta(meta, "serviceId");
    const fmt::Entry* cc = FindMeta(meta, "contentControl");
    if (!outs(sid ? sid->data : "", cc ? cc->data : "")) return false;
    if (const fmt::Entry* code = FindMeta(meta, "ReturnCode"))
      msgText = SetParam(msgText, "ReturnCode", code->data);
    return true;
  };
  auto copy = [&] {
    const std::string to = InFolder(list.Folder(), FileName(Text(src)));
    return CopyOne(c, Text(src), to) && list.Answer(c, {to}) && outs("", "");
  };
  return Run(c, msg, work, copy);
}
#endif
#endif
