// The four exports called through the loaded component: the main road, the
// operations' own failures, what goes back into the host's buffers, null
// pointers, and the connection check.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/params.h"
#include "e2e_harness.h"

namespace dvtest::e2e {
namespace {

constexpr const char* kNeedFolder = "没有配置报文生成步骤，必须传入目录！";
constexpr const char* kBadInput = "输入文件参数有误！";
constexpr const char* kCopyFailed = "拷贝文件发生错误！";
constexpr const char* kEmptyTarget = "目标路径不能为空！";
constexpr const char* kEmptyInPath = "原始文件不能为空！";
constexpr const char* kFolderWithResponse = "因为配置了报文解析步骤，不能输入目录！";
constexpr bool kWin = kSep == '\\';

std::string EmptyFolderMsg(const std::string& dir) {
  return std::string("指定目录[") + dir + "]找不到任何文件！";
}
std::string MissingStepsMsg(const std::string& taskCfg) {
  return std::string("任务配置信息文件[") + taskCfg +
         "]配置有误：报文生成、通讯、报文解析过程必须存在！";
}

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    h.Configure({
        {.TaskID = "NOSTEPS"},
        {.TaskID = "RESPONSE", .Steps = {{.Kind = "Response", .Name = "msg"}}},
        {.TaskID = "EXCHANGE",
         .Steps = {{.Kind = "Request", .Name = "msg"},
                   {.Kind = "Communication", .Name = "net"},
                   {.Kind = "Response", .Name = "msg"}}},
        {.TaskID = "NOCOMM",
         .Steps = {{.Kind = "Request", .Name = "msg"}, {.Kind = "Response", .Name = "msg"}}},
        {.TaskID = "NOREQUEST",
         .Steps = {{.Kind = "Communication", .Name = "net"}, {.Kind = "Response", .Name = "msg"}}},
        {.TaskID = "NORESPONSE",
         .Steps = {{.Kind = "Request", .Name = "msg"}, {.Kind = "Communication", .Name = "net"}}},
    });
  }
  // A host data file outside the component's own files.
  std::string Data(const std::string& name, const std::string& bytes) {
    h.Write("data/" + name, bytes);
    return h.Path("data/" + name);
  }
  std::string Folder(const std::string& rel) const { return h.Path(rel) + kSep; }

  Harness h;
};

TEST_F(Exports, MainRoadCopiesEveryHostFileIntoTheTargetFolder) {
  const std::string a = Data("a.txt", "first a"), b = Data("b.txt", "b");
  const std::string a2 = Data("more/a.txt", "second a");
  h.Box().MakeDirs("out");
  const std::string xml = PackagesXml({{"T1", {a, b}}, {"", {a2}}});
  CallOptions o;
  o.Msg = "Operator=demo;Note=x&eq%y";
  const CallResult r = h.Export("NOSTEPS", xml, h.Path("out"), o);
  EXPECT_EQ(r.Code, 0) << r.ResultMsg;
  EXPECT_EQ(r.Msg, o.Msg) << "the message goes back as it came";
  EXPECT_EQ(r.Text, h.Path("out")) << "and so does the target path";
  EXPECT_EQ(h.List("out"), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(h.Read("out/a.txt"), "second a") << "the later file of a name wins";
  EXPECT_EQ(h.Read("out/b.txt"), "b");
  EXPECT_EQ(h.Read("data/a.txt"), "first a") << "the host's files stay";
  EXPECT_EQ(h.Read("data/more/a.txt"), "second a");
  ASSERT_EQ(h.WorkFolders().size(), 1u);
  EXPECT_TRUE(h.List("temp/" + h.WorkFolders()[0]).empty()) << "the work folder stays empty";
  EXPECT_TRUE(h.Box().Calls().empty()) << "no library is loaded";
}

TEST_F(Exports, MainRoadTargetFolders) {
  const std::string a = Data("a.txt", "a");
  const std::string xml = PackagesXml({{"", {a}}});
  struct Case {
    const char* what;
    std::string target;
    int code;
    std::string msg;
    std::string delivered;  // folder (relative) that must hold a.txt; empty: none
  };
  const Case cases[] = {
      {"a new folder chain written with a trailing separator", Folder("new/deep/er"), 0, "",
       "new/deep/er"},
      {"a relative folder resolves against the component's folder",
       std::string("rel") + kSep + "out" + kSep, 0, "", "rel/out"},
      {"a relative folder of two bytes", std::string("ab") + kSep, 0, "", "ab"},
      {"a new folder without the trailing separator is no folder", h.Path("nosep"), -1,
       kNeedFolder, ""},
      // "/" ends a folder's name on every platform, "\" on Windows only; a
      // double-byte character with trail byte 0x5C ends none.
      {"a new folder written with a trailing \"/\"", h.Path("slash") + "/", 0, "", "slash"},
      {"a new folder written with a trailing \"\\\"", h.Path("bsl") + "\\", kWin ? 0 : -1,
       kWin ? "" : kNeedFolder, kWin ? "bsl" : ""},
      {"a name ending in trail byte 0x5C is no folder", h.Path("\x95\x5C"), -1, kNeedFolder,
       ""},
      {"a new folder ending in trail byte 0x5C, then \"/\"", h.Path("\x95\x5C") + "/", 0, "",
       "\x95\x5C"},
      {"an existing file is no folder", a, -1, kNeedFolder, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CallResult r = h.Export("NOSTEPS", xml, c.target);
    EXPECT_EQ(r.Code, c.code);
    EXPECT_EQ(r.ResultMsg, c.msg);
    EXPECT_EQ(r.Text, c.target);
    if (!c.delivered.empty()) {
      EXPECT_EQ(h.Read(c.delivered + "/a.txt"), "a");
    }
  }
  EXPECT_FALSE(h.Exists("nosep"));
}

TEST_F(Exports, AnEmptyPackageListOnlyCreatesTheTargetFolder) {
  for (bool nullXml : {false, true}) {
    CallOptions o;
    o.NullInput = nullXml;
    const std::string target = Folder(nullXml ? "fromnull" : "fromempty");
    const CallResult r = h.Export("NOSTEPS", "", target, o);
    EXPECT_EQ(r.Code, 0) << r.ResultMsg;
    EXPECT_TRUE(h.Exists(nullXml ? "fromnull" : "fromempty"));
  }
}

TEST_F(Exports, AnEmptyTargetIsRefusedAndNothingLandsInTheComponentsFolder) {
  const std::string lib = std::string("Tressil") + kLibSuffix;
  const std::string a = Data(lib, "not a library");
  const std::string before = h.Read(lib);
  const struct {
    std::string target, xml;
    const char* msg;  // an unreadable Packages XML is told first
  } cases[] = {{"", PackagesXml({{"", {a}}}), kEmptyTarget},
               {"   ", PackagesXml({{"", {a}}}), kEmptyTarget},
               {"", "<Packages>", kBadInput}};
  for (const auto& c : cases) {
    SCOPED_TRACE("[" + c.target + "] " + c.msg);
    const CallResult r = h.Export("NOSTEPS", c.xml, c.target);
    EXPECT_EQ(r.Code, -1);
    EXPECT_EQ(r.ResultMsg, c.msg);
    EXPECT_EQ(r.Text, c.target);
    EXPECT_EQ(h.Read(lib), before) << "a sibling library was replaced";
  }
}

TEST_F(Exports, AFailedCopyIsReportedAfterEveryOtherFileIsDelivered) {
  const std::string a = Data("a.txt", "a"), c = Data("c.txt", "c");
  const std::string xml = PackagesXml({{"", {a, h.Path("data/missing.txt")}}, {"", {c}}});
  const CallResult r = h.Export("NOSTEPS", xml, Folder("out"));
  EXPECT_EQ(r.Code, -1);
  EXPECT_EQ(r.ResultMsg, kCopyFailed);
  EXPECT_EQ(h.List("out"), (std::vector<std::string>{"a.txt", "c.txt"}));
}

TEST_F(Exports, AFileAlreadyInTheTargetFolderCountsAsDelivered) {
  h.Write("out/a.txt", "precious");
  const CallResult r = h.Export("NOSTEPS", PackagesXml({{"", {h.Path("out/a.txt")}}}),
                                Folder("out"));
  EXPECT_EQ(r.Code, 0) << r.ResultMsg;
  EXPECT_EQ(h.Read("out/a.txt"), "precious");
}

TEST_F(Exports, UnreadablePackagesXmlIsRefused) {
  const std::string a = Data("a.txt", "a");
  const std::string bad[] = {
      "<Packages><Package>",                                   // not well-formed
      "<?xml version=\"1.0\"?><Packages/>",                     // no package
      "<Packages><Package><Files/></Package></Packages>",      // a package without files
      "<Packages><Package><TargetName>x</TargetName></Package></Packages>",  // no Files
  };
  for (const std::string& xml : bad) {
    SCOPED_TRACE(xml);
    const CallResult r = h.Export("NOSTEPS", xml, Folder("out"));
    EXPECT_EQ(r.Code, -1);
    EXPECT_EQ(r.ResultMsg, kBadInput);
    const CallResult t = h.Transmit("EXCHANGE", xml);
    EXPECT_EQ(t.Code, -1);
    EXPECT_EQ(t.ResultMsg, kBadInput);
    EXPECT_FALSE(t.TextTouched);
  }
  EXPECT_FALSE(h.Exists("out"));
  EXPECT_TRUE(h.Box().Calls().empty()) << "no step ran";
}

TEST_F(Exports, AStoredConfigurationErrorEndsEveryTaskOperation) {
  struct Case {
    const char* what;
    std::string config;  // component configuration file passed
    std::string task;
    std::string msg;
  };
  const Case cases[] = {
      {"missing component configuration", "nope.xml", "NOSTEPS",
       "找不到配置信息文件[nope.xml]！"},
      {"unknown task", "component.xml", "NOPE",
       "任务配置信息文件[tasks.xml]找不到任务ID[NOPE]，请检查该文件的正确性！"},
  };
  const std::string xml = PackagesXml({{"", {Data("a.txt", "a")}}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CallOptions o;
    o.ConfigFile = c.config;
    o.Msg = "keep=1";
    const CallResult e = h.Export(c.task, xml, Folder("out"), o);
    EXPECT_EQ(e.Code, -1);
    EXPECT_EQ(e.ResultMsg, c.msg);
    EXPECT_EQ(e.Msg, "keep=1;ResultMsgStr=" + c.msg) << "other entries stay";
    EXPECT_EQ(e.Text, Folder("out")) << "DataExport gives the target path back unchanged";
    const CallResult i = h.Import(c.task, h.Path("data/a.txt"), o);
    EXPECT_EQ(i.Code, -1);
    EXPECT_EQ(i.ResultMsg, c.msg);
    EXPECT_TRUE(i.TextTouched);
    EXPECT_EQ(i.Text, "") << "DataImport writes an empty output text";
    const CallResult t = h.Transmit(c.task, xml, o);
    EXPECT_EQ(t.Code, -1);
    EXPECT_EQ(t.ResultMsg, c.msg);
    EXPECT_FALSE(t.TextTouched) << "DataTransmit leaves OutBuf as the host left it";
    EXPECT_EQ(t.Text, "UNTOUCHED");
  }
  EXPECT_FALSE(h.Exists("out"));
}

TEST_F(Exports, ImportChecksItsInputPath) {
  h.Box().MakeDirs("empty");
  h.Write("full/x.msg", "x");
  h.Write("full/sub/y.msg", "y");
  struct Case {
    const char* what;
    std::string task;
    std::string inPath;
    int code;
    std::string msg;
  };
  const std::string blanks = "  ";
  const Case cases[] = {
      {"empty input path", "RESPONSE", "", -1, kEmptyInPath},
      {"empty folder, as the host wrote it", "NOSTEPS", h.Path("empty"), -1,
       EmptyFolderMsg(h.Path("empty"))},
      {"empty folder, relative with a separator", "NOSTEPS", std::string("empty") + kSep, -1,
       EmptyFolderMsg(std::string("empty") + kSep)},
      {"empty folder checked before the Response step", "RESPONSE", h.Path("empty"), -1,
       EmptyFolderMsg(h.Path("empty"))},
      {"a folder while the Response step is configured", "RESPONSE", h.Path("full"), -1,
       kFolderWithResponse},
      {"a folder without a Response step", "NOSTEPS", h.Path("full"), 0, ""},
      {"a file without a Response step", "NOSTEPS", h.Path("full/x.msg"), 0, ""},
      {"blanks name the component's folder", "NOSTEPS", blanks, 0, ""},
      {"blanks name a folder, refused with a Response step", "RESPONSE", blanks, -1,
       kFolderWithResponse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CallResult r = h.Import(c.task, c.inPath);
    EXPECT_EQ(r.Code, c.code);
    EXPECT_EQ(r.ResultMsg, c.msg);
    EXPECT_TRUE(r.TextTouched) << "DataImport always writes its output text";
    EXPECT_EQ(r.Text, "");
  }
  CallOptions o;
  o.NullInput = true;
  const CallResult r = h.Import("RESPONSE", "ignored", o);
  EXPECT_EQ(r.ResultMsg, kEmptyInPath) << "a null InPath reads as empty";
  EXPECT_TRUE(h.Box().Calls().empty()) << "no step ran";
  EXPECT_TRUE(h.Exists("full/x.msg")) << "the host's file stays";
}

TEST_F(Exports, TransmitNeedsTheThreeExchangeSteps) {
  for (const char* task : {"NOSTEPS", "NOCOMM", "NOREQUEST", "NORESPONSE"}) {
    SCOPED_TRACE(task);
    const CallResult r = h.Transmit(task, PackagesXml({{"", {Data("a.txt", "a")}}}));
    EXPECT_EQ(r.Code, -1);
    EXPECT_EQ(r.ResultMsg, MissingStepsMsg("tasks.xml"));
    EXPECT_FALSE(r.TextTouched);
  }
  // The message names the task configuration file as configured.
  ComponentCfg cfg;
  cfg.TaskCfgFile = std::string("conf") + kSep + "my tasks.xml";
  h.WriteComponentCfg(cfg);
  h.WriteTasks({{.TaskID = "NOCOMM", .Steps = {{.Kind = "Request"}, {.Kind = "Response"}}}},
               "conf/my tasks.xml");
  const CallResult r = h.Transmit("NOCOMM", "");
  EXPECT_EQ(r.ResultMsg, MissingStepsMsg(cfg.TaskCfgFile));
  EXPECT_TRUE(h.Box().Calls().empty());
}

TEST_F(Exports, NullTextPointersReadAsEmptyTexts) {
  const std::string xml = PackagesXml({{"", {Data("a.txt", "a")}}});
  struct Case {
    const char* what;
    CallOptions o;
    int code;
    std::string msg;
  };
  std::vector<Case> cases(4);
  cases[0] = {"ConfigFile", {}, -1, "找不到配置信息文件[]！"};
  cases[0].o.NullConfigFile = true;
  cases[1] = {"TaskID", {}, -1,
              "任务配置信息文件[tasks.xml]找不到任务ID[]，请检查该文件的正确性！"};
  cases[1].o.NullTaskID = true;
  cases[2] = {"TaskParam", {}, 0, ""};
  cases[2].o.NullTaskParam = true;
  cases[3] = {"InPackagesXml: an empty package list", {}, 0, ""};
  cases[3].o.NullInput = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CallResult r = h.Export("NOSTEPS", xml, Folder("out"), c.o);
    EXPECT_EQ(r.Code, c.code);
    EXPECT_EQ(r.ResultMsg, c.msg);
  }
}

TEST_F(Exports, ANullMessageBufferIsReadAsEmptyAndNotWritten) {
  const std::string xml = PackagesXml({{"", {Data("a.txt", "a")}}});
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "MsgBuf null" : "MsgBuf leads to a null pointer");
    CallOptions o;
    o.NullMsgBuf = which == 0;
    o.NullMsgPointer = which == 1;
    o.Msg = "never=read";
    EXPECT_EQ(h.Export("NOSTEPS", xml, Folder("out"), o).Code, 0);
    const CallResult e = h.Export("NOSTEPS", "<bad", Folder("out"), o);
    EXPECT_EQ(e.Code, -1);
    EXPECT_FALSE(e.MsgTouched);
    const CallResult i = h.Import("NOSTEPS", "", o);
    EXPECT_EQ(i.Code, -1);
    EXPECT_FALSE(i.MsgTouched);
    EXPECT_TRUE(i.TextTouched);
    const CallResult t = h.Transmit("NOSTEPS", xml, o);
    EXPECT_EQ(t.Code, -1);
    EXPECT_FALSE(t.MsgTouched);
    h.Box().SetMode("Tressil", "IsConnected", "false");
    const CallResult c = h.Connected("net", o);
    EXPECT_EQ(c.Code, 0);
    EXPECT_FALSE(c.MsgTouched);
    const auto calls = h.Box().CallsOf("IsConnected");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().back(), "") << "the library got the empty message";
  }
}

TEST_F(Exports, ConfigurationPathsResolveAgainstTheComponentsFolder) {
  // A decoy in the host's current directory must not be read.
  h.Write("host/component.xml", ComponentCfgXml({.TaskCfgFile = "decoy.xml"}));
  h.Box().MakeDirs("out");
  const CallResult r = h.Export("NOSTEPS", "", h.Path("out"));
  EXPECT_EQ(r.Code, 0) << r.ResultMsg;
  EXPECT_EQ(r.CwdAfter, r.CwdBefore);
}

TEST_F(Exports, IsConnectedAsksTheCommunicationLibrary) {
  const CallResult yes = h.Connected("net=1");
  EXPECT_EQ(yes.Code, 1) << yes.ResultMsg;
  auto calls = h.Box().CallsOf("IsConnected");
  ASSERT_EQ(calls.size(), 1u);
  // Export name, window handle (the component passes its own, null), the
  // communication and proxy configuration files, the network parameter.
  ASSERT_GE(calls[0].size(), 5u);
  EXPECT_EQ(calls[0][1], "0");
  EXPECT_EQ(calls[0][2], "Tressil.cfg");
  EXPECT_EQ(calls[0][3], "proxy.cfg");
  EXPECT_EQ(calls[0][4], "net=1");
  EXPECT_TRUE(h.Box().CallsOf("IsServerConnected").empty());

  h.Box().SetMode("Tressil", "IsConnected", "false");
  CallOptions o;
  o.Msg = "keep=1";
  const CallResult no = h.Connected("net=1", o);
  EXPECT_EQ(no.Code, 0);
  EXPECT_EQ(no.ResultMsg, "判断网络是否连通过程中通讯组件内部发生异常！");
  EXPECT_EQ(dv::GetParamValue(no.Msg, "keep"), "1");

  // A fault or an exception inside the library stays inside the component.
  for (const char* mode : {"fault", "throw"}) {
    SCOPED_TRACE(mode);
    h.Box().SetMode("Tressil", "IsConnected", mode);
    const LeaksIgnored doublesOwn;
    const CallResult broken = h.Connected("net=1", o);
    EXPECT_EQ(broken.Code, 0);
    EXPECT_EQ(broken.ResultMsg, "判断网络是否连通过程中调用通讯组件发生异常！");
    EXPECT_EQ(dv::GetParamValue(broken.Msg, "keep"), "1");
  }

  h.Box().Remove("Tressil");
  const CallResult missing = h.Connected("net=1");
  EXPECT_EQ(missing.Code, 0);
  EXPECT_EQ(missing.ResultMsg, "判断网络是否连通过程中调用通讯组件发生异常！");
}

TEST_F(Exports, IsConnectedCallsTheLibraryEvenWithABrokenConfiguration) {
  struct Case {
    const char* what;
    std::string config;
    std::string commun, proxy;  // what the library must receive
  };
  h.Write("broken.xml", "<Config><CommunCfgFile>c.cfg</CommunCfgFile><CodeCfgFile><x/>"
                        "</CodeCfgFile><ProxyCfgFile>p.cfg</ProxyCfgFile></Config>");
  h.WriteComponentCfg({.TaskCfgFile = "missing-tasks.xml", .CommunCfgFile = "c2.cfg",
                       .ProxyCfgFile = "p2.cfg"},
                      "notasks.xml");
  const Case cases[] = {
      {"missing configuration", "nope.xml", "", ""},
      {"configuration that stops reading before CommunCfgFile", "broken.xml", "", ""},
      {"task configuration missing", "notasks.xml", "c2.cfg", "p2.cfg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    h.Box().ClearCallLog();
    CallOptions o;
    o.ConfigFile = c.config;
    const CallResult r = h.Connected("net", o);
    EXPECT_EQ(r.Code, 1) << r.ResultMsg;
    EXPECT_EQ(r.ResultMsg, "") << "the stored configuration message is not reported";
    const auto calls = h.Box().CallsOf("IsConnected");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0][2], c.commun);
    EXPECT_EQ(calls[0][3], c.proxy);
  }
}

TEST_F(Exports, IsConnectedLeavesTheHostsMessageWhenTheTextComesBackEmpty) {
  h.Box().Set("Tressil", "IsConnected.msg", "");
  CallOptions o;
  o.Msg = "host=1";
  const CallResult r = h.Connected("net", o);
  EXPECT_EQ(r.Code, 1);
  EXPECT_FALSE(r.MsgTouched);
  EXPECT_EQ(r.Msg, "host=1");
  h.Box().Set("Tressil", "IsConnected.msg", "lib=2");
  EXPECT_EQ(h.Connected("net", o).Msg, "lib=2");
}

TEST_F(Exports, EveryCallLeavesOneWorkFolderAndRestoresTheCurrentDirectory) {
  h.Box().MakeDirs("out");
  CallOptions o;
  o.HostCwd = h.Path("data");
  h.Box().MakeDirs("data");
  std::vector<CallResult> results;
  results.push_back(h.Export("NOSTEPS", "", h.Path("out"), o));
  results.push_back(h.Export("NOPE", "", h.Path("out"), o));
  results.push_back(h.Import("NOSTEPS", "", o));
  results.push_back(h.Transmit("NOSTEPS", "", o));
  results.push_back(h.Connected("", o));
  for (const CallResult& r : results) {
    EXPECT_EQ(r.CwdAfter, r.CwdBefore);
    EXPECT_NE(r.CwdBefore, "");
  }
  EXPECT_EQ(h.WorkFolders().size(), results.size());
  EXPECT_TRUE(h.Exists("task_backup"));
}

}  // namespace
}  // namespace dvtest::e2e
