// Whole exchanges through the component and the test-double siblings: the
// host's files go out through every outbound step and come back through the
// inbound ones byte for byte; every library call and its arguments in order;
// what stays in the work folder; backups; and every way a step fails.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/lines.h"
#include "common/params.h"
#include "e2e_harness.h"
#include "platform/platform.h"
#include "support/double_formats.h"

namespace dvtest::e2e {
namespace {

using Strings = std::vector<std::string>;

const std::string kTaskParam = "Key=42";

// The outbound steps of a full exchange, and the patterns of the inbound
// ones that the reply switches on.
std::vector<StepCfg> OutboundSteps() {
  return {{.Kind = "Compress", .Name = "zip", .FileName = "*.zip", .Backup = true,
           .BackupDir = "bak", .ReturnParamName = "Bak"},
          {.Kind = "Crypt", .Name = "des,rsa", .FileName = "*.enc"},
          {.Kind = "Code", .Name = "b64", .FileName = "*.b64"},
          {.Kind = "Request", .Name = "std"}};
}
std::vector<StepCfg> InboundSteps() {
  return {{.Kind = "Response", .Name = "std"},
          {.Kind = "Decode", .FileName = "*.enc"},
          {.Kind = "Decrypt", .FileName = "*.zip"},
          {.Kind = "Uncompress", .Backup = true, .BackupDir = "bak", .ReturnParamName = "Bak"}};
}
std::vector<StepCfg> FullSteps() {
  std::vector<StepCfg> s = OutboundSteps();
  s.push_back({.Kind = "Communication", .Name = "loop", .Backup = true});
  for (const StepCfg& in : InboundSteps()) s.push_back(in);
  return s;
}

std::string ReadAbs(const std::string& path) {
  std::string bytes;
  dv::plat::ReadFileBytes(path, bytes);
  return bytes;
}

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<StepCfg> noZip = FullSteps();
    noZip.erase(noZip.begin());
    h.Configure({{.TaskID = "FULL", .ServiceID = "SVC1", .Steps = FullSteps()},
                 {.TaskID = "OUT", .ServiceID = "SVC1", .Steps = OutboundSteps()},
                 {.TaskID = "IN", .Steps = InboundSteps()},
                 {.TaskID = "NOZIP", .Steps = noZip}});
    h.Write("data/a/orders.xml", std::string("<o>\xB6\xA9\xB5\xA5</o>\r\n\0\x01\xFF", 17));
    h.Write("data/a/notes.txt", "");
    h.Write("data/b/customers.csv", "id;name\r\n1;x\r\n");
    xml = PackagesXml({{"orders", {h.Path("data/a/orders.xml"), h.Path("data/a/notes.txt")}},
                       {"", {h.Path("data/b/customers.csv")}}});
  }
  CallOptions WithParam() const {
    CallOptions o;
    o.TaskParam = kTaskParam;
    return o;
  }

 public:
  // A file of the work folder that the last call made.
  std::string Work(const std::string& name) const {
    return h.Path(h.LastWorkFolder()) + kSep + name;
  }
  // The returned packages hold the host's files, in order, byte for byte.
  void ExpectHostFilesBack(const CallResult& r) {
    const std::vector<Package> out = ReadPackagesXml(r.Text);
    ASSERT_EQ(out.size(), 2u) << r.Text;
    const Strings expected[] = {{"orders.xml", "notes.txt"}, {"customers.csv"}};
    const Strings originals[] = {{"data/a/orders.xml", "data/a/notes.txt"},
                                 {"data/b/customers.csv"}};
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(out[i].Files.size(), expected[i].size());
      for (std::size_t j = 0; j < expected[i].size(); ++j) {
        EXPECT_EQ(out[i].Files[j], Work(expected[i][j]));
        EXPECT_EQ(ReadAbs(out[i].Files[j]), h.Read(originals[i][j])) << expected[i][j];
      }
    }
  }

  Harness h;
  std::string xml;
};

TEST_F(Exchange, TransmitGivesTheHostsFilesBackThroughEveryStep) {
  const CallResult r = h.Transmit("FULL", xml, WithParam());
  ASSERT_EQ(r.Code, 0) << r.ResultMsg;
  ExpectHostFilesBack(r);

  // Every call, in order, with the window handle 0 first.
  Strings exports;
  for (const auto& c : h.Box().Calls()) {
    exports.push_back(c.at(0) + (c.at(0) == "Encrypt" || c.at(0) == "Decrypt" ? ":" + c.at(3) : ""));
    EXPECT_EQ(c.at(1), "0") << c.at(0);
  }
  EXPECT_EQ(exports, (Strings{"Compress", "Compress", "Encrypt:des", "Encrypt:des", "Encrypt:rsa",
                              "Encrypt:rsa", "Encode", "Encode", "MessagePacket", "Send",
                              "MessageParse", "Decode", "Decode", "Decrypt:rsa", "Decrypt:rsa",
                              "Decrypt:des", "Decrypt:des", "UnCompress", "UnCompress"}));
  const auto& box = h.Box();
  EXPECT_EQ(box.CallsOf("Compress")[0].at(2), "Mordane.cfg");
  EXPECT_EQ(box.CallsOf("UnCompress")[1].at(2), "Mordane.cfg");
  for (const char* e : {"Encrypt", "Decrypt"})
    for (const auto& c : box.CallsOf(e)) {
      EXPECT_EQ(c.at(2), "Sibbert.cfg");
      EXPECT_EQ(c.at(4), kTaskParam);
    }
  EXPECT_EQ(box.CallsOf("Encode")[0].at(2), "Ulvaran.cfg");
  EXPECT_EQ(box.CallsOf("Decode")[0].at(3), "b64");  // the names the reply sent
  const auto packet = box.CallsOf("MessagePacket").at(0);
  EXPECT_EQ(packet.at(2), "Quembry.cfg");
  EXPECT_EQ(packet.at(4), Work("orders.b64") + "\r\n" + Work("customers.b64") + "\r\n");
  EXPECT_EQ(packet.at(6), kTaskParam);
  EXPECT_EQ(packet.at(7), "SVC1");
  EXPECT_EQ(packet.at(8),
            "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<contentControl>"
            "\r\n<control>\r\n<id>1</id>\r\n<type>zip</type>\r\n<impl>zip</impl>\r\n</control>"
            "\r\n<control>\r\n<id>2</id>\r\n<type>crypt</type>\r\n<impl>des</impl>\r\n</control>"
            "\r\n<control>\r\n<id>3</id>\r\n<type>crypt</type>\r\n<impl>rsa</impl>\r\n</control>"
            "\r\n<control>\r\n<id>4</id>\r\n<type>code</type>\r\n<impl>b64</impl>\r\n</control>"
            "\r\n</contentControl>");
  const auto send = box.CallsOf("Send").at(0);
  EXPECT_EQ(Strings(send.begin() + 2, send.begin() + 6),
            (Strings{"Tressil.cfg", "proxy.cfg", "loop", "0"}));
  EXPECT_EQ(box.CallsOf("MessageParse").at(0).at(2), "Quembry.cfg");

  // Only the returned files are left in the work folder; the host's stay.
  EXPECT_EQ(h.FilesUnder(h.LastWorkFolder()),
            (Strings{"customers.csv", "notes.txt", "orders.xml"}));
  EXPECT_EQ(h.FilesUnder("data"), (Strings{"a/notes.txt", "a/orders.xml", "b/customers.csv"}));

  // Compress and Uncompress back up into one list; Communication into the
  // default folder, by date and step.
  const Strings baks = dv::SplitLines(dv::GetParamValue(r.Msg, "Bak"));
  EXPECT_EQ(baks, (Strings{"bak" + std::string(1, kSep) + "orders.zip",
                           "bak" + std::string(1, kSep) + "customers.zip",
                           "bak" + std::string(1, kSep) + "orders.xml",
                           "bak" + std::string(1, kSep) + "notes.txt",
                           "bak" + std::string(1, kSep) + "customers.csv"}));
  std::vector<std::pair<std::string, std::string>> archive;
  ASSERT_TRUE(ParseArchive(h.Read("bak/orders.zip"), archive));
  EXPECT_EQ(archive.size(), 2u);
  EXPECT_EQ(h.Read("bak/orders.xml"), h.Read("data/a/orders.xml"));
  const Strings saved = h.FilesUnder("task_backup");
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].size(), std::string("YYYYMMDD/Communication/Message_response_").size() + 18);
  EXPECT_EQ(saved[0].find("/Communication/Message_response_"), 8u) << saved[0];

  // The saved reply, imported, gives the host's files back once more.
  const CallResult again = h.Import("IN", h.Path("task_backup/" + saved[0]), WithParam());
  ASSERT_EQ(again.Code, 0) << again.ResultMsg;
  ExpectHostFilesBack(again);
}

TEST_F(Exchange, ExportDeliversTheRequestAndItsReplyImportsBack) {
  h.Box().MakeDirs("outbox");  // folder targets: see the delivery tests
  const CallResult r = h.Export("OUT", xml, h.Path("outbox/request.msg"), WithParam());
  ASSERT_EQ(r.Code, 0) << r.ResultMsg;
  EXPECT_EQ(r.Text, h.Path("outbox/request.msg"));
  const Strings left = h.FilesUnder(h.LastWorkFolder());
  ASSERT_EQ(left.size(), 1u);  // the request message file only
  EXPECT_EQ(left[0].rfind("Message_request_", 0), 0u);
  EXPECT_EQ(h.Read("outbox/request.msg"), h.Read(h.LastWorkFolder() + "/" + left[0]));

  MessageFile request;
  ASSERT_TRUE(ParseMessage(h.Read("outbox/request.msg"), request));
  EXPECT_EQ(request.meta["serviceId"], "SVC1");
  EXPECT_EQ(request.meta["taskParam"], kTaskParam);
  ASSERT_EQ(request.files.size(), 2u);
  EXPECT_EQ(request.files[0].first, "orders.b64");

  // The service's answer to the first request, saved by the host and imported.
  h.Write("inbox/reply.msg",
          BuildReply(request.files, std::string("0"), request.meta["contentControl"]));
  const CallResult back = h.Import("IN", h.Path("inbox/reply.msg"), WithParam());
  ASSERT_EQ(back.Code, 0) << back.ResultMsg;
  ExpectHostFilesBack(back);
  EXPECT_TRUE(h.Exists("inbox/reply.msg"));
}

TEST_F(Exchange, EveryFailureEndsTheExchangeWithItsCodeAndText) {
  const std::string twoDataFiles = PackagesXml(
      {{"one", {h.Path("data/a/orders.xml")}}, {"two", {h.Path("data/a/orders.xml")}}});
  struct Case {
    const char* what;
    std::function<void(Harness&)> setup;
    std::string task;
    std::string packages;  // "" for the fixture's
    int code;
    std::function<std::string(const Exchange&)> text;
  };
  auto fixed = [](const std::string& t) { return [t](const Exchange&) { return t; }; };
  auto steer = [](const char* lib, const char* key, const char* value) {
    return [=](Harness& x) { x.Box().Set(lib, key, value); };
  };
  const Case cases[] = {
      {"the second of three packages refused",
       [](Harness& x) {
         x.Box().SetMode("Ulvaran", "Encode", "false-text");
         x.Box().Set("Ulvaran", "Encode.onCall", "2");
       },
       "FULL", "", -1, fixed("Ulvaran.Encode refused")},
      {"a reply with ReturnCode 3", steer("Tressil", "ReturnCode", "3"), "FULL", "", 3,
       fixed("")},
      {"a reply without ReturnCode", steer("Tressil", "ReturnCode", "none"), "FULL", "", -8,
       fixed("反馈文件不符合格式：缺少反馈代码！")},
      {"a malformed ReturnCode", steer("Tressil", "ReturnCode", "0x"), "FULL", "", -8,
       fixed("反馈文件不符合格式：缺少反馈代码！")},
      {"a malformed contentControl", steer("Tressil", "contentControl", "malformed"), "FULL", "",
       -1, fixed("解析反馈文件中的报文控制信息出错！")},
      {"a crypt control without a name",
       steer("Tressil", "contentControl",
             "<c><control><type>crypt</type><impl></impl></control></c>"),
       "FULL", "", -1, fixed("解密过程中找不到解密实现名称！")},
      {"two archives of one name", nullptr, "FULL",
       PackagesXml({{"", {h.Path("data/a/orders.xml")}}, {"", {h.Path("data/b/orders.xml")}}}),
       -1, [](const Exchange& e) { return "输出文件[" + e.Work("orders.zip") + "]重复，处理中止！"; }},
      {"two archives unpacking one name", nullptr, "FULL", twoDataFiles, -1,
       [](const Exchange& e) { return "输出文件[" + e.Work("orders.xml") + "]重复，处理中止！"; }},
      {"several files without Compress", nullptr, "NOZIP", "", -1,
       fixed("文件包含有多个文件，必须先配置压缩步骤！")},
      {"a request file that was never written", steer("Quembry", "MessagePacket", "true"), "FULL",
       "", -1,
       [](const Exchange& e) {
         return "读取报文文件[" + e.Work("Message_request_" + std::string(14, '?') + ".xml") +
                "]出错！";
       }},
      // Last: the library stays removed.
      {"a missing sibling", [](Harness& x) { x.Box().Remove("Sibbert"); }, "FULL", "", -1,
       fixed("加密过程中调用加解密组件发生异常！")},
  };
  h.Write("data/b/orders.xml", "other");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& lib : SiblingNames()) h.Box().ClearSteering(lib);
    if (c.setup) c.setup(h);
    h.Box().ClearCallLog();
    const CallResult r = h.Transmit(c.task, c.packages.empty() ? xml : c.packages, WithParam());
    EXPECT_EQ(r.Code, c.code);
    std::string expected = c.text(*this);
    // A time-stamped name: compare all but its 14 digits.
    const std::size_t stamp = expected.find(std::string(14, '?'));
    std::string got = r.ResultMsg;
    if (stamp != std::string::npos && got.size() == expected.size())
      got.replace(stamp, 14, std::string(14, '?'));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(r.Text, "UNTOUCHED");
    EXPECT_TRUE(dv::GetParamValue(r.Msg, "Bak").find("customers.csv") == std::string::npos);
    EXPECT_EQ(h.FilesUnder("data"),
              (Strings{"a/notes.txt", "a/orders.xml", "b/customers.csv", "b/orders.xml"}));
  }
}

TEST_F(Exchange, AReplyFileThatCannotBeSavedFailsTheCommunicationStep) {
  std::vector<StepCfg> steps = FullSteps();
  for (StepCfg& s : steps)
    if (s.Kind == "Communication") s.FileName = std::string(300, 'n') + ".xml";
  h.WriteTasks({{.TaskID = "LONG", .Steps = steps}});
  const CallResult r = h.Transmit("LONG", xml, WithParam());
  EXPECT_EQ(r.Code, -1);
  EXPECT_EQ(r.ResultMsg, "保存反馈文件[" + Work(std::string(300, 'n') + ".xml") + "]出错！");
  EXPECT_EQ(h.Box().CallsOf("MessageParse").size(), 0u);
}

}  // namespace
}  // namespace dvtest::e2e
