#include "common/path.h"

#include "platform/platform.h"

namespace dv {

namespace {

// Calls f(index, byte) for every byte that starts a character of s.
template <class F>
void ForEachCharStart(const std::string& s, F f) {
  for (std::size_t i = 0; i < s.size(); i += plat::CharSizeAt(s, i))
    f(i, static_cast<unsigned char>(s[i]));
}

}  // namespace

std::size_t LastSeparatorPos(const std::string& s) {
  std::size_t last = std::string::npos;
  ForEachCharStart(s, [&](std::size_t i, unsigned char c) {
    if (plat::IsSeparatorChar(c)) last = i;
  });
  return last;
}

std::string FileNamePart(const std::string& s) {
  const std::size_t p = LastSeparatorPos(s);
  return p == std::string::npos ? s : s.substr(p + 1);
}

std::string FolderPart(const std::string& s) {
  const std::size_t p = LastSeparatorPos(s);
  return p == std::string::npos ? std::string() : s.substr(0, p + 1);
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

std::string UpperAscii(std::string s) {
  for (char& ch : s)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  return s;
}

}  // namespace dv
