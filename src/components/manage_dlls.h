// Wrappers of the five sibling libraries. A wrapper lives for one step run:
// created (which loads the library and binds its exports), used, destroyed
// (which unloads it). No failure on the library side reaches the caller as
// anything but a false result and a "ResultMsgStr" text in Msg.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/sibling_api.h"
#include "platform/platform.h"

namespace dv {

inline constexpr int MessageBufferSize = 10240;
inline constexpr int FileListBufferSize = 20480;
inline constexpr int ReplyBufferSize = 10485760;

// The component's application window handle: null in this build; the earlier
// build sets it to the host's handle for the duration of an export call.
WindowHandle ApplicationWindowHandle();
void SetApplicationWindowHandle(WindowHandle handle);

// Tests only: a function run inside the guarded region of every operation
// right after the library returned (nullptr: none), so that a fault or an
// exception at that point can be provoked.
void SetAfterLibraryCallForTesting(void (*hook)());

// Library file names, in the component's folder.
std::string CodeDllName();      // "Ulvaran.dll"
std::string CryptDllName();     // "Sibbert.dll"
std::string CompressDllName();  // "Mordane.dll"
std::string NetDllName();       // "Tressil.dll"
std::string MessageDllName();   // "Quembry.dll"

class TBaseDll {
 public:
  virtual ~TBaseDll();  // UnloadDll
  TBaseDll(const TBaseDll&) = delete;
  TBaseDll& operator=(const TBaseDll&) = delete;

  // Creates a wrapper of class T for the library at fileName, loaded and
  // bound through T's own BindProcs. Never fails because of the library.
  template <class T>
  static std::unique_ptr<T> Create(const std::string& fileName) {
    std::unique_ptr<T> dll(new T(fileName));
    dll->LoadDll();
    return dll;
  }

  void LoadDll();
  void UnloadDll();

  plat::ModuleHandle FDllHandle = nullptr;
  std::string FDllFileName;

 protected:
  explicit TBaseDll(std::string fileName);
  virtual void BindProcs(plat::ModuleHandle handle);
  virtual void UnbindProcs();
};

class TCodeManageDll : public TBaseDll {
 public:
  bool Encode(const std::string& cfgFile, const std::string& implName, const std::string& source,
              const std::string& target, std::string& msg);
  bool Decode(const std::string& cfgFile, const std::string& implName, const std::string& source,
              const std::string& target, std::string& msg);
  EncodeFn FEncodeProc = nullptr;
  DecodeFn FDecodeProc = nullptr;

 protected:
  using TBaseDll::TBaseDll;
  friend class TBaseDll;
  void BindProcs(plat::ModuleHandle handle) override;
  void UnbindProcs() override;
};

class TCryptManageDll : public TBaseDll {
 public:
  bool Encrypt(const std::string& cfgFile, const std::string& implName,
               const std::string& taskParam, const std::string& source, const std::string& target,
               std::string& msg);
  bool Decrypt(const std::string& cfgFile, const std::string& implName,
               const std::string& taskParam, const std::string& source, const std::string& target,
               std::string& msg);
  EncryptFn FEncryptProc = nullptr;
  DecryptFn FDecryptProc = nullptr;

 protected:
  using TBaseDll::TBaseDll;
  friend class TBaseDll;
  void BindProcs(plat::ModuleHandle handle) override;
  void UnbindProcs() override;
};

class TCompressManageDll : public TBaseDll {
 public:
  bool Compress(const std::string& cfgFile, const std::string& implName,
                const std::vector<std::string>& fileList, const std::string& target,
                std::string& msg);
  // fileList: on entry the folder to unpack into; on success the unpacked files.
  bool UnCompress(const std::string& cfgFile, const std::string& implName,
                  const std::string& source, std::vector<std::string>& fileList,
                  std::string& msg);
  CompressFn FCompressProc = nullptr;
  UnCompressFn FUnCompressProc = nullptr;

 protected:
  using TBaseDll::TBaseDll;
  friend class TBaseDll;
  void BindProcs(plat::ModuleHandle handle) override;
  void UnbindProcs() override;
};

class TNetManageDll : public TBaseDll {
 public:
  bool IsConnected(const std::string& communCfgFile, const std::string& proxyCfgFile,
                   const std::string& netParam, std::string& msg);
  // request: the bytes handed to the library as they are, not copied; a zero
  // byte that the library can read must follow them (as in a std::string or
  // a plat::FileView).
  bool Send(const std::string& communCfgFile, const std::string& proxyCfgFile,
            const std::string& implName, int32_t value, std::string_view request,
            std::string& reply, std::string& msg);
  SendFn FSendProc = nullptr;
  IsConnectedFn FIsConnectedProc = nullptr;
  IsServerConnectedFn FIsServerConnectedProc = nullptr;

 protected:
  using TBaseDll::TBaseDll;
  friend class TBaseDll;
  void BindProcs(plat::ModuleHandle handle) override;
  void UnbindProcs() override;
};

class TMessageManageDll : public TBaseDll {
 public:
  bool MessagePacket(const std::string& cfgFile, const std::string& implName,
                     const std::vector<std::string>& fileList, const std::string& target,
                     const std::string& taskParam, const std::string& serviceId,
                     const std::string& contentControl, std::string& msg);
  // fileList: on entry the folder to unpack into; on success the reply's files.
  bool MessageParse(const std::string& cfgFile, const std::string& implName,
                    const std::string& source, std::vector<std::string>& fileList,
                    std::string& out1, std::string& out2, std::string& out3, std::string& msg);
  MessageParseFn FMessageParseProc = nullptr;
  MessagePacketFn FMessagePacketProc = nullptr;

 protected:
  using TBaseDll::TBaseDll;
  friend class TBaseDll;
  void BindProcs(plat::ModuleHandle handle) override;
  void UnbindProcs() override;
};

}  // namespace dv
