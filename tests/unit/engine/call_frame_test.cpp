// The export call frame with scripted operations: what goes back into the
// host's buffers for each export, the current directory, null pointers, and
// exceptions and faults that must not get past the frame.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "common/params.h"
#include "engine/call_frame.h"
#include "platform/platform.h"
#include "support/thread_end.h"
#include "unit/engine/engine_fixture.h"

namespace dv {
namespace {

constexpr char kSep = plat::kDirSep;
constexpr const char* kInternal = "组件内部发生异常！";

struct HostBuffer {
  explicit HostBuffer(const std::string& text) : bytes(4096, '\x5A') {
    std::copy(text.begin(), text.end(), bytes.begin());
    bytes[text.size()] = '\0';
  }
  std::string Text() const { return std::string(bytes.data()); }
  std::vector<char> bytes;
};

#if defined(__GNUC__)
__attribute__((noinline, no_sanitize("address", "undefined")))
#endif
void RaiseFault() {
#if defined(_WIN32)
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
#else
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
#endif
}

class CallFrame : public ::testing::Test {
 protected:
  // The host's current directory lies elsewhere than the component's folder.
  void SetUp() override {
    std::filesystem::create_directories(root_ + "host");
    ASSERT_TRUE(plat::SetCurrentDir(root_ + "host"));
    hostDir_ = plat::CurrentDir();
  }

  // Runs op as an export of kind k with the host's message "host=1" and a
  // result buffer holding "HOSTBUF".
  int32_t Run(ExportKind k, const CallOperation& op) {
    msgPtr_ = msg_.bytes.data();
    CallArgs args{k, nullptr, "cfg.xml", "T1", "param", "input", &result_.bytes[0], &msgPtr_};
    if (k == ExportKind::Connect) args.ResultBuf = nullptr;
    const int32_t r = RunExportCall(args, op);
    EXPECT_EQ(plat::CurrentDir(), hostDir_) << "the host's current directory is restored";
    return r;
  }

  testing::ComponentFolder folder_;
  const std::string root_ = folder_.Dir();
  std::string hostDir_;
  HostBuffer msg_{"host=1"}, result_{"HOSTBUF"};
  char* msgPtr_ = nullptr;
};

TEST_F(CallFrame, CopiesBackAsEachExportPrescribes) {
  struct Case {
    ExportKind kind;
    std::string opMsg, opText;
    std::string expectMsg, expectResult;
  };
  const Case cases[] = {
      // DataExport and DataImport always write both, empty texts included.
      {ExportKind::Export, "", "", "", ""},
      {ExportKind::Import, "", "", "", ""},
      {ExportKind::Export, "a=2", "out\\x.xml", "a=2", "out\\x.xml"},
      {ExportKind::Import, "a=2", "<P/>", "a=2", "<P/>"},
      // DataTransmit and IsConnected leave the host's buffers alone for an
      // empty text.
      {ExportKind::Transmit, "", "", "host=1", "HOSTBUF"},
      {ExportKind::Transmit, "a=2", "", "a=2", "HOSTBUF"},
      {ExportKind::Transmit, "", "<P/>", "host=1", "<P/>"},
      {ExportKind::Connect, "", "", "host=1", "HOSTBUF"},
      {ExportKind::Connect, "a=2", "ignored", "a=2", "HOSTBUF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    msg_ = HostBuffer("host=1");
    result_ = HostBuffer("HOSTBUF");
    const int32_t r = Run(c.kind, [&](TTaskProcess&, const std::string&, std::string& text,
                                      std::string& msg) {
      msg = c.opMsg;
      text = c.opText;
      return 5;
    });
    EXPECT_EQ(r, 5);
    EXPECT_EQ(msg_.Text(), c.expectMsg);
    EXPECT_EQ(result_.Text(), c.expectResult);
    EXPECT_EQ(msg_.bytes.back(), '\x5A') << "nothing written past the text";
  }
}

TEST_F(CallFrame, HandsTheOperationItsTextsInTheComponentsFolder) {
  for (ExportKind k : {ExportKind::Import, ExportKind::Export, ExportKind::Transmit,
                       ExportKind::Connect}) {
    SCOPED_TRACE(static_cast<int>(k));
    result_ = HostBuffer("target\\dir");
    Run(k, [&](TTaskProcess& e, const std::string& in, std::string& text, std::string& msg) {
      EXPECT_EQ(plat::FullPathName("x"), root_ + "x") << "the component's folder is current";
      EXPECT_EQ(e.FConfigFile, "cfg.xml");
      EXPECT_EQ(e.FTaskID, k == ExportKind::Connect ? "" : "T1");
      EXPECT_EQ(e.FTaskParam, k == ExportKind::Connect ? "" : "param");
      EXPECT_EQ(in, "input");
      EXPECT_EQ(msg, "host=1");
      EXPECT_EQ(text, k == ExportKind::Export ? "target\\dir" : "")
          << "only DataExport reads its result buffer";
      return 0;
    });
  }
}

TEST_F(CallFrame, NullPointersReadAsEmptyTextAndAreNotWritten) {
  for (int nullMsg = 0; nullMsg < 2; ++nullMsg) {
    char* nullBuffer = nullptr;
    CallArgs args{ExportKind::Export, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullMsg ? nullptr : &nullBuffer};
    bool ran = false;
    const int32_t r = RunExportCall(
        args, [&](TTaskProcess& e, const std::string& in, std::string& text, std::string& msg) {
          ran = true;
          EXPECT_EQ(e.FConfigFile, "");
          EXPECT_EQ(e.FTaskID, "");
          EXPECT_EQ(in, "");
          EXPECT_EQ(text, "");
          EXPECT_EQ(msg, "");
          msg = "a=1";
          text = "t";
          return 0;
        });
    EXPECT_TRUE(ran);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(nullBuffer, nullptr);
    EXPECT_EQ(plat::CurrentDir(), hostDir_);
  }
}

TEST_F(CallFrame, ExceptionsAndFaultsBecomeAnInternalFailure) {
  struct Case {
    const char* what;
    ExportKind kind;
    bool fault;
    int32_t expectCode;
    std::string expectResult;
  };
  const Case cases[] = {
      {"DataExport, exception", ExportKind::Export, false, -1, "HOSTBUF"},
      {"DataImport, exception", ExportKind::Import, false, -1, ""},
      {"DataTransmit, exception", ExportKind::Transmit, false, -1, "HOSTBUF"},
      {"IsConnected, exception", ExportKind::Connect, false, 0, "HOSTBUF"},
      {"DataExport, fault", ExportKind::Export, true, -1, "HOSTBUF"},
      {"DataImport, fault", ExportKind::Import, true, -1, ""},
      {"DataTransmit, fault", ExportKind::Transmit, true, -1, "HOSTBUF"},
      {"IsConnected, fault", ExportKind::Connect, true, 0, "HOSTBUF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    msg_ = HostBuffer("host=1");
    result_ = HostBuffer("HOSTBUF");
    const int32_t r = Run(c.kind, [&](TTaskProcess&, const std::string&, std::string& text,
                                      std::string& msg) -> int32_t {
      msg = "half=built";
      text = "half-built";
      if (c.fault) RaiseFault();
      throw std::runtime_error("boom");
    });
    EXPECT_EQ(r, c.expectCode);
    EXPECT_EQ(GetParamValue(msg_.Text(), "ResultMsgStr"), kInternal);
    EXPECT_EQ(GetParamValue(msg_.Text(), "host"), "1") << "the host's other entries stay";
    EXPECT_EQ(GetParamValue(msg_.Text(), "half"), "");
    EXPECT_EQ(result_.Text(), c.expectResult);
  }
#if !defined(_WIN32)
  // The thread ending inside the call passes the frame, which still puts
  // back the host's current directory.
  const CallArgs args{ExportKind::Connect, nullptr, "cfg.xml", "", "", "input", nullptr, &msgPtr_};
  msgPtr_ = msg_.bytes.data();
  const auto ended = dvtest::ReturnsOnItsOwnThread([&] {
    RunExportCall(args, [](TTaskProcess&, const std::string&, std::string&,
                           std::string&) -> int32_t { pthread_exit(nullptr); });
  });
  EXPECT_EQ(ended, std::optional<bool>(false));
  EXPECT_EQ(plat::CurrentDir(), hostDir_);
#endif
}

}  // namespace
}  // namespace dv
