// Output naming: whatever the pattern, the target name and the source hold,
// the output path lies directly in the work folder: the work folder, then a
// name that holds no separator and cannot climb out of it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/task_process.h"
#include "fuzz_check.h"
#include "platform/platform.h"

namespace {

constexpr bool kWin = dv::plat::kWindowsPaths;

bool IsSep(unsigned char c) { return c == '/' || (kWin && (c == '\\' || c == ':')); }

// Pieces that steer the naming rules, mixed with free GBK text.
std::string Piece(FuzzedDataProvider& in) {
  static const char* const kPieces[] = {
      "..", ".", "*.", "*.*", "?", "??", ",", "\\", "/", ":", ". .", " ", "...", "\r\n",
      "\x95\x5C", "\x81\x5C", "\xD6\xD0", "C:", "..\\", "../", "*..", "*.?", "?.", "\t"};
  if (in.ConsumeBool())
    return kPieces[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPieces) - 1)];
  return dvfuzz::GbkText(in, 6);
}

std::string Text(FuzzedDataProvider& in) {
  std::string s;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 8);
  for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) s += Piece(in);
  return s;
}

dv::TTaskProcess& Engine() {
  static dv::TTaskProcess* engine = [] {
    // The engine makes its work folders beside its module: keep them in a
    // scratch folder of this run.
    char tmpl[] = "/tmp/dv-fuzz-naming-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (dir) dv::plat::SetModuleFileNameForTesting(std::string(dir) + "/Dorvelk.so");
    return new dv::TTaskProcess("no-such-config.xml", "", "");
  }();
  return *engine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  dv::TTaskProcess& engine = Engine();
  // The Windows-rule build has no work folders of its own: it takes one of
  // the shape the engine makes.
  static const std::string kMadeWorkDir =
      !engine.FWorkDir.empty() ? engine.FWorkDir
                               : "C:\\host\\temp\\0123456789ABCDEF0123456789ABCD\\";
  // Work folders as the engine makes them, and below folders whose GBK names
  // end in a 0x5C trail byte.
  const std::string sep(1, dv::plat::kDirSep);
  const std::string workDirs[] = {
      kMadeWorkDir,
      "C:" + sep + "\xD7\xE9\xBC\xFE" + sep + "temp" + sep + "0123456789ABCDEF" + sep,
      sep + "\x95\x5C" + sep + "temp" + sep + "ABC" + sep,
      sep + "dv" + sep + "\x81\x5C",  // a name that only looks as if it ended in "\"
  };
  engine.FWorkDir = workDirs[in.ConsumeIntegralInRange<std::size_t>(0, std::size(workDirs) - 1)];
  const std::string source = Text(in);
  const std::string pattern = Text(in);
  const std::string target = Text(in);

  const std::string result = engine.MakeTargetFileName(source, pattern, target);

  // The expected folder: the work folder with a separator ensured, a trail
  // byte that equals it not counting.
  std::string folder = dvfuzz::TrimCtl(engine.FWorkDir);
  {
    const std::vector<std::size_t> starts = dvfuzz::CharStarts(folder);
    if (starts.empty() || folder.back() != dv::plat::kDirSep ||
        starts.back() != folder.size() - 1)
      folder += dv::plat::kDirSep;
  }
  const std::string detail = "workDir=" + dvfuzz::Printable(engine.FWorkDir) +
                             "\nsource=" + dvfuzz::Printable(source) +
                             "\npattern=" + dvfuzz::Printable(pattern) +
                             "\ntarget=" + dvfuzz::Printable(target) +
                             "\nresult=" + dvfuzz::Printable(result);
  DV_FUZZ_CHECK(result.compare(0, folder.size(), folder) == 0, detail);
  std::string name = result.substr(folder.size());
  name = name.substr(0, name.find('\0'));  // the system reads a path up to a zero byte
  for (std::size_t i : dvfuzz::CharStarts(name))
    DV_FUZZ_CHECK(!IsSep(static_cast<unsigned char>(name[i])), detail);
  DV_FUZZ_CHECK(name != "." && name != "..", detail);
  if (kWin && !name.empty()) {
    // Windows drops trailing dots and blanks from a path's last part, so a
    // name of only those would name the folder itself or its parent.
    DV_FUZZ_CHECK(name.find_first_not_of(". ") != std::string::npos, detail);
  }
  if (!kWin) {
    // Expanded, the path's folder is the work folder's.
    const std::string full = dv::plat::FullPathName(folder + name);
    const std::string fullFolder = dv::plat::FullPathName(folder);
    DV_FUZZ_CHECK(name.empty() || full.compare(0, full.rfind('/') + 1,
                                               fullFolder + (fullFolder.back() == '/' ? "" : "/")) == 0,
                  detail + "\nfull=" + dvfuzz::Printable(full));
  }
  return 0;
}
