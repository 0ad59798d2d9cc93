#include "components/manage_dlls.h"

#include <utility>

namespace dv {

namespace {
WindowHandle gApplicationWindow = nullptr;
}  // namespace

WindowHandle ApplicationWindowHandle() { return gApplicationWindow; }
void SetApplicationWindowHandle(WindowHandle handle) { gApplicationWindow = handle; }

std::string CodeDllName() { return plat::LibraryFileName("Ulvaran"); }
std::string CryptDllName() { return plat::LibraryFileName("Sibbert"); }
std::string CompressDllName() { return plat::LibraryFileName("Mordane"); }
std::string NetDllName() { return plat::LibraryFileName("Tressil"); }
std::string MessageDllName() { return plat::LibraryFileName("Quembry"); }

TBaseDll::TBaseDll(std::string fileName) : FDllFileName(std::move(fileName)) {}

TBaseDll::~TBaseDll() { UnloadDll(); }

void TBaseDll::LoadDll() {
  if (FDllHandle) return;
  // A missing file (or a folder of that name) leaves every entry point null;
  // the first operation reports it.
  if (!plat::IsExistingFile(FDllFileName)) return;
  FDllHandle = plat::LoadLibraryAt(FDllFileName);
  if (FDllHandle) BindProcs(FDllHandle);
}

void TBaseDll::UnloadDll() {
  if (plat::FreeLibraryHandle(FDllHandle)) FDllHandle = nullptr;
}

void TBaseDll::BindProcs(plat::ModuleHandle) {}
void TBaseDll::UnbindProcs() {}

}  // namespace dv
