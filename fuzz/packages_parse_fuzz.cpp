// The Packages XML reader on any bytes: it answers true or false and never
// fails otherwise; what it accepts has packages with files and trimmed texts,
// and survives a second write and read unchanged.
#include <cstdint>
#include <string>

#include "engine/task_process.h"
#include "fuzz_check.h"

namespace {

bool Trimmed(const std::string& s) { return s == dvfuzz::TrimCtl(s); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string xml(reinterpret_cast<const char*>(data), size);
  dv::TPackageFileList list;
  bool ok = false;
  try {
    ok = dv::TTaskProcess::ParsePackagesXml(xml, list);
  } catch (...) {
    dvfuzz::Fail("ParsePackagesXml let an exception out", dvfuzz::Printable(xml));
  }
  if (!ok) return 0;
  const std::string detail = "xml=" + dvfuzz::Printable(xml);
  if (xml.empty()) {
    DV_FUZZ_CHECK(list.empty(), detail);
    return 0;
  }
  DV_FUZZ_CHECK(!list.empty(), detail);
  for (const auto& p : list) {
    DV_FUZZ_CHECK(!p.Files.empty(), detail);
    DV_FUZZ_CHECK(Trimmed(p.TargetName), detail);
    for (const auto& f : p.Files) DV_FUZZ_CHECK(Trimmed(f), detail);
  }
  // What the reader accepted, the writer writes so that it reads the same.
  // A carriage return that arrived as a character reference is written raw and
  // comes back as a line feed (the XML line-end rule), so it is left out.
  for (const auto& p : list) {
    if (p.TargetName.find('\r') != std::string::npos) return 0;
    for (const auto& f : p.Files)
      if (f.find('\r') != std::string::npos) return 0;
  }
  const std::string again = dv::TTaskProcess::BuildPackagesXml(list);
  dv::TPackageFileList back;
  DV_FUZZ_CHECK(dv::TTaskProcess::ParsePackagesXml(again, back),
                detail + "\nrewritten=" + dvfuzz::Printable(again));
  DV_FUZZ_CHECK(back.size() == list.size(), detail);
  for (std::size_t i = 0; i < list.size(); ++i) {
    DV_FUZZ_CHECK(back[i].TargetName == list[i].TargetName,
                  detail + "\nrewritten=" + dvfuzz::Printable(again));
    DV_FUZZ_CHECK(back[i].Files == list[i].Files,
                  detail + "\nrewritten=" + dvfuzz::Printable(again));
  }
  return 0;
}
