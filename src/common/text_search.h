// Byte-wise search and replace-all on 8-bit (GBK) texts. Positions are
// 1-based; 0 means not found.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace dv {

// Entry i is the upper-case form of byte i under the ANSI rules of the code
// page in force when the library was loaded. Built once, at load time.
const std::array<unsigned char, 256>& UpperCaseTable();
void BuildUpperCaseTable();

using SkipTable = std::array<int32_t, 256>;
// Horspool skip tables; both throw std::invalid_argument("BufferLen is 0")
// for an empty pattern.
void BuildSkipTable(const char* pattern, int32_t patternLen, SkipTable& table);
void BuildSkipTableIgnoreCase(const char* pattern, int32_t patternLen, SkipTable& table);
// First byte of the leftmost match lying wholly inside the textLen bytes from
// start, or nullptr.
const char* FindWithSkipTable(const char* start, const char* pattern, int32_t textLen,
                              int32_t patternLen, const SkipTable& table);
const char* FindWithSkipTableIgnoreCase(const char* start, const char* pattern, int32_t textLen,
                                        int32_t patternLen, const SkipTable& table);
void CopyBytes(const char* source, char* dest, int32_t count);

std::string ReplaceAllMatches(const std::string& source, const std::string& find,
                              const std::string& replace, bool caseSensitive);
// ReplaceAllMatches with the output first reserved at reserve bytes (the path
// taken when the bound cannot be reserved; tests start it small).
std::string ReplaceAllMatchesReserved(const std::string& source, const std::string& find,
                                      const std::string& replace, bool caseSensitive,
                                      std::size_t reserve);
// The next reservation: half as much again, and never less than needed.
std::size_t GrowReservation(std::size_t reserved, std::size_t needed);

// pattern with each "%s" in turn replaced by the next argument, path then
// more (a "%s" beyond the second stays as it is). Used for the messages that
// name a file.
std::string FormatWithPath(const std::string& pattern, const std::string& path,
                           const std::string& more = {});

int32_t FindSubstrFrom(const std::string& subStr, const std::string& s, int32_t startPos);
std::string CopyText(const std::string& s, int32_t index, int32_t count);
std::string ReplaceEvery(const std::string& source, const std::string& oldPattern,
                         const std::string& newPattern, bool caseSensitive);
void MoveBytes(const char* source, char* dest, int32_t count);
std::string QuickReplace(const std::string& findStr, const std::string& replaceStr,
                         const std::string& source);

}  // namespace dv
