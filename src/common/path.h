// Path parts, GBK-aware: a byte that is the trail byte of a double-byte
// character is never a separator. Which bytes separate is the platform's
// rule (plat::IsSeparatorChar): "\", ":" and "/" on Windows, "/" on POSIX.
#pragma once

#include <cstddef>
#include <string>

namespace dv {

// 0-based index of the last separator of s, or std::string::npos.
std::size_t LastSeparatorPos(const std::string& s);
// True when the last character of s (double-byte characters taken whole) is
// the platform's directory separator (plat::kDirSep).
bool EndsWithDirSep(const std::string& s);
// The text after the last separator (the whole text when there is none).
std::string FileNamePart(const std::string& s);
// The text up to and including the last separator (empty when there is none).
std::string FolderPart(const std::string& s);
// Removes leading and trailing bytes 0x00 to 0x20.
std::string Trim(const std::string& s);
// ASCII letters compared without case, every other byte exactly.
bool SameTextAscii(const std::string& a, const std::string& b);
std::string UpperAscii(std::string s);

}  // namespace dv
