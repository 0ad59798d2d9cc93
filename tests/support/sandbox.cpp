#include "support/sandbox.h"

#include <atomic>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/double_formats.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// A library that faults is left where it was: what it had allocated is
// never freed (its frames are skipped on the way back to the guard). Those
// leaks are the test doubles' own, not the component's.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:RunWithJump\n"; }
#endif

namespace dvtest {
namespace {

#if defined(_WIN32)
bool IsDir(const std::string& p) {
  const DWORD a = GetFileAttributesA(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
bool PathExists(const std::string& p) { return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; }
bool MkDir(const std::string& p) { return CreateDirectoryA(p.c_str(), nullptr) != 0; }
bool RmFile(const std::string& p) {
  SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileA(p.c_str()) != 0;
}
bool RmDir(const std::string& p) { return RemoveDirectoryA(p.c_str()) != 0; }
std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string n = fd.cFileName;
    if (n != "." && n != "..") names.push_back(n);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return names;
}
std::string ExePath() {
  std::string buf(32768, '\0');
  const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  buf.resize(n);
  return buf;
}
unsigned long ProcessId() { return GetCurrentProcessId(); }
#else
bool IsDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool PathExists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}
bool MkDir(const std::string& p) { return mkdir(p.c_str(), 0777) == 0; }
bool RmFile(const std::string& p) { return unlink(p.c_str()) == 0; }
bool RmDir(const std::string& p) { return rmdir(p.c_str()) == 0; }
std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}
std::string ExePath() {
  std::string buf(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return buf;
}
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
#endif

void RemoveTree(const std::string& dir) {
  for (const auto& n : ListNames(dir)) {
    const std::string p = dir + kSandboxSep + n;
    if (IsDir(p)) RemoveTree(p);
    else RmFile(p);
  }
  RmDir(dir);
}

bool ReadWhole(const std::string& path, std::string& out) {
  return fmt::ReadWholeFile(path, out);
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("sandbox: cannot create " + path);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) throw std::runtime_error("sandbox: cannot write " + path);
}

void CopyWhole(const std::string& from, const std::string& to) {
  std::string bytes;
  if (!ReadWhole(from, bytes)) throw std::runtime_error("sandbox: cannot read " + from);
  WriteWhole(to, bytes);
}

// Every folder of path below root, root itself assumed to exist.
void MakeParents(const std::string& root, const std::string& path) {
  for (std::size_t i = root.size(); i < path.size(); ++i) {
    if (path[i] == kSandboxSep && !IsDir(path.substr(0, i))) MkDir(path.substr(0, i));
  }
}

std::string SteeringFile(const Sandbox& sb, const std::string& lib) {
  return sb.Path(lib + ".steering");
}

}  // namespace

std::string BinDir() {
  const std::string exe = ExePath();
  return exe.substr(0, exe.find_last_of(kSandboxSep) + 1);
}

const std::vector<std::string>& SiblingNames() {
  static const std::vector<std::string> names = {"Ulvaran", "Sibbert", "Mordane", "Tressil",
                                                 "Quembry"};
  return names;
}

Sandbox::Sandbox(bool withComponent) {
  static std::atomic<unsigned> counter{0};
  const std::string root = BinDir() + "sandboxes";
  MkDir(root);  // may exist already, made by a test running beside this one
  // (<chrono> does not compile with the GBK execution character set.)
  const auto ticks = static_cast<unsigned long long>(std::time(nullptr)) ^
                     static_cast<unsigned long long>(std::clock());
  for (int attempt = 0; dir_.empty(); ++attempt) {
    const std::string name = std::to_string(ProcessId()) + "-" + std::to_string(counter++) + "-" +
                             std::to_string(ticks % 1000000007ULL);
    const std::string dir = root + kSandboxSep + name;
    if (MkDir(dir)) dir_ = dir + kSandboxSep;
    else if (attempt > 100) throw std::runtime_error("sandbox: cannot create a folder in " + root);
  }
  const std::string doubles = BinDir() + "doubles" + kSandboxSep;
  for (const auto& lib : SiblingNames()) CopyWhole(doubles + lib + kLibSuffix, LibPath(lib));
  if (withComponent) {
    const std::string comp = std::string("Dorvelk") + kLibSuffix;
    CopyWhole(BinDir() + comp, dir_ + comp);
  }
}

Sandbox::~Sandbox() {
  if (std::getenv("DV_KEEP_SANDBOX")) return;
  std::string dir = dir_;
  dir.pop_back();
  RemoveTree(dir);
}

const std::string& Sandbox::Dir() const { return dir_; }

std::string Sandbox::Path(const std::string& rel) const {
  std::string p = dir_ + rel;
  if (kSandboxSep != '/') {
    for (std::size_t i = dir_.size(); i < p.size(); ++i)
      if (p[i] == '/') p[i] = kSandboxSep;
  }
  return p;
}

std::string Sandbox::LibPath(const std::string& lib) const { return dir_ + lib + kLibSuffix; }

void Sandbox::Write(const std::string& rel, const std::string& bytes) const {
  const std::string p = Path(rel);
  MakeParents(dir_, p);
  WriteWhole(p, bytes);
}

std::string Sandbox::Read(const std::string& rel) const {
  std::string out;
  ReadWhole(Path(rel), out);
  return out;
}

bool Sandbox::Exists(const std::string& rel) const { return PathExists(Path(rel)); }

void Sandbox::MakeDirs(const std::string& rel) const {
  std::string p = Path(rel);
  if (p.empty() || p.back() != kSandboxSep) p += kSandboxSep;
  MakeParents(dir_, p);
}

void Sandbox::SetMode(const std::string& lib, const std::string& exportName,
                      const std::string& mode) const {
  Set(lib, exportName, mode);
}

void Sandbox::Set(const std::string& lib, const std::string& key, const std::string& value) const {
  const std::string file = SteeringFile(*this, lib);
  std::string text;
  ReadWhole(file, text);
  std::string out;
  const std::string prefix = fmt::Escape(key) + "=";
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    const std::string line = text.substr(pos, eol - pos);
    if (!line.empty() && line.compare(0, prefix.size(), prefix) != 0) out += line + "\n";
    pos = eol + 1;
  }
  out += prefix + fmt::Escape(value) + "\n";
  WriteWhole(file, out);
}

void Sandbox::ClearSteering(const std::string& lib) const { RmFile(SteeringFile(*this, lib)); }

void Sandbox::UseVariant(const std::string& lib, const std::string& variant) const {
  CopyWhole(BinDir() + "doubles" + kSandboxSep + "variants" + kSandboxSep + variant + kSandboxSep +
                lib + kLibSuffix,
            LibPath(lib));
}

void Sandbox::Remove(const std::string& lib) const { RmFile(LibPath(lib)); }

std::vector<std::string> Sandbox::CallLog() const {
  std::vector<std::string> lines;
  const std::string text = Read("calls.log");
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    lines.push_back(text.substr(pos, eol - pos));
    pos = eol + 1;
  }
  return lines;
}

std::vector<std::vector<std::string>> Sandbox::Calls() const {
  std::vector<std::vector<std::string>> calls;
  for (const auto& line : CallLog()) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    for (;;) {
      const std::size_t bar = line.find('|', pos);
      fields.push_back(fmt::Unescape(line.substr(pos, bar - pos)));
      if (bar == std::string::npos) break;
      pos = bar + 1;
    }
    calls.push_back(std::move(fields));
  }
  return calls;
}

std::vector<std::vector<std::string>> Sandbox::CallsOf(const std::string& exportName) const {
  std::vector<std::vector<std::string>> out;
  for (auto& c : Calls())
    if (!c.empty() && c[0] == exportName) out.push_back(std::move(c));
  return out;
}

void Sandbox::ClearCallLog() const { RmFile(Path("calls.log")); }

std::string EscapeField(const std::string& s) { return fmt::Escape(s); }
std::string UnescapeField(const std::string& s) { return fmt::Unescape(s); }

std::string BuildMessage(const MessageFile& m) {
  std::vector<fmt::Entry> entries;
  for (const auto& [k, v] : m.meta) entries.push_back({"meta", k, v});
  for (const auto& [name, bytes] : m.files) entries.push_back({"file", name, fmt::Hex(bytes)});
  return fmt::Pack(fmt::kMessageMagic, entries);
}

bool ParseMessage(const std::string& bytes, MessageFile& out) {
  out = MessageFile{};
  std::vector<fmt::Entry> entries;
  if (!fmt::Unpack(bytes, fmt::kMessageMagic, entries)) return false;
  for (const auto& e : entries) {
    if (e.tag == "meta") {
      out.meta[e.name] = e.data;
    } else if (e.tag == "file") {
      std::string data;
      if (!fmt::Unhex(e.data, data)) return false;
      out.files.emplace_back(e.name, data);
    }
  }
  return true;
}

std::string BuildReply(const std::vector<std::pair<std::string, std::string>>& files,
                       const std::optional<std::string>& returnCode,
                       const std::string& contentControl) {
  MessageFile m;
  if (returnCode) m.meta["ReturnCode"] = *returnCode;
  m.meta["contentControl"] = contentControl;
  m.files = files;
  return BuildMessage(m);
}

std::string BuildArchive(const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<fmt::Entry> entries;
  for (const auto& [name, bytes] : files) entries.push_back({"file", name, bytes});
  return fmt::Pack(fmt::kArchiveMagic, entries);
}

bool ParseArchive(const std::string& bytes,
                  std::vector<std::pair<std::string, std::string>>& out) {
  out.clear();
  std::vector<fmt::Entry> entries;
  if (!fmt::Unpack(bytes, fmt::kArchiveMagic, entries)) return false;
  for (auto& e : entries)
    if (e.tag == "file") out.emplace_back(std::move(e.name), std::move(e.data));
  return true;
}

}  // namespace dvtest
