// The task engine: its records, the two constant tables and TTaskProcess.
// One TTaskProcess lives for one exported call.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/xml_dom.h"

namespace dv {

enum class TStepKind : uint8_t {
  Compress = 0,
  Crypt = 1,
  Code = 2,
  Request = 3,
  Communication = 4,
  Response = 5,
  Decode = 6,
  Decrypt = 7,
  Uncompress = 8,
};
inline constexpr int StepKindCount = 9;
inline constexpr int KindIndex(TStepKind k) { return static_cast<int>(k); }

struct TProcessStep {
  TStepKind Kind;
  const char* Name;
};
// Kind order: "Compress" ... "Uncompress".
extern const std::array<TProcessStep, StepKindCount> StepTable;
// "zip", "crypt", "code" beside kinds 0, 1, 2.
extern const std::array<TProcessStep, 3> ContentControlTypes;

struct TNameFrom {
  std::string IniFile;
  std::string Section;
  std::string Ident;
};

struct TBackup {
  bool BackupFile = false;
  std::string BackupDir;
  std::string ReturnParamName;
};

struct TStep {
  TStepKind Kind = TStepKind::Compress;
  bool Configured = false;
  std::string Name;
  TNameFrom NameFrom;
  std::string FileName;
  TBackup Backup;
  std::string Describe;
};

using TStepList = std::array<TStep, StepKindCount>;

struct TPackageFile {
  std::string TargetName;
  std::vector<std::string> Files;
};
using TPackageFileList = std::vector<TPackageFile>;

// Files by full path, compared as the file system compares; each path is
// expanded once as it goes in, so a look-up costs one expansion, not one per
// member.
class TFullPathSet {
 public:
  TFullPathSet() = default;
  explicit TFullPathSet(const TPackageFileList& List) {
    for (const TPackageFile& package : List) Insert(package.Files);
  }
  bool Contains(const std::string& Path) const {
    return !FPaths.empty() && FPaths.count(plat::FullPathName(Path)) != 0;
  }
  void Insert(const std::string& Path) { FPaths.insert(plat::FullPathName(Path)); }
  void Insert(const std::vector<std::string>& Paths) {
    for (const std::string& p : Paths) Insert(p);
  }
  // False (and nothing recorded) when Path is in the set already.
  bool Add(const std::string& Path) { return FPaths.insert(plat::FullPathName(Path)).second; }

 private:
  std::set<std::string, plat::FullPathLess> FPaths;
};

// A step handler bound to its TTaskProcess: step record, input packages,
// output packages (empty on entry), message string; 0 for success.
using TStepHandler = std::function<int32_t(const TStep&, const TPackageFileList&,
                                           TPackageFileList&, std::string&)>;

struct TTask {
  std::string TaskID;
  std::string ServiceID;
  std::string Describe;
  bool ShowProgressBar = false;
  TStepList Steps;
  std::array<TStepHandler, StepKindCount> Handlers;
};

struct TComponentCfg {
  std::string TaskCfgFile;
  std::string CompressCfgFile;
  std::string CryptCfgFile;
  std::string CodeCfgFile;
  std::string CommunCfgFile;
  std::string ProxyCfgFile;
  std::string MessageCfgFile;
};

// A configuration element whose text cannot be read, or a task without Steps.
struct EReadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class TTaskProcess {
 public:
  // Create: loads the component configuration, then (only when that worked)
  // the task, then always prepares the work folders. Never throws because of
  // the configuration.
  TTaskProcess(const std::string& ConfigFile, const std::string& TaskID,
               const std::string& TaskParam);
  TTaskProcess(const TTaskProcess&) = delete;
  TTaskProcess& operator=(const TTaskProcess&) = delete;

  // ---- configuration (config.cpp)
  bool LoadComponentCfg();
  bool LoadTaskCfg();
  void PrepareWorkDirs();

  // ---- exchange XML (exchange_xml.cpp); they touch no field
  static std::string BuildPackagesXml(const TPackageFileList& Packages);
  static bool ParsePackagesXml(const std::string& Xml, TPackageFileList& Packages);
  static std::string BuildContentControl(TStepList Steps);
  static bool ParseContentControl(const std::string& Xml, TStepList& Steps);

  // ---- step pipeline (pipeline.cpp)
  int32_t RunSteps(TStepKind First, TStepKind Last, TPackageFileList& Files,
                   TPackageFileList& Output, std::string& Msg);
  void DeleteStaleFiles(const TPackageFileList& OldList, const TPackageFileList& NewList);
  void DeleteIfUnused(const std::string& FileName, const TPackageFileList& NewList);
  static bool IsFileInPackages(const std::string& FileName, const TPackageFileList& List);
  static TPackageFileList CopyPackageList(const TPackageFileList& Source);

  // ---- task operations (operations.cpp)
  int32_t ExportData(const std::string& InPackagesXml, std::string& TargetPath, std::string& Msg);
  int32_t ImportData(const std::string& InPath, std::string& OutText, std::string& Msg);
  int32_t TransmitData(const std::string& InPackagesXml, std::string& OutText, std::string& Msg);
  bool CheckConnection(const std::string& NetParam, std::string& Msg);
  void ListDirEntries(const std::string& Dir, TPackageFileList& List);
  // False when any file could not be copied (every copyable file is copied).
  bool CopyFilesToDir(const TPackageFileList& List, const std::string& Dir);

  // ---- output naming (naming.cpp)
  std::string MakeTargetFileName(const std::string& Source, const std::string& Pattern,
                                 const std::string& TargetName);
  std::string MakeMessageFileName(bool IsRequest, const std::string& Dir);
  std::string GetTargetDir(const std::string& Source, const std::string& Pattern);

  // ---- backups (backup.cpp)
  void BackupPackages(const TStep& Step, const TPackageFileList& Packages, std::string& Msg);
  void BackupOneFile(const TStep& Step, const std::string& FileName, std::string& Msg);

  // ---- step handlers (outbound.cpp, inbound.cpp)
  int32_t DoCompress(const TStep& Step, const TPackageFileList& Files, TPackageFileList& Output,
                     std::string& Msg);
  int32_t DoCrypt(const TStep& Step, const TPackageFileList& Files, TPackageFileList& Output,
                  std::string& Msg);
  int32_t DoCode(const TStep& Step, const TPackageFileList& Files, TPackageFileList& Output,
                 std::string& Msg);
  int32_t DoRequest(const TStep& Step, const TPackageFileList& Files, TPackageFileList& Output,
                    std::string& Msg);
  int32_t DoCommunication(const TStep& Step, const TPackageFileList& Files,
                          TPackageFileList& Output, std::string& Msg);
  int32_t DoResponse(const TStep& Step, const TPackageFileList& Files, TPackageFileList& Output,
                     std::string& Msg);
  int32_t DoDecode(const TStep& Step, const TPackageFileList& Files, TPackageFileList& Output,
                   std::string& Msg);
  int32_t DoDecrypt(const TStep& Step, const TPackageFileList& Files, TPackageFileList& Output,
                    std::string& Msg);
  int32_t DoUncompress(const TStep& Step, const TPackageFileList& Files,
                       TPackageFileList& Output, std::string& Msg);

  // ---- fields
  std::string FErrorMsg;
  std::string FConfigFile;
  std::string FTaskID;
  std::string FTaskParam;
  TTask FTask;
  bool FInitialized = false;
  TComponentCfg FComponentCfg;
  std::string FWorkDir;
  std::string FBackupDir;
  // What this call's deletions must know in the earlier build, whose step
  // outputs land outside the work folder: every output path the engine
  // named, and the files the host handed in. Empty in this build.
  TFullPathSet FNamedOutputs;
  TFullPathSet FHostFiles;
  // The earlier build's backups may stand where its clean-ups look: the
  // folders this call's backups went to, and the files a backup named
  // without copying them. Empty in this build.
  TFullPathSet FBackupFolders;
  TFullPathSet FBackupsInPlace;
};

// Free functions of the engine.
// The step element of entry E under the Steps element (which may be absent:
// EReadError) into R.
void ReadStep(const plat::XmlDocument& Doc, plat::XmlDocument::Node Steps, const TProcessStep& E,
              TStep& R);
// The trimmed text of an optional element; EReadError for other content.
std::string GetNodeText(const plat::XmlDocument& Doc, plat::XmlDocument::Node Node);
std::string AppendImpl(const std::string& List, const std::string& Name);
bool IsDirPath(const std::string& Path);
// Sets Text under "ResultMsgStr" in Msg and gives -1, the result of a failed
// step or task operation.
int32_t FailStep(std::string& Msg, const std::string& Text);
// The service's "ReturnCode" text as a signed 32-bit integer: leading blanks,
// an optional sign, then decimal digits or hexadecimal ones after "$", "x" or
// "0x" (either case), nothing after them. False for any other text.
bool ParseReturnCode(const std::string& Text, int32_t& Value);

}  // namespace dv
