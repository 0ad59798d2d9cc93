// What the earlier build of the component does differently in the shared
// utilities. Only the functions that differ call these, and only when
// kEarlierBuild (variant.h) is set.
#pragma once

#include <string>

namespace dv::earlier {

// Parameter strings: split at ";", the unescaped name compared with each
// entry's whole name; reading takes the first entry with a non-empty value;
// a change rewrites the whole list with ";" after each entry.
std::string GetParamValue(const std::string& params, const std::string& name);
std::string SetParamValue(const std::string& params, const std::string& name,
                          const std::string& value);

// The shared work folder is emptied recursively at the start of every call.
bool EmptyFolder(const std::string& dir);  // throws EFileError when dir cannot be entered
void RemoveFolderTree(const std::string& dir);
bool RecreateFolder(const std::string& dir);

}  // namespace dv::earlier
