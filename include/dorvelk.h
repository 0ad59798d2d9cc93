/* Dorvelk task component: the four exported functions.
 *
 * Every text is 8-bit GBK (code page 936) and ends at a zero byte. Every
 * buffer belongs to the caller and no buffer size is passed: supply buffers
 * large enough for the longest text a call can return. MsgBuf is the address
 * of a variable holding a pointer to the message buffer, which holds a
 * parameter string ("name=value;..."); "ResultMsgStr" carries the message.
 * Calls must not overlap: each one changes the process's current directory
 * for its duration. On Windows, initialise COM on the calling thread first.
 */
#ifndef DORVELK_H
#define DORVELK_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define DORVELK_CALL __stdcall
#else
#define DORVELK_CALL
#endif

/* Result: 0 success, -1 failure, -8 a reply without a valid "ReturnCode",
 * any other value the service's own "ReturnCode". */
int DORVELK_CALL DataImport(void* WindowHandle, const char* ConfigFile, const char* TaskID,
                            const char* TaskParam, const char* InPath, char* OutBuf,
                            char** MsgBuf);
int DORVELK_CALL DataExport(void* WindowHandle, const char* ConfigFile, const char* TaskID,
                            const char* TaskParam, const char* InPackagesXml, char* TargetPath,
                            char** MsgBuf);
int DORVELK_CALL DataTransmit(void* WindowHandle, const char* ConfigFile, const char* TaskID,
                              const char* TaskParam, const char* InPackagesXml, char* OutBuf,
                              char** MsgBuf);
/* Nonzero when the service can be reached. */
unsigned char DORVELK_CALL IsConnected(void* WindowHandle, const char* ConfigFile,
                                       const char* NetParam, char** MsgBuf);

#ifdef __cplusplus
}
#endif

#endif /* DORVELK_H */
