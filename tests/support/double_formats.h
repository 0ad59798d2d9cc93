// File formats of the test doubles, shared by the doubles and the tests:
// a container of tagged entries ("<magic>\n" then per entry
// "<tag> <nameLen> <dataLen>\n<name><data>\n"), used raw for archives and
// with hex-encoded file data for messages (a reply travels as text that ends
// at its first zero byte, so a message holds none). Also the "%XX" escaping
// of the call log and the steering file, and the lines of a list text.
// Header-only: the doubles are built without the project's libraries.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace dvtest::fmt {

// The whole file as bytes; false when it cannot be opened.
inline bool ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return true;
}

// Lines of a list text; the empty lines a careless caller leaves are skipped.
inline std::vector<std::string> ListLines(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

inline constexpr const char* kArchiveMagic = "DVARC1";
inline constexpr const char* kMessageMagic = "DVMSG1";

struct Entry {
  std::string tag, name, data;
};

inline std::string Pack(const std::string& magic, const std::vector<Entry>& entries) {
  std::string out = magic + "\n";
  for (const auto& e : entries) {
    out += e.tag + " " + std::to_string(e.name.size()) + " " + std::to_string(e.data.size()) +
           "\n" + e.name + e.data + "\n";
  }
  return out;
}

inline bool Unpack(const std::string& bytes, const std::string& magic, std::vector<Entry>& out) {
  out.clear();
  const std::string head = magic + "\n";
  if (bytes.compare(0, head.size(), head) != 0) return false;
  std::size_t pos = head.size();
  while (pos < bytes.size()) {
    const std::size_t eol = bytes.find('\n', pos);
    if (eol == std::string::npos) return false;
    const std::string line = bytes.substr(pos, eol - pos);
    const std::size_t s1 = line.find(' ');
    const std::size_t s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
    if (s2 == std::string::npos) return false;
    char* end = nullptr;
    const unsigned long nameLen = std::strtoul(line.c_str() + s1 + 1, &end, 10);
    if (end != line.c_str() + s2) return false;
    const unsigned long dataLen = std::strtoul(line.c_str() + s2 + 1, &end, 10);
    if (end != line.c_str() + line.size()) return false;
    pos = eol + 1;
    const std::size_t left = bytes.size() - pos;
    if (nameLen > left || dataLen > left - nameLen || left - nameLen - dataLen < 1) return false;
    Entry e{line.substr(0, s1), bytes.substr(pos, nameLen), bytes.substr(pos + nameLen, dataLen)};
    pos += nameLen + dataLen;
    if (bytes[pos] != '\n') return false;
    ++pos;
    out.push_back(std::move(e));
  }
  return true;
}

inline std::string Hex(const std::string& data) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(data.size() * 2);
  for (unsigned char c : data) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

inline bool Unhex(const std::string& text, std::string& out) {
  out.clear();
  if (text.size() % 2) return false;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

// Bytes below 0x20, "%" and "|" as "%XX": one log line per call, one
// steering line per key.
inline std::string Escape(const std::string& s) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == '%' || c == '|') {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

inline std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace dvtest::fmt
