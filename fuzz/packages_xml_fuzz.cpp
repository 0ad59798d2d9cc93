// Packages XML: what the writer writes, the reader reads back (texts
// trimmed), whatever the names and paths hold.
#include <cstdint>
#include <string>

#include "engine/task_process.h"
#include "fuzz_check.h"

namespace {

std::string Describe(const dv::TPackageFileList& list) {
  std::string out;
  for (const auto& p : list) {
    out += "[" + dvfuzz::Printable(p.TargetName) + "]";
    for (const auto& f : p.Files) out += " {" + dvfuzz::Printable(f) + "}";
    out += "\n";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  dv::TPackageFileList list;
  bool someWithoutFiles = false;
  const std::size_t packages = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < packages; ++i) {
    dv::TPackageFile p;
    p.TargetName = dvfuzz::GbkText(in, 30);
    const std::size_t files = in.ConsumeIntegralInRange<std::size_t>(0, 5);
    for (std::size_t j = 0; j < files; ++j) p.Files.push_back(dvfuzz::GbkText(in, 80));
    someWithoutFiles = someWithoutFiles || p.Files.empty();
    list.push_back(std::move(p));
  }

  const std::string xml = dv::TTaskProcess::BuildPackagesXml(list);
  dv::TPackageFileList back;
  const bool ok = dv::TTaskProcess::ParsePackagesXml(xml, back);
  const std::string detail = "written:\n" + Describe(list) + "xml:\n" + dvfuzz::Printable(xml) +
                             "\nread (" + std::to_string(ok) + "):\n" + Describe(back);

  if (list.empty()) {
    DV_FUZZ_CHECK(xml.empty() && ok && back.empty(), detail);
    return 0;
  }
  // A package without files is written, and refused on reading.
  if (someWithoutFiles) {
    DV_FUZZ_CHECK(!ok, detail);
    return 0;
  }
  DV_FUZZ_CHECK(ok, detail);
  DV_FUZZ_CHECK(back.size() == list.size(), detail);
  for (std::size_t i = 0; i < list.size(); ++i) {
    DV_FUZZ_CHECK(back[i].TargetName == dvfuzz::TrimCtl(list[i].TargetName), detail);
    DV_FUZZ_CHECK(back[i].Files.size() == list[i].Files.size(), detail);
    for (std::size_t j = 0; j < list[i].Files.size(); ++j)
      DV_FUZZ_CHECK(back[i].Files[j] == dvfuzz::TrimCtl(list[i].Files[j]), detail);
  }
  return 0;
}
