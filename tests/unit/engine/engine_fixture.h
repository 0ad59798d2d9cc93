// A component folder of its own for one engine test: the engine takes it for
// the folder of its module (so its work folders land there), and it is the
// current directory, as during an export call. Afterwards the folder goes
// with everything in it, and the module path and current directory return.
#pragma once

#include <string>
#include <vector>

#include "common/files.h"
#include "common/path.h"
#include "platform/platform.h"

namespace dv::testing {

inline constexpr char kSep = plat::kDirSep;
inline constexpr const char* kGbkDecl = "<?xml version=\"1.0\" encoding=\"GBK\"?>";

inline void RemoveTree(const std::string& dir) {
  std::vector<plat::DirEntry> entries;
  plat::ListDir(NormalizeDirPath(dir), entries);
  for (const auto& e : entries) {
    const std::string p = NormalizeDirPath(dir) + e.name;
    if (e.attributes & plat::kAttrReparsePoint) {
      if (!plat::DeleteFileAt(p)) plat::RemoveDir(p);  // the link, never its target
    } else if (e.attributes & plat::kAttrDirectory) {
      RemoveTree(p);
    } else {
      plat::DeleteFileAt(p);
    }
  }
  plat::RemoveDir(dir);
}

class ComponentFolder {
 public:
  ComponentFolder()
      : savedDir_(plat::CurrentDir()),
        dir_(NormalizeDirPath(plat::FullPathName("tmp_engine_" + MakeGuidID()))) {
    plat::MakeDir(dir_);
    plat::SetModuleFileNameForTesting(dir_ + "Dorvelk.dll");
    plat::SetCurrentDir(dir_);
  }
  ~ComponentFolder() {
    plat::SetCurrentDir(savedDir_);
    plat::SetModuleFileNameForTesting("");
    RemoveTree(dir_);
  }
  ComponentFolder(const ComponentFolder&) = delete;
  ComponentFolder& operator=(const ComponentFolder&) = delete;

  // The folder, with a trailing separator.
  const std::string& Dir() const { return dir_; }
  // A path below the folder; "/" in rel stands for the platform separator.
  std::string Path(std::string rel) const {
    for (char& c : rel)
      if (c == '/') c = kSep;
    return dir_ + rel;
  }
  // Writes a file below the folder (its folders made first); gives its path.
  std::string Write(const std::string& rel, const std::string& bytes) const {
    const std::string path = Path(rel);
    ForceDirs(FolderPart(path));
    std::string error;
    plat::WriteFileBytes(path, bytes, error);
    return path;
  }
  void MakeDir(const std::string& rel) const { ForceDirs(Path(rel)); }

 private:
  std::string savedDir_;
  std::string dir_;
};

}  // namespace dv::testing
