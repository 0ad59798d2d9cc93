// Upper-casing, GUIDs and the local time on POSIX.
#include <uuid/uuid.h>

#include <ctime>

#include "platform/platform.h"

namespace dv::plat {

void AnsiUpperBuff(char* buf, uint32_t len) {
  // ASCII letters only: code page 936 leaves every byte from 0x80 on as it
  // is, and a Latin-1 locale must not decide otherwise.
  for (uint32_t i = 0; i < len; ++i)
    if (buf[i] >= 'a' && buf[i] <= 'z') buf[i] = static_cast<char>(buf[i] - 32);
}

std::string NewGuidText() {
  uuid_t id;
  uuid_generate(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return "{" + std::string(text) + "}";
}

namespace {

ClockFn gClock = nullptr;

LocalTime SystemNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace

LocalTime LocalNow() { return gClock ? gClock() : SystemNow(); }

void SetClockForTesting(ClockFn fn) { gClock = fn; }

}  // namespace dv::plat
