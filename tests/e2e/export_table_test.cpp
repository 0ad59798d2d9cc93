// What the built component exposes: exactly the four exports (by name and,
// on Windows, at ordinals 1 to 4), and no dependency on compiler runtime DLLs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "component_loader.h"
#include "support/sandbox.h"

namespace dvtest {
namespace {

#if defined(_WIN32)

// The export and import tables of a PE file, read from its bytes.
class PeFile {
 public:
  explicit PeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes_.size() < sizeof(IMAGE_DOS_HEADER)) return;
    const auto* dos = At<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return;
    nt_ = At<IMAGE_NT_HEADERS>(static_cast<std::size_t>(dos->e_lfanew));
    if (!nt_ || nt_->Signature != IMAGE_NT_SIGNATURE) nt_ = nullptr;
  }
  bool Ok() const { return nt_ != nullptr; }
  // The deliverable is i686; the x86_64 build is a test configuration of the same sources.
  bool IsThisBuildsMachine() const {
#if defined(_WIN64)
    return nt_ && nt_->FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64 &&
           nt_->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#else
    return nt_ && nt_->FileHeader.Machine == IMAGE_FILE_MACHINE_I386 &&
           nt_->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#endif
  }

  // Ordinal to name; names without an ordinal entry are dropped.
  std::map<unsigned, std::string> Exports(unsigned& functionCount) const {
    std::map<unsigned, std::string> out;
    functionCount = 0;
    const auto& dir = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exp = AtRva<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
    if (!exp) return out;
    functionCount = exp->NumberOfFunctions;
    for (DWORD i = 0; i < exp->NumberOfNames; ++i) {
      const auto* nameRva = AtRva<DWORD>(exp->AddressOfNames + 4 * i);
      const auto* ordIndex = AtRva<WORD>(exp->AddressOfNameOrdinals + 2 * i);
      if (!nameRva || !ordIndex) continue;
      out[exp->Base + *ordIndex] = TextAt(*nameRva);
    }
    return out;
  }

  // DLL name to the names imported from it ("#n" for an import by ordinal).
  std::map<std::string, std::vector<std::string>> Imports() const {
    std::map<std::string, std::vector<std::string>> out;
    const auto& dir = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (DWORD off = dir.VirtualAddress;; off += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
      const auto* d = AtRva<IMAGE_IMPORT_DESCRIPTOR>(off);
      if (!d || d->Name == 0) break;
      auto& names = out[TextAt(d->Name)];
      DWORD thunks = d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk;
      for (const IMAGE_THUNK_DATA* t; (t = AtRva<IMAGE_THUNK_DATA>(thunks)) && t->u1.AddressOfData;
           thunks += sizeof(IMAGE_THUNK_DATA)) {
        if (IMAGE_SNAP_BY_ORDINAL(t->u1.Ordinal))
          names.push_back("#" + std::to_string(IMAGE_ORDINAL(t->u1.Ordinal)));
        else  // the name follows the two-byte hint
          names.push_back(TextAt(static_cast<DWORD>(t->u1.AddressOfData) + 2));
      }
    }
    return out;
  }

 private:
  template <class T>
  const T* At(std::size_t off) const {
    return off + sizeof(T) <= bytes_.size() ? reinterpret_cast<const T*>(&bytes_[off]) : nullptr;
  }
  std::size_t Offset(DWORD rva) const {
    const auto* sec = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const char*>(&nt_->OptionalHeader) + nt_->FileHeader.SizeOfOptionalHeader);
    for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i)
      if (rva >= sec[i].VirtualAddress && rva < sec[i].VirtualAddress + sec[i].SizeOfRawData)
        return rva - sec[i].VirtualAddress + sec[i].PointerToRawData;
    return bytes_.size();
  }
  template <class T>
  const T* AtRva(DWORD rva) const {
    return rva ? At<T>(Offset(rva)) : nullptr;
  }
  std::string TextAt(DWORD rva) const {
    const std::size_t off = Offset(rva);
    std::string s;
    for (std::size_t i = off; i < bytes_.size() && bytes_[i]; ++i) s += bytes_[i];
    return s;
  }

  std::vector<char> bytes_;
  const IMAGE_NT_HEADERS* nt_ = nullptr;  // of this build's width
};

TEST(ExportTable, TheDllExportsExactlyTheFourFunctionsAtOrdinalsOneToFour) {
  PeFile pe(BinDir() + ComponentFileName());
  ASSERT_TRUE(pe.Ok());
  EXPECT_TRUE(pe.IsThisBuildsMachine());
  unsigned functions = 0;
  const auto exports = pe.Exports(functions);
  EXPECT_EQ(exports, (std::map<unsigned, std::string>{
                         {1, "DataImport"}, {2, "DataExport"}, {3, "DataTransmit"}, {4, "IsConnected"}}));
  EXPECT_EQ(functions, 4u);
}

TEST(ExportTable, TheDllNeedsNoCompilerRuntimeDll) {
  PeFile pe(BinDir() + ComponentFileName());
  ASSERT_TRUE(pe.Ok());
  for (const auto& imported : pe.Imports()) {
    std::string dll = imported.first;
    std::transform(dll.begin(), dll.end(), dll.begin(), [](char c) {
      return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    EXPECT_EQ(dll.find("libgcc"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libstdc++"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libwinpthread"), std::string::npos) << dll;
  }
}

TEST(ExportTable, OrdinalsAndNamesReachTheSameFunctions) {
  Sandbox box(true);
  ComponentLoader component(box.Dir());
  ASSERT_TRUE(component.Ok()) << component.Error();
  const auto module = static_cast<HMODULE>(component.Handle());
  const char* names[] = {"DataImport", "DataExport", "DataTransmit", "IsConnected"};
  for (int ordinal = 1; ordinal <= 4; ++ordinal) {
    const FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    EXPECT_NE(byOrdinal, nullptr);
    EXPECT_EQ(byOrdinal, GetProcAddress(module, names[ordinal - 1])) << ordinal;
  }
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(5)), nullptr);
  EXPECT_EQ(GetProcAddress(module, "_DataImport@28"), nullptr) << "names are undecorated";
}

// The build's import library maps the symbols of dorvelk.h onto those names.
TEST(ExportTable, AHostLinkedAgainstTheImportLibraryImportsTheFourNamesFromTheDll) {
  PeFile host(BinDir() + "dvlinkedhost.exe");
  ASSERT_TRUE(host.Ok());
  auto imports = host.Imports();
  auto& names = imports[ComponentFileName()];
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"DataExport", "DataImport", "DataTransmit", "IsConnected"}));
}

#else

TEST(ExportTable, TheLibraryExportsTheFourFunctionsAndHidesTheEngine) {
  Sandbox box(true);
  ComponentLoader component(box.Dir());
  ASSERT_TRUE(component.Ok()) << component.Error();
  // Engine functions stay inside (mangled names of dv::IsDirPath and
  // dv::GetParamValue).
  for (const char* hidden : {"_ZN2dv9IsDirPathERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
                             "_ZN2dv13GetParamValueERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_"})
    EXPECT_EQ(dlsym(component.Handle(), hidden), nullptr) << hidden;
}

#endif

}  // namespace
}  // namespace dvtest
