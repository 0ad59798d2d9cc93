// Misbehaving siblings at every step of a full DataTransmit: each library
// export returning false (with and without a text of its own), faulting,
// throwing, missing, leaving its buffers unterminated or over-full, and
// replies that name files outside the work folder or the host's own files.
// Every case ends with its code and message, leaves the host's files as they
// were, and writes nothing outside the work and backup folders but what a
// library itself was steered to write.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/params.h"
#include "e2e_harness.h"
#include "hostile_support.h"

namespace dvtest::e2e {
namespace {

using Strings = std::vector<std::string>;

// One step of the exchange and the export its library runs there.
struct StepExport {
  const char* step;
  const char* lib;
  const char* exportName;
  const char* internalText;  // the library returned false without a text
  const char* callText;      // no export, a fault or an exception
  const char* missingVariant;
};

const StepExport kSteps[] = {
    {"Compress", "Mordane", "Compress", "压缩过程中压缩组件内部发生异常！",
     "压缩过程中调用压缩组件发生异常！", "no-exports"},
    {"Crypt", "Sibbert", "Encrypt", "加密过程中加解密组件内部发生异常！",
     "加密过程中调用加解密组件发生异常！", "no-exports"},
    {"Code", "Ulvaran", "Encode", "编码过程中编码组件内部发生异常！",
     "编码过程中调用编码组件发生异常！", "no-encode"},
    {"Request", "Quembry", "MessagePacket", "报文生成过程中报文组件内部发生异常！",
     "报文生成过程中调用报文组件发生异常！", "no-exports"},
    {"Communication", "Tressil", "Send", "通讯过程中通讯组件内部发生异常！",
     "通讯过程中调用通讯组件发生异常！", "no-exports"},
    {"Response", "Quembry", "MessageParse", "报文解析过程中报文组件内部发生异常！",
     "报文解析过程中调用报文组件发生异常！", "no-message-parse"},
    {"Decode", "Ulvaran", "Decode", "解码过程中编码组件内部发生异常！",
     "解码过程中调用编码组件发生异常！", "no-decode"},
    {"Decrypt", "Sibbert", "Decrypt", "解密过程中加解密组件内部发生异常！",
     "解密过程中调用加解密组件发生异常！", "no-decrypt"},
    {"Uncompress", "Mordane", "UnCompress", "解压缩过程中压缩组件内部发生异常！",
     "解压缩过程中调用压缩组件发生异常！", "no-uncompress"},
};

enum class Expect { Internal, Call, Own };

struct Misbehaviour {
  const char* what;
  std::function<void(Sandbox&, const StepExport&)> steer;
  Expect expect;
  bool jumps = false;  // the double leaves its frames without returning
};

void Mode(Sandbox& b, const StepExport& s, const char* mode) { b.SetMode(s.lib, s.exportName, mode); }

const std::vector<Misbehaviour>& CommonMisbehaviours() {
  static const std::vector<Misbehaviour> all = {
      {"false without a text", [](Sandbox& b, const StepExport& s) { Mode(b, s, "false"); },
       Expect::Internal},
      {"false with an empty text",
       [](Sandbox& b, const StepExport& s) { Mode(b, s, "false-empty"); }, Expect::Internal},
      {"false with its own text",
       [](Sandbox& b, const StepExport& s) { Mode(b, s, "false-text"); }, Expect::Own},
      {"a processor fault", [](Sandbox& b, const StepExport& s) { Mode(b, s, "fault"); },
       Expect::Call, true},
      {"a division by zero", [](Sandbox& b, const StepExport& s) { Mode(b, s, "fault-div"); },
       Expect::Call, true},
      {"a stack overflow", [](Sandbox& b, const StepExport& s) { Mode(b, s, "recurse"); },
       Expect::Call, true},
      {"an exception", [](Sandbox& b, const StepExport& s) { Mode(b, s, "throw"); },
       Expect::Call, true},
      {"the export missing",
       [](Sandbox& b, const StepExport& s) { b.UseVariant(s.lib, s.missingVariant); },
       Expect::Call},
  };
  return all;
}

// A library that answers true without doing its work leaves its output
// files missing: the next step fails on them, with the next library's own
// text, also when the message buffer was left full and unterminated.
struct WorklessOutcome {
  int code;
  const char* message;  // "{work}" is the work folder, "{stamp}" a time stamp
};
const WorklessOutcome kWorkless[] = {
    {-1, "Sibbert.Encrypt: cannot read [{work}orders.zip]"},
    {-1, "Ulvaran.Encode: cannot read [{work}orders.enc]"},
    {-1, "Quembry.MessagePacket: cannot read [{work}orders.b64]"},
    {-1, "读取报文文件[{work}Message_request_{stamp}.xml]出错！"},
    {-1, "Quembry.MessageParse: not a reply message"},
    {-8, "反馈文件不符合格式：缺少反馈代码！"},
    {-1, "Sibbert.Decrypt: cannot read [{work}orders.enc]"},
    {-1, "Mordane.UnCompress: cannot read [{work}orders.zip]"},
    // Both packages unpack to the one path the list buffer held: the work
    // folder itself.
    {-1, "输出文件[{work}]重复，处理中止！"},
};

class Siblings : public ::testing::TestWithParam<int> {
 protected:
  const StepExport& Step() const { return kSteps[GetParam()]; }
};

struct Outcome {
  CallResult r;
  TreeSnapshot before;
  CallTrace trace;
};

// One full exchange in a fresh sandbox, steered by setup; the host's
// packages unless packages gives others.
Outcome RunExchange(const std::function<void(Harness&)>& setup,
                    const std::function<std::string(Harness&)>& packages = nullptr,
                    bool doubleJumps = false) {
  Harness x;
  x.Configure({FullTask()});
  WriteHostFiles(x);
  setup(x);
  Outcome o;
  o.before = Snapshot(x);
  CallOptions opt;
  opt.TaskParam = kTaskParam;
  opt.Msg = "Host=1";
  {
    // What a faulting double held is its own loss, not the component's.
    std::unique_ptr<LeaksIgnored> ignore;
    if (doubleJumps) ignore = std::make_unique<LeaksIgnored>();
    o.r = x.Transmit("FULL", packages ? packages(x) : HostPackagesXml(x), opt);
  }
  o.trace = TraceCall(x, o.before);
  return o;
}

// Every way a library can fail at this step ends the exchange with the
// wrapper's or the library's text; nothing of the host's changes.
TEST_P(Siblings, EveryFailureGivesItsCodeAndMessageAndLeavesTheHostAlone) {
  const StepExport& s = Step();
  for (const Misbehaviour& m : CommonMisbehaviours()) {
    SCOPED_TRACE(std::string(s.step) + ": " + m.what);
    const Outcome o = RunExchange([&](Harness& x) { m.steer(x.Box(), s); }, nullptr, m.jumps);
    EXPECT_EQ(o.r.Code, -1);
    std::string expected;
    switch (m.expect) {
      case Expect::Internal: expected = s.internalText; break;
      case Expect::Call: expected = s.callText; break;
      case Expect::Own: expected = std::string(s.lib) + "." + s.exportName + " refused"; break;
    }
    EXPECT_EQ(o.r.ResultMsg, expected);
    EXPECT_EQ(dv::GetParamValue(o.r.Msg, "Host"), "1") << "the host's entries stay";
    EXPECT_EQ(o.r.Text, "UNTOUCHED") << "no output after a failure";
    ExpectHostUnchangedAndNothingOutside(o.before, o.trace, o.r.ResultMsg);
  }
}

// A library that answers true but leaves the message buffer without a zero
// byte, or swaps the buffer's address: the component reads no further than
// the buffer and the exchange ends with a plain code.
TEST_P(Siblings, UnterminatedOrSwappedMessageBuffersAreReadWithinTheBuffer) {
  const StepExport& s = Step();
  for (const char* mode : {"unterminated", "replace-buffer"}) {
    SCOPED_TRACE(std::string(s.step) + ": " + mode);
    const Outcome o = RunExchange([&](Harness& x) { Mode(x.Box(), s, mode); });
    const WorklessOutcome& want = kWorkless[GetParam()];
    const bool unterminated = std::string(mode) == "unterminated";
    EXPECT_EQ(o.r.Code, want.code);
    // The next library's own text fits either way: a long message gets room
    // to grow.
    EXPECT_TRUE(MatchesMessage(want.message, o.r.ResultMsg, o.trace.workDir))
        << Shown(o.r.ResultMsg);
    if (unterminated) {
      // The buffer is promised 10240 bytes, or twice a longer message and its
      // zero byte: each call of the steered export fills exactly what it was
      // promised, the first 10240, the next twice that and one more, ...
      const std::size_t run = std::min(o.r.Msg.find("MMMM"), o.r.Msg.size());
      const std::size_t end = std::min(o.r.Msg.find_first_not_of('M', run), o.r.Msg.size());
      bool promised = false;
      for (std::size_t size = 10240; size <= 10240u * 64; size = 2 * (size + 1))
        promised = promised || end - run == size;
      EXPECT_TRUE(promised) << "a run of " << (end - run) << " bytes";
    } else {
      EXPECT_EQ(o.r.Msg.find("Replaced=1"), std::string::npos)
          << "the swapped-in buffer is not read";
    }
    ExpectHostUnchangedAndNothingOutside(o.before, o.trace, Shown(o.r.ResultMsg));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, Siblings, ::testing::Range(0, 9),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(kSteps[i.param].step);
                         });

// A sibling library file that is missing altogether: the first step that
// needs it fails with its call-failure text, and the steps before it have run.
TEST(HostileBuffers, AMissingLibraryFailsTheFirstStepThatNeedsIt) {
  for (const int k : {0, 1, 2, 3, 4}) {
    const StepExport& s = kSteps[k];
    SCOPED_TRACE(s.lib);
    const Outcome o = RunExchange([&](Harness& x) { x.Box().Remove(s.lib); });
    EXPECT_EQ(o.r.Code, -1);
    EXPECT_EQ(o.r.ResultMsg, s.callText);
    ExpectHostUnchangedAndNothingOutside(o.before, o.trace, o.r.ResultMsg);
  }
}

// Misbehaviour that belongs to one export: the reply buffer, the file-list
// buffers and the out buffers left without a zero byte.
TEST(HostileBuffers, UnterminatedReplyListAndOutBuffers) {
  struct Case {
    const char* what;
    const char* lib;
    const char* exportName;
    const char* mode;
    std::string message;
  };
  const Case cases[] = {
      // 10 MiB of "R": not a reply message.
      {"the reply buffer", "Tressil", "Send", "overlong-reply",
       "Quembry.MessageParse: not a reply message"},
      // A reply cut at its zero byte is not a message either.
      {"a reply with a zero byte", "Tressil", "Send", "reply-nul",
       "Quembry.MessageParse: not a reply message"},
      // The list reads as one path of the buffer's 10240 "L" bytes, which
      // names no file; the library's own text about it is cut to the
      // message buffer.
      {"the reply's file list", "Quembry", "MessageParse", "unterminated-list",
       "Ulvaran.Decode: cannot read [" + std::string(100, 'L') + "{more}"},
      // The contentControl XML is 10240 "O" bytes: not XML.
      {"the out buffers", "Quembry", "MessageParse", "unterminated-out",
       "解析反馈文件中的报文控制信息出错！"},
      // Both packages unpack to one path of the buffer's 20480 "L" bytes.
      {"the unpacked file list", "Mordane", "UnCompress", "unterminated-list",
       "输出文件[" + std::string(20480, 'L') + "]重复，处理中止！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = RunExchange([&](Harness& x) { x.Box().SetMode(c.lib, c.exportName, c.mode); });
    EXPECT_EQ(o.r.Code, -1);
    EXPECT_TRUE(MatchesMessage(c.message, o.r.ResultMsg, o.trace.workDir)) << Shown(o.r.ResultMsg);
    EXPECT_LE(o.r.Msg.size(), 40u << 10) << "the message stays within what the buffers held";
    ExpectHostUnchangedAndNothingOutside(o.before, o.trace, Shown(o.r.ResultMsg));
  }
}

// Replies that name files outside the work folder, or the host's own files:
// the steps after the Response step read them, and none is ever deleted.
TEST(HostileReplies, FilesNamedOutsideTheWorkFolderAreNeverDeleted) {
  struct Case {
    const char* what;
    std::function<Strings(Harness&)> steer;  // returns files the library itself writes
    bool passThrough;  // Decode, Decrypt and UnCompress copy what they get
    bool onePackage;   // the host hands in only its first package
    int code;
  };
  const std::string sep(1, kSep);
  const Case cases[] = {
      {"a reply list naming a host file",
       [](Harness& x) {
         x.Box().Set("Quembry", "MessageParse.list", x.Path("data/a/orders.xml") + "\r\n");
         return Strings{};
       },
       true, false, 0},
      {"a reply list naming the component's own files, relative and through \"..\"",
       [sep](Harness& x) {
         x.Box().Set("Quembry", "MessageParse.list",
                     "component.xml\r\n" + x.Path("temp") + sep + ".." + sep + "tasks.xml\r\n" +
                         x.Box().LibPath("Ulvaran") + "\r\n");
         return Strings{};
       },
       true, false, 0},
      {"a reply list naming a host file, with the real decoder refusing it",
       [](Harness& x) {
         x.Box().Set("Quembry", "MessageParse.list", x.Path("data/b/customers.csv") + "\r\n");
         return Strings{};
       },
       false, false, -1},
      {"a reply whose files lie one folder above the work folder",
       [](Harness& x) {
         x.Box().Set("Tressil", "replyNames", "outside");
         return Strings{"temp/orders.b64", "temp/customers.b64"};
       },
       false, false, 0},
      {"a reply whose files lie in another folder altogether",
       [](Harness& x) {
         x.Box().MakeDirs("elsewhere");
         x.Box().Set("Tressil", "replyNames", "prefix:" + x.Path("elsewhere") + std::string(1, kSep));
         return Strings{"elsewhere/orders.b64", "elsewhere/customers.b64"};
       },
       false, false, 0},
      {"an unpacked list naming a host file",
       [](Harness& x) {
         x.Box().Set("Mordane", "UnCompress.list", x.Path("data/a/notes.txt") + "\r\n");
         return Strings{};
       },
       false, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Strings libraryWrites;
    const Outcome o = RunExchange(
        [&](Harness& x) {
          libraryWrites = c.steer(x);
          if (c.passThrough) {
            x.Box().SetMode("Ulvaran", "Decode", "copy");
            x.Box().SetMode("Sibbert", "Decrypt", "copy");
            x.Box().SetMode("Mordane", "UnCompress", "copy");
          }
        },
        c.onePackage ? [](Harness& x) { return PackagesXml({{"orders", {x.Path("data/a/orders.xml")}}}); }
                     : std::function<std::string(Harness&)>());
    EXPECT_EQ(o.r.Code, c.code) << o.r.ResultMsg;
    ExpectHostUnchangedAndNothingOutside(o.before, o.trace, o.r.ResultMsg, libraryWrites);
    for (const std::string& f : libraryWrites)
      EXPECT_TRUE(o.trace.after.count(f)) << f << ": what the library wrote outside stays";
  }
}

}  // namespace
}  // namespace dvtest::e2e
