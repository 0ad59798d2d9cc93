// The frame that every export call runs in: the component's folder is the
// current directory for the call, one TTaskProcess serves it, the results go
// back into the host's buffers, and neither a C++ exception nor a processor
// fault gets past it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/task_process.h"

namespace dv {

enum class ExportKind { Import, Export, Transmit, Connect };

// The arguments of one export call, as the host passed them.
struct CallArgs {
  ExportKind Kind;
  void* WindowHandle;     // not read by this build
  const char* ConfigFile;
  const char* TaskID;     // not passed on by Connect
  const char* TaskParam;  // not passed on by Connect
  const char* Input;      // InPath, InPackagesXml or NetParam
  char* ResultBuf;        // OutBuf or TargetPath; none for Connect
  char** MsgBuf;
};

// The body of a call: the engine, the input text, the result text (for
// Export the target path, in and out) and the message text; the export's
// result (Connect: 1 or 0).
using CallOperation = std::function<int32_t(TTaskProcess&, const std::string& Input,
                                            std::string& ResultText, std::string& Msg)>;

// The operation that belongs to the kind of export.
CallOperation OperationFor(ExportKind Kind);

// Runs Op inside the frame and returns its result; an exception or a fault
// raised beneath it gives -1 (Connect: 0) with "组件内部发生异常！".
int32_t RunExportCall(const CallArgs& Args, const CallOperation& Op);

}  // namespace dv
