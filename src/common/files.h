// File and folder helpers of the engine.
#pragma once

#include <stdexcept>
#include <string>

namespace dv {

// Raised by SaveFileText when its file cannot be created or written whole.
struct EFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string MakeGuidID();  // 30 upper-case hexadecimal digits from a new GUID
std::string NormalizeDirPath(const std::string& path);
bool DirExists(const std::string& path);
void ForceDirs(const std::string& dir);
std::string GetThisModuleFileName();
std::string GetThisModuleDir();
std::string ReadIniString(const std::string& fileName, const std::string& section,
                          const std::string& ident, const std::string& def);
void LoadFileText(const std::string& fileName, std::string& text);
void SaveFileText(const std::string& fileName, const std::string& text);

}  // namespace dv
