// Loads the component library from a folder by path, as a real host does,
// and resolves its four exports by name.
#pragma once

#include <string>

#include "dorvelk.h"

namespace dvtest {

using DataImportFn = decltype(&::DataImport);
using DataExportFn = decltype(&::DataExport);
using DataTransmitFn = decltype(&::DataTransmit);
using IsConnectedFn = decltype(&::IsConnected);

// "Dorvelk.dll" on Windows, "Dorvelk.so" elsewhere.
std::string ComponentFileName();

class ComponentLoader {
 public:
  // folder: the component's folder, with or without a trailing separator.
  explicit ComponentLoader(const std::string& folder);
  ~ComponentLoader();  // unloads the library
  ComponentLoader(const ComponentLoader&) = delete;
  ComponentLoader& operator=(const ComponentLoader&) = delete;

  // True when the library loaded and all four exports were found.
  bool Ok() const { return DataImport && DataExport && DataTransmit && IsConnected; }
  const std::string& Path() const { return path_; }
  const std::string& Error() const { return error_; }  // why loading failed
  void* Handle() const { return handle_; }

  DataImportFn DataImport = nullptr;
  DataExportFn DataExport = nullptr;
  DataTransmitFn DataTransmit = nullptr;
  IsConnectedFn IsConnected = nullptr;

 private:
  std::string path_;
  std::string error_;
  void* handle_ = nullptr;
};

}  // namespace dvtest
