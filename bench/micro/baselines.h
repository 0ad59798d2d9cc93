// Plain implementations of the component's text operations, the yardsticks
// of the text benchmarks: the same results, written the obvious way with
// std::string::find, or with std::boyer_moore_horspool_searcher.
#pragma once

#include <cstdint>
#include <string>

namespace dvbench {

// Replace every match, left to right, matches never overlapping.
std::string FindReplace(const std::string& s, const std::string& find, const std::string& repl);
std::string BmhReplace(const std::string& s, const std::string& find, const std::string& repl);

// 1-based position of sub in s at or after startPos; 0 when none.
int32_t FindFrom(const std::string& sub, const std::string& s, int32_t startPos);
int32_t BmhFrom(const std::string& sub, const std::string& s, int32_t startPos);

// The parameter string read and written: "find" folds a copy of the text
// and searches it with std::string::find; "bmh" searches the text itself
// with a case-folding Horspool searcher.
std::string FindGetParam(const std::string& params, const std::string& name);
std::string BmhGetParam(const std::string& params, const std::string& name);
std::string FindSetParam(const std::string& params, const std::string& name,
                         const std::string& value);
std::string BmhSetParam(const std::string& params, const std::string& name,
                        const std::string& value);

}  // namespace dvbench
