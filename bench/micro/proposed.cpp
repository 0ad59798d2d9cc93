#include "micro/proposed.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/text_search.h"

namespace dvbench::proposed {

namespace {

inline unsigned char Byte(char c) { return static_cast<unsigned char>(c); }
inline char Up(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// The Horspool search of the component, with one addition: a window whose
// last byte is not the pattern's last byte cannot match, so the search
// moves straight to the next window that ends in that byte (memchr). The
// windows it passes over are exactly ones that cannot match, so the first
// match found is the same leftmost match.
const char* FindWithSkipTable(const char* start, const char* pattern, int32_t textLen,
                              int32_t patternLen, const dv::SkipTable& table) {
  if (patternLen <= 0 || textLen < patternLen) return nullptr;
  const char lastByte = pattern[patternLen - 1];
  const char* const end = start + textLen;
  const char* w = start + patternLen - 1;  // the window's last byte
  while (w < end) {
    if (*w != lastByte) {
      w = static_cast<const char*>(std::memchr(w, lastByte, static_cast<std::size_t>(end - w)));
      if (!w) return nullptr;
    }
    const char* first = w - (patternLen - 1);
    if (std::memcmp(first, pattern, static_cast<std::size_t>(patternLen - 1)) == 0) return first;
    w += std::max<int32_t>(1, table[Byte(*w)]);
  }
  return nullptr;
}

std::string ReplaceAllMatchesReserved(const std::string& source, const std::string& find,
                                      const std::string& replace, bool caseSensitive,
                                      std::size_t reserve) {
  if (source.empty() || find.empty()) return {};
  const auto findLen = static_cast<int32_t>(find.size());
  // The result itself is the output: reserved once, never zero-filled, and
  // never copied again.
  std::string out;
  out.reserve(reserve);

  dv::SkipTable table;
  if (caseSensitive) dv::BuildSkipTable(find.data(), findLen, table);
  else dv::BuildSkipTableIgnoreCase(find.data(), findLen, table);

  const char* rest = source.data();
  const char* const end = source.data() + source.size();
  while (end - rest >= findLen) {
    const auto len = static_cast<int32_t>(end - rest);
    const char* hit = caseSensitive
                          ? FindWithSkipTable(rest, find.data(), len, findLen, table)
                          : dv::FindWithSkipTableIgnoreCase(rest, find.data(), len, findLen, table);
    if (!hit) break;
    const auto before = static_cast<std::size_t>(hit - rest);
    const std::size_t needed = out.size() + before + replace.size();
    if (needed > out.capacity()) out.reserve(dv::GrowReservation(out.capacity(), needed));
    out.append(rest, before);
    out.append(replace);
    rest = hit + findLen;
  }
  out.append(rest, end);
  return out;
}

// Folds a into upper case byte by byte and compares it with up (already
// folded) over n bytes.
bool EqualFolded(const char* a, const char* up, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (Up(a[i]) != up[i]) return false;
  return true;
}

// FindNoCase over a view, 0-based, npos when none: the folded copies of the
// component are never made; the text is folded byte by byte as it is
// compared, and a first byte that is no letter is found with memchr.
std::size_t FindFolded(std::string_view sub, std::string_view s, std::size_t from) {
  if (sub.empty() || from + sub.size() > s.size()) return std::string_view::npos;
  std::string up(sub);
  for (char& c : up) c = Up(c);
  const char first = up[0];
  const bool letter = first >= 'A' && first <= 'Z';
  const std::size_t last = s.size() - sub.size();  // last possible start
  for (std::size_t i = from; i <= last; ++i) {
    if (!letter) {
      const void* p = std::memchr(s.data() + i, first, last - i + 1);
      if (!p) return std::string_view::npos;
      i = static_cast<std::size_t>(static_cast<const char*>(p) - s.data());
    } else if (Up(s[i]) != first) {
      continue;
    }
    if (EqualFolded(s.data() + i + 1, up.data() + 1, up.size() - 1)) return i;
  }
  return std::string_view::npos;
}

std::string_view TrimView(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && Byte(s[b]) <= 0x20) ++b;
  while (e > b && Byte(s[e - 1]) <= 0x20) --e;
  return std::string_view(s).substr(b, e - b);
}

std::string Encode(const std::string& t) {
  return ReplaceAllMatches(ReplaceAllMatches(t, "=", "&eq%", true), ";", "&lim%", true);
}
std::string Decode(const std::string& t) {
  return ReplaceAllMatches(ReplaceAllMatches(t, "&eq%", "=", true), "&lim%", ";", true);
}

// FindNoCase (key, ";" + t, from) without building ";" + t: key begins
// with ";", which matches the virtual ";" before t at position 1. Returns
// the 1-based position in ";" + t, 0 when none.
int32_t FindInPrefixed(const std::string& key, std::string_view t, int32_t from) {
  if (from <= 1 && t.size() + 1 >= key.size()) {
    std::string up = key.substr(1);
    for (char& c : up) c = Up(c);
    if (EqualFolded(t.data(), up.data(), up.size())) return 1;
  }
  // Position p (1-based) in ";" + t is index p - 2 in t.
  const std::size_t start = static_cast<std::size_t>(std::max(from, 2) - 2);
  const std::size_t p = FindFolded(key, t, start);
  return p == std::string_view::npos ? 0 : static_cast<int32_t>(p + 2);
}

}  // namespace

std::string ReplaceAllMatches(const std::string& source, const std::string& find,
                              const std::string& replace, bool caseSensitive) {
  if (source.empty() || find.empty()) return {};
  std::size_t reserve = source.size();
  if (replace.size() > find.size())
    reserve = static_cast<std::size_t>(static_cast<uint64_t>(source.size()) * replace.size() /
                                       find.size());
  try {
    return ReplaceAllMatchesReserved(source, find, replace, caseSensitive, reserve);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  const auto fallback =
      static_cast<std::size_t>((static_cast<uint64_t>(source.size()) + replace.size()) * 3 / 2);
  return ReplaceAllMatchesReserved(source, find, replace, caseSensitive, fallback);
}

// std::string::find does what the search asks: it scans for the first byte
// of SubStr (memchr) and compares the rest at every hit.
int32_t FindSubstrFrom(const std::string& subStr, const std::string& s, int32_t startPos) {
  if (subStr.empty() || s.empty()) return 0;
  const std::size_t p = s.find(subStr, static_cast<std::size_t>(std::max<int32_t>(startPos, 1) - 1));
  return p == std::string::npos ? 0 : static_cast<int32_t>(p + 1);
}

// The component's two passes, with the proposed FindSubstrFrom; the result
// is reserved at its final length and filled front to back (the same bytes
// as filling it from its end), so it is never zero-filled first.
std::string QuickReplace(const std::string& findStr, const std::string& replaceStr,
                         const std::string& source) {
  std::vector<int32_t> ends;
  for (int32_t p = FindSubstrFrom(findStr, source, 1); p != 0;) {
    const int32_t after = p + static_cast<int32_t>(findStr.size());
    ends.push_back(after);
    p = FindSubstrFrom(findStr, source, after);
  }
  if (ends.empty()) return source;
  const int64_t newLen = static_cast<int64_t>(source.size()) +
                         static_cast<int64_t>(ends.size()) *
                             (static_cast<int64_t>(replaceStr.size()) -
                              static_cast<int64_t>(findStr.size()));
  if (newLen <= 0) return {};
  std::string result;
  result.reserve(static_cast<std::size_t>(newLen));
  std::size_t from = 0;  // 0-based start of the part still to copy
  for (const int32_t end : ends) {
    const std::size_t matchStart = static_cast<std::size_t>(end - 1) - findStr.size();
    result.append(source, from, matchStart - from).append(replaceStr);
    from = static_cast<std::size_t>(end - 1);
  }
  result.append(source, from, std::string::npos);
  return result;
}

int32_t FindNoCase(const std::string& subStr, const std::string& s, int32_t offset) {
  const std::size_t from = static_cast<std::size_t>(std::max<int32_t>(offset, 1) - 1);
  const std::size_t p = FindFolded(subStr, s, from);
  return p == std::string_view::npos ? 0 : static_cast<int32_t>(p + 1);
}

std::string GetParamValue(const std::string& params, const std::string& name) {
  const std::string_view t = TrimView(params);  // ";" + t is the text searched
  const std::string key = ";" + Encode(name) + "=";
  const int32_t p = FindInPrefixed(key, t, 1);
  if (p == 0) return {};
  const std::size_t first = static_cast<std::size_t>(p - 2) + key.size();  // 0-based in t
  std::size_t last = t.find(';', first);
  if (last == std::string_view::npos) last = t.size();
  if (first >= last) return {};
  return Decode(std::string(t.substr(first, last - first)));
}

std::string SetParamValue(const std::string& params, const std::string& name,
                          const std::string& value) {
  const std::string_view t0 = TrimView(params);
  const std::string n = Encode(name);
  if (n.empty()) return std::string(t0);
  const std::string v = Encode(value);
  std::string result;
  if (t0.empty()) return result.append(n).append("=").append(v);

  // Positions are 1-based in ";" + t0, which is never built.
  int32_t p = FindInPrefixed(";" + n + "=", t0, 1);
  if (p == 0) {
    const std::string k = ";" + n;
    for (p = FindInPrefixed(k, t0, 1); p != 0; p = FindInPrefixed(k, t0, p + 1)) {
      const std::size_t after = static_cast<std::size_t>(p - 2) + k.size();  // 0-based in t0
      if (after == t0.size() || t0[after] == ';') break;
    }
  }
  if (p == 0) {
    result.reserve(t0.size() + 2 + n.size() + v.size());
    return result.append(t0).append(";").append(n).append("=").append(v);
  }
  const std::size_t open = static_cast<std::size_t>(p - 1);  // index of the entry in t0
  const std::size_t e = t0.find(';', open);
  const std::string_view before = open > 1 ? t0.substr(0, open - 1) : std::string_view();
  const std::string_view after =
      e != std::string_view::npos && e + 1 < t0.size() ? t0.substr(e + 1) : std::string_view();
  result.reserve(before.size() + after.size() + n.size() + v.size() + 3);
  if (!before.empty()) result.append(before).append(";");
  result.append(n).append("=").append(v);
  if (!after.empty()) result.append(";").append(after);
  return result;
}

}  // namespace dvbench::proposed
