// End-to-end harness: a sandbox holding a copy of the component and the test
// doubles, configuration files written into it, and the four exports called
// through the component loader with large host buffers.
//
//   dvtest::e2e::Harness h;                       // sandbox + component loaded
//   h.WriteComponentCfg();                        // "component.xml" -> "tasks.xml"
//   h.WriteTasks({{.TaskID = "T1", .Steps = {{.Kind = "Compress", .Name = "zip"}}}});
//   h.Write("in/a.txt", "data");
//   auto r = h.Export("T1", dvtest::e2e::PackagesXml({{"", {h.Path("in/a.txt")}}}),
//                     h.Path("out") + dvtest::e2e::kSep);
//   EXPECT_EQ(r.Code, 0) << r.ResultMsg;
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "component_loader.h"
#include "support/sandbox.h"

namespace dvtest::e2e {

// The platform's directory separator, as the component writes it.
#if defined(_WIN32)
inline constexpr char kSep = '\\';
#else
inline constexpr char kSep = '/';
#endif

// ---- configuration files -----------------------------------------------

// One step element of a task. Empty texts are left out; Backup writes a
// Backup element with BackupFile 1 and the two texts.
struct StepCfg {
  std::string Kind;  // element name: "Compress" ... "Uncompress"
  std::string Name;
  std::string FileName;
  bool Backup = false;
  std::string BackupDir;
  std::string ReturnParamName;
  std::string ExtraXml;  // written verbatim inside the step element (NameFrom, Describe ...)
};

struct TaskCfg {
  std::string TaskID;
  std::string ServiceID;
  std::vector<StepCfg> Steps;
  bool HasSteps = true;  // false: the task has no Steps element at all
  std::string ExtraXml;  // written verbatim inside the Task element
};

// The component configuration; every path as written into the file. The
// library configuration names are what the doubles receive.
struct ComponentCfg {
  std::string TaskCfgFile = "tasks.xml";
  std::string CompressCfgFile = "Mordane.cfg";
  std::string CryptCfgFile = "Sibbert.cfg";
  std::string CodeCfgFile = "Ulvaran.cfg";
  std::string CommunCfgFile = "Tressil.cfg";
  std::string MessageCfgFile = "Quembry.cfg";
  std::string ProxyCfgFile = "proxy.cfg";
};

std::string ComponentCfgXml(const ComponentCfg& cfg = {});
std::string TaskCfgXml(const std::vector<TaskCfg>& tasks);

// ---- Packages XML ----------------------------------------------------------

struct Package {
  std::string TargetName;
  std::vector<std::string> Files;
};
// The Packages XML a host writes (GBK declaration, CR LF); the empty list
// gives the empty text.
std::string PackagesXml(const std::vector<Package>& packages);
// The packages of a Packages XML returned by the component (a plain text
// scan, texts untrimmed); empty for the empty text.
std::vector<Package> ReadPackagesXml(const std::string& xml);

// ---- calls -----------------------------------------------------------------

// While one lives, the leak checker ignores new allocations. A double steered
// to fault jumps out of its own frames and leaks what they held; its library
// is unloaded by then, so the report could not tell it from the component's.
// Hold one around calls that make a double fault.
struct LeaksIgnored {
  LeaksIgnored();
  ~LeaksIgnored();
  LeaksIgnored(const LeaksIgnored&) = delete;
  LeaksIgnored& operator=(const LeaksIgnored&) = delete;
};

struct CallOptions {
  std::string ConfigFile = "component.xml";  // relative: the component's folder
  std::string TaskParam;
  std::string Msg;                        // the host's message text on entry
  std::string ResultIn = "UNTOUCHED";     // OutBuf on entry (DataImport, DataTransmit)
  bool NullConfigFile = false;            // pass null text pointers instead
  bool NullTaskID = false;
  bool NullTaskParam = false;
  bool NullInput = false;                 // InPackagesXml, InPath or NetParam
  bool NullMsgBuf = false;                // MsgBuf itself is null
  bool NullMsgPointer = false;            // MsgBuf leads to a null pointer
  std::string HostCwd;                    // current directory during the call; empty: Path("host")
  std::size_t BufferSize = 1u << 20;      // size of each host buffer
};

struct CallResult {
  int Code = 0;              // IsConnected: 0 or 1
  std::string Msg;           // the message buffer after the call, up to its zero byte
  std::string ResultMsg;     // its "ResultMsgStr", decoded
  std::string Text;          // OutBuf or TargetPath after the call (IsConnected: empty)
  bool MsgTouched = false;   // any byte of the message buffer changed
  bool TextTouched = false;  // any byte of OutBuf / TargetPath changed
  std::string CwdBefore;     // the current directory as the host set it
  std::string CwdAfter;      // the current directory right after the call (every call
                             // also checks that it equals CwdBefore)
};

class Harness {
 public:
  // A fresh sandbox with the component and the doubles; the component is
  // loaded from it (a failure to load fails the test at once via Loader()).
  Harness();
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  Sandbox& Box() { return *box_; }
  const ComponentLoader& Loader() const { return *loader_; }
  const std::string& Dir() const { return box_->Dir(); }  // the component's folder
  std::string Path(const std::string& rel) const { return box_->Path(rel); }
  void Write(const std::string& rel, const std::string& bytes) const { box_->Write(rel, bytes); }
  std::string Read(const std::string& rel) const { return box_->Read(rel); }
  bool Exists(const std::string& rel) const { return box_->Exists(rel); }

  void WriteComponentCfg(const ComponentCfg& cfg = {}, const std::string& rel = "component.xml") const;
  void WriteTasks(const std::vector<TaskCfg>& tasks, const std::string& rel = "tasks.xml") const;
  // Both in one go: the default component configuration and these tasks.
  void Configure(const std::vector<TaskCfg>& tasks) const;

  CallResult Export(const std::string& taskId, const std::string& packagesXml,
                    const std::string& targetPath, const CallOptions& o = {});
  CallResult Import(const std::string& taskId, const std::string& inPath,
                    const CallOptions& o = {});
  CallResult Transmit(const std::string& taskId, const std::string& packagesXml,
                      const CallOptions& o = {});
  CallResult Connected(const std::string& netParam, const CallOptions& o = {});

  // Names of the entries of a folder of the sandbox, sorted ("" is the
  // component's folder); empty when it does not exist.
  std::vector<std::string> List(const std::string& rel) const;
  // The work folders that calls have left under "temp", sorted.
  std::vector<std::string> WorkFolders() const { return List("temp"); }
  // "temp/<name>" of the work folder that the last call made ("" when it
  // made none).
  const std::string& LastWorkFolder() const { return lastWorkFolder_; }
  // Every file below a folder of the sandbox, as paths relative to it with
  // "/" between the parts, sorted.
  std::vector<std::string> FilesUnder(const std::string& rel) const;

 private:
  enum class Kind { Import, Export, Transmit, Connect };
  CallResult Call(Kind kind, const std::string& taskId, const std::string& input,
                  const std::string& resultIn, const CallOptions& o);

  std::unique_ptr<Sandbox> box_;
  std::unique_ptr<ComponentLoader> loader_;
  std::string lastWorkFolder_;
};

}  // namespace dvtest::e2e
