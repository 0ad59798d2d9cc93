// File system operations on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace dv::plat {

namespace {

// Closes a descriptor on every way out.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  // Closes now and tells whether the close succeeded.
  bool Close() {
    const int f = fd;
    fd = -1;
    return close(f) == 0;
  }
};

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies what is left of in to out; false when a read or write failed.
bool CopyData(int in, int out) {
  // copy_file_range until it has nothing left or cannot serve these files;
  // plain reads and writes carry on from wherever it stopped.
  bool fallback = false;
  for (;;) {
    const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
        errno == EPERM || errno == ETXTBSY || errno == EBADF) {
      fallback = true;
      break;
    }
    return false;
  }
  if (fallback) {
    std::vector<char> buf(1 << 16);
    for (;;) {
      const ssize_t n = read(in, buf.data(), buf.size());
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (!WriteAll(out, buf.data(), static_cast<std::size_t>(n))) return false;
    }
  }
  return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || EndsWithDirSep(dir)) return dir + name;
  return dir + "/" + name;
}

// Creates a file of its own name for writing in the folder of path, readable
// and writable by its owner alone; its name goes to temp.
int CreateTempBeside(const std::string& path, std::string& temp) {
  std::size_t cut = 0;  // just after the last separator
  for (std::size_t i = 0; i < path.size(); i += CharSizeAt(path, i))
    if (IsDirSepAt(path, i)) cut = i + 1;
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = path.substr(0, cut) + ".dv-copy-" + std::to_string(getpid()) + "-" +
           std::to_string(serial++) + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The process's file mode creation mask, for a mode given once a file is
// made. Linux tells it; elsewhere it is set and put back, the stricter mask
// standing meanwhile so that no file made in between comes out more open.
mode_t CurrentUmask() {
  Fd status(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  if (status.fd >= 0) {
    char buf[1024];
    const ssize_t n = read(status.fd, buf, sizeof buf - 1);
    if (n > 0) {
      buf[n] = '\0';
      if (const char* at = std::strstr(buf, "\nUmask:"))
        return static_cast<mode_t>(std::strtoul(at + 7, nullptr, 8) & 0777);
    }
  }
  const mode_t mask = umask(077);
  umask(mask);
  return mask;
}

// True for a refusal the folder makes (no new name in it, or no renaming
// over another's file in a sticky folder) while its file may still be
// written.
bool RefusedByFolder(int error) { return error == EACCES || error == EPERM; }

// Writes in over the file at to, as it stands. A copy cut short must not pass
// for the file: what was written is taken back, the folder letting the file
// be neither replaced nor removed.
bool CopyInPlace(int in, const std::string& to) {
  if (lseek(in, 0, SEEK_SET) != 0) return false;
  Fd out(open(to.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (out.fd < 0) return false;
  if (CopyData(in, out.fd)) return out.Close();
  [[maybe_unused]] const int undone = ftruncate(out.fd, 0);
  return false;
}

// Gives fd the owner and group of the file it replaces where the process may,
// else at least the group (one the process is in); else it stays the
// process's own, as any file it makes.
void TakeOwner(int fd, const struct stat& of) {
  if (fchown(fd, of.st_uid, of.st_gid) == 0) return;
  [[maybe_unused]] const int group = fchown(fd, static_cast<uid_t>(-1), of.st_gid);
}

}  // namespace

std::optional<uint32_t> FileAttributes(const std::string& path) {
  struct stat st {};
  if (path.empty() || lstat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISLNK(st.st_mode)) {
    // Told as a link, never as what it leads to: whoever empties a folder
    // must not enter it.
    struct stat to {};
    const bool folder = stat(path.c_str(), &to) == 0 && S_ISDIR(to.st_mode);
    return kAttrReparsePoint | (folder ? kAttrDirectory : kAttrArchive);
  }
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  uint32_t attrs = kAttrArchive;
  if (access(path.c_str(), W_OK) != 0) attrs |= kAttrReadOnly;
  return attrs;
}

bool IsExistingFile(const std::string& path) {
  const auto a = FileAttributes(path);
  return a && (*a & kAttrDirectory) == 0;
}

bool IsExistingFolder(const std::string& path) {
  const auto a = FileAttributes(path);
  return a && (*a & kAttrDirectory) != 0;
}

bool MakeDir(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool RemoveDir(const std::string& path) { return rmdir(path.c_str()) == 0; }

bool DeleteFileAt(const std::string& path) {
  struct stat st {};
  // DeleteFileA removes files only.
  if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return unlink(path.c_str()) == 0;
}

bool CopyFileReplace(const std::string& from, const std::string& to) {
  Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return false;
  struct stat src {};
  if (fstat(in.fd, &src) != 0 || !S_ISREG(src.st_mode)) return false;
  // Copying a file onto itself, also through a link, would replace it with
  // what was read of it.
  struct stat dst {};
  const bool reached = stat(to.c_str(), &dst) == 0;
  if (reached && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) return false;
  // A folder, or a link to one, is never replaced by a file.
  if (reached && S_ISDIR(dst.st_mode)) return false;
  struct stat old {};
  const bool exists = lstat(to.c_str(), &old) == 0;
  const bool replacing = exists && S_ISREG(old.st_mode);
  if (replacing && access(to.c_str(), W_OK) != 0) return false;  // read-only
  if (exists && !replacing && !S_ISLNK(old.st_mode)) {
    // A device or pipe is written to as it stands, and stays where it is.
    Fd out(open(to.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    return out.fd >= 0 && CopyData(in.fd, out.fd) && out.Close();
  }
  // The copy goes to a new file beside to, which takes to's name only once
  // it is whole: a copy cut short leaves the file that stood there (or what
  // a link there leads to) as it was. A link at to is replaced, never what
  // it leads to. Until then no one else can read it; it takes its mode (and
  // a replaced file's owner) just before the rename.
  std::string temp;
  Fd out(CreateTempBeside(to, temp));
  if (out.fd < 0) {
    // A file may be writable where its folder takes no new file: it is
    // written in place then.
    return replacing && RefusedByFolder(errno) && CopyInPlace(in.fd, to);
  }
  bool whole = CopyData(in.fd, out.fd);
  if (whole) {
    if (replacing) TakeOwner(out.fd, old);
    // A replaced file's mode carries over, as a copy into it kept it; a new
    // file has the source's under the umask, as creating it with that gave.
    fchmod(out.fd, replacing ? old.st_mode & 0777 : src.st_mode & 0777 & ~CurrentUmask());
    whole = out.Close();
  }
  if (whole && rename(temp.c_str(), to.c_str()) == 0) return true;
  const int error = errno;
  unlink(temp.c_str());
  // A sticky folder lets no one rename over another's file, which may still
  // be written: in place, then.
  return whole && replacing && RefusedByFolder(error) && CopyInPlace(in.fd, to);
}

bool ReadFileBytes(const std::string& path, std::string& out, uint64_t maxSize) {
  out.clear();
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) return false;
  struct stat st {};
  if (fstat(fd.fd, &st) != 0 || S_ISDIR(st.st_mode) || st.st_size < 0) return false;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size > maxSize || size > out.max_size()) return false;
  std::string data;
  try {
    data.resize(static_cast<std::size_t>(size));
  } catch (const std::exception&) {
    return false;  // more than memory holds
  }
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = read(fd.fd, data.data() + got, data.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // the file shrank under us: not the whole file
    got += static_cast<std::size_t>(n);
  }
  out = std::move(data);
  return true;
}

WriteStatus WriteFileBytes(const std::string& path, const std::string& data, std::string& error) {
  error.clear();
  Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.fd < 0) {
    error = std::strerror(errno);
    return WriteStatus::CreateFailed;
  }
  if (!WriteAll(fd.fd, data.data(), data.size()) ||
      ftruncate(fd.fd, static_cast<off_t>(data.size())) != 0 || !fd.Close()) {
    error = std::strerror(errno);
    return WriteStatus::WriteFailed;
  }
  return WriteStatus::Ok;
}

std::string FullPathName(const std::string& path) {
  if (path.empty()) return {};
  const std::string whole = path[0] == '/' ? path : JoinPath(CurrentDir(), path);
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= whole.size()) {
    std::size_t end = whole.find('/', pos);
    if (end == std::string::npos) end = whole.size();
    const std::string part = whole.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (const auto& p : parts) result += "/" + p;
  if (result.empty()) return "/";
  // A folder named with its separator keeps it.
  if (EndsWithDirSep(path)) result += '/';
  return result;
}

int CompareFullPaths(const std::string& a, const std::string& b) { return a.compare(b); }

std::string CurrentDir() {
  std::vector<char> buf(256);
  for (;;) {
    if (getcwd(buf.data(), buf.size())) return buf.data();
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
}

bool SetCurrentDir(const std::string& path) { return !path.empty() && chdir(path.c_str()) == 0; }

bool ListDir(const std::string& dir, std::vector<DirEntry>& out) {
  out.clear();
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // A dangling link still shows, as a file.
    out.push_back({name, FileAttributes(JoinPath(dir, name)).value_or(kAttrArchive)});
  }
  closedir(d);
  return true;
}

}  // namespace dv::plat
