// Read-only views of whole files on POSIX.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace dv::plat {

bool FileView::Open(const std::string& path, uint64_t maxSize) {
  Release();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
            static_cast<uint64_t>(st.st_size) <= maxSize &&
            static_cast<uint64_t>(st.st_size) < SIZE_MAX / 2;
  if (ok && st.st_size > 0) {
    // The file's pages with one anonymous zero page reserved behind them:
    // the byte after the last can be read also when the size is a multiple
    // of the page size, where the file's own last page has no room for it.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto size = static_cast<std::size_t>(st.st_size);
    const std::size_t span = (size + page - 1) / page * page + page;
    void* base = mmap(nullptr, span, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED &&
        mmap(base, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
      munmap(base, span);
      base = MAP_FAILED;
    }
    if (base != MAP_FAILED) {
      base_ = base;
      mapped_ = span;
      data_ = static_cast<const char*>(base);
      size_ = size;
    } else if (ReadFileBytes(path, copy_, maxSize) && copy_.size() == size) {
      // A file its file system will not map (some /proc, /sys or FUSE files)
      // is read instead; the string's own zero follows its bytes.
      data_ = copy_.c_str();
      size_ = size;
    } else {
      copy_.clear();
      ok = false;
    }
  }
  close(fd);  // a mapping keeps the file
  return ok;
}

void FileView::Release() {
  if (base_) munmap(base_, mapped_);
  base_ = nullptr;
  mapped_ = 0;
  copy_.clear();
  copy_.shrink_to_fit();
  data_ = "";
  size_ = 0;
}

}  // namespace dv::plat
