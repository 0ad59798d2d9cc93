#include "engine/call_frame.h"

#include <cstring>

#include "common/files.h"
#include "common/params.h"
#include "common/variant.h"
#include "components/manage_dlls.h"
#include "platform/platform.h"

namespace dv {

namespace {

constexpr const char* kInternalFailureMsg = "组件内部发生异常！";

// A null text pointer reads as the empty text.
std::string HostText(const char* p) { return p ? std::string(p) : std::string(); }

// The host's message buffer, or null when MsgBuf leads nowhere.
char* HostMsgBuffer(char** msgBuf) { return msgBuf ? *msgBuf : nullptr; }

// The text's bytes up to its first zero byte, then a zero byte; the host
// guarantees the room. A null buffer is not written.
void CopyToHost(char* buf, const std::string& text) {
  if (!buf) return;
  const std::size_t n = std::strlen(text.c_str());
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

void CopyBack(const CallArgs& a, const std::string& msg, const std::string& resultText) {
  char* msgBuf = HostMsgBuffer(a.MsgBuf);
  switch (a.Kind) {
    case ExportKind::Export:
    case ExportKind::Import:
      CopyToHost(msgBuf, msg);
      CopyToHost(a.ResultBuf, resultText);
      break;
    case ExportKind::Transmit:
      if (!msg.empty()) CopyToHost(msgBuf, msg);
      if (!resultText.empty()) CopyToHost(a.ResultBuf, resultText);
      break;
    case ExportKind::Connect:
      if (!msg.empty()) CopyToHost(msgBuf, msg);
      break;
  }
}

// Runs f; a C++ exception or a fault inside it only makes it return false.
template <class F>
bool Shielded(F&& f) {
  bool thrown = false;
  const bool returned = plat::Guarded([&] {
    try {
      f();
    } catch (...) {
      plat::PassThreadExit();
      thrown = true;
    }
  });
  return returned && !thrown;
}

}  // namespace

CallOperation OperationFor(ExportKind Kind) {
  switch (Kind) {
    case ExportKind::Import:
      return [](TTaskProcess& e, const std::string& in, std::string& out, std::string& msg) {
        return e.ImportData(in, out, msg);
      };
    case ExportKind::Export:
      return [](TTaskProcess& e, const std::string& in, std::string& target, std::string& msg) {
        return e.ExportData(in, target, msg);
      };
    case ExportKind::Transmit:
      return [](TTaskProcess& e, const std::string& in, std::string& out, std::string& msg) {
        return e.TransmitData(in, out, msg);
      };
    case ExportKind::Connect:
      break;
  }
  return [](TTaskProcess& e, const std::string& in, std::string&, std::string& msg) {
    return e.CheckConnection(in, msg) ? 1 : 0;
  };
}

// Everything an export does around its operation happens here, so a change
// to the frame is made in this one place. This build never reads the host's
// window handle; the earlier build makes it the application window handle
// for the call, so that every library call receives it.
int32_t RunExportCall(const CallArgs& Args, const CallOperation& Op) {
  const bool connect = Args.Kind == ExportKind::Connect;
  std::string savedDir;
  Shielded([&] {
    savedDir = plat::CurrentDir();
    plat::SetCurrentDir(GetThisModuleDir());
  });
  const WindowHandle savedHandle = ApplicationWindowHandle();
  if constexpr (kEarlierBuild) SetApplicationWindowHandle(Args.WindowHandle);

  int32_t result = -1;
  TTaskProcess* engine = nullptr;
  // Put back on the way out, also when the thread ends inside the call.
  struct Restore {
    TTaskProcess*& engine;
    const std::string& savedDir;
    WindowHandle savedHandle;
    ~Restore() {
      Shielded([&] { delete engine; });
      if constexpr (kEarlierBuild) SetApplicationWindowHandle(savedHandle);
      Shielded([&] {
        if (!savedDir.empty()) plat::SetCurrentDir(savedDir);
      });
    }
  } restore{engine, savedDir, savedHandle};
  std::string hostMsg, msg, hostTarget, resultText;
  bool thrown = false;
  const bool returned = plat::Guarded([&] {
    try {
      if (Args.Kind == ExportKind::Export) hostTarget = resultText = HostText(Args.ResultBuf);
      // Taken before the engine exists, so that a failure while it is made
      // still answers with the host's message.
      hostMsg = msg = HostText(HostMsgBuffer(Args.MsgBuf));
      engine = new TTaskProcess(HostText(Args.ConfigFile),
                                connect ? std::string() : HostText(Args.TaskID),
                                connect ? std::string() : HostText(Args.TaskParam));
      result = Op(*engine, HostText(Args.Input), resultText, msg);
    } catch (...) {
      plat::PassThreadExit();
      thrown = true;
    }
  });

  Shielded([&] {
    if (!returned || thrown) {
      // The working texts may be half-built: answer from what the host gave.
      result = connect ? 0 : -1;
      msg = SetParamValue(hostMsg, kResultMsgKey, kInternalFailureMsg);
      resultText = hostTarget;  // empty but for Export
    }
    CopyBack(Args, msg, resultText);
  });
  return result;
}

}  // namespace dv
