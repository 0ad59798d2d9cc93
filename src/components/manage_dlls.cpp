// The five wrappers' operations. Every operation runs the same frame: the
// message goes into a zeroed message buffer (with any further buffers the
// export takes), the library is called inside a guard that catches processor
// faults and exceptions, and what the library wrote is read back. A false
// result without a message of the library's own gets the operation's
// internal-failure text; a missing entry point, a fault or an exception gets
// its call-failure text and leaves the caller's out parameters as they were.
#include <algorithm>
#include <cstring>
#include <memory>

#include "common/lines.h"
#include "common/params.h"
#include "common/path.h"
#include "components/manage_dlls.h"

namespace dv {

namespace {

void (*gAfterLibraryCall)() = nullptr;

struct FailureTexts {
  const char* internal;  // the library returned false without a message
  const char* call;      // no entry point, or a fault or exception
};

constexpr FailureTexts kEncodeTexts = {"编码过程中编码组件内部发生异常！",
                                       "编码过程中调用编码组件发生异常！"};
constexpr FailureTexts kDecodeTexts = {"解码过程中编码组件内部发生异常！",
                                       "解码过程中调用编码组件发生异常！"};
constexpr FailureTexts kEncryptTexts = {"加密过程中加解密组件内部发生异常！",
                                        "加密过程中调用加解密组件发生异常！"};
constexpr FailureTexts kDecryptTexts = {"解密过程中加解密组件内部发生异常！",
                                        "解密过程中调用加解密组件发生异常！"};
constexpr FailureTexts kCompressTexts = {"压缩过程中压缩组件内部发生异常！",
                                         "压缩过程中调用压缩组件发生异常！"};
constexpr FailureTexts kUnCompressTexts = {"解压缩过程中压缩组件内部发生异常！",
                                           "解压缩过程中调用压缩组件发生异常！"};
constexpr FailureTexts kIsConnectedTexts = {"判断网络是否连通过程中通讯组件内部发生异常！",
                                            "判断网络是否连通过程中调用通讯组件发生异常！"};
constexpr FailureTexts kSendTexts = {"通讯过程中通讯组件内部发生异常！",
                                     "通讯过程中调用通讯组件发生异常！"};
constexpr FailureTexts kMessagePacketTexts = {"报文生成过程中报文组件内部发生异常！",
                                              "报文生成过程中调用报文组件发生异常！"};
constexpr FailureTexts kMessageParseTexts = {"报文解析过程中报文组件内部发生异常！",
                                             "报文解析过程中调用报文组件发生异常！"};
constexpr const char* kNothingToCompress = "压缩过程中发现需要压缩的源文件不存在！";

// A zero-filled buffer handed to a library, holding a text on entry. It is
// promised at least its fixed size and, for a longer text, the text's length
// plus its zero byte (twice that with headroom), so that nothing is cut. One guard byte more stays zero,
// and reading back never goes past the promised size, so a library that
// leaves no terminating zero cannot make the reader run off the end.
class CallBuffer {
 public:
  // headroom: a buffer that grows for its text grows to twice the text, so
  // that a library can still add to it (a message's "ReturnCode").
  explicit CallBuffer(std::size_t fixedSize, const std::string& text = std::string(),
                      bool headroom = false) {
    const std::size_t len = std::min(text.size(), text.find('\0'));  // a copy stops at a zero
    size_ = std::max(fixedSize, (headroom ? 2 : 1) * (len + 1));
    data_ = std::make_unique<char[]>(size_ + 1);  // value-initialised: all zero
    std::memcpy(data_.get(), text.data(), len);
  }
  char* Data() const { return data_.get(); }
  std::string Text() const {
    const char* p = data_.get();
    return std::string(p, std::find(p, p + size_, '\0'));
  }

 private:
  std::size_t size_ = 0;
  std::unique_ptr<char[]> data_;
};

void SetCallFailure(std::string& msg, const FailureTexts& texts) {
  try {
    msg = SetParamValue(msg, kResultMsgKey, texts.call);
  } catch (...) {
    // Out of memory: the caller's message stays as it was.
  }
}

// The frame every operation runs. invoke(msgRef) calls the library and
// returns its byte; readBack() takes over the out parameters (computing
// them first, then swapping them in, so that a failure while computing
// changes none of them). Nothing is thrown out of here.
template <class Invoke, class ReadBack>
bool RunOperation(const FailureTexts& texts, bool bound, std::string& msg, Invoke invoke,
                  ReadBack readBack) {
  try {
    CallBuffer msgBuf(MessageBufferSize, msg, /*headroom=*/true);
    if (bound) {
      // The library gets the address of this variable; if it stores another
      // address there, ours is still read back and freed.
      char* msgRef = msgBuf.Data();
      LibBool returned = 0;
      const bool completed = plat::Guarded([&] {
        returned = invoke(&msgRef);
        if (gAfterLibraryCall) gAfterLibraryCall();
      });
      // A fault or exception, even after the library had returned true, is a
      // failed call.
      if (completed) {
        const bool result = returned != 0;
        std::string newMsg = msgBuf.Text();
        if (!result && GetParamValue(newMsg, kResultMsgKey).empty())
          newMsg = SetParamValue(newMsg, kResultMsgKey, texts.internal);
        readBack();
        msg.swap(newMsg);
        return result;
      }
    }
  } catch (...) {
    // Out of memory for a buffer, or an exception while reading back.
    plat::PassThreadExit();
  }
  SetCallFailure(msg, texts);
  return false;
}

// The trimmed text of a list, as a file-list buffer receives it.
std::string ListBufferText(const std::vector<std::string>& list) { return Trim(JoinLines(list)); }

template <class Fn>
Fn Bind(plat::ModuleHandle handle, const char* name) {
  return reinterpret_cast<Fn>(plat::FindExport(handle, name));
}

}  // namespace

void SetAfterLibraryCallForTesting(void (*hook)()) { gAfterLibraryCall = hook; }

// ---- TCodeManageDll ----------------------------------------------------------

void TCodeManageDll::BindProcs(plat::ModuleHandle handle) {
  TBaseDll::BindProcs(handle);
  FEncodeProc = Bind<EncodeFn>(handle, "Encode");
  FDecodeProc = Bind<DecodeFn>(handle, "Decode");
}

void TCodeManageDll::UnbindProcs() {
  TBaseDll::UnbindProcs();
  FEncodeProc = nullptr;
  FDecodeProc = nullptr;
}

bool TCodeManageDll::Encode(const std::string& cfgFile, const std::string& implName,
                            const std::string& source, const std::string& target,
                            std::string& msg) {
  return RunOperation(
      kEncodeTexts, FEncodeProc != nullptr, msg,
      [&](char** m) {
        return FEncodeProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                           source.c_str(), target.c_str(), m);
      },
      [] {});
}

bool TCodeManageDll::Decode(const std::string& cfgFile, const std::string& implName,
                            const std::string& source, const std::string& target,
                            std::string& msg) {
  return RunOperation(
      kDecodeTexts, FDecodeProc != nullptr, msg,
      [&](char** m) {
        return FDecodeProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                           source.c_str(), target.c_str(), m);
      },
      [] {});
}

// ---- TCryptManageDll ---------------------------------------------------------

void TCryptManageDll::BindProcs(plat::ModuleHandle handle) {
  TBaseDll::BindProcs(handle);
  FEncryptProc = Bind<EncryptFn>(handle, "Encrypt");
  FDecryptProc = Bind<DecryptFn>(handle, "Decrypt");
}

void TCryptManageDll::UnbindProcs() {
  TBaseDll::UnbindProcs();
  FEncryptProc = nullptr;
  FDecryptProc = nullptr;
}

bool TCryptManageDll::Encrypt(const std::string& cfgFile, const std::string& implName,
                              const std::string& taskParam, const std::string& source,
                              const std::string& target, std::string& msg) {
  return RunOperation(
      kEncryptTexts, FEncryptProc != nullptr, msg,
      [&](char** m) {
        return FEncryptProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                            taskParam.c_str(), source.c_str(), target.c_str(), m);
      },
      [] {});
}

bool TCryptManageDll::Decrypt(const std::string& cfgFile, const std::string& implName,
                              const std::string& taskParam, const std::string& source,
                              const std::string& target, std::string& msg) {
  return RunOperation(
      kDecryptTexts, FDecryptProc != nullptr, msg,
      [&](char** m) {
        return FDecryptProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                            taskParam.c_str(), source.c_str(), target.c_str(), m);
      },
      [] {});
}

// ---- TCompressManageDll ------------------------------------------------------

void TCompressManageDll::BindProcs(plat::ModuleHandle handle) {
  TBaseDll::BindProcs(handle);
  FCompressProc = Bind<CompressFn>(handle, "Compress");
  FUnCompressProc = Bind<UnCompressFn>(handle, "UnCompress");
}

void TCompressManageDll::UnbindProcs() {
  TBaseDll::UnbindProcs();
  FCompressProc = nullptr;
  FUnCompressProc = nullptr;
}

bool TCompressManageDll::Compress(const std::string& cfgFile, const std::string& implName,
                                  const std::vector<std::string>& fileList,
                                  const std::string& target, std::string& msg) {
  if (fileList.empty()) {
    try {
      msg = SetParamValue(msg, kResultMsgKey, kNothingToCompress);
    } catch (...) {
    }
    return false;
  }
  std::string listText;
  try {
    listText = JoinLines(fileList);
  } catch (...) {
    SetCallFailure(msg, kCompressTexts);
    return false;
  }
  return RunOperation(
      kCompressTexts, FCompressProc != nullptr, msg,
      [&](char** m) {
        return FCompressProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                             listText.c_str(), target.c_str(), m);
      },
      [] {});
}

bool TCompressManageDll::UnCompress(const std::string& cfgFile, const std::string& implName,
                                    const std::string& source,
                                    std::vector<std::string>& fileList, std::string& msg) {
  std::unique_ptr<CallBuffer> listBuf;
  try {
    listBuf = std::make_unique<CallBuffer>(FileListBufferSize, ListBufferText(fileList));
  } catch (...) {
    SetCallFailure(msg, kUnCompressTexts);
    return false;
  }
  return RunOperation(
      kUnCompressTexts, FUnCompressProc != nullptr, msg,
      [&](char** m) {
        return FUnCompressProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                               source.c_str(), listBuf->Data(), m);
      },
      [&] {
        std::vector<std::string> lines = SplitLines(listBuf->Text());
        fileList.swap(lines);
      });
}

// ---- TNetManageDll -----------------------------------------------------------

void TNetManageDll::BindProcs(plat::ModuleHandle handle) {
  TBaseDll::BindProcs(handle);
  FSendProc = Bind<SendFn>(handle, "Send");
  FIsConnectedProc = Bind<IsConnectedFn>(handle, "IsConnected");
  FIsServerConnectedProc = Bind<IsServerConnectedFn>(handle, "IsServerConnected");
}

void TNetManageDll::UnbindProcs() {
  TBaseDll::UnbindProcs();
  FSendProc = nullptr;
  FIsConnectedProc = nullptr;
  FIsServerConnectedProc = nullptr;
}

bool TNetManageDll::IsConnected(const std::string& communCfgFile,
                                const std::string& proxyCfgFile, const std::string& netParam,
                                std::string& msg) {
  return RunOperation(
      kIsConnectedTexts, FIsConnectedProc != nullptr, msg,
      [&](char** m) {
        return FIsConnectedProc(ApplicationWindowHandle(), communCfgFile.c_str(),
                                proxyCfgFile.c_str(), netParam.c_str(), m);
      },
      [] {});
}

bool TNetManageDll::Send(const std::string& communCfgFile, const std::string& proxyCfgFile,
                         const std::string& implName, int32_t value, std::string_view request,
                         std::string& reply, std::string& msg) {
  std::unique_ptr<CallBuffer> replyBuf;
  try {
    replyBuf = std::make_unique<CallBuffer>(ReplyBufferSize);
  } catch (...) {
    SetCallFailure(msg, kSendTexts);
    return false;
  }
  int32_t replyLen = 0;  // the library may set it; it is never read
  return RunOperation(
      kSendTexts, FSendProc != nullptr, msg,
      [&](char** m) {
        return FSendProc(ApplicationWindowHandle(), communCfgFile.c_str(), proxyCfgFile.c_str(),
                         implName.c_str(), value,
                         request.empty() ? "" : request.data(),
                         static_cast<int32_t>(request.size()), replyBuf->Data(), &replyLen, m);
      },
      [&] {
        std::string text = replyBuf->Text();
        reply.swap(text);
      });
}

// ---- TMessageManageDll -------------------------------------------------------

void TMessageManageDll::BindProcs(plat::ModuleHandle handle) {
  TBaseDll::BindProcs(handle);
  FMessageParseProc = Bind<MessageParseFn>(handle, "MessageParse");
  FMessagePacketProc = Bind<MessagePacketFn>(handle, "MessagePacket");
}

void TMessageManageDll::UnbindProcs() {
  TBaseDll::UnbindProcs();
  FMessageParseProc = nullptr;
  FMessagePacketProc = nullptr;
}

bool TMessageManageDll::MessagePacket(const std::string& cfgFile, const std::string& implName,
                                      const std::vector<std::string>& fileList,
                                      const std::string& target, const std::string& taskParam,
                                      const std::string& serviceId,
                                      const std::string& contentControl, std::string& msg) {
  std::string listText;
  try {
    listText = JoinLines(fileList);
  } catch (...) {
    SetCallFailure(msg, kMessagePacketTexts);
    return false;
  }
  return RunOperation(
      kMessagePacketTexts, FMessagePacketProc != nullptr, msg,
      [&](char** m) {
        return FMessagePacketProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                                  listText.c_str(), target.c_str(), taskParam.c_str(),
                                  serviceId.c_str(), contentControl.c_str(), m);
      },
      [] {});
}

bool TMessageManageDll::MessageParse(const std::string& cfgFile, const std::string& implName,
                                     const std::string& source,
                                     std::vector<std::string>& fileList, std::string& out1,
                                     std::string& out2, std::string& out3, std::string& msg) {
  std::unique_ptr<CallBuffer> listBuf, outBuf[3];
  try {
    listBuf = std::make_unique<CallBuffer>(MessageBufferSize, ListBufferText(fileList));
    for (auto& b : outBuf) b = std::make_unique<CallBuffer>(MessageBufferSize);
  } catch (...) {
    SetCallFailure(msg, kMessageParseTexts);
    return false;
  }
  return RunOperation(
      kMessageParseTexts, FMessageParseProc != nullptr, msg,
      [&](char** m) {
        return FMessageParseProc(ApplicationWindowHandle(), cfgFile.c_str(), implName.c_str(),
                                 source.c_str(), listBuf->Data(), outBuf[0]->Data(),
                                 outBuf[1]->Data(), outBuf[2]->Data(), m);
      },
      [&] {
        std::string t1 = outBuf[0]->Text(), t2 = outBuf[1]->Text(), t3 = outBuf[2]->Text();
        std::vector<std::string> lines = SplitLines(listBuf->Text());
        out1.swap(t1);
        out2.swap(t2);
        out3.swap(t3);
        fileList.swap(lines);
      });
}

}  // namespace dv
