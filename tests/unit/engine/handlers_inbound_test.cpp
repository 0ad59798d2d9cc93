// The inbound step handlers against the test-double siblings: the reply's
// ReturnCode and contentControl XML, and what Uncompress hands on.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "handlers_fixture.h"
#include "support/sandbox.h"

namespace dv {
namespace {

using testing::HandlerTest;
using K = TStepKind;
using Strings = std::vector<std::string>;

constexpr const char* kControl =
    "<?xml version=\"1.0\" encoding=\"GBK\"?><contentControl>"
    "<control><id>1</id><type>zip</type><impl>z1</impl></control>"
    "<control><id>2</id><type>crypt</type><impl>c1</impl></control>"
    "<control><id>3</id><type>crypt</type><impl>c2</impl></control>"
    "<control><id>4</id><type>code</type><impl>u1</impl></control></contentControl>";

class Inbound : public HandlerTest {
 protected:
  std::string Reply(const std::optional<std::string>& code, const std::string& control) {
    box_.Write("in/reply.xml", dvtest::BuildReply({{"a.b64", "A"}, {"b.b64", "B"}}, code, control));
    return box_.Path("in/reply.xml");
  }
  const TStep& StepOf(K k) const { return task_->FTask.Steps[KindIndex(k)]; }
};

TEST_F(Inbound, ResponseUnpacksIntoTheWorkFolderAndSwitchesOnTheInverseSteps) {
  Configure(K::Response, "std", "ignored/*.x");  // a pattern moves nothing in this build
  WithBackup(K::Response);
  const std::string reply = Reply("0", kControl);
  TPackageFileList out;
  ASSERT_EQ(Run(K::Response, {{"", {reply}}}, out), 0) << ResultMsg();

  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(FilesOf(out), (Strings{Work("a.b64"), Work("b.b64")}));
  EXPECT_EQ(ReadPath(Work("b.b64")), "B");
  const auto calls = box_.CallsOf("MessageParse");
  ASSERT_EQ(calls.size(), 1u);
  const Strings head(calls[0].begin(), calls[0].begin() + 6);
  EXPECT_EQ(head, (Strings{"MessageParse", "0", "Quembry.cfg", "std", reply, task_->FWorkDir}));
  EXPECT_TRUE(StepOf(K::Uncompress).Configured);
  EXPECT_EQ(StepOf(K::Uncompress).Name, "z1");
  EXPECT_EQ(StepOf(K::Decrypt).Name, "c1,c2");
  EXPECT_EQ(StepOf(K::Decode).Name, "u1");
  EXPECT_EQ(Backups(), (Strings{box_.Path("bak/a.b64"), box_.Path("bak/b.b64")}));
}

TEST_F(Inbound, ResponseTurnsTheReturnCodeIntoTheResult) {
  const char* const kMissing = "反馈文件不符合格式：缺少反馈代码！";
  const struct {
    std::optional<std::string> code;
    std::string control;
    std::string hostMsg;
    int32_t result;
    std::string text;  // "ResultMsgStr" afterwards
    bool switchedOn;
  } cases[] = {
      {"0", kControl, "", 0, "", true},
      {"0", "", "", 0, "", false},  // no contentControl: nothing more to run
      {"3", kControl, "", 3, "", false},
      {"3", kControl, "ResultMsgStr=host", 3, "host", false},  // the message stays
      {" 12", kControl, "", 12, "", false},
      {"$1F", kControl, "", 31, "", false},
      {"-8", kControl, "", -8, kMissing, false},
      // Not the last entry, so that the message text's own trimming keeps the blank.
      {"12 ", kControl, "ReturnCode=;X=1", -8, kMissing, false},
      {"", kControl, "", -8, kMissing, false},
      {std::nullopt, kControl, "", -8, kMissing, false},
      {std::nullopt, kControl, "ReturnCode=5", 5, "", false},  // the host's entry counts
      {"0", "<contentControl><control><type>zip", "", -1,
       "解析反馈文件中的报文控制信息出错！", false},
      {"0", "<contentControl><control><impl>x</impl></control></contentControl>", "", -1,
       "解析反馈文件中的报文控制信息出错！", false},
      // A document type from the service is refused before any entity grows.
      {"0",
       "<!DOCTYPE c [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
       "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]><contentControl><control><type>zip"
       "</type><impl>&c;</impl></control></contentControl>",
       "", -1, "解析反馈文件中的报文控制信息出错！", false},
      {"0",
       "<!DOCTYPE c [<!ENTITY x SYSTEM \"Quembry.cfg\">]><contentControl><control><type>zip"
       "</type><impl>&x;</impl></control></contentControl>",
       "", -1, "解析反馈文件中的报文控制信息出错！", false},
  };
  for (const auto& c : cases) {
    const std::string label = c.code.value_or("(none)") + " / " + c.hostMsg;
    for (K k : {K::Decode, K::Decrypt, K::Uncompress}) {
      task_->FTask.Steps[KindIndex(k)].Configured = false;
      task_->FTask.Steps[KindIndex(k)].Name.clear();
    }
    Configure(K::Response, "std");
    WithBackup(K::Response);
    msg_ = c.hostMsg;
    TPackageFileList out;
    EXPECT_EQ(Run(K::Response, {{"", {Reply(c.code, c.control)}}}, out), c.result) << label;
    EXPECT_EQ(ResultMsg(), c.text) << label;
    // Whatever the code, the unpacked files are the step's output.
    EXPECT_EQ(out.size(), 2u) << label;
    EXPECT_EQ(StepOf(K::Decode).Configured, c.switchedOn) << label;
    EXPECT_EQ(Backups().empty(), c.result != 0) << label;
  }
}

TEST_F(Inbound, UncompressGivesOnePackagePerArchiveWithAllItsFiles) {
  box_.Write("in/one.zip", dvtest::BuildArchive({{"p.txt", "P"}, {"q.txt", "Q"}}));
  box_.Write("in/two.zip", dvtest::BuildArchive({{"r.txt", "R"}}));
  Configure(K::Uncompress, "z1");
  TPackageFileList out;
  ASSERT_EQ(Run(K::Uncompress, {{"", {box_.Path("in/one.zip")}}, {"", {box_.Path("in/two.zip")}}},
                out),
            0)
      << ResultMsg();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Files, (Strings{Work("p.txt"), Work("q.txt")}));
  EXPECT_EQ(out[1].Files, Strings{Work("r.txt")});
  const auto calls = box_.CallsOf("UnCompress");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1], (Strings{"UnCompress", "0", "Mordane.cfg", "z1", box_.Path("in/two.zip"),
                               task_->FWorkDir, ""}));

  // Two archives that unpack a file of one name (in the letter case the file
  // system folds): the second has overwritten the first one's data, and the
  // step stops.
  const char* const clash = plat::kWindowsPaths ? "Q.TXT" : "q.txt";
  box_.Write("in/three.zip", dvtest::BuildArchive({{clash, "other"}}));
  EXPECT_EQ(Run(K::Uncompress,
                {{"", {box_.Path("in/one.zip")}}, {"", {box_.Path("in/three.zip")}}}, out),
            -1);
  EXPECT_EQ(ResultMsg(), "输出文件[" + Work(clash) + "]重复，处理中止！");
  EXPECT_EQ(out.size(), 1u);
}

}  // namespace
}  // namespace dv
