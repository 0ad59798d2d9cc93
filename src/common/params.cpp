#include "common/params.h"

#include <algorithm>
#include <cstring>

#include "common/earlier_build.h"
#include "common/path.h"
#include "common/text_search.h"
#include "common/variant.h"

namespace dv {

namespace {

const std::string kSep(1, ParamSeparator);
const std::string kAssign(1, ParamAssign);

}  // namespace

std::string EncodeParamText(const std::string& text) {
  const std::string eqDone = ReplaceAllMatches(text, "=", "&eq%", true);
  return ReplaceAllMatches(eqDone, ";", "&lim%", true);
}

std::string DecodeParamText(const std::string& text) {
  const std::string eqDone = ReplaceAllMatches(text, "&eq%", "=", true);
  return ReplaceAllMatches(eqDone, "&lim%", ";", true);
}

int32_t FindNoCase(const std::string& subStr, const std::string& s, int32_t offset) {
  if (subStr.empty()) return 0;
  const std::size_t from = static_cast<std::size_t>(std::max<int32_t>(offset, 1) - 1);
  if (from + subStr.size() > s.size()) return 0;
  // The same as searching a folded copy of s for a folded copy of subStr,
  // without copying s: its bytes are folded as they are compared, and a
  // first byte that no folding touches is found with memchr.
  const std::string up = UpperAscii(subStr);
  auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  const char first = up[0];
  const bool letter = first >= 'A' && first <= 'Z';
  const std::size_t last = s.size() - up.size();  // the last possible start
  for (std::size_t i = from; i <= last; ++i) {
    if (!letter) {
      const void* hit = std::memchr(s.data() + i, first, last - i + 1);
      if (!hit) return 0;
      i = static_cast<std::size_t>(static_cast<const char*>(hit) - s.data());
    } else if (fold(s[i]) != first) {
      continue;
    }
    std::size_t k = 1;
    while (k < up.size() && fold(s[i + k]) == up[k]) ++k;
    if (k == up.size()) return static_cast<int32_t>(i + 1);
  }
  return 0;
}

std::string GetParamValue(const std::string& params, const std::string& name) {
  if constexpr (kEarlierBuild) return earlier::GetParamValue(params, name);
  const std::string t = kSep + Trim(params);
  const std::string key = kSep + EncodeParamText(name) + kAssign;
  const int32_t p = FindNoCase(key, t, 1);
  if (p == 0) return {};
  const int32_t e = FindNoCase(kSep, t, p + 1);
  const std::size_t first = static_cast<std::size_t>(p - 1) + key.size();  // 0-based
  const std::size_t last = e != 0 ? static_cast<std::size_t>(e - 1) : t.size();  // exclusive
  if (first >= last) return {};
  return DecodeParamText(t.substr(first, last - first));
}

std::string SetParamValue(const std::string& params, const std::string& name,
                          const std::string& value) {
  if constexpr (kEarlierBuild) return earlier::SetParamValue(params, name, value);
  const std::string t0 = Trim(params);
  const std::string n = EncodeParamText(name);
  if (n.empty()) return t0;
  const std::string v = EncodeParamText(value);
  if (t0.empty()) return n + kAssign + v;

  const std::string t = kSep + t0;
  int32_t p = FindNoCase(kSep + n + kAssign, t, 1);
  if (p == 0) {
    // A bare name counts only when no entry of that name carries a "=".
    const std::string k = kSep + n;
    p = FindNoCase(k, t, 1);
    while (p != 0) {
      const std::size_t after = static_cast<std::size_t>(p - 1) + k.size();  // 0-based
      if (after == t.size() || t[after] == ParamSeparator) break;
      p = FindNoCase(k, t, p + 1);
    }
  }
  if (p == 0) return t0 + kSep + n + kAssign + v;

  int32_t e = FindNoCase(kSep, t, p + 1);
  if (e == 0) e = static_cast<int32_t>(t.size()) + 1;
  // Positions are 1-based; t[0] is the leading ";" added above. The entries
  // before and after the one set are appended straight from t, in one
  // allocation.
  const auto before = static_cast<std::size_t>(p > 1 ? p - 2 : 0);  // bytes t[1..]
  const auto afterAt = static_cast<std::size_t>(e);                 // t[e..] follows
  std::string result;
  result.reserve(t.size() + n.size() + v.size() + 2);
  if (before > 0) {
    result.append(t, 1, before);
    result += kSep;
  }
  result += n;
  result += kAssign;
  result += v;
  if (afterAt < t.size()) {
    result += kSep;
    result.append(t, afterAt, std::string::npos);
  }
  return result;
}

}  // namespace dv
