// Path parts, GBK-aware: a byte that is the trail byte of a double-byte
// character is never a separator. Which bytes separate, and where a character
// ends, is the platform's rule (plat::IsSeparatorChar, plat::CharSizeAt):
// "\", ":" and "/" on Windows, "/" on POSIX.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace dv {

// 0-based index of the last separator of s, or std::string::npos.
std::size_t LastSeparatorPos(const std::string& s);
// True when the last character of s (double-byte characters taken whole) is
// a folder separator: the platform layer's rule, which its backends share.
using plat::EndsWithDirSep;
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
