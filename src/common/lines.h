// Line lists: a text is split at CR LF, a lone CR or a lone LF; an empty text
// gives no line, a break at the very end no empty last line, empty lines in
// between stay, nothing is trimmed. A list is joined with CR LF after every
// line, the last included.
#pragma once

#include <string>
#include <vector>

namespace dv {

std::vector<std::string> SplitLines(const std::string& text);
std::string JoinLines(const std::vector<std::string>& lines);
// The items of a comma list such as a step's Name: every "," becomes CR LF
// and the text is split into lines.
std::vector<std::string> SplitItems(const std::string& commaList);

}  // namespace dv
