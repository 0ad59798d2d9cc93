// The four exported functions: each hands its arguments to the call frame.
#include "engine/call_frame.h"

// Only the four exports leave the native library; everything else is hidden.
#if !defined(_WIN32)
#pragma GCC visibility push(default)
#endif
#include "dorvelk.h"
#if !defined(_WIN32)
#pragma GCC visibility pop
#endif

namespace {

int32_t Run(const dv::CallArgs& args) { return dv::RunExportCall(args, dv::OperationFor(args.Kind)); }

}  // namespace

extern "C" {

int DORVELK_CALL DataImport(void* WindowHandle, const char* ConfigFile, const char* TaskID,
                            const char* TaskParam, const char* InPath, char* OutBuf,
                            char** MsgBuf) {
  return Run({dv::ExportKind::Import, WindowHandle, ConfigFile, TaskID, TaskParam, InPath, OutBuf,
              MsgBuf});
}

int DORVELK_CALL DataExport(void* WindowHandle, const char* ConfigFile, const char* TaskID,
                            const char* TaskParam, const char* InPackagesXml, char* TargetPath,
                            char** MsgBuf) {
  return Run({dv::ExportKind::Export, WindowHandle, ConfigFile, TaskID, TaskParam, InPackagesXml,
              TargetPath, MsgBuf});
}

int DORVELK_CALL DataTransmit(void* WindowHandle, const char* ConfigFile, const char* TaskID,
                              const char* TaskParam, const char* InPackagesXml, char* OutBuf,
                              char** MsgBuf) {
  return Run({dv::ExportKind::Transmit, WindowHandle, ConfigFile, TaskID, TaskParam,
              InPackagesXml, OutBuf, MsgBuf});
}

unsigned char DORVELK_CALL IsConnected(void* WindowHandle, const char* ConfigFile,
                                       const char* NetParam, char** MsgBuf) {
  return Run({dv::ExportKind::Connect, WindowHandle, ConfigFile, nullptr, nullptr, NetParam,
              nullptr, MsgBuf}) != 0
             ? 1
             : 0;
}

}  // extern "C"
