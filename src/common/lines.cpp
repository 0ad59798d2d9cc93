#include "common/lines.h"

#include "common/text_search.h"

namespace dv {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < n) lines.push_back(text.substr(start));
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) {
    out += l;
    out += "\r\n";
  }
  return out;
}

std::vector<std::string> SplitItems(const std::string& commaList) {
  // A zero byte ends the text, as it does for every text the libraries see.
  return SplitLines(QuickReplace(",", "\r\n", commaList.substr(0, commaList.find('\0'))));
}

}  // namespace dv
