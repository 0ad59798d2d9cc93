// Proposed bodies for the text operations, benchmarked beside the current
// ones: same arguments, same results (checked before every run), fewer
// copies. See bench/README.md for what each one changes.
#pragma once

#include <cstdint>
#include <string>

namespace dvbench::proposed {

std::string ReplaceAllMatches(const std::string& source, const std::string& find,
                              const std::string& replace, bool caseSensitive);
int32_t FindSubstrFrom(const std::string& subStr, const std::string& s, int32_t startPos);
std::string QuickReplace(const std::string& findStr, const std::string& replaceStr,
                         const std::string& source);
int32_t FindNoCase(const std::string& subStr, const std::string& s, int32_t offset);
std::string GetParamValue(const std::string& params, const std::string& name);
std::string SetParamValue(const std::string& params, const std::string& name,
                          const std::string& value);

}  // namespace dvbench::proposed
