#include "common/earlier_build.h"

#include <vector>

#include "common/files.h"
#include "common/params.h"
#include "common/path.h"
#include "platform/platform.h"

namespace dv::earlier {

namespace {

// The name of an entry is the text before its first "="; an entry without
// one has the empty name.
std::string EntryName(const std::string& entry) {
  const auto eq = entry.find(ParamAssign);
  return eq == std::string::npos ? std::string() : entry.substr(0, eq);
}

// The value an entry yields for name, or empty.
std::string YieldOf(const std::string& entry, const std::string& name) {
  if (!SameTextAscii(EntryName(entry), name)) return {};
  const auto eq = entry.find(ParamAssign);
  return eq == std::string::npos ? entry : entry.substr(eq + 1);
}

std::vector<std::string> SplitAtSeparator(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const auto p = text.find(ParamSeparator, start);
    if (p == std::string::npos) {
      items.push_back(text.substr(start));
      return items;
    }
    items.push_back(text.substr(start, p - start));
    start = p + 1;
  }
}

// Puts the current directory back on every way out.
class CurrentDirGuard {
 public:
  CurrentDirGuard() : saved_(plat::CurrentDir()) {}
  ~CurrentDirGuard() { plat::SetCurrentDir(saved_); }
  CurrentDirGuard(const CurrentDirGuard&) = delete;
  CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

 private:
  std::string saved_;
};

}  // namespace

std::string GetParamValue(const std::string& params, const std::string& name) {
  std::string rest = params;
  std::string value;
  for (;;) {
    const auto p = rest.find(ParamSeparator);
    if (p == std::string::npos) {
      value = YieldOf(rest, name);
      break;
    }
    value = YieldOf(rest.substr(0, p), name);
    if (!value.empty()) break;
    rest.erase(0, p + 1);
  }
  return DecodeParamText(value);
}

std::string SetParamValue(const std::string& params, const std::string& name,
                          const std::string& value) {
  const std::string v = EncodeParamText(value);
  if (params.empty()) return name + ParamAssign + v;

  std::vector<std::string> items = SplitAtSeparator(params);
  std::size_t match = items.size();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (SameTextAscii(EntryName(items[i]), name)) {
      match = i;
      break;
    }
  }
  if (match == items.size()) {
    if (params.back() == ParamSeparator) return params + name + ParamAssign + v;
    return params + ParamSeparator + name + ParamAssign + v;
  }

  if (v.empty()) {
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(match));
  } else {
    items[match] = EntryName(items[match]) + ParamAssign + v;
  }
  std::string out;
  for (const auto& item : items) {
    if (item.empty()) continue;
    // Every item is its name, "=", its value and ";"; one without "=" is
    // written back as it stood.
    out += item;
    out += ParamSeparator;
  }
  return out;
}

namespace {

bool IsLink(const std::string& path) {
  const auto attrs = plat::FileAttributes(path);
  return attrs && (*attrs & plat::kAttrReparsePoint) != 0;
}

// Removes a link itself, never what it leads to: a file link as a file, a
// folder link (Windows) as an empty folder.
void RemoveLink(const std::string& path) {
  if (!plat::DeleteFileAt(path)) plat::RemoveDir(path);
}

}  // namespace

bool EmptyFolder(const std::string& dir) {
  CurrentDirGuard restore;
  if (!plat::SetCurrentDir(dir)) throw EFileError("cannot enter folder " + dir);
  // Listed by where it was entered: a relative dir names another folder from
  // inside itself. Without that name a sub-folder's path would start at the
  // root.
  const std::string here = plat::CurrentDir();
  if (here.empty()) return false;

  std::vector<plat::DirEntry> entries;
  if (!plat::ListDir(here, entries)) return false;
  for (const auto& e : entries) {
    if ((e.attributes & plat::kAttrReparsePoint) != 0) {
      // A link is an entry of this folder; what it leads to lies elsewhere.
      RemoveLink(e.name);
    } else if (e.attributes == plat::kAttrDirectory) {
      EmptyFolder(EndsWithDirSep(here) ? here + e.name : here + plat::kDirSep + e.name);
      plat::RemoveDir(e.name);
    } else {
      // A folder with any further attribute is treated as a file: it stays.
      plat::DeleteFileAt(e.name);
    }
  }
  if (entries.empty()) {
    plat::SetCurrentDir("..");
    plat::RemoveDir(here);
  }
  return true;
}

void RemoveFolderTree(const std::string& dir) {
  if (dir.empty()) return;
  // A link in place of the folder goes, and only the link. Named with a
  // separator at its end, a link would stand for the folder it leads to.
  std::string bare = dir;
  if (EndsWithDirSep(bare) && bare.size() > 1) bare.pop_back();
  if (IsLink(bare)) return RemoveLink(bare);
  if (EmptyFolder(dir)) plat::RemoveDir(dir);
}

bool RecreateFolder(const std::string& dir) {
  try {
    RemoveFolderTree(dir);
  } catch (...) {
    // The folder could not be emptied; it is made (or kept) all the same.
  }
  ForceDirs(dir);
  return true;
}

}  // namespace dv::earlier
