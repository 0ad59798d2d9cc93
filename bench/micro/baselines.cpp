#include "micro/baselines.h"

#include <algorithm>
#include <functional>
#include <string_view>

namespace dvbench {

namespace {

inline char Up(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

struct FoldHash {
  std::size_t operator()(char c) const { return static_cast<unsigned char>(Up(c)); }
};
struct FoldEq {
  bool operator()(char a, char b) const { return Up(a) == Up(b); }
};

std::string Upper(std::string s) {
  for (char& c : s) c = Up(c);
  return s;
}

std::string_view Trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string_view(s).substr(b, e - b);
}

std::string Encode(const std::string& s) { return FindReplace(FindReplace(s, "=", "&eq%"), ";", "&lim%"); }
std::string Decode(const std::string& s) { return FindReplace(FindReplace(s, "&eq%", "="), "&lim%", ";"); }
std::string EncodeBmh(const std::string& s) { return BmhReplace(BmhReplace(s, "=", "&eq%"), ";", "&lim%"); }
std::string DecodeBmh(const std::string& s) { return BmhReplace(BmhReplace(s, "&eq%", "="), "&lim%", ";"); }

// Where an entry of the encoded name n (with "=" when withAssign) opens in
// t, the trimmed text read as if a ";" stood before it: the index in t of
// the entry's name, or npos. A bare name must end its entry.
template <class Search>
std::size_t FindEntry(std::string_view t, const std::string& n, bool withAssign, Search search) {
  const std::string key = n + (withAssign ? "=" : "");
  auto qualifies = [&](std::size_t at) {
    const std::size_t after = at + key.size();
    return withAssign || after == t.size() || t[after] == ';';
  };
  if (t.size() >= key.size() && std::equal(key.begin(), key.end(), t.begin(), FoldEq()) &&
      qualifies(0))
    return 0;
  const std::string sk = ";" + key;
  for (std::size_t from = 0;;) {
    const std::size_t p = search(sk, from);
    if (p == std::string_view::npos) return p;
    if (qualifies(p + 1)) return p + 1;
    from = p + 1;
  }
}

template <class Search, class Dec>
std::string GetParam(std::string_view t, const std::string& n, Search search, Dec decode) {
  const std::size_t at = FindEntry(t, n, true, search);
  if (at == std::string_view::npos) return {};
  const std::size_t first = at + n.size() + 1;
  std::size_t last = t.find(';', first);
  if (last == std::string_view::npos) last = t.size();
  if (first >= last) return {};
  return decode(std::string(t.substr(first, last - first)));
}

template <class Search>
std::string SetParam(std::string_view t, const std::string& n, const std::string& v,
                     Search search) {
  if (n.empty()) return std::string(t);
  if (t.empty()) return n + "=" + v;
  std::size_t at = FindEntry(t, n, true, search);
  if (at == std::string_view::npos) at = FindEntry(t, n, false, search);
  if (at == std::string_view::npos) return std::string(t) + ";" + n + "=" + v;
  std::size_t end = t.find(';', at);
  std::string out;
  if (at > 1) out.append(t.substr(0, at - 1)).append(";");
  out.append(n).append("=").append(v);
  if (end != std::string_view::npos && end + 1 < t.size()) out.append(";").append(t.substr(end + 1));
  return out;
}

}  // namespace

std::string FindReplace(const std::string& s, const std::string& find, const std::string& repl) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t p; (p = s.find(find, from)) != std::string::npos; from = p + find.size()) {
    out.append(s, from, p - from);
    out += repl;
  }
  out.append(s, from, std::string::npos);
  return out;
}

std::string BmhReplace(const std::string& s, const std::string& find, const std::string& repl) {
  const std::boyer_moore_horspool_searcher searcher(find.begin(), find.end());
  std::string out;
  auto from = s.begin();
  for (;;) {
    const auto hit = std::search(from, s.end(), searcher);
    if (hit == s.end()) break;
    out.append(from, hit);
    out += repl;
    from = hit + static_cast<std::ptrdiff_t>(find.size());
  }
  out.append(from, s.end());
  return out;
}

int32_t FindFrom(const std::string& sub, const std::string& s, int32_t startPos) {
  if (sub.empty() || s.empty()) return 0;
  const std::size_t p = s.find(sub, static_cast<std::size_t>(std::max(startPos, 1) - 1));
  return p == std::string::npos ? 0 : static_cast<int32_t>(p + 1);
}

int32_t BmhFrom(const std::string& sub, const std::string& s, int32_t startPos) {
  if (sub.empty() || s.empty()) return 0;
  const auto from = static_cast<std::size_t>(std::max(startPos, 1) - 1);
  if (from >= s.size()) return 0;
  const std::boyer_moore_horspool_searcher searcher(sub.begin(), sub.end());
  const auto hit = std::search(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(), searcher);
  return hit == s.end() ? 0 : static_cast<int32_t>(hit - s.begin() + 1);
}

std::string FindGetParam(const std::string& params, const std::string& name) {
  const std::string t(Trimmed(params));
  const std::string folded = Upper(t);
  auto search = [&](const std::string& key, std::size_t from) {
    return folded.find(Upper(key), from);
  };
  return GetParam(t, Encode(name), search, Decode);
}

std::string BmhGetParam(const std::string& params, const std::string& name) {
  const std::string_view t = Trimmed(params);
  auto search = [&](const std::string& key, std::size_t from) {
    const std::boyer_moore_horspool_searcher<std::string::const_iterator, FoldHash, FoldEq>
        searcher(key.begin(), key.end());
    const auto hit = std::search(t.begin() + static_cast<std::ptrdiff_t>(from), t.end(), searcher);
    return hit == t.end() ? std::string_view::npos : static_cast<std::size_t>(hit - t.begin());
  };
  return GetParam(t, EncodeBmh(name), search, DecodeBmh);
}

std::string FindSetParam(const std::string& params, const std::string& name,
                         const std::string& value) {
  const std::string t(Trimmed(params));
  std::string folded;
  auto search = [&](const std::string& key, std::size_t from) {
    if (folded.empty()) folded = Upper(t);
    return folded.find(Upper(key), from);
  };
  return SetParam(t, Encode(name), Encode(value), search);
}

std::string BmhSetParam(const std::string& params, const std::string& name,
                        const std::string& value) {
  const std::string_view t = Trimmed(params);
  auto search = [&](const std::string& key, std::size_t from) {
    const std::boyer_moore_horspool_searcher<std::string::const_iterator, FoldHash, FoldEq>
        searcher(key.begin(), key.end());
    const auto hit = std::search(t.begin() + static_cast<std::ptrdiff_t>(from), t.end(), searcher);
    return hit == t.end() ? std::string_view::npos : static_cast<std::size_t>(hit - t.begin());
  };
  return SetParam(t, EncodeBmh(name), EncodeBmh(value), search);
}

}  // namespace dvbench
