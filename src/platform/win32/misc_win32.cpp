// Upper-casing, GUIDs and the local time on Windows.
#include <objbase.h>
#include <windows.h>
// <winuser.h> names CharUpperBuffA "AnsiUpperBuff" too; ours is the wrapper.
#undef AnsiUpperBuff

#include "platform/platform.h"

namespace dv::plat {

void AnsiUpperBuff(char* buf, uint32_t len) { CharUpperBuffA(buf, len); }

// A thread's end on Windows does not unwind as a C++ exception.
void PassThreadExit() {}

std::string NewGuidText() {
  GUID id{};
  CoCreateGuid(&id);  // not examined: a failure still gives a text
  LPOLESTR wide = nullptr;
  std::string text;
  if (SUCCEEDED(StringFromCLSID(id, &wide)) && wide) {
    for (const wchar_t* p = wide; *p; ++p) text += static_cast<char>(*p);  // ASCII only
    CoTaskMemFree(wide);
  }
  return text;
}

namespace {

ClockFn gClock = nullptr;

LocalTime SystemNow() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

}  // namespace

LocalTime LocalNow() { return gClock ? gClock() : SystemNow(); }

void SetClockForTesting(ClockFn fn) { gClock = fn; }

}  // namespace dv::plat
