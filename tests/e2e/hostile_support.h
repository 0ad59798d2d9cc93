// Shared by the hostile-input tests: the full exchange they run, the host's
// data files, and a snapshot of the whole sandbox to show that a call left
// the host's files byte for byte as they were and wrote nothing outside the
// work and backup folders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "platform/platform.h"

namespace dvtest::e2e {

inline const std::string kTaskParam = "Key=42";

// Every step, with a backup of the archives and of the final files.
inline TaskCfg FullTask(const std::string& id = "FULL") {
  return {.TaskID = id,
          .ServiceID = "SVC1",
          .Steps = {{.Kind = "Compress", .Name = "zip", .FileName = "*.zip", .Backup = true,
                     .BackupDir = "bak", .ReturnParamName = "Bak"},
                    {.Kind = "Crypt", .Name = "des,rsa", .FileName = "*.enc"},
                    {.Kind = "Code", .Name = "b64", .FileName = "*.b64"},
                    {.Kind = "Request", .Name = "std"},
                    {.Kind = "Communication", .Name = "loop"},
                    {.Kind = "Response", .Name = "std"},
                    {.Kind = "Decode", .FileName = "*.enc"},
                    {.Kind = "Decrypt", .FileName = "*.zip"},
                    {.Kind = "Uncompress", .Backup = true, .BackupDir = "bak",
                     .ReturnParamName = "Bak"}}};
}

inline void WriteHostFiles(Harness& h) {
  h.Write("data/a/orders.xml", std::string("<o>\xB6\xA9\xB5\xA5</o>\r\n\0\x01\xFF", 17));
  h.Write("data/a/notes.txt", "");
  h.Write("data/b/customers.csv", "id;name\r\n1;x\r\n");
}

inline std::string HostPackagesXml(const Harness& h) {
  return PackagesXml({{"orders", {h.Path("data/a/orders.xml"), h.Path("data/a/notes.txt")}},
                      {"", {h.Path("data/b/customers.csv")}}});
}

// Every file and folder of the sandbox ("a/b" for files, "a/" for folders)
// with its bytes; large files (the libraries) by their size only.
using TreeSnapshot = std::map<std::string, std::string>;

inline void SnapshotInto(const Harness& h, const std::string& rel, TreeSnapshot& out) {
  std::string dir = rel.empty() ? h.Dir() : h.Path(rel);
  if (dir.back() != kSep) dir += kSep;
  std::vector<dv::plat::DirEntry> entries;
  dv::plat::ListDir(dir, entries);
  for (const dv::plat::DirEntry& e : entries) {
    const std::string name = rel + e.name;
    if (e.attributes & dv::plat::kAttrDirectory) {
      out[name + "/"] = "";
      SnapshotInto(h, name + "/", out);
    } else {
      std::string bytes;
      dv::plat::ReadFileBytes(dir + e.name, bytes);
      out[name] = bytes.size() > (256u << 10) ? "size " + std::to_string(bytes.size()) : bytes;
    }
  }
}

inline TreeSnapshot Snapshot(const Harness& h) {
  TreeSnapshot s;
  SnapshotInto(h, "", s);
  return s;
}

inline bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// The doubles' own bookkeeping, which every library call touches.
inline bool IsDoubleBookkeeping(const std::string& rel) {
  return rel == "calls.log" || rel == "bus.tmp";
}

// The work folder ("temp/<name>/") that a call added between two snapshots;
// empty when it added none.
inline std::string NewWorkFolder(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::string found;
  for (const auto& entry : after) {
    const std::string& rel = entry.first;
    if (StartsWith(rel, "temp/") && rel.size() > 6 && rel.back() == '/' &&
        rel.find('/', 5) == rel.size() - 1 && !before.count(rel))
      found = rel;
  }
  return found;
}

// What a call left behind, against a snapshot taken before it.
struct CallTrace {
  TreeSnapshot after;
  std::string workRel;  // "temp/<name>/"
  std::string workDir;  // the same as a full path, with the platform separator
};

inline CallTrace TraceCall(const Harness& h, const TreeSnapshot& before) {
  CallTrace t;
  t.after = Snapshot(h);
  t.workRel = NewWorkFolder(before, t.after);
  if (!t.workRel.empty()) t.workDir = h.Path(t.workRel.substr(0, t.workRel.size() - 1)) + kSep;
  return t;
}

// What was there stays byte for byte; what is new lies in the call's work
// folder, in the backup folders, in the extra folders given, or is one of the
// files a library was steered to write itself.
inline void ExpectHostUnchangedAndNothingOutside(const TreeSnapshot& before, const CallTrace& t,
                                                 const std::string& context,
                                                 const std::vector<std::string>& libraryWrites = {},
                                                 const std::vector<std::string>& extraFolders = {}) {
  EXPECT_FALSE(t.workRel.empty()) << "the call made a work folder";
  for (const auto& [rel, bytes] : before) {
    if (IsDoubleBookkeeping(rel)) continue;
    const auto it = t.after.find(rel);
    if (it == t.after.end()) {
      ADD_FAILURE() << rel << " was deleted (" << context << ")";
    } else if (it->second != bytes) {
      ADD_FAILURE() << rel << " was changed (" << context << ")";
    }
  }
  for (const auto& entry : t.after) {
    const std::string& rel = entry.first;
    if (before.count(rel) || IsDoubleBookkeeping(rel)) continue;
    bool allowed = (!t.workRel.empty() && StartsWith(rel, t.workRel)) ||
                   StartsWith(rel, "task_backup/") || StartsWith(rel, "bak/") || rel == "temp/" ||
                   std::find(libraryWrites.begin(), libraryWrites.end(), rel) != libraryWrites.end();
    for (const std::string& f : extraFolders) allowed = allowed || StartsWith(rel, f);
    EXPECT_TRUE(allowed) << rel << " was written outside the work and backup folders ("
                         << context << ")";
  }
}

// A message against its expected form: "{work}" stands for the call's work
// folder (with its separator), "{stamp}" for a 14-digit time stamp, and a
// final "{more}" for any rest.
inline bool MatchesMessage(std::string expected, const std::string& actual,
                           const std::string& workDir) {
  for (std::size_t p; (p = expected.find("{work}")) != std::string::npos;)
    expected.replace(p, 6, workDir);
  std::size_t e = 0, a = 0;
  while (e < expected.size()) {
    if (expected.compare(e, 7, "{stamp}") == 0) {
      for (int i = 0; i < 14; ++i, ++a)
        if (a >= actual.size() || actual[a] < '0' || actual[a] > '9') return false;
      e += 7;
    } else if (expected.compare(e, 6, "{more}") == 0 && e + 6 == expected.size()) {
      return true;
    } else {
      if (a >= actual.size() || actual[a] != expected[e]) return false;
      ++a;
      ++e;
    }
  }
  return a == actual.size();
}

// Long texts (buffers filled to their end) shown by their start and length.
inline std::string Shown(const std::string& s) {
  return s.size() <= 300 ? s : s.substr(0, 300) + "... (" + std::to_string(s.size()) + " bytes)";
}

}  // namespace dvtest::e2e
