// Loading the component and task configuration, and the call's folders.
#include <memory>

#include "common/earlier_build.h"
#include "common/files.h"
#include "common/path.h"
#include "common/text_search.h"
#include "common/variant.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

namespace {

using plat::XmlDocument;
using Node = XmlDocument::Node;

constexpr const char* kCfgNotFound = "找不到配置信息文件[%s]！";
constexpr const char* kCfgParse = "解析配置信息文件[%s]出错，请检查该文件的正确性！";
constexpr const char* kCfgInit = "初始化配置信息文件[%s]出错，请检查该文件的正确性！";
constexpr const char* kTaskCfgNotFound = "找不到任务配置信息文件[%s]！";
constexpr const char* kTaskCfgParse = "解析任务配置信息文件[%s]出错，请检查该文件的正确性！";
constexpr const char* kTaskNotFound =
    "任务配置信息文件[%s]找不到任务ID[%s]，请检查该文件的正确性！";
constexpr const char* kTaskCfgInit = "初始化任务配置信息文件[%s]出错，请检查该文件的正确性！";

// True for a number other than zero or "True", false for everything else
// (zero, "False", any other word, the empty text), ASCII case ignored.
bool BoolText(const std::string& s) {
  if (SameTextAscii(s, "True")) return true;
  // A decimal number: optional sign, digits with an optional fraction, an
  // optional exponent. Its value is non-zero when a mantissa digit is.
  std::size_t i = 0;
  const std::size_t n = s.size();
  auto digit = [&](std::size_t k) { return k < n && s[k] >= '0' && s[k] <= '9'; };
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  bool anyDigit = false;
  bool nonZero = false;
  for (; digit(i); ++i) anyDigit = true, nonZero = nonZero || s[i] != '0';
  if (i < n && s[i] == '.') {
    for (++i; digit(i); ++i) anyDigit = true, nonZero = nonZero || s[i] != '0';
  }
  if (!anyDigit) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == n && nonZero;
}

std::string ChildText(const XmlDocument& doc, Node parent, const char* name) {
  return GetNodeText(doc, doc.FirstChildNamed(parent, name));
}

// Stages 1 and 2 of reading a configuration file: it must exist as a file
// and parse. Null with the message stored otherwise.
std::unique_ptr<XmlDocument> OpenConfig(const std::string& path, const char* notFound,
                                        const char* parseFailed, std::string& errorMsg) {
  if (path.empty() || !plat::IsExistingFile(path)) {
    errorMsg = FormatWithPath(notFound, path);
    return nullptr;
  }
  try {
    std::string bytes;
    LoadFileText(path, bytes);
    return std::make_unique<XmlDocument>(bytes);  // no bytes: XmlError
  } catch (...) {
    errorMsg = FormatWithPath(parseFailed, path);
    return nullptr;
  }
}

}  // namespace

std::string GetNodeText(const XmlDocument& Doc, Node Node) {
  if (Node == nullptr) return {};
  try {
    return Trim(Doc.ElementText(Node));
  } catch (const plat::XmlError& e) {
    throw EReadError(e.what());
  }
}

void ReadStep(const XmlDocument& Doc, Node Steps, const TProcessStep& E, TStep& R) {
  if (Steps == nullptr) throw EReadError("the task has no Steps element");
  const Node x = Doc.FirstChildNamed(Steps, E.Name);
  R.Kind = E.Kind;
  R.Configured = x != nullptr;
  if (x == nullptr) return;
  R.Name = ChildText(Doc, x, "Name");
  R.Describe = ChildText(Doc, x, "Describe");
  R.FileName = ChildText(Doc, x, "FileName");
  if (const Node b = Doc.FirstChildNamed(x, "Backup")) {
    R.Backup.BackupFile = BoolText(ChildText(Doc, b, "BackupFile"));
    R.Backup.BackupDir = ChildText(Doc, b, "BackupDir");
    R.Backup.ReturnParamName = ChildText(Doc, b, "ReturnParamName");
  }
  if (const Node f = Doc.FirstChildNamed(x, "NameFrom")) {
    R.NameFrom.IniFile = ChildText(Doc, f, "IniFile");
    R.NameFrom.Section = ChildText(Doc, f, "Section");
    R.NameFrom.Ident = ChildText(Doc, f, "Ident");
  }
  // A Name in the configuration wins; the INI lookup runs even without
  // NameFrom and then finds nothing.
  if (R.Name.empty()) {
    R.Name = Trim(ReadIniString(plat::FullPathName(R.NameFrom.IniFile), R.NameFrom.Section,
                                R.NameFrom.Ident, ""));
  }
}

bool TTaskProcess::LoadComponentCfg() {
  const std::string& path = FConfigFile;
  const auto doc = OpenConfig(path, kCfgNotFound, kCfgParse, FErrorMsg);
  if (!doc) return false;
  try {
    const Node root = doc->Root();
    // Stored one by one, so that the values read before a failure stay.
    struct Field {
      const char* name;
      std::string TComponentCfg::*field;
    };
    static const Field kFields[] = {
        {"TaskCfgFile", &TComponentCfg::TaskCfgFile},
        {"CompressCfgFile", &TComponentCfg::CompressCfgFile},
        {"CryptCfgFile", &TComponentCfg::CryptCfgFile},
        {"CodeCfgFile", &TComponentCfg::CodeCfgFile},
        {"CommunCfgFile", &TComponentCfg::CommunCfgFile},
        {"MessageCfgFile", &TComponentCfg::MessageCfgFile},
        {"ProxyCfgFile", &TComponentCfg::ProxyCfgFile},
    };
    for (const Field& f : kFields) FComponentCfg.*f.field = ChildText(*doc, root, f.name);
    return true;
  } catch (...) {
    FErrorMsg = FormatWithPath(kCfgInit, path);
    return false;
  }
}

bool TTaskProcess::LoadTaskCfg() {
  const std::string& path = FComponentCfg.TaskCfgFile;
  const auto doc = OpenConfig(path, kTaskCfgNotFound, kTaskCfgParse, FErrorMsg);
  if (!doc) return false;
  try {
    const Node root = doc->Root();
    const int count = doc->ChildCount(root);
    Node task = nullptr;
    for (int i = 0; i < count && task == nullptr; ++i) {
      const Node c = doc->ChildAt(root, i);
      if (doc->NodeName(c) != "Task") continue;
      if (SameTextAscii(ChildText(*doc, c, "TaskID"), FTaskID)) task = c;
    }
    if (task == nullptr) {
      FErrorMsg = FormatWithPath(kTaskNotFound, path, FTaskID);
      return false;
    }
    FTask.TaskID = FTaskID;
    FTask.ShowProgressBar = BoolText(ChildText(*doc, task, "ShowProgressBar"));
    FTask.ServiceID = ChildText(*doc, task, "ServiceID");
    FTask.Describe = ChildText(*doc, task, "Describe");
    const Node steps = doc->FirstChildNamed(task, "Steps");
    for (int k = 0; k < StepKindCount; ++k) {
      TStep& step = FTask.Steps[k];
      ReadStep(*doc, steps, StepTable[k], step);
      // Only a reply's contentControl switches the inbound steps on, with
      // the names the service sent; their naming and backup settings stay.
      if (k >= KindIndex(TStepKind::Decode)) {
        step.Name.clear();
        step.Configured = false;
      }
    }
    return true;
  } catch (...) {
    FErrorMsg = FormatWithPath(kTaskCfgInit, path);
    return false;
  }
}

void TTaskProcess::PrepareWorkDirs() {
  const std::string dir = GetThisModuleDir();
  if constexpr (kEarlierBuild) {
    // One work folder shared by every call, emptied at the start of each.
    FWorkDir = dir + "task_temp" + plat::kDirSep;
    if (DirExists(FWorkDir)) {
      earlier::RecreateFolder(FWorkDir);
    } else {
      ForceDirs(FWorkDir);
    }
    FBackupDir = dir + "task_backup" + plat::kDirSep;
    ForceDirs(FBackupDir);
    return;
  }
  const std::string temp = dir + "temp";
  FWorkDir = temp + plat::kDirSep;
  // A plain file in the way of the work folders goes; failing that, the
  // folders are missing and the steps that need them fail later.
  if (plat::IsExistingFile(temp)) plat::DeleteFileAt(temp);
  FWorkDir = NormalizeDirPath(FWorkDir + MakeGuidID());
  ForceDirs(FWorkDir);

  const std::string backup = dir + "task_backup";
  FBackupDir = backup + plat::kDirSep;
  if (plat::IsExistingFile(backup)) plat::DeleteFileAt(backup);
  ForceDirs(FBackupDir);
}

}  // namespace dv
