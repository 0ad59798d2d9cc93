// What all step handlers share: no work without packages, packages of the
// wrong shape refused, a failing or missing library ending the step at once
// with nothing backed up, and a step that succeeded backing up its output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/path.h"
#include "handlers_fixture.h"
#include "support/sandbox.h"

namespace dv {
namespace {

using testing::HandlerTest;
using K = TStepKind;

struct Handler {
  K kind;
  const char* lib;
  const char* exportName;
  const char* callFailure;  // the wrapper's text when the library cannot be called
};
const Handler kHandlers[] = {
    {K::Compress, "Mordane", "Compress", "压缩过程中调用压缩组件发生异常！"},
    {K::Crypt, "Sibbert", "Encrypt", "加密过程中调用加解密组件发生异常！"},
    {K::Code, "Ulvaran", "Encode", "编码过程中调用编码组件发生异常！"},
    {K::Request, "Quembry", "MessagePacket", "报文生成过程中调用报文组件发生异常！"},
    {K::Communication, "Tressil", "Send", "通讯过程中调用通讯组件发生异常！"},
    {K::Response, "Quembry", "MessageParse", "报文解析过程中调用报文组件发生异常！"},
    {K::Decode, "Ulvaran", "Decode", "解码过程中调用编码组件发生异常！"},
    {K::Decrypt, "Sibbert", "Decrypt", "解密过程中调用加解密组件发生异常！"},
    {K::Uncompress, "Mordane", "UnCompress", "解压缩过程中调用压缩组件发生异常！"},
};

using Frame = HandlerTest;

TEST_F(Frame, AMissingLibraryFailsTheStepWithTheWrapperText) {
  const std::string file = Host("f.dat", "F");
  for (const Handler& h : kHandlers) {
    box_.Remove(h.lib);
    Configure(h.kind, "n");
    msg_.clear();
    TPackageFileList out;
    EXPECT_EQ(Run(h.kind, {{"", {file}}}, out), -1) << h.exportName;
    EXPECT_EQ(ResultMsg(), h.callFailure) << h.exportName;
    EXPECT_TRUE(out.empty()) << h.exportName;
    box_.UseVariant(h.lib, "no-exports");  // put a library back; its exports are missing
    EXPECT_EQ(Run(h.kind, {{"", {file}}}, out), -1) << h.exportName;
    EXPECT_EQ(ResultMsg(), h.callFailure) << h.exportName;
  }
  EXPECT_TRUE(box_.CallLog().empty());
}

TEST_F(Frame, WithoutPackagesTheDataStepsCallNoLibraryEvenAMissingOne) {
  for (const char* lib : {"Mordane", "Sibbert", "Ulvaran"}) box_.Remove(lib);
  for (K k : {K::Compress, K::Crypt, K::Code, K::Decode, K::Decrypt, K::Uncompress}) {
    Configure(k, "");  // even without an implementation name
    TPackageFileList out;
    EXPECT_EQ(Run(k, {}, out), 0) << KindIndex(k);
    EXPECT_TRUE(out.empty());
  }
  EXPECT_EQ(msg_, "");
}

TEST_F(Frame, PackagesOfTheWrongShapeAreRefusedBeforeAnyCall) {
  const char* const kNoFile = "找不到需要处理的文件！";
  const char* const kSeveral = "文件包含有多个文件，必须先配置压缩步骤！";
  const std::string a = Host("a.dat", "A"), b = Host("b.dat", "B");
  const struct {
    K kind;
    const char* name;
    TPackageFileList in;
    const char* text;
  } cases[] = {
      {K::Crypt, "k", {{"", {a}}, {"", {a, b}}}, kSeveral},
      {K::Code, "u", {{"", {a, b}}}, kSeveral},
      {K::Decode, "u", {{"", {a, b}}}, kSeveral},
      {K::Decrypt, "k", {{"", {a}}, {"", {a, b}}}, kSeveral},
      {K::Crypt, "k", {{"", {}}}, kNoFile},
      {K::Code, "u", {{"", {}}}, kNoFile},
      {K::Decode, "u", {{"", {a}}, {"", {}}}, kNoFile},
      {K::Decrypt, "k", {{"", {}}}, kNoFile},
      {K::Uncompress, "z", {{"", {a}}, {"", {}}}, kNoFile},
      {K::Response, "m", {{"", {}}}, kNoFile},
      {K::Response, "m", {}, kNoFile},
      {K::Communication, "c", {}, kNoFile},
      // No implementation name at all: no pass would hand the files on.
      {K::Crypt, "", {{"", {a}}}, "加密过程中找不到加密实现名称！"},
      {K::Decrypt, "", {{"", {a}}}, "解密过程中找不到解密实现名称！"},
  };
  for (const auto& c : cases) {
    Configure(c.kind, c.name);
    msg_.clear();
    TPackageFileList out;
    EXPECT_EQ(Run(c.kind, c.in, out), -1) << KindIndex(c.kind);
    EXPECT_EQ(ResultMsg(), c.text) << KindIndex(c.kind);
    EXPECT_TRUE(out.empty());
  }
  EXPECT_TRUE(box_.CallLog().empty());
}

TEST_F(Frame, AFailureOnTheSecondOfThreePackagesBacksUpNothingASuccessEveryOutput) {
  // The inbound steps get their input from the outbound step they undo.
  const struct {
    Handler h;
    K producer;
  } cases[] = {
      {kHandlers[0], K::Compress}, {kHandlers[1], K::Crypt},   {kHandlers[2], K::Code},
      {kHandlers[6], K::Code},     {kHandlers[7], K::Crypt},   {kHandlers[8], K::Compress},
  };
  const TPackageFileList host = {
      {"", {Host("p1.txt", "1")}}, {"", {Host("p2.txt", "2")}}, {"", {Host("p3.txt", "3")}}};
  for (const auto& c : cases) {
    TPackageFileList in = host;
    if (c.producer != c.h.kind) {
      Configure(c.producer, "n", "*.mid");
      ASSERT_EQ(Run(c.producer, host, in), 0) << ResultMsg();
    }
    box_.ClearSteering(c.h.lib);
    box_.ClearCallLog();
    box_.SetMode(c.h.lib, c.h.exportName, "false-text");
    box_.Set(c.h.lib, std::string(c.h.exportName) + ".onCall", "2");
    Configure(c.h.kind, "n", "*.out");
    WithBackup(c.h.kind);
    msg_.clear();
    TPackageFileList out;
    EXPECT_EQ(Run(c.h.kind, in, out), -1) << c.h.exportName;
    EXPECT_EQ(ResultMsg(), std::string(c.h.lib) + "." + c.h.exportName + " refused");
    EXPECT_EQ(out.size(), 1u) << c.h.exportName;
    EXPECT_EQ(box_.CallsOf(c.h.exportName).size(), 2u) << c.h.exportName;
    EXPECT_TRUE(Backups().empty()) << c.h.exportName;
    box_.ClearSteering(c.h.lib);

    // Once it succeeds, every output file is backed up, in order.
    msg_.clear();
    ASSERT_EQ(Run(c.h.kind, in, out), 0) << ResultMsg();
    std::vector<std::string> copies;
    for (const std::string& f : FilesOf(out)) copies.push_back(box_.Path("bak/" + FileNamePart(f)));
    EXPECT_EQ(copies.size(), 3u) << c.h.exportName;
    EXPECT_EQ(Backups(), copies) << c.h.exportName;
  }
}

}  // namespace
}  // namespace dv
