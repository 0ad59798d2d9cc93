#include "common/text_search.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/platform.h"

namespace dv {

namespace {

std::array<unsigned char, 256> gUpperCaseTable{};
bool gUpperCaseTableBuilt = false;

// Built while the library loads, before any export can be called; read-only
// afterwards.
struct UpperCaseTableStartUp {
  UpperCaseTableStartUp() {
    if (!gUpperCaseTableBuilt) BuildUpperCaseTable();
  }
};
const UpperCaseTableStartUp gUpperCaseTableStartUp;

inline unsigned char Byte(char c) { return static_cast<unsigned char>(c); }

using FindFn = const char* (*)(const char*, const char*, int32_t, int32_t, const SkipTable&);

// The Horspool loop shared by both searches; map folds a byte before it is
// compared or used to look up the skip.
template <class Map>
const char* Horspool(const char* start, const char* pattern, int32_t textLen, int32_t patternLen,
                     const SkipTable& table, Map map) {
  if (patternLen <= 0 || textLen < patternLen) return nullptr;
  const int64_t last = static_cast<int64_t>(textLen) - patternLen;  // last window start
  int64_t pos = 0;
  while (pos <= last) {
    int32_t j = patternLen - 1;
    while (j >= 0 && map(Byte(start[pos + j])) == map(Byte(pattern[j]))) --j;
    if (j < 0) return start + pos;
    // A zero entry belongs to a one-byte pattern, whose window always matches
    // when it is reached; never let it stall the search.
    pos += std::max<int32_t>(1, table[map(Byte(start[pos + patternLen - 1]))]);
  }
  return nullptr;
}

template <class Map>
void FillSkipTable(const char* pattern, int32_t patternLen, SkipTable& table, Map map) {
  if (patternLen <= 0) throw std::invalid_argument("BufferLen is 0");
  table.fill(patternLen);
  for (int32_t i = 0; i <= patternLen - 2; ++i) table[map(Byte(pattern[i]))] = patternLen - 1 - i;
  if (patternLen == 1) table[map(Byte(pattern[0]))] = 0;
}

}  // namespace

const std::array<unsigned char, 256>& UpperCaseTable() {
  if (!gUpperCaseTableBuilt) BuildUpperCaseTable();  // a use before load-time start-up
  return gUpperCaseTable;
}

void BuildUpperCaseTable() {
  std::array<char, 256> buf;
  for (int i = 0; i < 256; ++i) buf[i] = static_cast<char>(i);
  // One call over all 256 bytes, so the table is what the code page gives.
  plat::AnsiUpperBuff(buf.data(), static_cast<uint32_t>(buf.size()));
  for (int i = 0; i < 256; ++i) gUpperCaseTable[i] = Byte(buf[i]);
  gUpperCaseTableBuilt = true;
}

void BuildSkipTable(const char* pattern, int32_t patternLen, SkipTable& table) {
  FillSkipTable(pattern, patternLen, table, [](unsigned char c) { return c; });
}

void BuildSkipTableIgnoreCase(const char* pattern, int32_t patternLen, SkipTable& table) {
  const auto& up = UpperCaseTable();
  FillSkipTable(pattern, patternLen, table, [&up](unsigned char c) { return up[c]; });
}

const char* FindWithSkipTable(const char* start, const char* pattern, int32_t textLen,
                              int32_t patternLen, const SkipTable& table) {
  if (patternLen <= 0 || textLen < patternLen) return nullptr;
  // A window whose last byte differs from the pattern's last byte cannot
  // match, so memchr carries the window to the next one that ends in it;
  // the windows passed over are only ones that cannot match, and the match
  // found is still the leftmost.
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

const char* FindWithSkipTableIgnoreCase(const char* start, const char* pattern, int32_t textLen,
                                        int32_t patternLen, const SkipTable& table) {
  const auto& up = UpperCaseTable();
  return Horspool(start, pattern, textLen, patternLen, table,
                  [&up](unsigned char c) { return up[c]; });
}

void CopyBytes(const char* source, char* dest, int32_t count) {
  for (int32_t i = 0; i < count; ++i) dest[i] = source[i];
}

std::size_t GrowReservation(std::size_t reserved, std::size_t needed) {
  // Growing by half alone leaves a reservation of 0 or 1 where it is and
  // would never reach what is needed.
  return std::max(reserved + reserved / 2, needed);
}

std::string ReplaceAllMatchesReserved(const std::string& source, const std::string& find,
                                      const std::string& replace, bool caseSensitive,
                                      std::size_t reserve) {
  if (source.empty() || find.empty()) return {};
  const auto findLen = static_cast<int32_t>(find.size());

  // The result is the output itself: reserved once, not zero-filled, and
  // handed back without a further copy.
  std::string out;
  out.reserve(reserve);

  SkipTable table;
  FindFn search;
  if (caseSensitive) {
    BuildSkipTable(find.data(), findLen, table);
    search = FindWithSkipTable;
  } else {
    BuildSkipTableIgnoreCase(find.data(), findLen, table);
    search = FindWithSkipTableIgnoreCase;
  }

  const char* rest = source.data();
  const char* const end = source.data() + source.size();
  while (end - rest >= findLen) {
    const char* hit = search(rest, find.data(), static_cast<int32_t>(end - rest), findLen, table);
    if (!hit) break;
    const auto before = static_cast<std::size_t>(hit - rest);
    const std::size_t needed = out.size() + before + replace.size();
    if (needed > out.capacity()) out.reserve(GrowReservation(out.capacity(), needed));
    out.append(rest, before);
    out.append(replace);
    rest = hit + findLen;
  }

  out.append(rest, end);
  return out;
}

std::string ReplaceAllMatches(const std::string& source, const std::string& find,
                              const std::string& replace, bool caseSensitive) {
  if (source.empty() || find.empty()) return {};
  // A bound the result cannot exceed, so that ordinary use never grows it.
  std::size_t reserve = source.size();
  if (replace.size() > find.size())
    reserve = static_cast<std::size_t>(static_cast<uint64_t>(source.size()) * replace.size() /
                                       find.size());
  try {
    return ReplaceAllMatchesReserved(source, find, replace, caseSensitive, reserve);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // The bound could not be reserved: start smaller and grow as needed.
  const auto fallback =
      static_cast<std::size_t>((static_cast<uint64_t>(source.size()) + replace.size()) * 3 / 2);
  return ReplaceAllMatchesReserved(source, find, replace, caseSensitive, fallback);
}

std::string FormatWithPath(const std::string& pattern, const std::string& path,
                           const std::string& more) {
  // '%' is never part of a GBK double-byte character, so the search cannot
  // hit the middle of one.
  std::string out;
  const std::string* args[] = {&path, &more};
  int next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (next < 2 && pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's') {
      out += *args[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

int32_t FindSubstrFrom(const std::string& subStr, const std::string& s, int32_t startPos) {
  if (subStr.empty() || s.empty()) return 0;
  // std::string::find scans for the first byte (memchr) and compares the
  // rest at every hit.
  const std::size_t p = s.find(subStr, static_cast<std::size_t>(std::max<int32_t>(startPos, 1) - 1));
  return p == std::string::npos ? 0 : static_cast<int32_t>(p + 1);
}

std::string CopyText(const std::string& s, int32_t index, int32_t count) {
  if (index < 1) index = 1;
  if (count <= 0 || static_cast<std::size_t>(index) > s.size()) return {};
  return s.substr(index - 1, static_cast<std::size_t>(count));
}

std::string ReplaceEvery(const std::string& source, const std::string& oldPattern,
                         const std::string& newPattern, bool caseSensitive) {
  if (oldPattern.empty()) return source;
  auto lower = [](std::string t) {
    for (char& c : t)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return t;
  };
  // Searching the folded copies keeps positions, since folding keeps lengths.
  const std::string hay = caseSensitive ? source : lower(source);
  const std::string needle = caseSensitive ? oldPattern : lower(oldPattern);
  std::string result;
  std::size_t from = 0;
  for (;;) {
    const std::size_t p = hay.find(needle, from);
    if (p == std::string::npos) {
      result.append(source, from, std::string::npos);
      return result;
    }
    result.append(source, from, p - from);
    result += newPattern;
    from = p + needle.size();
  }
}

void MoveBytes(const char* source, char* dest, int32_t count) {
  if (count <= 0) return;
  if (count > 15) {
    const int32_t words = count / 4;
    for (int32_t i = 0; i < words; ++i) std::memcpy(dest + 4 * i, source + 4 * i, 4);
    for (int32_t i = words * 4; i < count; ++i) dest[i] = source[i];
  } else {
    for (int32_t i = 0; i < count; ++i) dest[i] = source[i];
  }
}

std::string QuickReplace(const std::string& findStr, const std::string& replaceStr,
                         const std::string& source) {
  // Counting pass: the end of every match, left to right, never overlapping.
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

  // One allocation at the final length, filled from its end.
  std::string result(static_cast<std::size_t>(newLen), '\0');
  int64_t w = newLen;                                    // 0-based: bytes before w are unwritten
  int64_t tail = static_cast<int64_t>(source.size());    // 0-based end of the part still to copy
  const auto findLen = static_cast<int64_t>(findStr.size());
  const auto replLen = static_cast<int64_t>(replaceStr.size());
  for (auto it = ends.rbegin(); it != ends.rend(); ++it) {
    const int64_t matchEnd = *it - 1;  // 0-based index right after the match
    const int64_t between = tail - matchEnd;
    if (between > 0) {
      w -= between;
      MoveBytes(source.data() + matchEnd, result.data() + w, static_cast<int32_t>(between));
    }
    if (replLen > 0) {
      w -= replLen;
      MoveBytes(replaceStr.data(), result.data() + w, static_cast<int32_t>(replLen));
    }
    tail = matchEnd - findLen;
  }
  if (tail > 0) MoveBytes(source.data(), result.data(), static_cast<int32_t>(tail));
  return result;
}

}  // namespace dv
