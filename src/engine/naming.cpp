// Output file naming: the path a step's library is to write, the names of the
// two message files and the folder a library unpacks into.
#include <cstdio>

#include "common/files.h"
#include "common/lines.h"
#include "common/path.h"
#include "common/text_search.h"
#include "common/variant.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

namespace {

// A name that would make the output path point at the work folder itself or
// at its parent. On Windows the system also drops trailing dots and spaces
// from the last path part, so any run of them reduces to one of these.
bool IsDotName(const std::string& name) {
  if (name == "." || name == "..") return true;
  if constexpr (plat::kWindowsPaths) {
    if (name.empty()) return false;
    for (char c : name)
      if (c != '.' && c != ' ') return false;
    return true;
  }
  return false;
}

// The file-name part of s; "." and ".." count as no name, so that a host's
// target name or a pattern can never climb out of the work folder.
std::string NamePart(const std::string& s) {
  std::string name = FileNamePart(s);
  return IsDotName(name) ? std::string() : name;
}

std::string FirstNonEmpty(const std::string& a, const std::string& b) {
  return a.empty() ? b : a;
}

// name with its extension (from its last "." on) replaced by ext, or ext
// appended when name has no ".". "." is never a GBK trail byte, so a plain
// byte search is safe.
std::string ReplaceExtension(const std::string& name, const std::string& ext) {
  const std::size_t dot = name.rfind('.');
  return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

// The folder a step's output goes to. This build always writes into the work
// folder; the earlier build takes the pattern's folder, else the target
// name's, else the source's, and the work folder only when none names one.
std::string OutputFolder(const std::string& workDir, const std::string& patternFolder,
                         const std::string& targetFolder, const std::string& sourceFolder) {
  if constexpr (kEarlierBuild) {
    for (const std::string* folder : {&patternFolder, &targetFolder, &sourceFolder})
      if (!folder->empty()) return NormalizeDirPath(*folder);
  }
  return workDir;
}

}  // namespace

std::string TTaskProcess::MakeTargetFileName(const std::string& Source, const std::string& Pattern,
                                             const std::string& TargetName) {
  const std::string source = Trim(Source);
  std::string target = Trim(TargetName);
  std::string pattern = Trim(Pattern);

  if (pattern.find('?') != std::string::npos) {
    // One slot per item, left to right; an item may itself bring a "?" that
    // the next item then fills.
    for (const std::string& item : SplitItems(target)) {
      const std::size_t slot = pattern.find('?');
      if (slot == std::string::npos) break;
      pattern.replace(slot, 1, item);
    }
    target.clear();
  }

  const std::string tn = NamePart(target);
  const std::string sn = NamePart(source);
  const std::string pn = NamePart(pattern);

  std::string name;
  if (pn.empty() || pn == "*.*") {
    name = FirstNonEmpty(tn, sn);
  } else if (pn.compare(0, 2, "*.") == 0) {
    name = ReplaceExtension(FirstNonEmpty(tn, sn), pn.substr(1));
    // An extension such as ".." on an empty or dot-only base name.
    if (IsDotName(name)) name.clear();
  } else {
    name = QuickReplace("?", "", pn);
    if (IsDotName(name)) name.clear();
    if (name.empty()) name = FirstNonEmpty(tn, sn);
  }

  std::string path = OutputFolder(NormalizeDirPath(FWorkDir), FolderPart(pattern),
                                  FolderPart(target), FolderPart(source)) +
                     name;
  // Outside the work folder, only this record tells a step output of this
  // call from a file of the host's.
  if constexpr (kEarlierBuild) FNamedOutputs.Insert(path);
  return path;
}

std::string TTaskProcess::MakeMessageFileName(bool IsRequest, const std::string& Dir) {
  const plat::LocalTime t = plat::LocalNow();
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  const std::string name =
      std::string(IsRequest ? "Message_request_" : "Message_response_") + stamp + ".xml";
  return (Dir.empty() ? FWorkDir : NormalizeDirPath(Dir)) + name;
}

std::string TTaskProcess::GetTargetDir(const std::string& Source, const std::string& Pattern) {
  return OutputFolder(FWorkDir, FolderPart(Trim(Pattern)), std::string(), FolderPart(Source));
}

}  // namespace dv
