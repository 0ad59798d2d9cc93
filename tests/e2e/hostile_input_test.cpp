// Odd and large input from the host: every text argument null, empty or
// blank; ten thousand packages in one Packages XML; paths past 260 bytes;
// GBK names whose characters end in the byte of "\"; messages far past the
// libraries' 10 KiB message buffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/lines.h"
#include "common/params.h"
#include "e2e_harness.h"
#include "hostile_support.h"
#include "support/double_formats.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace dvtest::e2e {
namespace {

using Strings = std::vector<std::string>;

constexpr const char* kBadInput = "输入文件参数有误！";
constexpr const char* kEmptyInPath = "原始文件不能为空！";
constexpr const char* kEmptyTarget = "目标路径不能为空！";
constexpr const char* kNeedFolder = "没有配置报文生成步骤，必须传入目录！";

std::string CfgNotFound(const std::string& f) { return "找不到配置信息文件[" + f + "]！"; }
std::string TaskNotFound(const std::string& id) {
  return "任务配置信息文件[tasks.xml]找不到任务ID[" + id + "]，请检查该文件的正确性！";
}

// A GBK double-byte character whose trail byte is 0x5C, the byte of "\".
const std::string kTrail5C = "\x95\x5C";

std::string ReadAbs(const std::string& path) {
  std::string bytes;
  dv::plat::ReadFileBytes(path, bytes);
  return bytes;
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    h.Configure({{.TaskID = "NOSTEPS"},
                 {.TaskID = "EXCHANGE",
                  .Steps = {{.Kind = "Request", .Name = "msg"},
                            {.Kind = "Communication", .Name = "net"},
                            {.Kind = "Response", .Name = "msg"}}},
                 {.TaskID = "REQ", .Steps = {{.Kind = "Request", .Name = "msg"}}},
                 {.TaskID = "CODE", .Steps = {{.Kind = "Code", .Name = "b64", .FileName = "*.b64"}}},
                 {.TaskID = "ZIPREQ",
                  .Steps = {{.Kind = "Compress", .Name = "zip", .FileName = "*.zip", .Backup = true,
                             .BackupDir = h.Path("bak"), .ReturnParamName = "Bak"},
                            {.Kind = "Request", .Name = "msg"}}},
                 FullTask()});
    h.Write("data/a.txt", "alpha");
  }
  std::string Folder(const std::string& rel) const { return h.Path(rel) + kSep; }
  Harness h;
};

// Which text argument a case replaces, and by what.
enum class Arg { ConfigFile, TaskID, TaskParam, Input, Result };
enum class As { Null, Empty, Blank };

struct OddCase {
  const char* exportName;  // "Export", "Import", "Transmit", "Connected"
  Arg arg;
  As as;
  int code;
  std::string message;
};

std::string Describe(const OddCase& c) {
  static const char* const args[] = {"ConfigFile", "TaskID", "TaskParam", "input", "result buffer"};
  static const char* const as[] = {"null", "empty", "blank"};
  return std::string(c.exportName) + " with " + args[static_cast<int>(c.arg)] + " " +
         as[static_cast<int>(c.as)];
}

TEST_F(HostileInput, NullEmptyAndBlankTextArguments) {
  const std::string blank = "   ";
  std::vector<OddCase> cases;
  for (const char* e : {"Export", "Import", "Transmit"}) {
    cases.push_back({e, Arg::ConfigFile, As::Null, -1, CfgNotFound("")});
    cases.push_back({e, Arg::ConfigFile, As::Empty, -1, CfgNotFound("")});
    cases.push_back({e, Arg::ConfigFile, As::Blank, -1, CfgNotFound(blank)});
    cases.push_back({e, Arg::TaskID, As::Null, -1, TaskNotFound("")});
    cases.push_back({e, Arg::TaskID, As::Empty, -1, TaskNotFound("")});
    cases.push_back({e, Arg::TaskID, As::Blank, -1, TaskNotFound(blank)});
    for (As as : {As::Null, As::Empty, As::Blank}) cases.push_back({e, Arg::TaskParam, as, 0, ""});
    // A null result buffer is not written; the call itself runs.
    cases.push_back({e, Arg::Result, As::Null, std::string(e) == "Export" ? -1 : 0,
                     std::string(e) == "Export" ? kEmptyTarget : ""});
  }
  // An empty package list: the target folder is made, nothing is copied.
  cases.push_back({"Export", Arg::Input, As::Null, 0, ""});
  cases.push_back({"Export", Arg::Input, As::Empty, 0, ""});
  cases.push_back({"Export", Arg::Input, As::Blank, -1, kBadInput});
  cases.push_back({"Export", Arg::Result, As::Empty, -1, kEmptyTarget});
  cases.push_back({"Export", Arg::Result, As::Blank, -1, kEmptyTarget});
  cases.push_back({"Import", Arg::Input, As::Null, -1, kEmptyInPath});
  cases.push_back({"Import", Arg::Input, As::Empty, -1, kEmptyInPath});
  // Blanks are a folder path: the component's own folder, which has entries.
  cases.push_back({"Import", Arg::Input, As::Blank, 0, ""});
  // An empty package list: the request carries no file, the reply neither.
  cases.push_back({"Transmit", Arg::Input, As::Null, 0, ""});
  cases.push_back({"Transmit", Arg::Input, As::Empty, 0, ""});
  cases.push_back({"Transmit", Arg::Input, As::Blank, -1, kBadInput});
  // The connection check asks the library whatever its texts.
  for (Arg a : {Arg::ConfigFile, Arg::Input})
    for (As as : {As::Null, As::Empty, As::Blank}) cases.push_back({"Connected", a, as, 1, ""});

  const std::string xml = PackagesXml({{"", {h.Path("data/a.txt")}}});
  for (const OddCase& c : cases) {
    SCOPED_TRACE(Describe(c));
    const std::string e = c.exportName;
    CallOptions o;
    o.TaskParam = "P=1";
    o.Msg = "Host=1";
    std::string task = e == "Transmit" ? "EXCHANGE" : "NOSTEPS";
    std::string input = e == "Import" ? h.Path("data/a.txt") : e == "Connected" ? "net" : xml;
    std::string target = Folder("out");
    const std::string value = c.as == As::Blank ? "   " : "";
    const bool null = c.as == As::Null;
    switch (c.arg) {
      case Arg::ConfigFile: o.ConfigFile = value; o.NullConfigFile = null; break;
      case Arg::TaskID: task = value; o.NullTaskID = null; break;
      case Arg::TaskParam: o.TaskParam = value; o.NullTaskParam = null; break;
      case Arg::Input: input = value; o.NullInput = null; break;
      case Arg::Result: target = value; break;
    }
    h.Box().ClearCallLog();
    CallResult r;
    if (c.arg == Arg::Result && null) {
      // Straight through the loader: the harness always hands a buffer.
      char msgText[4096] = "Host=1";
      char* msgPtr = msgText;
      const std::string saved = dv::plat::CurrentDir();
      if (e == "Export")
        r.Code = h.Loader().DataExport(nullptr, "component.xml", "NOSTEPS", "", xml.c_str(),
                                       nullptr, &msgPtr);
      else if (e == "Import")
        r.Code = h.Loader().DataImport(nullptr, "component.xml", "NOSTEPS", "",
                                       input.c_str(), nullptr, &msgPtr);
      else
        r.Code = h.Loader().DataTransmit(nullptr, "component.xml", "EXCHANGE", "", xml.c_str(),
                                         nullptr, &msgPtr);
      EXPECT_EQ(dv::plat::CurrentDir(), saved);
      r.Msg = msgText;
      r.ResultMsg = dv::GetParamValue(r.Msg, "ResultMsgStr");
    } else if (e == "Export") {
      r = h.Export(task, input, target, o);
    } else if (e == "Import") {
      r = h.Import(task, input, o);
    } else if (e == "Transmit") {
      r = h.Transmit(task, input, o);
    } else {
      r = h.Connected(input, o);
    }
    EXPECT_EQ(r.Code, c.code);
    EXPECT_EQ(r.ResultMsg, c.message);
    EXPECT_EQ(dv::GetParamValue(r.Msg, "Host"), "1");
    // What the libraries received for a text argument they are handed.
    if (e == "Transmit" && c.arg == Arg::TaskParam) {
      const auto calls = h.Box().CallsOf("MessagePacket");
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0][6], value) << "the task parameter, as the host gave it";
    }
    if (e == "Connected" && c.arg == Arg::Input) {
      const auto calls = h.Box().CallsOf("IsConnected");
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0][4], value) << "the network parameter, never a null pointer";
    }
  }
  EXPECT_EQ(h.Read("data/a.txt"), "alpha");
}

// Ten thousand packages in one Packages XML reach the message library as
// one list, in order.
TEST_F(HostileInput, TenThousandPackagesInOnePackagesXml) {
  constexpr int kPackages = 10000, kFiles = 50;
  std::vector<Package> packages;
  for (int i = 0; i < kFiles; ++i) h.Write("many/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  for (int i = 0; i < kPackages; ++i)
    packages.push_back({"t" + std::to_string(i), {h.Path("many/f" + std::to_string(i % kFiles) + ".txt")}});
  const std::string xml = PackagesXml(packages);
  ASSERT_GT(xml.size(), 1u << 20);
  h.Box().MakeDirs("out");
  const CallResult r = h.Export("REQ", xml, Folder("out"));
  ASSERT_EQ(r.Code, 0) << r.ResultMsg;
  const Strings delivered = h.List("out");
  ASSERT_EQ(delivered.size(), 1u);
  MessageFile m;
  ASSERT_TRUE(ParseMessage(h.Read("out/" + delivered[0]), m));
  ASSERT_EQ(m.files.size(), static_cast<std::size_t>(kPackages));
  for (int i = 0; i < kPackages; i += 997) {
    EXPECT_EQ(m.files[i].first, "f" + std::to_string(i % kFiles) + ".txt");
    EXPECT_EQ(m.files[i].second, "file " + std::to_string(i % kFiles));
  }
  // The list went to the library as one text, one line per file.
  const auto calls = h.Box().CallsOf("MessagePacket");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(dv::SplitLines(calls[0][4]).size(), static_cast<std::size_t>(kPackages));
}

// A file at a path of any length, and the removal of the folder chain that
// holds it. The ANSI file functions stop at 260 bytes on Windows, so there the
// test makes and removes such paths through the wide ones.
#if defined(_WIN32)
std::wstring LongWide(const std::string& path) {
  std::wstring w(path.size(), L'\0');
  w.resize(MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), w.data(),
                               static_cast<int>(w.size())));
  return L"\\\\?\\" + w;
}
#endif

void WriteAnyLength(const Harness& h, const std::string& rel, const std::string& bytes) {
#if defined(_WIN32)
  for (std::size_t p = rel.find('/'); p != std::string::npos; p = rel.find('/', p + 1))
    CreateDirectoryW(LongWide(h.Path(rel.substr(0, p))).c_str(), nullptr);
  const HANDLE f = CreateFileW(LongWide(h.Path(rel)).c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
#else
  h.Write(rel, bytes);
#endif
}

// Removes every file and folder below rel (a folder of the sandbox).
void RemoveAnyLength(const Harness& h, const std::string& rel) {
#if defined(_WIN32)
  const std::wstring dir = LongWide(h.Path(rel));
  WIN32_FIND_DATAW fd;
  const HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (f != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::string narrow(name.size() * 2 + 1, '\0');
      narrow.resize(WideCharToMultiByte(CP_ACP, 0, name.c_str(), static_cast<int>(name.size()),
                                        narrow.data(), static_cast<int>(narrow.size()), nullptr,
                                        nullptr));
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveAnyLength(h, rel + "/" + narrow);
      else DeleteFileW((dir + L"\\" + name).c_str());
    } while (FindNextFileW(f, &fd));
    FindClose(f);
  }
  RemoveDirectoryW(dir.c_str());
#else
  (void)h;
  (void)rel;  // the sandbox removes it
#endif
}

// Paths longer than 260 bytes, for the host's files and the target folder:
// whatever the system allows, the call ends with a code, the host's files
// stay, and nothing lands outside the work folder and the target.
TEST_F(HostileInput, PathsPastTwoHundredSixtyBytes) {
  const std::string deep = "long/" + std::string(120, 'd') + "/" + std::string(120, 'e');
  WriteAnyLength(h, deep + "/" + std::string(40, 'f') + ".txt", "deep data");
  const std::string hostFile = h.Path(deep + "/" + std::string(40, 'f') + ".txt");
  ASSERT_GT(hostFile.size(), 300u);
  const std::string xml = PackagesXml({{"", {hostFile}}});
  const std::string target = Folder("out/" + std::string(150, 'o') + "/" + std::string(150, 'p'));
  struct Case {
    const char* what;
    std::function<CallResult()> call;
    std::string targetRel;  // where the data must arrive, "" for the work folder only
  };
  const Case cases[] = {
      {"the host's file copied into a long target folder",
       [&] { return h.Export("NOSTEPS", xml, target); },
       "out/" + std::string(150, 'o') + "/" + std::string(150, 'p') + "/" + std::string(40, 'f') + ".txt"},
      {"the host's file through a whole exchange", [&] {
         CallOptions o;
         o.TaskParam = kTaskParam;
         return h.Transmit("FULL", xml, o);
       }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TreeSnapshot before = Snapshot(h);
    const CallResult r = c.call();
    const CallTrace t = TraceCall(h, before);
    if (dv::plat::kWindowsPaths && r.Code != 0) {
      // The system may refuse paths this long; then the call says so.
      EXPECT_EQ(r.Code, -1);
      EXPECT_FALSE(r.ResultMsg.empty());
    } else {
      EXPECT_EQ(r.Code, 0) << r.ResultMsg;
      if (!c.targetRel.empty()) {
        EXPECT_EQ(h.Read(c.targetRel), "deep data");
      } else {
        const std::vector<Package> out = ReadPackagesXml(r.Text);
        ASSERT_EQ(out.size(), 1u);
        ASSERT_EQ(out[0].Files.size(), 1u);
        EXPECT_EQ(ReadAbs(out[0].Files[0]), "deep data");
      }
    }
    ExpectHostUnchangedAndNothingOutside(before, t, r.ResultMsg, {}, {"out/"});
  }
  RemoveAnyLength(h, "long");
  RemoveAnyLength(h, "out");
}

// GBK names whose characters end in 0x5C: the byte is part of the character,
// never a separator, in file names, folder names and target folders.
TEST_F(HostileInput, GbkNamesWhoseCharactersEndInTheBackslashByte) {
  const std::string dir = "data/" + kTrail5C + "/" + kTrail5C + "x" + kTrail5C;
  const std::string name = kTrail5C + "a" + kTrail5C + ".txt";
  h.Write(dir + "/" + name, "gbk data");
  const std::string hostFile = h.Path(dir + "/" + name);
  const std::string xml = PackagesXml({{"", {hostFile}}});
  const std::string encodedName = kTrail5C + "a" + kTrail5C + ".b64";

  {
    SCOPED_TRACE("an output named after the host's file, delivered into a folder so named");
    const std::string target = Folder("out" + kTrail5C);
    const TreeSnapshot before = Snapshot(h);
    const CallResult r = h.Export("CODE", xml, target);
    const CallTrace t = TraceCall(h, before);
    ASSERT_EQ(r.Code, 0) << r.ResultMsg;
    EXPECT_EQ(h.List("out" + kTrail5C), (Strings{encodedName}));
    EXPECT_EQ(h.Read(t.workRel + encodedName), h.Read("out" + kTrail5C + "/" + encodedName));
    ExpectHostUnchangedAndNothingOutside(before, t, r.ResultMsg, {}, {"out" + kTrail5C + "/"});
  }
  {
    SCOPED_TRACE("a target folder whose last character only looks like a separator");
    const TreeSnapshot before = Snapshot(h);
    const CallResult r = h.Export("NOSTEPS", xml, h.Path("new" + kTrail5C));
    const CallTrace t = TraceCall(h, before);
    EXPECT_EQ(r.Code, -1);
    EXPECT_EQ(r.ResultMsg, kNeedFolder);
    EXPECT_FALSE(h.Exists("new" + kTrail5C));
    EXPECT_FALSE(h.Exists("new\x95"));
    ExpectHostUnchangedAndNothingOutside(before, t, r.ResultMsg);
  }
  {
    SCOPED_TRACE("the host's file through a whole exchange");
    CallOptions o;
    o.TaskParam = kTaskParam;
    const TreeSnapshot before = Snapshot(h);
    const CallResult r = h.Transmit("FULL", PackagesXml({{"", {h.Path(dir + "/plain.txt")}}}), o);
    const CallTrace t = TraceCall(h, before);
    EXPECT_EQ(r.Code, -1) << "the file does not exist yet";
    h.Write(dir + "/plain.txt", "through " + kTrail5C);
    const TreeSnapshot before2 = Snapshot(h);
    const CallResult r2 = h.Transmit("FULL", PackagesXml({{"", {h.Path(dir + "/plain.txt")}}}), o);
    const CallTrace t2 = TraceCall(h, before2);
    ASSERT_EQ(r2.Code, 0) << r2.ResultMsg;
    const std::vector<Package> out = ReadPackagesXml(r2.Text);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].Files.size(), 1u);
    EXPECT_EQ(out[0].Files[0], t2.workDir + "plain.txt");
    EXPECT_EQ(ReadAbs(out[0].Files[0]), "through " + kTrail5C);
    ExpectHostUnchangedAndNothingOutside(before, t, r.ResultMsg);
    ExpectHostUnchangedAndNothingOutside(before2, t2, r2.ResultMsg);
  }
}

// A host message far past the libraries' 10 KiB buffer passes every library
// whole, and what a library adds to it comes back.
TEST_F(HostileInput, AHostMessagePastTenKilobytesThroughAWholeExchange) {
  std::string msg;
  for (int i = 0; i < 1000; ++i)
    msg = dv::SetParamValue(msg, "Entry" + std::to_string(i),
                            std::string(24, 'v') + "=;" + std::to_string(i));
  ASSERT_GT(msg.size(), 30u << 10);
  CallOptions o;
  o.TaskParam = kTaskParam;
  o.Msg = msg;
  const TreeSnapshot before = Snapshot(h);
  const CallResult r = h.Transmit("FULL", PackagesXml({{"", {h.Path("data/a.txt")}}}), o);
  const CallTrace t = TraceCall(h, before);
  ASSERT_EQ(r.Code, 0) << Shown(r.ResultMsg);
  for (int i = 0; i < 1000; i += 37)
    EXPECT_EQ(dv::GetParamValue(r.Msg, "Entry" + std::to_string(i)),
              std::string(24, 'v') + "=;" + std::to_string(i));
  // Every library call got the whole message so far.
  for (const auto& call : h.Box().Calls())
    EXPECT_EQ(dv::GetParamValue(call.back(), "Entry999"), std::string(24, 'v') + "=;999")
        << call[0];
  ExpectHostUnchangedAndNothingOutside(before, t, Shown(r.ResultMsg));
}

// A backup list of hundreds of files makes a message far past 10 KiB; it
// reaches the next library whole and comes back to the host.
TEST_F(HostileInput, ABackupListOfHundredsOfFiles) {
  constexpr int kPackages = 300;
  std::vector<Package> packages;
  for (int i = 0; i < kPackages; ++i) {
    h.Write("batch/file" + std::to_string(i) + ".txt", "content " + std::to_string(i));
    packages.push_back({"", {h.Path("batch/file" + std::to_string(i) + ".txt")}});
  }
  h.Box().MakeDirs("out");
  h.Box().ClearCallLog();
  const TreeSnapshot before = Snapshot(h);
  const CallResult r = h.Export("ZIPREQ", PackagesXml(packages), Folder("out"));
  const CallTrace t = TraceCall(h, before);
  ASSERT_EQ(r.Code, 0) << Shown(r.ResultMsg);
  const Strings backups = dv::SplitLines(dv::GetParamValue(r.Msg, "Bak"));
  ASSERT_EQ(backups.size(), static_cast<std::size_t>(kPackages));
  EXPECT_GT(r.Msg.size(), 10u << 10);
  for (int i = 0; i < kPackages; i += 29) {
    std::vector<std::pair<std::string, std::string>> files;
    ASSERT_TRUE(ParseArchive(ReadAbs(backups[i]), files)) << backups[i];
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].second, "content " + std::to_string(i));
  }
  // The message library got the whole list in its message.
  const auto calls = h.Box().CallsOf("MessagePacket");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(dv::SplitLines(dv::GetParamValue(calls[0].back(), "Bak")).size(),
            static_cast<std::size_t>(kPackages));
  ExpectHostUnchangedAndNothingOutside(before, t, Shown(r.ResultMsg), {}, {"out/"});
}

}  // namespace
}  // namespace dvtest::e2e
