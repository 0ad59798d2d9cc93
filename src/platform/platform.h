// The narrow interface through which the core reaches the operating system.
// Two backends implement it: win32/ (the real Windows APIs) and posix/.
// Nothing outside src/platform includes an OS header.
//
// Every text is an 8-bit GBK byte string (std::string), on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dv::plat {

// ---- Path rules ------------------------------------------------------------
// What separates path parts, and where a GBK character ends, is decided here
// once, for the core and the backends alike; splitting a path into its parts
// lives in common/path.h.
#if defined(_WIN32)
inline constexpr bool kWindowsPaths = true;
inline constexpr char kDirSep = '\\';  // the separator the component writes
#else
inline constexpr bool kWindowsPaths = false;
inline constexpr char kDirSep = '/';
#endif

// Text is GBK on every platform, whatever code page the system runs: a
// double-byte character is a lead byte 0x81-0xFE, then a trail byte
// 0x40-0xFE other than 0x7F. Trail bytes include 0x5C ("\") but never "/" or
// ":", so a lead byte before one of those does not swallow it.
constexpr bool IsGbkLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
constexpr bool IsGbkTrailByte(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

// Bytes of the character that starts at s[i]: 2 for a double-byte character,
// else 1.
inline std::size_t CharSizeAt(const std::string& s, std::size_t i) {
  return IsGbkLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() &&
                 IsGbkTrailByte(static_cast<unsigned char>(s[i + 1]))
             ? 2
             : 1;
}

// True when the byte c, standing as a whole character, ends a folder's name:
// "\" and "/" on Windows, "/" on POSIX.
constexpr bool IsDirSepChar(unsigned char c) {
  if constexpr (kWindowsPaths) return c == '\\' || c == '/';
  else return c == '/';
}

// True when the byte c, standing as a whole character (not as the trail byte
// of a GBK double-byte character), separates path parts: the folder
// separators, and on Windows the ":" after a drive.
constexpr bool IsSeparatorChar(unsigned char c) {
  return IsDirSepChar(c) || (kWindowsPaths && c == ':');
}

// True when the character that starts at s[i] is a folder separator (a
// single byte: a trail byte 0x5C is part of its character).
inline bool IsDirSepAt(const std::string& s, std::size_t i) {
  return CharSizeAt(s, i) == 1 && IsDirSepChar(static_cast<unsigned char>(s[i]));
}

// True when the last character of s, double-byte characters taken whole, is a
// folder separator. A drive alone ("D:") does not end in one.
inline bool EndsWithDirSep(const std::string& s) {
  bool ends = false;
  for (std::size_t i = 0; i < s.size(); i += CharSizeAt(s, i)) ends = IsDirSepAt(s, i);
  return ends;
}

// ---- Module ----------------------------------------------------------------
// Full path of the module that holds this code: the component's library when
// it runs as one, else the running program. Never cut, whatever its length.
std::string ThisModuleFileName();
// Tests that link the core statically stand in a module path of their own
// (a sandbox folder holding the test-double siblings); empty restores.
void SetModuleFileNameForTesting(const std::string& path);

// ---- Text ------------------------------------------------------------------
// Upper-cases len bytes in place with the ANSI rules of the current code page
// (CharUpperBuffA). POSIX: ASCII letters only; bytes 0x80-0xFF stay as they
// are, as code page 936 leaves them.
void AnsiUpperBuff(char* buf, uint32_t len);

// ---- GUID ------------------------------------------------------------------
// A new GUID in its standard 38-character text form with upper-case digits:
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string NewGuidText();

// ---- INI -------------------------------------------------------------------
// GetPrivateProfileStringA of key in section of file (used as passed), read
// into a buffer of bufSize bytes: at most bufSize - 1 bytes come back. A
// missing file, section or key gives def (cut the same way).
std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& def,
                              uint32_t bufSize);

// ---- File system -----------------------------------------------------------
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;
// A link (Windows: a reparse point such as a junction or a symbolic link;
// POSIX: a symbolic link). Its other attributes are the link's own: a folder
// link also carries kAttrDirectory, yet entering it leaves the folder it
// stands in.
inline constexpr uint32_t kAttrReparsePoint = 0x400;

// Attributes of path (GetFileAttributesA), or nothing when the call fails.
// POSIX: a folder gives exactly kAttrDirectory, a file kAttrArchive, plus
// kAttrReadOnly when it cannot be written; a symbolic link gives
// kAttrReparsePoint with kAttrDirectory when it leads to a folder, else with
// kAttrArchive (also when it leads nowhere).
std::optional<uint32_t> FileAttributes(const std::string& path);
bool IsExistingFile(const std::string& path);    // exists and is not a folder
bool IsExistingFolder(const std::string& path);  // exists and is a folder

bool MakeDir(const std::string& path);       // CreateDirectoryA; one level
bool RemoveDir(const std::string& path);     // RemoveDirectoryA; empty folder
bool DeleteFileAt(const std::string& path);  // DeleteFileA
// CopyFileA with fail-if-exists off: replaces a file at to. POSIX: written
// beside to and renamed over it once whole, so a copy that fails part-way
// leaves what stood at to as it was; a link at to is replaced, never what it
// leads to. A file its folder lets be written but not replaced (a folder not
// writable, another's file in a sticky folder) is written in place.
bool CopyFileReplace(const std::string& from, const std::string& to);

// Whole file as bytes; the file stays open to other readers and writers
// meanwhile. False (out empty) on any failure, also when the file is larger
// than maxSize bytes (told before anything is read) or cannot be held in
// memory.
bool ReadFileBytes(const std::string& path, std::string& out,
                   uint64_t maxSize = UINT64_MAX);

// A whole file mapped read-only into memory, to hand its bytes to a library
// without a copy in the heap. Data() gives Size() bytes and after them a
// zero byte that can be read, whatever the size; an empty file gives an
// empty string. Windows: the file stays open to other readers and writers
// while it is held, as for ReadFileBytes, but cannot be cut short under the
// view; a size that is an exact multiple of the page size, after which no
// byte of a view can be read, is read into memory instead. POSIX: a file
// cut short under the view faults (a bus error) whoever reads past its new
// end; a file its file system will not map (some /proc, /sys or FUSE files)
// is read into memory instead.
class FileView {
 public:
  FileView() = default;
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  ~FileView() { Release(); }
  // False (the view empty) on any failure, also when the file is larger than
  // maxSize bytes (told before anything is mapped) or can be neither mapped
  // nor read.
  bool Open(const std::string& path, uint64_t maxSize = UINT64_MAX);
  // Unmaps and closes; the view is empty afterwards.
  void Release();
  const char* Data() const { return data_; }
  std::size_t Size() const { return size_; }

 private:
  const char* data_ = "";
  std::size_t size_ = 0;
  void* base_ = nullptr;      // what is unmapped
  std::size_t mapped_ = 0;    // POSIX: bytes reserved at base_
  void* file_ = nullptr;      // Windows: the open file and its mapping object
  void* section_ = nullptr;
  std::string copy_;          // the bytes read instead of a view
};

enum class WriteStatus { Ok, CreateFailed, WriteFailed };
// Creates or truncates path (not shared), writes data and sets the end of the
// file there. On CreateFailed, and on WriteFailed (a write that failed or
// came up short, or a failed close), error receives the system's text for
// the failure.
WriteStatus WriteFileBytes(const std::string& path, const std::string& data,
                           std::string& error);

// GetFullPathNameA: path expanded against the current directory, as text (no
// link or short-name resolution), of any length. POSIX: lexical (".", ".."
// and repeated "/" folded), never resolving links.
std::string FullPathName(const std::string& path);

// Orders two full paths (as FullPathName gives them) the way the file system
// tells names apart: 0 when they name the same file, else below or above 0.
// No short-name or link resolution. POSIX: byte by byte, as names keep their
// case. Windows: as UTF-16 from the ANSI code page, compared without case the
// way NTFS folds names (CompareStringOrdinal), letters of every script alike.
int CompareFullPaths(const std::string& a, const std::string& b);
struct FullPathLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return CompareFullPaths(a, b) < 0;
  }
};
// True when a and b, each expanded to its full path, name the same file.
inline bool SameFilePath(const std::string& a, const std::string& b) {
  return CompareFullPaths(FullPathName(a), FullPathName(b)) == 0;
}

std::string CurrentDir();  // without a trailing separator, as the system gives it
bool SetCurrentDir(const std::string& path);

struct DirEntry {
  std::string name;     // bare name, no folder
  uint32_t attributes;  // as FileAttributes gives them
};
// Entries of the folder dir (FindFirstFileA/FindNextFileA on dir + "*.*" with
// every attribute admitted), in the order the system lists them, without "."
// and "..". False when the listing cannot be started (out then empty).
bool ListDir(const std::string& dir, std::vector<DirEntry>& out);

// ---- Local time --------------------------------------------------------------
struct LocalTime {
  int year, month, day, hour, minute, second;
};
LocalTime LocalNow();
// Tests replace the clock; nullptr restores the system's.
using ClockFn = LocalTime (*)();
void SetClockForTesting(ClockFn fn);

// ---- Dynamic loading -------------------------------------------------------
using ModuleHandle = void*;
ModuleHandle LoadLibraryAt(const std::string& path);  // LoadLibraryA; nullptr on failure
void* FindExport(ModuleHandle module, const char* name);  // GetProcAddress; exact name
bool FreeLibraryHandle(ModuleHandle module);  // FreeLibrary; false for nullptr
// File name of a sibling library from its base name: "Ulvaran" gives
// "Ulvaran.dll" on Windows and "Ulvaran.so" on POSIX.
std::string LibraryFileName(const char* baseName);

// ---- Guarded calls ---------------------------------------------------------
// Runs fn(ctx). Returns false when it raised a processor fault (access
// violation, bus error, division by zero, illegal instruction, breakpoint,
// stack overflow) or any exception (a C++ exception, or on Windows any
// structured exception that reached this frame); true when it returned
// normally; the thread can make further guarded calls either way. Windows: a
// frame-based structured-exception handler around the call. POSIX: signal
// handlers on an alternate signal stack and sigsetjmp/siglongjmp, scoped to
// the call, the previous handlers restored unless the host has installed its
// own meanwhile; a fault signal that is not the calling thread's own fault
// goes to the disposition in force before the call, the floating-point
// environment after a fault or exception is the one at entry, and a thread's
// end passes through.
bool GuardedCall(void (*fn)(void*), void* ctx);

template <class F>
bool Guarded(F&& f) {
  return GuardedCall([](void* c) { (*static_cast<F*>(c))(); }, &f);
}

// Called first in a catch (...) that a library call can reach: rethrows
// when what is in flight is the thread's own end (POSIX: pthread_exit or
// cancellation, which must unwind to the thread's start or the process
// aborts); returns otherwise.
void PassThreadExit();

}  // namespace dv::plat
