// Loading the component and task configuration, and the call's folders:
// the messages in the order the loaders meet the failures, what is kept
// after one, task matching, the step records and the work folders.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <memory>
#include <string>
#include <thread>

#include "engine/task_process.h"
#include "unit/engine/engine_fixture.h"

namespace dv {
namespace {

using testing::ComponentFolder;
using testing::kGbkDecl;
using testing::kSep;

std::string Xml(const std::string& body) { return kGbkDecl + body; }

std::string ComponentCfg(const std::string& taskCfg) {
  return Xml("<Config><TaskCfgFile>" + taskCfg + "</TaskCfgFile></Config>");
}

std::string Task(const std::string& id, const std::string& rest = "<Steps/>") {
  return "<Task><TaskID>" + id + "</TaskID>" + rest + "</Task>";
}

class ConfigTest : public ::testing::Test {
 protected:
  // Component configuration "c.xml" naming "t.xml", which holds tasks.
  std::unique_ptr<TTaskProcess> LoadTasks(const std::string& tasks, const std::string& id) {
    f.Write("c.xml", ComponentCfg("t.xml"));
    f.Write("t.xml", Xml("<Tasks>" + tasks + "</Tasks>"));
    return std::make_unique<TTaskProcess>("c.xml", id, "param");
  }
  // One task "T" with the given steps; expects it to load.
  std::unique_ptr<TTaskProcess> LoadSteps(const std::string& steps, const std::string& rest = "") {
    auto p = LoadTasks(Task("T", rest + "<Steps>" + steps + "</Steps>"), "T");
    EXPECT_TRUE(p->FInitialized) << p->FErrorMsg;
    return p;
  }
  ComponentFolder f;
};

std::string NotFound(const std::string& p) { return "找不到配置信息文件[" + p + "]！"; }
std::string ParseFailed(const std::string& p) {
  return "解析配置信息文件[" + p + "]出错，请检查该文件的正确性！";
}
std::string TaskNotFoundFile(const std::string& p) { return "找不到任务配置信息文件[" + p + "]！"; }
std::string TaskParseFailed(const std::string& p) {
  return "解析任务配置信息文件[" + p + "]出错，请检查该文件的正确性！";
}
std::string TaskInitFailed(const std::string& p) {
  return "初始化任务配置信息文件[" + p + "]出错，请检查该文件的正确性！";
}

TEST_F(ConfigTest, ComponentConfigurationThatCannotBeOpened) {
  f.MakeDir("folder.xml");
  f.Write("empty.xml", "");
  f.Write("broken.xml", Xml("<Config><TaskCfgFile>t.xml</Config>"));
  f.Write("text.xml", "TaskCfgFile=t.xml");
  const struct {
    std::string path;
    std::string msg;
  } cases[] = {
      {"missing.xml", NotFound("missing.xml")},
      {"folder.xml", NotFound("folder.xml")},
      {"", NotFound("")},
      {"empty.xml", ParseFailed("empty.xml")},
      {"broken.xml", ParseFailed("broken.xml")},
      {"text.xml", ParseFailed("text.xml")},
  };
  for (const auto& c : cases) {
    const TTaskProcess p(c.path, "T", "");
    EXPECT_FALSE(p.FInitialized) << c.path;
    EXPECT_EQ(p.FErrorMsg, c.msg) << c.path;
  }
}

TEST_F(ConfigTest, UnreadableComponentConfigurationGivesTheParseMessage) {
  const std::string path = f.Write("locked.xml", ComponentCfg("t.xml"));
#if defined(_WIN32)
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const TTaskProcess p("locked.xml", "T", "");
  CloseHandle(h);
#else
  chmod(path.c_str(), 0);
  std::string bytes;
  if (plat::ReadFileBytes(path, bytes)) GTEST_SKIP() << "permissions do not stop this user";
  const TTaskProcess p("locked.xml", "T", "");
#endif
  EXPECT_EQ(p.FErrorMsg, ParseFailed("locked.xml"));
}

TEST_F(ConfigTest, ComponentValuesReadBeforeAReadingErrorStay) {
  for (const char* bad : {"<x/>", "<!--c-->", "a<x/>b"}) {
    f.Write("c.xml", Xml(std::string("<Config><TaskCfgFile>t.xml</TaskCfgFile><CompressCfgFile>z"
                                     "</CompressCfgFile><CryptCfgFile>y</CryptCfgFile><CodeCfgFile>") +
                         bad +
                         "</CodeCfgFile><CommunCfgFile>n</CommunCfgFile><MessageCfgFile>m</"
                         "MessageCfgFile><ProxyCfgFile>p</ProxyCfgFile></Config>"));
    const TTaskProcess p("c.xml", "T", "");
    EXPECT_EQ(p.FErrorMsg, "初始化配置信息文件[c.xml]出错，请检查该文件的正确性！") << bad;
    const TComponentCfg& c = p.FComponentCfg;
    EXPECT_EQ(c.TaskCfgFile + c.CompressCfgFile + c.CryptCfgFile, "t.xmlzy") << bad;
    EXPECT_EQ(c.CodeCfgFile + c.CommunCfgFile + c.MessageCfgFile + c.ProxyCfgFile, "") << bad;
  }
}

TEST_F(ConfigTest, ComponentValuesByExactNameTrimmed) {
  f.Write("t.xml", Xml("<Tasks>" + Task("T") + "</Tasks>"));
  f.Write("c.xml", Xml("<AnyRoot>\r\n <ProxyCfgFile>\tp.ini </ProxyCfgFile>"
                       "<TaskCfgFile>\r\n t.xml\r\n</TaskCfgFile><TaskCfgFile>other.xml</TaskCfgFile>"
                       "<compresscfgfile>lower.ini</compresscfgfile>"
                       "<CryptCfgFile><![CDATA[ 加密.ini ]]></CryptCfgFile><CodeCfgFile/>"
                       "<CommunCfgFile>n.ini</CommunCfgFile><MessageCfgFile>m.ini</MessageCfgFile>"
                       "</AnyRoot>"));
  const TTaskProcess p("c.xml", "T", "");
  EXPECT_TRUE(p.FInitialized) << p.FErrorMsg;
  const TComponentCfg& c = p.FComponentCfg;
  EXPECT_EQ(c.TaskCfgFile, "t.xml");
  EXPECT_EQ(c.CompressCfgFile, "");
  EXPECT_EQ(c.CryptCfgFile, "加密.ini");
  EXPECT_EQ(c.CodeCfgFile, "");
  EXPECT_EQ(c.CommunCfgFile, "n.ini");
  EXPECT_EQ(c.MessageCfgFile, "m.ini");
  EXPECT_EQ(c.ProxyCfgFile, "p.ini");

  f.Write("c.xml", Xml("<Config><taskcfgfile>t.xml</taskcfgfile></Config>"));
  EXPECT_EQ(TTaskProcess("c.xml", "T", "").FErrorMsg, TaskNotFoundFile(""));
}

TEST_F(ConfigTest, TaskConfigurationFailures) {
  const struct {
    const char* label;
    std::string taskCfg;  // written to t.xml, or nothing
    std::string msg;
  } cases[] = {
      {"empty file", "", TaskParseFailed("t.xml")},
      {"malformed", Xml("<Tasks><Task></Tasks>"), TaskParseFailed("t.xml")},
      {"no task matches", Xml("<Tasks>" + Task("A") + "<task><TaskID>T</TaskID></task></Tasks>"),
       "任务配置信息文件[t.xml]找不到任务ID[T]，请检查该文件的正确性！"},
      {"task without Steps", Xml("<Tasks>" + Task("T", "") + "</Tasks>"), TaskInitFailed("t.xml")},
      {"unreadable TaskID before the match",
       Xml("<Tasks>" + Task("A<x/>") + Task("T") + "</Tasks>"), TaskInitFailed("t.xml")},
      {"reading error in Decrypt",
       Xml("<Tasks>" + Task("T", "<Steps><Decrypt><FileName><!--c--></FileName></Decrypt></Steps>") +
           "</Tasks>"),
       TaskInitFailed("t.xml")},
  };
  for (const auto& c : cases) {
    f.Write("c.xml", ComponentCfg("t.xml"));
    f.Write("t.xml", c.taskCfg);
    const TTaskProcess p("c.xml", "T", "");
    EXPECT_FALSE(p.FInitialized) << c.label;
    EXPECT_EQ(p.FErrorMsg, c.msg) << c.label;
    EXPECT_EQ(p.FComponentCfg.TaskCfgFile, "t.xml") << c.label;
  }
  f.MakeDir("dir.xml");
  for (const char* missing : {"none.xml", "dir.xml"}) {
    f.Write("c.xml", ComponentCfg(missing));
    EXPECT_EQ(TTaskProcess("c.xml", "T", "").FErrorMsg, TaskNotFoundFile(missing));
  }
}

TEST_F(ConfigTest, TaskMatching) {
  const std::string spaced = Task(" Send ", "<ServiceID>S1</ServiceID><Steps/>");
  const struct {
    std::string tasks;
    std::string id;
    const char* service;  // of the task selected; nullptr: none matches
  } cases[] = {
      {spaced, "send", "S1"},
      {spaced, "SEND", "S1"},
      {spaced, " Send", nullptr},
      {spaced, "Send ", nullptr},
      {Task("A", "<ServiceID>S1</ServiceID><Steps/>") + "<Task><ServiceID>S2</ServiceID><Steps/></Task>" +
           Task("", "<ServiceID>S3</ServiceID><Steps/>"),
       "", "S2"},
      {Task("A", "<ServiceID>S1</ServiceID><Steps/>") + Task("a", "<ServiceID>S2</ServiceID><Steps/>"),
       "a", "S1"},
      {"<task><TaskID>A</TaskID><ServiceID>S0</ServiceID><Steps/></task><!--Task-->" +
           Task("A", "<ServiceID>S1</ServiceID><Steps/>"),
       "A", "S1"},
  };
  for (const auto& c : cases) {
    const auto p = LoadTasks(c.tasks, c.id);
    if (c.service == nullptr) {
      EXPECT_EQ(p->FErrorMsg, "任务配置信息文件[t.xml]找不到任务ID[" + c.id +
                                  "]，请检查该文件的正确性！") << "[" << c.id << "]";
      continue;
    }
    EXPECT_TRUE(p->FInitialized) << "[" << c.id << "] " << p->FErrorMsg;
    EXPECT_EQ(p->FTask.ServiceID, c.service) << "[" << c.id << "]";
    EXPECT_EQ(p->FTask.TaskID, c.id);
  }
}

TEST_F(ConfigTest, StepRecords) {
  const auto p = LoadSteps(
      "<Compress><Name> zipA </Name><Describe>d</Describe><FileName>?_%s</FileName>"
      "<Backup><BackupFile>1</BackupFile><BackupDir>bk</BackupDir>"
      "<ReturnParamName>Bak</ReturnParamName></Backup></Compress>"
      "<Crypt/><compress><Name>lower</Name></compress><Request></Request>"
      "<Decode><Name>dec</Name><FileName>out.txt</FileName>"
      "<Backup><BackupFile>true</BackupFile></Backup></Decode>"
      "<Uncompress><NameFrom><IniFile>x.ini</IniFile><Section>S</Section><Ident>K</Ident>"
      "</NameFrom></Uncompress>",
      "<ShowProgressBar>True</ShowProgressBar><ServiceID>svc</ServiceID><Describe>任务</Describe>");
  const TTask& t = p->FTask;
  EXPECT_TRUE(t.ShowProgressBar);
  EXPECT_EQ(t.ServiceID + "|" + t.Describe, "svc|任务");
  std::string configured;
  for (int k = 0; k < StepKindCount; ++k) {
    EXPECT_EQ(t.Steps[k].Kind, StepTable[k].Kind) << k;
    configured += t.Steps[k].Configured ? '1' : '0';
  }
  EXPECT_EQ(configured, "110100000");
  const TStep& zip = t.Steps[KindIndex(TStepKind::Compress)];
  EXPECT_EQ(zip.Name + "|" + zip.Describe + "|" + zip.FileName, "zipA|d|?_%s");
  EXPECT_TRUE(zip.Backup.BackupFile);
  EXPECT_EQ(zip.Backup.BackupDir + "|" + zip.Backup.ReturnParamName, "bk|Bak");
  EXPECT_EQ(t.Steps[KindIndex(TStepKind::Crypt)].Name, "");
  EXPECT_FALSE(t.Steps[KindIndex(TStepKind::Request)].Backup.BackupFile);
  // The inbound steps wait for the reply to switch them on and name them.
  const TStep& dec = t.Steps[KindIndex(TStepKind::Decode)];
  EXPECT_EQ(dec.Name, "");
  EXPECT_EQ(dec.FileName, "out.txt");
  EXPECT_TRUE(dec.Backup.BackupFile);
  const TNameFrom& nf = t.Steps[KindIndex(TStepKind::Uncompress)].NameFrom;
  EXPECT_EQ(nf.IniFile + "|" + nf.Section + "|" + nf.Ident, "x.ini|S|K");
}

TEST_F(ConfigTest, NameFromAnIniFileWithARelativePath) {
  f.Write("ini/names.ini", "[Impl]\r\nCode=  code-A  \r\nCrypt=crypt-B\r\n");
  const std::string from = "<NameFrom><IniFile>ini/names.ini</IniFile><Section>Impl</Section>";
  const auto p = LoadSteps("<Code>" + from + "<Ident>Code</Ident></NameFrom></Code>"
                           "<Crypt><Name>given</Name>" + from + "<Ident>Crypt</Ident></NameFrom></Crypt>"
                           "<Compress>" + from + "<Ident>None</Ident></NameFrom></Compress>");
  EXPECT_EQ(p->FTask.Steps[KindIndex(TStepKind::Code)].Name, "code-A");
  EXPECT_EQ(p->FTask.Steps[KindIndex(TStepKind::Crypt)].Name, "given");
  EXPECT_EQ(p->FTask.Steps[KindIndex(TStepKind::Compress)].Name, "");
}

TEST_F(ConfigTest, BooleanTexts) {
  const struct {
    const char* text;  // nullptr: element missing
    bool value;
  } cases[] = {{"1", true},      {"true", true},   {"TRUE", true},  {"-1", true},
               {" tRuE ", true}, {"2.5", true},    {"0", false},    {"false", false},
               {"yes", false},   {"", false},      {"0.0", false},  {"1x", false},
               {"-0", false},    {nullptr, false}};
  for (const auto& c : cases) {
    const std::string text = c.text == nullptr ? "" : c.text;
    const std::string bar = c.text == nullptr ? "" : "<ShowProgressBar>" + text + "</ShowProgressBar>";
    const std::string bk = c.text == nullptr ? "" : "<BackupFile>" + text + "</BackupFile>";
    const auto p = LoadSteps("<Code><Backup>" + bk + "</Backup></Code>", bar);
    EXPECT_EQ(p->FTask.ShowProgressBar, c.value) << text;
    EXPECT_EQ(p->FTask.Steps[KindIndex(TStepKind::Code)].Backup.BackupFile, c.value) << text;
  }
}

TEST_F(ConfigTest, WorkAndBackupFolders) {
  f.Write("temp", "a plain file in the way");
  f.Write("task_backup", "another");
  const TTaskProcess first("missing.xml", "", "");
  EXPECT_FALSE(first.FInitialized);
  const std::string prefix = f.Dir() + "temp" + kSep;
  ASSERT_EQ(first.FWorkDir.size(), prefix.size() + 31);
  EXPECT_EQ(first.FWorkDir.substr(0, prefix.size()), prefix);
  EXPECT_EQ(first.FWorkDir.find_first_not_of("0123456789ABCDEF", prefix.size()), prefix.size() + 30);
  EXPECT_EQ(first.FWorkDir.back(), kSep);
  EXPECT_TRUE(plat::IsExistingFolder(first.FWorkDir));
  EXPECT_EQ(first.FBackupDir, f.Dir() + "task_backup" + kSep);
  EXPECT_TRUE(plat::IsExistingFolder(first.FBackupDir));

  f.Write("temp/keep.txt", "k");
  const TTaskProcess second("missing.xml", "", "");
  EXPECT_NE(second.FWorkDir, first.FWorkDir);
  EXPECT_TRUE(plat::IsExistingFolder(second.FWorkDir));
  EXPECT_TRUE(plat::IsExistingFolder(first.FWorkDir));
  EXPECT_TRUE(plat::IsExistingFile(f.Path("temp/keep.txt")));
}

#if defined(_WIN32)
TEST_F(ConfigTest, ThreadWithoutComGetsTheParseMessage) {
  f.Write("c.xml", ComponentCfg("t.xml"));
  std::string msg;
  std::thread([&] { msg = TTaskProcess("c.xml", "T", "").FErrorMsg; }).join();
  EXPECT_EQ(msg, ParseFailed("c.xml"));
}
#endif

}  // namespace
}  // namespace dv
