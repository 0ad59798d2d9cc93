#include "common/files.h"

#include "common/path.h"
#include "common/text_search.h"
#include "platform/platform.h"

namespace dv {

namespace {

// The buffer the INI value is read into: 2047 bytes and the terminating zero.
constexpr uint32_t kIniBufferSize = 2048;

}  // namespace

std::string MakeGuidID() {
  // The GUID creation's result is not examined: a failure still gives a name.
  std::string digits = plat::NewGuidText();
  digits = ReplaceEvery(digits, "-", "", false);
  digits = ReplaceEvery(digits, "{", "", false);
  digits = ReplaceEvery(digits, "}", "", false);
  return CopyText(digits, 1, 30);
}

std::string NormalizeDirPath(const std::string& path) {
  std::string dir = Trim(path);
  // The last character is taken whole: a GBK trail byte that equals the
  // separator byte does not end the path in a separator.
  if (!dir.empty() && !EndsWithDirSep(dir)) dir += plat::kDirSep;
  return dir;
}

bool DirExists(const std::string& path) {
  const auto attrs = plat::FileAttributes(path);
  return attrs && (*attrs & plat::kAttrDirectory) != 0;
}

namespace {

// True when d, a path without its trailing separator, is a place where no
// folder can be made: a drive alone ("C:"), a server or share
// ("\\server\share"), or nothing (a root, once its separator is gone).
bool IsDriveOrRoot(const std::string& d) {
  if (d.empty()) return true;
  if constexpr (plat::kWindowsPaths) {
    const auto letter = static_cast<unsigned char>(d[0]) | 0x20;
    if (d.size() == 2 && d[1] == ':' && letter >= 'a' && letter <= 'z') return true;
    if (d.size() > 2 && plat::IsDirSepChar(static_cast<unsigned char>(d[0])) &&
        plat::IsDirSepChar(static_cast<unsigned char>(d[1]))) {
      // "\\server" and "\\server\share": one separator at most after the two.
      int separators = 0;
      for (std::size_t i = 2; i < d.size(); i += plat::CharSizeAt(d, i))
        if (plat::IsDirSepAt(d, i)) ++separators;
      return separators <= 1;
    }
  }
  return false;
}

}  // namespace

void ForceDirs(const std::string& dir) {
  if (dir.empty()) return;
  std::string d = dir;
  if (EndsWithDirSep(d)) d.pop_back();
  if (IsDriveOrRoot(d) || DirExists(d)) return;
  const std::string parent = FolderPart(d);
  if (parent == d) return;
  // A relative name of one part has no parent to make first.
  if (!parent.empty()) ForceDirs(parent);
  plat::MakeDir(d);  // not examined: a caller that needs it finds out by using it
}

std::string GetThisModuleFileName() { return plat::ThisModuleFileName(); }

std::string GetThisModuleDir() { return FolderPart(GetThisModuleFileName()); }

std::string ReadIniString(const std::string& fileName, const std::string& section,
                          const std::string& ident, const std::string& def) {
  return plat::ReadProfileString(fileName, section, ident, def, kIniBufferSize);
}

void LoadFileText(const std::string& fileName, std::string& text) {
  text.clear();
  std::string bytes;
  if (plat::ReadFileBytes(fileName, bytes)) text = std::move(bytes);
}

void SaveFileText(const std::string& fileName, const std::string& text) {
  ForceDirs(FolderPart(fileName));
  std::string error;
  switch (plat::WriteFileBytes(fileName, text, error)) {
    case plat::WriteStatus::Ok:
      return;
    case plat::WriteStatus::CreateFailed:
      throw EFileError("无法创建文件[" + plat::FullPathName(fileName) + "]：" + error);
    case plat::WriteStatus::WriteFailed:
      // A file that was not written whole must not pass for a good one.
      throw EFileError("写入文件[" + plat::FullPathName(fileName) + "]出错：" + error);
  }
}

}  // namespace dv
