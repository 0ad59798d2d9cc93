// The parameter string: entries "name=value" joined by ";", with "=" written
// "&eq%" and ";" written "&lim%" inside names and values.
#pragma once

#include <cstdint>
#include <string>

namespace dv {

inline constexpr char ParamSeparator = ';';
inline constexpr char ParamAssign = '=';
// The entry that carries the text of a failure back to the host.
inline constexpr const char* kResultMsgKey = "ResultMsgStr";

std::string EncodeParamText(const std::string& text);
std::string DecodeParamText(const std::string& text);
// 1-based position of subStr in s at or after offset, ASCII case folded; 0 when none.
int32_t FindNoCase(const std::string& subStr, const std::string& s, int32_t offset);
// The decoded value of the first entry named name; empty when there is none.
std::string GetParamValue(const std::string& params, const std::string& name);
// params with name set to value (replaced in place, else appended).
std::string SetParamValue(const std::string& params, const std::string& name,
                          const std::string& value);

}  // namespace dv
