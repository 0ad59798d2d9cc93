#include "e2e_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/params.h"
#include "platform/platform.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define DV_E2E_LSAN 1
#else
#define DV_E2E_LSAN 0
#endif

namespace dvtest::e2e {

namespace {

constexpr const char* kDecl = "<?xml version=\"1.0\" encoding=\"GBK\"?>";
constexpr char kFill = '\xA5';  // bytes past the initial text, to see writes

std::string Element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + text + "</" + name + ">";
}

std::string Optional(const std::string& name, const std::string& text) {
  return text.empty() ? std::string() : Element(name, text);
}

std::string StepXml(const StepCfg& s) {
  std::string x = "<" + s.Kind + ">";
  x += Optional("Name", s.Name);
  x += Optional("FileName", s.FileName);
  if (s.Backup || !s.BackupDir.empty() || !s.ReturnParamName.empty())
    x += "<Backup>" + Element("BackupFile", s.Backup ? "1" : "0") +
         Optional("BackupDir", s.BackupDir) + Optional("ReturnParamName", s.ReturnParamName) +
         "</Backup>";
  x += s.ExtraXml;
  return x + "</" + s.Kind + ">";
}

// A host buffer: the initial text, its zero byte, then fill bytes.
struct HostBuffer {
  HostBuffer(const std::string& initial, std::size_t size)
      : bytes(std::max(size, initial.size() + 1), kFill) {
    std::memcpy(bytes.data(), initial.data(), initial.size());
    bytes[initial.size()] = '\0';
    before = bytes;
  }
  std::string Text() const { return std::string(bytes.data()); }
  bool Touched() const { return bytes != before; }
  std::vector<char> bytes, before;
};

// The text between every <tag> and its </tag>, in order.
std::vector<std::string> Texts(const std::string& xml, const std::string& tag) {
  std::vector<std::string> out;
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  for (std::size_t p = xml.find(open); p != std::string::npos; p = xml.find(open, p)) {
    p += open.size();
    const std::size_t e = xml.find(close, p);
    if (e == std::string::npos) break;
    out.push_back(xml.substr(p, e - p));
    p = e + close.size();
  }
  return out;
}

}  // namespace

LeaksIgnored::LeaksIgnored() {
#if DV_E2E_LSAN
  __lsan_disable();
#endif
}

LeaksIgnored::~LeaksIgnored() {
#if DV_E2E_LSAN
  __lsan_enable();
#endif
}

std::string ComponentCfgXml(const ComponentCfg& c) {
  std::string x = std::string(kDecl) + "\r\n<Config>\r\n";
  x += Element("TaskCfgFile", c.TaskCfgFile) + "\r\n";
  x += Element("CompressCfgFile", c.CompressCfgFile) + "\r\n";
  x += Element("CryptCfgFile", c.CryptCfgFile) + "\r\n";
  x += Element("CodeCfgFile", c.CodeCfgFile) + "\r\n";
  x += Element("CommunCfgFile", c.CommunCfgFile) + "\r\n";
  x += Element("MessageCfgFile", c.MessageCfgFile) + "\r\n";
  x += Element("ProxyCfgFile", c.ProxyCfgFile) + "\r\n";
  return x + "</Config>\r\n";
}

std::string TaskCfgXml(const std::vector<TaskCfg>& tasks) {
  std::string x = std::string(kDecl) + "\r\n<Tasks>\r\n";
  for (const TaskCfg& t : tasks) {
    x += "<Task>" + Element("TaskID", t.TaskID) + Optional("ServiceID", t.ServiceID);
    if (t.HasSteps) {
      x += "<Steps>";
      for (const StepCfg& s : t.Steps) x += StepXml(s);
      x += "</Steps>";
    }
    x += t.ExtraXml + "</Task>\r\n";
  }
  return x + "</Tasks>\r\n";
}

std::string PackagesXml(const std::vector<Package>& packages) {
  if (packages.empty()) return std::string();
  std::string x = std::string(kDecl) + "\r\n<Packages>";
  for (const Package& p : packages) {
    x += "\r\n<Package>\r\n" + Element("TargetName", p.TargetName) + "\r\n<Files>";
    for (const std::string& f : p.Files) x += "\r\n" + Element("File", f);
    x += "\r\n</Files>\r\n</Package>";
  }
  return x + "\r\n</Packages>";
}

std::vector<Package> ReadPackagesXml(const std::string& xml) {
  std::vector<Package> out;
  for (const std::string& body : Texts(xml, "Package")) {
    Package p;
    const std::vector<std::string> names = Texts(body, "TargetName");
    if (!names.empty()) p.TargetName = names[0];
    p.Files = Texts(body, "File");
    out.push_back(p);
  }
  return out;
}

Harness::Harness() : box_(std::make_unique<Sandbox>(true)) {
  loader_ = std::make_unique<ComponentLoader>(box_->Dir());
  EXPECT_TRUE(loader_->Ok()) << "component not loaded from " << loader_->Path() << ": "
                             << loader_->Error();
  dv::plat::MakeDir(box_->Path("host"));
}

Harness::~Harness() = default;  // unloads the component before the sandbox goes

void Harness::WriteComponentCfg(const ComponentCfg& cfg, const std::string& rel) const {
  box_->Write(rel, ComponentCfgXml(cfg));
}

void Harness::WriteTasks(const std::vector<TaskCfg>& tasks, const std::string& rel) const {
  box_->Write(rel, TaskCfgXml(tasks));
}

void Harness::Configure(const std::vector<TaskCfg>& tasks) const {
  WriteComponentCfg();
  WriteTasks(tasks);
}

CallResult Harness::Export(const std::string& taskId, const std::string& packagesXml,
                           const std::string& targetPath, const CallOptions& o) {
  return Call(Kind::Export, taskId, packagesXml, targetPath, o);
}

CallResult Harness::Import(const std::string& taskId, const std::string& inPath,
                           const CallOptions& o) {
  return Call(Kind::Import, taskId, inPath, o.ResultIn, o);
}

CallResult Harness::Transmit(const std::string& taskId, const std::string& packagesXml,
                             const CallOptions& o) {
  return Call(Kind::Transmit, taskId, packagesXml, o.ResultIn, o);
}

CallResult Harness::Connected(const std::string& netParam, const CallOptions& o) {
  return Call(Kind::Connect, std::string(), netParam, std::string(), o);
}

CallResult Harness::Call(Kind kind, const std::string& taskId, const std::string& input,
                         const std::string& resultIn, const CallOptions& o) {
  CallResult r;
  if (!loader_->Ok()) {
    ADD_FAILURE() << "component not loaded";
    r.Code = -9999;
    return r;
  }
  HostBuffer msg(o.Msg, o.BufferSize), result(resultIn, o.BufferSize);
  char* msgPtr = o.NullMsgPointer ? nullptr : msg.bytes.data();
  char** msgBuf = o.NullMsgBuf ? nullptr : &msgPtr;
  const char* cfg = o.NullConfigFile ? nullptr : o.ConfigFile.c_str();
  const char* task = o.NullTaskID ? nullptr : taskId.c_str();
  const char* param = o.NullTaskParam ? nullptr : o.TaskParam.c_str();
  const char* in = o.NullInput ? nullptr : input.c_str();
  // Stands for the host's window handle, which the component does not read.
  void* const window = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x1234));

  const std::vector<std::string> foldersBefore = WorkFolders();
  const std::string saved = dv::plat::CurrentDir();
  dv::plat::SetCurrentDir(o.HostCwd.empty() ? box_->Path("host") : o.HostCwd);
  r.CwdBefore = dv::plat::CurrentDir();
  switch (kind) {
    case Kind::Import:
      r.Code = loader_->DataImport(window, cfg, task, param, in, result.bytes.data(), msgBuf);
      break;
    case Kind::Export:
      r.Code = loader_->DataExport(window, cfg, task, param, in, result.bytes.data(), msgBuf);
      break;
    case Kind::Transmit:
      r.Code = loader_->DataTransmit(window, cfg, task, param, in, result.bytes.data(), msgBuf);
      break;
    case Kind::Connect:
      r.Code = loader_->IsConnected(window, cfg, in, msgBuf);
      break;
  }
  r.CwdAfter = dv::plat::CurrentDir();
  dv::plat::SetCurrentDir(saved);

  EXPECT_EQ(r.CwdAfter, r.CwdBefore) << "the call did not restore the current directory";
  lastWorkFolder_.clear();
  for (const std::string& f : WorkFolders())
    if (std::find(foldersBefore.begin(), foldersBefore.end(), f) == foldersBefore.end())
      lastWorkFolder_ = "temp/" + f;

  r.Msg = msg.Text();
  r.ResultMsg = dv::GetParamValue(r.Msg, "ResultMsgStr");
  r.MsgTouched = msg.Touched();
  if (kind != Kind::Connect) {
    r.Text = result.Text();
    r.TextTouched = result.Touched();
  }
  return r;
}

std::vector<std::string> Harness::List(const std::string& rel) const {
  std::vector<dv::plat::DirEntry> entries;
  std::string dir = rel.empty() ? box_->Dir() : box_->Path(rel);
  if (dir.back() != kSep) dir += kSep;
  dv::plat::ListDir(dir, entries);
  std::vector<std::string> names;
  for (const dv::plat::DirEntry& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Harness::FilesUnder(const std::string& rel) const {
  std::vector<std::string> out;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string sub = pending.back();
    pending.pop_back();
    std::vector<dv::plat::DirEntry> entries;
    std::string dir = box_->Path(rel + (sub.empty() ? "" : "/" + sub));
    if (dir.back() != kSep) dir += kSep;
    dv::plat::ListDir(dir, entries);
    for (const dv::plat::DirEntry& e : entries) {
      const std::string name = sub.empty() ? e.name : sub + "/" + e.name;
      if (e.attributes & dv::plat::kAttrDirectory) pending.push_back(name);
      else out.push_back(name);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace dvtest::e2e
