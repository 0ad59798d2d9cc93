// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>
#include <vector>

#include "common/files.h"
#include "platform/platform.h"

namespace dv::testing {

inline void RemoveTree(const std::string& dir) {
  std::vector<plat::DirEntry> entries;
  plat::ListDir(dir, entries);
  for (const auto& e : entries) {
    const std::string p = dir + plat::kDirSep + e.name;
    if (e.attributes & plat::kAttrDirectory) RemoveTree(p);
    else plat::DeleteFileAt(p);
  }
  plat::RemoveDir(dir);
}

class TempFolder {
 public:
  TempFolder() : path_(plat::FullPathName("tmp_common_" + MakeGuidID())) {
    plat::MakeDir(path_);
  }
  ~TempFolder() { RemoveTree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, without a trailing separator.
  const std::string& path() const { return path_; }
  // A path below the folder; "/" in rel stands for the platform's separator.
  std::string operator/(std::string rel) const {
    for (char& c : rel)
      if (c == '/') c = plat::kDirSep;
    return path_ + plat::kDirSep + rel;
  }

 private:
  std::string path_;
};

inline std::string ReadAll(const std::string& path) {
  std::string s;
  plat::ReadFileBytes(path, s);
  return s;
}

inline void WriteAll(const std::string& path, const std::string& data) {
  std::string err;
  plat::WriteFileBytes(path, data, err);
}

}  // namespace dv::testing
