// Private-profile (INI) values through the system's reader.
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace dv::plat {

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& def,
                              uint32_t bufSize) {
  if (bufSize == 0) return {};
  std::vector<char> buf(bufSize, '\0');
  const DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf.data(),
                                           bufSize, file.c_str());
  return std::string(buf.data(), n < bufSize ? n : bufSize - 1);
}

}  // namespace dv::plat
