// The outbound step handlers against the test-double siblings: what each
// library call receives, what the step outputs and backs up, and how it fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "handlers_fixture.h"
#include "stepping_clock.h"
#include "support/sandbox.h"

namespace dv {
namespace {

using testing::HandlerTest;
using testing::SteppingClock;
using K = TStepKind;
using Strings = std::vector<std::string>;

class Outbound : public HandlerTest {
 protected:
  ~Outbound() override { plat::SetClockForTesting(nullptr); }
  // The implementation names of the Encrypt calls, in call order.
  Strings EncryptImpls() const {
    Strings names;
    for (const auto& c : box_.CallsOf("Encrypt")) names.push_back(c.at(3));
    return names;
  }
};

TEST_F(Outbound, CompressHandsEveryFileAsAFullPathAndWritesOneArchivePerPackage) {
  const std::string x = Host("a/x.txt", "X"), y = Host("a/y.txt", "YY"), z = Host("b/z.txt", "Z");
  const std::string xRelative = x.substr(box_.Dir().size());
  Configure(K::Compress, "zip1", "*.zip");
  WithBackup(K::Compress);
  TPackageFileList out;
  ASSERT_EQ(Run(K::Compress, {{"pkg1", {xRelative, y}}, {"", {z}}}, out), 0) << ResultMsg();

  EXPECT_EQ(FilesOf(out), (Strings{Work("pkg1.zip"), Work("z.zip")}));
  const auto calls = box_.CallsOf("Compress");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], (Strings{"Compress", "0", "Mordane.cfg", "zip1", x + "\r\n" + y + "\r\n",
                               Work("pkg1.zip"), ""}));
  EXPECT_EQ(calls[1].at(4), z + "\r\n");
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(dvtest::ParseArchive(ReadPath(Work("pkg1.zip")), entries));
  EXPECT_EQ(entries, (decltype(entries){{"x.txt", "X"}, {"y.txt", "YY"}}));
  EXPECT_EQ(Backups(), (Strings{box_.Path("bak/pkg1.zip"), box_.Path("bak/z.zip")}));

  // A path of any length is expanded whole.
  box_.ClearCallLog();
  box_.SetMode("Mordane", "Compress", "true");
  const std::string deep = std::string(150, 'd') + plat::kDirSep + std::string(150, 'e') + ".txt";
  ASSERT_EQ(Run(K::Compress, {{"", {deep}}}, out), 0) << ResultMsg();
  EXPECT_EQ(box_.CallsOf("Compress").at(0).at(4), box_.Dir() + deep + "\r\n");
}

TEST_F(Outbound, CryptRunsOnePassPerNameEachOnThePreviousPassOutput) {
  const std::string d = Host("d.txt", "secret");
  Configure(K::Crypt, "a,b,c", "*.enc");
  WithBackup(K::Crypt);
  TPackageFileList out;
  ASSERT_EQ(Run(K::Crypt, {{"", {d}}}, out), 0) << ResultMsg();

  const auto calls = box_.CallsOf("Encrypt");
  ASSERT_EQ(calls.size(), 3u);
  const std::string enc = Work("d.enc");
  EXPECT_EQ(calls[0], (Strings{"Encrypt", "0", "Sibbert.cfg", "a", "Param=7", d, enc, ""}));
  // From the second pass on, the pattern names the file itself: in place.
  EXPECT_EQ(calls[1], (Strings{"Encrypt", "0", "Sibbert.cfg", "b", "Param=7", enc, enc, ""}));
  EXPECT_EQ(calls[2].at(3), "c");
  EXPECT_EQ(FilesOf(out), Strings{enc});
  EXPECT_EQ(Backups(), Strings{box_.Path("bak/d.enc")});

  // Decrypt runs the names last to first; any other order is refused by the double.
  Configure(K::Decrypt, "a,b,c", "*.txt");
  TPackageFileList back;
  ASSERT_EQ(Run(K::Decrypt, out, back), 0) << ResultMsg();
  Strings impls;
  for (const auto& c : box_.CallsOf("Decrypt")) impls.push_back(c.at(3));
  EXPECT_EQ(impls, (Strings{"c", "b", "a"}));
  ASSERT_EQ(FilesOf(back), Strings{Work("d.txt")});
  EXPECT_EQ(ReadPath(Work("d.txt")), "secret");
}

TEST_F(Outbound, CryptCutsItsNameAtCommasWithoutTrimming) {
  const struct {
    const char* name;
    Strings passes;
  } cases[] = {
      {",a", {"", "a"}},        // a leading comma: a pass with the empty name
      {"a,", {"a"}},            // a trailing one adds none
      {"a, b", {"a", " b"}},    // blanks stay
      {"a,,b", {"a", "", "b"}},
  };
  const std::string d = Host("d.txt", "data");
  Configure(K::Crypt, "", "*.enc");
  for (const auto& c : cases) {
    box_.ClearCallLog();
    task_->FTask.Steps[KindIndex(K::Crypt)].Name = c.name;
    TPackageFileList out;
    EXPECT_EQ(Run(K::Crypt, {{"", {d}}}, out), 0) << c.name;
    EXPECT_EQ(EncryptImpls(), c.passes) << c.name;
  }
}

TEST_F(Outbound, RequestPacksEveryFileAsGivenWithTheControlTextAndTheTaskFields) {
  SteppingClock::Set({{2024, 1, 2, 3, 4, 5}});
  Configure(K::Compress, "z1");
  Configure(K::Crypt, "k1,k2");
  Configure(K::Request, "std");
  WithBackup(K::Request);
  const std::string f1 = Host("f1.zip", "1"), f2 = Host("f2.zip", "2"), f3 = Host("f3.zip", "3");
  TPackageFileList out;
  ASSERT_EQ(Run(K::Request, {{"t", {f1, "host/f2.zip"}}, {"", {f3}}}, out), 0) << ResultMsg();

  const std::string target = Work("Message_request_20240102030405.xml");
  EXPECT_EQ(FilesOf(out), Strings{target});
  const auto calls = box_.CallsOf("MessagePacket");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (Strings{"MessagePacket", "0", "Quembry.cfg", "std",
                               f1 + "\r\nhost/f2.zip\r\n" + f3 + "\r\n", target, "Param=7",
                               "SVC9", TTaskProcess::BuildContentControl(task_->FTask.Steps), ""}));
  dvtest::MessageFile m;
  ASSERT_TRUE(dvtest::ParseMessage(ReadPath(target), m));
  EXPECT_EQ(m.files.size(), 3u);
  EXPECT_EQ(Backups(), Strings{box_.Path("bak/Message_request_20240102030405.xml")});

  // Without any package the request is built all the same, with no file.
  box_.ClearCallLog();
  ASSERT_EQ(Run(K::Request, {}, out), 0) << ResultMsg();
  EXPECT_EQ(box_.CallsOf("MessagePacket").at(0).at(4), "");
}

TEST_F(Outbound, CommunicationSendsTheRequestBytesAndStoresTheReply) {
  SteppingClock::Set({{2024, 5, 6, 7, 8, 9}});
  Configure(K::Communication, "loop");
  WithBackup(K::Communication);
  box_.Set("Tressil", "Send.reply", "REPLY;TEXT");
  const struct {
    std::string bytes;
    bool heldByWriter = false;
  } requests[] = {
      {std::string("REQ\x01\xB0\xA1", 6)},
      {""},  // an empty file is sent too
      // Sizes that end a page of the view: the byte after the last must
      // still be a readable zero (the double reads it).
      {std::string(4096, 'P')},
      {std::string(65536, 'G')},
      // The message library that wrote the request may still hold it open
      // for writing.
      {"HELD", true},
  };
  for (const auto& r : requests) {
    box_.ClearCallLog();
    const std::string req = Host("req.xml", r.bytes);
    std::optional<std::fstream> writer;
    if (r.heldByWriter) {
      writer.emplace(req, std::ios::in | std::ios::out | std::ios::binary);
      ASSERT_TRUE(writer->is_open());
    }
    TPackageFileList out;
    ASSERT_EQ(Run(K::Communication, {{"", {req}}}, out), 0) << ResultMsg();
    const std::string target = Work("Message_response_20240506070809.xml");
    EXPECT_EQ(FilesOf(out), Strings{target});
    EXPECT_EQ(ReadPath(target), "REPLY;TEXT");
    const auto calls = box_.CallsOf("Send");
    ASSERT_EQ(calls.size(), 1u);
    const Strings head(calls[0].begin(), calls[0].begin() + 8);
    EXPECT_EQ(head, (Strings{"Send", "0", "Tressil.cfg", "proxy.cfg", "loop", "0", r.bytes,
                             std::to_string(r.bytes.size())}));
  }
  const std::string copy = box_.Path("bak/Message_response_20240506070809.xml");
  EXPECT_EQ(Backups(), Strings(std::size(requests), copy));  // one line per successful step
}

TEST_F(Outbound, CommunicationFailsWhenTheRequestCannotBeReadOrTheReplyNotSaved) {
  SteppingClock::Set({{2024, 5, 6, 7, 8, 9}});
  Configure(K::Communication, "loop", "resp.xml");
  box_.Set("Tressil", "Send.reply", "R");
  TPackageFileList out;
  const std::string missing = box_.Path("host/none.xml");
  EXPECT_EQ(Run(K::Communication, {{"", {missing}}}, out), -1);
  EXPECT_EQ(ResultMsg(), "读取报文文件[" + missing + "]出错！");
  EXPECT_TRUE(box_.CallsOf("Send").empty());
  // Send cannot be told a length of 2 GiB or more; the (sparse) file is
  // refused before it is read.
  const std::string huge = Host("huge.xml", "");
  std::filesystem::resize_file(huge, uint64_t{1} << 31);
  EXPECT_EQ(Run(K::Communication, {{"", {huge}}}, out), -1);
  EXPECT_EQ(ResultMsg(), "读取报文文件[" + huge + "]出错！");
  EXPECT_TRUE(box_.CallsOf("Send").empty());
  std::filesystem::remove(huge);
  // A request cut short while the library reads it: POSIX, a bus error in
  // the library, a failed call; Windows, the file cannot be cut while it is
  // lent.
  const std::string cut = Host("cut.xml", std::string(10000, 'C'));
  box_.SetMode("Tressil", "Send", "cut-request");
  box_.Set("Tressil", "Send.file", cut);
  EXPECT_EQ(Run(K::Communication, {{"", {cut}}}, out), -1);
  EXPECT_EQ(ResultMsg(), plat::kWindowsPaths ? "Tressil.Send: cannot cut [" + cut + "]"
                                             : std::string("通讯过程中调用通讯组件发生异常！"));
  EXPECT_TRUE(out.empty());
  box_.SetMode("Tressil", "Send", "ok");

  // A folder where the reply file is to go: the file cannot be created.
  const std::string req = Host("req.xml", "Q");
  std::filesystem::create_directories(Work("resp.xml"));
  EXPECT_EQ(Run(K::Communication, {{"", {req}}}, out), -1);
  EXPECT_EQ(ResultMsg(), "保存反馈文件[" + Work("resp.xml") + "]出错！");
  EXPECT_TRUE(out.empty());
#if !defined(_WIN32)
  // A device that is always full: the reply cannot be written whole.
  Configure(K::Communication, "loop", "full.xml");
  std::filesystem::create_symlink("/dev/full", Work("full.xml"));
  EXPECT_EQ(Run(K::Communication, {{"", {req}}}, out), -1);
  EXPECT_EQ(ResultMsg(), "保存反馈文件[" + Work("full.xml") + "]出错！");
#endif
}

TEST_F(Outbound, TwoOutputsOnOnePathStopTheStep) {
  // Two host files of one name under an extension pattern (Compress), a
  // literal pattern (Code), and names that differ only in letter case: the
  // same file where the file system folds case (Windows, letters of every
  // script), two files where it keeps case apart (POSIX).
  constexpr bool kFolds = plat::kWindowsPaths;
  const struct {
    K kind;
    const char* pattern;
    const char* first;
    const char* second;
    const char* clash;
    const char* exportName;
    bool clashes;
  } cases[] = {
      {K::Compress, "*.zip", "a/data.xml", "b/data.xml", "data.zip", "Compress", true},
      {K::Code, "out.b64", "a/data.xml", "b/other.xml", "out.b64", "Encode", true},
      {K::Crypt, "*.enc", "a/data.xml", "b/DATA.xml", "DATA.enc", "Encrypt", kFolds},
      {K::Crypt, "*.enc", "a/ａ.xml", "b/Ａ.xml", "Ａ.enc", "Encrypt", kFolds},  // full-width
      {K::Crypt, "*.enc", "a/αβ.xml", "b/ΑΒ.xml", "ΑΒ.enc", "Encrypt", kFolds},
      {K::Crypt, "*.enc", "a/дата.xml", "b/ДАТА.xml", "ДАТА.enc", "Encrypt", kFolds},
  };
  for (const auto& c : cases) {
    box_.ClearCallLog();
    Configure(c.kind, "n", c.pattern);
    WithBackup(c.kind);
    msg_.clear();
    TPackageFileList out;
    const int32_t result =
        Run(c.kind, {{"", {Host(c.first, "1")}}, {"", {Host(c.second, "2")}}}, out);
    if (!c.clashes) {
      EXPECT_EQ(result, 0) << c.second << ": " << ResultMsg();
      EXPECT_EQ(out.size(), 2u) << c.second;
      continue;
    }
    EXPECT_EQ(result, -1) << c.second;
    EXPECT_EQ(ResultMsg(), std::string("输出文件[") + Work(c.clash) + "]重复，处理中止！");
    EXPECT_EQ(box_.CallsOf(c.exportName).size(), 1u) << c.pattern;
    EXPECT_EQ(out.size(), 1u);
    EXPECT_TRUE(Backups().empty());
  }
}

}  // namespace
}  // namespace dv
