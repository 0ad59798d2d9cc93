// The call-site contract of the five sibling libraries: export names and
// signatures. Every export is stdcall on Windows and returns one byte,
// nonzero for success; the message buffer is passed by reference, last.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define DV_STDCALL __stdcall
#else
#define DV_STDCALL
#endif

namespace dv {

using LibBool = uint8_t;         // any nonzero byte is success
using WindowHandle = void*;      // a 32-bit window handle on Windows

using EncodeFn = LibBool(DV_STDCALL*)(WindowHandle, const char* cfg, const char* impl,
                                      const char* source, const char* target, char** msg);
using DecodeFn = EncodeFn;
using EncryptFn = LibBool(DV_STDCALL*)(WindowHandle, const char* cfg, const char* impl,
                                       const char* taskParam, const char* source,
                                       const char* target, char** msg);
using DecryptFn = EncryptFn;
using CompressFn = LibBool(DV_STDCALL*)(WindowHandle, const char* cfg, const char* impl,
                                        const char* fileListText, const char* target, char** msg);
using UnCompressFn = LibBool(DV_STDCALL*)(WindowHandle, const char* cfg, const char* impl,
                                          const char* source, char* fileListBuf, char** msg);
using IsConnectedFn = LibBool(DV_STDCALL*)(WindowHandle, const char* communCfg,
                                           const char* proxyCfg, const char* netParam, char** msg);
using IsServerConnectedFn = IsConnectedFn;
using SendFn = LibBool(DV_STDCALL*)(WindowHandle, const char* communCfg, const char* proxyCfg,
                                    const char* impl, int32_t value, const char* request,
                                    int32_t requestLen, char* replyBuf, int32_t* replyLen,
                                    char** msg);
using MessagePacketFn = LibBool(DV_STDCALL*)(WindowHandle, const char* cfg, const char* impl,
                                             const char* fileListText, const char* target,
                                             const char* taskParam, const char* serviceId,
                                             const char* contentControl, char** msg);
using MessageParseFn = LibBool(DV_STDCALL*)(WindowHandle, const char* cfg, const char* impl,
                                            const char* source, char* fileListBuf, char* out1,
                                            char* out2, char* out3, char** msg);

}  // namespace dv
