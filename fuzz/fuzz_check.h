// Shared by the fuzz targets: a failed property prints what it compared and
// aborts, so that libFuzzer keeps the input as a crash; plus a GBK text
// generator and an independent GBK character scan.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

namespace dvfuzz {

inline std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

[[noreturn]] inline void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "PROPERTY FAILED: %s\n%s\n", what, detail.c_str());
  std::abort();
}

#define DV_FUZZ_CHECK(cond, detail)                        \
  do {                                                     \
    if (!(cond)) ::dvfuzz::Fail(#cond, (detail));          \
  } while (0)

// A GBK double-byte character: lead 0x81-0xFE, trail 0x40-0xFE but 0x7F.
inline bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
inline bool IsGbkTrail(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

// Start offsets of the characters of s, double-byte characters taken whole;
// a lead byte not followed by a trail byte stands alone.
inline std::vector<std::size_t> CharStarts(const std::string& s) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < s.size(); ++i) {
    starts.push_back(i);
    if (IsGbkLead(static_cast<unsigned char>(s[i])) && i + 1 < s.size() &&
        IsGbkTrail(static_cast<unsigned char>(s[i + 1])))
      ++i;
  }
  return starts;
}

// Characters that survive a trip through an XML text as GBK: printable ASCII
// (markup characters included), tab and LF, and double-byte characters from
// the GB2312 hanzi rows and the GBK extension rows, leaning towards trail
// byte 0x5C ("\") and 0x7C ("|").
enum class Alphabet { Xml, Bytes };

inline std::string GbkText(FuzzedDataProvider& in, std::size_t maxChars,
                           Alphabet alphabet = Alphabet::Xml) {
  std::string s;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, maxChars);
  for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    if (alphabet == Alphabet::Bytes) {
      s += static_cast<char>(in.ConsumeIntegral<unsigned char>());
      continue;
    }
    const unsigned kind = in.ConsumeIntegralInRange<unsigned>(0, 9);
    if (kind <= 4) {
      s += static_cast<char>(in.ConsumeIntegralInRange<int>(0x20, 0x7E));
    } else if (kind == 5) {
      static const char kSpecial[] = {'&', '<', '>', '"', '\'', ';', '=', '%', ',', '?',
                                      '*', '.', ' ', '\t', '\n', '/', '\\', ':'};
      s += kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, sizeof kSpecial - 1)];
    } else if (kind <= 7) {
      // GB2312 hanzi: lead 0xB0-0xF7, trail 0xA1-0xFE (row 0xD7 ends at 0xF9).
      const int lead = in.ConsumeIntegralInRange<int>(0xB0, 0xF7);
      s += static_cast<char>(lead);
      s += static_cast<char>(in.ConsumeIntegralInRange<int>(0xA1, lead == 0xD7 ? 0xF9 : 0xFE));
    } else {
      // GBK/3 rows 0x81-0xA0 with trail 0x5C or 0x7C, e.g. 0x905C, 0x955C.
      s += static_cast<char>(in.ConsumeIntegralInRange<int>(0x81, 0xA0));
      s += in.ConsumeBool() ? '\x5C' : '\x7C';
    }
  }
  return s;
}

inline std::string TrimCtl(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

}  // namespace dvfuzz
