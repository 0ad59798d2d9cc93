// A private-profile (INI) reader of our own with the rules of the Windows one:
// section and key names match without ASCII case, the first match wins (a
// later section of the same name is not read), blanks around names and values
// are dropped, a value in matching quotes loses them, and a missing file,
// section or key gives the default.
#include <fstream>
#include <iterator>

#include "platform/platform.h"

namespace dv::plat {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimBlanks(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// The value of key in section, or false when either is missing.
bool FindValue(const std::string& content, const std::string& section, const std::string& key,
               std::string& value) {
  bool inSection = false;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = content.size();
    const std::string line = TrimBlanks(content.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    if (line[0] == '[') {
      const std::size_t close = line.find(']');
      const std::string name = TrimBlanks(
          line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      // Only the first section of the name counts, as in the system's reader.
      if (inSection) return false;
      inSection = SameNoCase(name, section);
      continue;
    }
    if (!inSection) continue;
    const std::size_t eq = line.find('=');
    const std::string name = TrimBlanks(line.substr(0, eq));
    if (!SameNoCase(name, key)) continue;
    value = eq == std::string::npos ? std::string() : Unquote(TrimBlanks(line.substr(eq + 1)));
    return true;
  }
  return false;
}

}  // namespace

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& def,
                              uint32_t bufSize) {
  if (bufSize == 0) return {};
  std::string value;
  std::ifstream in(file, std::ios::binary);
  bool found = false;
  if (in) {
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    found = FindValue(content, section, key, value);
  }
  if (!found) {
    // The default loses its trailing blanks, as the Windows reader does it.
    value = def;
    while (!value.empty() && value.back() == ' ') value.pop_back();
  }
  if (value.size() > bufSize - 1) value.resize(bufSize - 1);
  return value;
}

}  // namespace dv::plat
