// The service's "ReturnCode" text to a number: the engine's conversion
// agrees with a reference that reads the rule differently (by the digits'
// count and a wide accumulator instead of a per-digit bound).
#include <algorithm>
#include <cstdint>
#include <string>

#include "common/params.h"
#include "engine/task_process.h"
#include "fuzz_check.h"

namespace {

bool Reference(const std::string& text, int32_t& value) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos) return false;
  bool neg = false;
  if (text[i] == '+' || text[i] == '-') neg = text[i++] == '-';
  int base = 10;
  if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
    base = 16;
    i += 2;
  } else if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    i += 1;
  }
  std::string digits = text.substr(i);
  if (digits.empty()) return false;
  const std::string allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.find_first_not_of(allowed) != std::string::npos) return false;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  if (digits.size() > (base == 16 ? 8u : 10u)) return false;
  const unsigned __int128 v = std::stoull(digits, nullptr, base);
  if (base == 16) {
    const uint32_t bits = static_cast<uint32_t>(v);
    value = static_cast<int32_t>(neg ? ~bits + 1u : bits);
    return true;
  }
  if (v > (neg ? 2147483648u : 2147483647u)) return false;
  value = neg ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string text;
  if (in.ConsumeBool()) {
    text = in.ConsumeRemainingBytesAsString();
  } else {
    // Mostly number-like texts, so the range limits are reached often.
    static const char kChars[] = " +-$xX0123456789abcdefABCDEFg\t";
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 16);
    for (std::size_t k = 0; k < n && in.remaining_bytes() > 0; ++k)
      text += kChars[in.ConsumeIntegralInRange<std::size_t>(0, sizeof kChars - 2)];
  }
  int32_t got = 12345, want = 54321;
  const bool ok = dv::ParseReturnCode(text, got);
  const bool refOk = Reference(text, want);
  const std::string detail = "text=" + dvfuzz::Printable(text) + "\nengine=" +
                             (ok ? std::to_string(got) : "none") +
                             "\nreference=" + (refOk ? std::to_string(want) : "none");
  DV_FUZZ_CHECK(ok == refOk, detail);
  if (ok) DV_FUZZ_CHECK(got == want, detail);
  // Through the message text as the Response step reads it: the value comes
  // back unchanged from the parameter string.
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) > 0x20 || c == ' ';
  });
  if (plain && text.find_first_of(";=&") == std::string::npos && !text.empty() &&
      text.back() != ' ') {
    const std::string msg = dv::SetParamValue("ResultMsgStr=x", "ReturnCode", text);
    int32_t viaMsg = 0;
    DV_FUZZ_CHECK(dv::ParseReturnCode(dv::GetParamValue(msg, "ReturnCode"), viaMsg) == ok, detail);
    if (ok) DV_FUZZ_CHECK(viaMsg == got, detail);
  }
  return 0;
}
