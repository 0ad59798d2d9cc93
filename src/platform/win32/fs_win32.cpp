// File system operations on Windows.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/platform.h"

namespace dv::plat {

namespace {

// Closes a handle on every way out.
struct Handle {
  HANDLE h;
  explicit Handle(HANDLE x) : h(x) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (ok()) CloseHandle(h);
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  bool Close() {
    const HANDLE x = h;
    h = INVALID_HANDLE_VALUE;
    return CloseHandle(x) != 0;
  }
};

// The system's text for an error code, without its closing blanks and dot.
std::string SystemErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string s = n && text ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= 0x20 || s.back() == '.'))
    s.pop_back();
  if (s.empty()) s = "error " + std::to_string(code);
  return s;
}

// s from the ANSI code page as UTF-16, as the wide calls take it.
std::wstring AnsiToWide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), wide.data(), n);
  return wide;
}

// Calls fill(buffer, size), which gives the length it needs (with the zero)
// when the buffer is too small, else the length it wrote; grows until it fits.
template <class F>
std::string GrowingCall(F fill) {
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    const DWORD n = fill(buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::string(buf.data(), n);
    buf.resize(n + 1);
  }
}

}  // namespace

std::optional<uint32_t> FileAttributes(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return static_cast<uint32_t>(a);
}

bool IsExistingFile(const std::string& path) {
  const auto a = FileAttributes(path);
  return a && (*a & kAttrDirectory) == 0;
}

bool IsExistingFolder(const std::string& path) {
  const auto a = FileAttributes(path);
  return a && (*a & kAttrDirectory) != 0;
}

bool MakeDir(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool RemoveDir(const std::string& path) { return RemoveDirectoryA(path.c_str()) != 0; }

bool DeleteFileAt(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool CopyFileReplace(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool ReadFileBytes(const std::string& path, std::string& out, uint64_t maxSize) {
  out.clear();
  Handle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.h, &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > maxSize ||
      static_cast<unsigned long long>(size.QuadPart) > out.max_size())
    return false;
  std::string data;
  try {
    data.resize(static_cast<std::size_t>(size.QuadPart));
  } catch (const std::exception&) {
    return false;
  }
  std::size_t got = 0;
  while (got < data.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - got, 1u << 24));
    DWORD n = 0;
    if (!ReadFile(f.h, data.data() + got, want, &n, nullptr) || n == 0) return false;
    got += n;
  }
  out = std::move(data);
  return true;
}

bool FileView::Open(const std::string& path, uint64_t maxSize) {
  Release();
  // Shared with writers as ReadFileBytes shares it: the library that wrote
  // the file may still hold it open for writing. No one can cut a mapped
  // file short while the view stands.
  Handle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.h, &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > maxSize ||
      static_cast<unsigned long long>(size.QuadPart) >= SIZE_MAX / 2)
    return false;
  const auto bytes = static_cast<std::size_t>(size.QuadPart);
  if (bytes == 0) return true;  // nothing to map: the empty string
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  if (bytes % si.dwPageSize == 0) {
    // A view ends on a page boundary, and the address space behind it cannot
    // be claimed without a race: the bytes are read, with their zero byte.
    if (!ReadFileBytes(path, copy_, maxSize) || copy_.size() != bytes) {
      copy_.clear();
      return false;
    }
    data_ = copy_.c_str();
    size_ = bytes;
    file_ = f.h;
    f.h = INVALID_HANDLE_VALUE;
    return true;
  }
  Handle section(CreateFileMappingA(f.h, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!section.ok()) return false;
  void* view = MapViewOfFile(section.h, FILE_MAP_READ, 0, 0, 0);
  if (!view) return false;
  base_ = view;
  data_ = static_cast<const char*>(view);
  size_ = bytes;
  file_ = f.h;
  section_ = section.h;
  f.h = section.h = INVALID_HANDLE_VALUE;
  return true;
}

void FileView::Release() {
  if (base_) UnmapViewOfFile(base_);
  if (section_) CloseHandle(section_);
  if (file_) CloseHandle(file_);
  base_ = section_ = file_ = nullptr;
  copy_.clear();
  copy_.shrink_to_fit();
  data_ = "";
  size_ = 0;
}

WriteStatus WriteFileBytes(const std::string& path, const std::string& data, std::string& error) {
  error.clear();
  Handle f(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) {
    error = SystemErrorText(GetLastError());
    return WriteStatus::CreateFailed;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 24));
    DWORD n = 0;
    if (!WriteFile(f.h, data.data() + done, want, &n, nullptr) || n == 0) {
      const DWORD code = GetLastError();
      error = SystemErrorText(code ? code : ERROR_DISK_FULL);
      return WriteStatus::WriteFailed;
    }
    done += n;
  }
  if (!SetEndOfFile(f.h) || !f.Close()) {
    error = SystemErrorText(GetLastError());
    return WriteStatus::WriteFailed;
  }
  return WriteStatus::Ok;
}

std::string FullPathName(const std::string& path) {
  if (path.empty()) return {};
  // The ANSI call stops at MAX_PATH; the wide one through the ANSI code page
  // takes any length and gives the same text.
  const std::wstring wide = AnsiToWide(path);
  if (wide.empty()) return {};
  std::vector<wchar_t> buf(MAX_PATH);
  DWORD n;
  for (;;) {
    n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
    if (n == 0) return {};
    if (n < buf.size()) break;
    buf.resize(n + 1);
  }
  const int len = WideCharToMultiByte(CP_ACP, 0, buf.data(), static_cast<int>(n), nullptr, 0,
                                      nullptr, nullptr);
  std::string out(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
  if (len > 0)
    WideCharToMultiByte(CP_ACP, 0, buf.data(), static_cast<int>(n), out.data(), len, nullptr,
                        nullptr);
  return out;
}

int CompareFullPaths(const std::string& a, const std::string& b) {
  std::wstring wa = AnsiToWide(a), wb = AnsiToWide(b);
  // Looked up by name: systems before Vista lack it, and an unresolved import
  // would keep the whole component from loading there.
  using Fn = int(WINAPI*)(LPCWSTR, int, LPCWSTR, int, BOOL);
  static const Fn compareOrdinal = [] {
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    return k32 ? reinterpret_cast<Fn>(
                     reinterpret_cast<void*>(GetProcAddress(k32, "CompareStringOrdinal")))
               : nullptr;
  }();
  if (compareOrdinal) {
    const int r = compareOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(),
                                 static_cast<int>(wb.size()), TRUE);
    // CSTR_LESS_THAN, CSTR_EQUAL, CSTR_GREATER; 0 only for arguments it refuses.
    if (r != 0) return r - CSTR_EQUAL;
  }
  CharUpperBuffW(wa.data(), static_cast<DWORD>(wa.size()));
  CharUpperBuffW(wb.data(), static_cast<DWORD>(wb.size()));
  return wa.compare(wb);
}

std::string CurrentDir() {
  return GrowingCall([](char* buf, DWORD size) { return GetCurrentDirectoryA(size, buf); });
}

bool SetCurrentDir(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

bool ListDir(const std::string& dir, std::vector<DirEntry>& out) {
  out.clear();
  const std::string pattern =
      (dir.empty() || EndsWithDirSep(dir) ? dir : dir + kDirSep) + "*.*";
  WIN32_FIND_DATAA fd{};
  const HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  do {
    const std::string name = fd.cFileName;
    if (name == "." || name == "..") continue;
    out.push_back({name, static_cast<uint32_t>(fd.dwFileAttributes)});
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return true;
}

}  // namespace dv::plat
