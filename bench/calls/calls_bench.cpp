// Whole calls through the component's exports, each beside the work it
// orchestrates, in one run:
//   DataExport of a task without steps   / the same files copied with the
//                                          platform's own copy;
//   DataTransmit through pass-through    / the time the siblings spent in
//   siblings (bench/siblings)              their own copies;
//   IsConnected with a trivial sibling   / how its fixed cost is spent;
//   DataTransmit over one large file     : peak memory against the request
//                                          plus the reply buffer plus 16 MiB.
//
//   dvbench_calls [--short] [--dir FOLDER] [--only export,transmit,connect,peak]
//                 [--set 1000x64KiB] [--large 10x100] [--keep]
//   --short  every case once on small inputs (for CI)
//   --dir    where the component's folder and the data go (default: a
//            folder "bench-work" beside this program); removed afterwards
//            unless --keep
//   --set    only the file set of that name
//   --large  the large file set: <count>x<MiB> (default 10x100)
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "calls/bench_os.h"
#include "common/files.h"
#include "component_loader.h"
#include "components/manage_dlls.h"
#include "engine/task_process.h"
#include "platform/platform.h"

#if defined(_WIN32)
#define DVB_HOST_EXPORT extern "C" __declspec(dllexport)
#else
#define DVB_HOST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::atomic<int64_t> gSiblingNs{0};
std::atomic<int64_t> gRequestBytes{0};

// One sibling export call, and the work folder's files as it ended.
struct SiblingCall {
  std::string name;
  int64_t start, end, noted;  // noted: when this host had taken it down
  std::vector<std::pair<std::string, uint64_t>> files;
};
// Where the calls are taken down, with the work folder to list; null: only
// their time is added up.
std::vector<SiblingCall>* gTimeline = nullptr;
std::string gWatchDir;
int64_t gNoteNs = 0;  // this host's time taking the calls down, not the component's

int64_t HostNowNs();
std::vector<std::pair<std::string, uint64_t>> FilesUnder(const std::string& dir);
}  // namespace

// The pass-through siblings tell every export call here, and the loopback
// service the size of the request it received.
DVB_HOST_EXPORT void DvBenchSiblingCall(const char* name, int64_t start, int64_t end) {
  gSiblingNs.fetch_add(end - start);
  if (!gTimeline) return;
  const int64_t t0 = HostNowNs();
  gTimeline->push_back({name, start, end, 0, FilesUnder(gWatchDir)});
  gTimeline->back().noted = HostNowNs();
  gNoteNs += gTimeline->back().noted - t0;
}
DVB_HOST_EXPORT void DvBenchNoteRequest(int64_t bytes) { gRequestBytes = bytes; }

namespace {

namespace fs = std::filesystem;
using dvbench::kSep;

constexpr uint64_t KiB = 1024, MiB = 1024 * 1024;

int64_t HostNowNs() { return dvbench::NowNs(); }

// Every file below dir with its size, sorted by name.
std::vector<std::pair<std::string, uint64_t>> FilesUnder(const std::string& dir) {
  std::vector<std::pair<std::string, uint64_t>> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) files.emplace_back(it->path().string(), it->file_size(ec));
  std::sort(files.begin(), files.end());
  return files;
}

// Milliseconds since t0 (from dvbench::NowNs).
double MsSince(int64_t t0) { return static_cast<double>(dvbench::NowNs() - t0) / 1e6; }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string SizeLabel(uint64_t bytes) {
  return bytes >= MiB ? std::to_string(bytes / MiB) + "MiB" : std::to_string(bytes / KiB) + "KiB";
}

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "dvbench_calls: %s\n", why.c_str());
  std::fflush(stderr);
  std::exit(1);
}

void WriteText(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0)
    Die("cannot write " + path);
}

// size bytes of a pseudo-random stream without zero bytes (the loopback
// service's reply is read up to its first zero byte).
void WriteData(const std::string& path, uint64_t size, uint32_t seed) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) Die("cannot create " + path);
  std::vector<unsigned char> buf(std::min<uint64_t>(size, 1 * MiB));
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  for (uint64_t done = 0; done < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(buf.size(), size - done));
    for (std::size_t i = 0; i < n; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      buf[i] = static_cast<unsigned char>(1 + (x >> 56) % 255);
    }
    if (std::fwrite(buf.data(), 1, n, f) != n) Die("cannot write " + path);
    done += n;
  }
  if (std::fclose(f) != 0) Die("cannot write " + path);
}

// ---- the component's folder -----------------------------------------------

const char* const kSiblings[] = {"Ulvaran", "Sibbert", "Mordane", "Tressil", "Quembry"};

std::string ComponentCfgXml() {
  return "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<Config>\r\n"
         "<TaskCfgFile>tasks.xml</TaskCfgFile>\r\n<CompressCfgFile>Mordane.cfg</CompressCfgFile>\r\n"
         "<CryptCfgFile>Sibbert.cfg</CryptCfgFile>\r\n<CodeCfgFile>Ulvaran.cfg</CodeCfgFile>\r\n"
         "<CommunCfgFile>Tressil.cfg</CommunCfgFile>\r\n<MessageCfgFile>Quembry.cfg</MessageCfgFile>\r\n"
         "<ProxyCfgFile>proxy.cfg</ProxyCfgFile>\r\n</Config>\r\n";
}

std::string Step(const std::string& kind, const std::string& name, const std::string& pattern) {
  std::string x = "<" + kind + ">";
  if (!name.empty()) x += "<Name>" + name + "</Name>";
  if (!pattern.empty()) x += "<FileName>" + pattern + "</FileName>";
  return x + "<Describe>" + kind + "步骤</Describe></" + kind + ">";
}

// The two tasks the benchmarks run, after eighteen others of the kind a
// host configures, so that the configuration is read at a realistic size.
std::string TaskCfgXml() {
  const std::string outbound = Step("Compress", "zip", "*.zip") + Step("Crypt", "des3", "*.des") +
                               Step("Code", "base64", "*.b64");
  const std::string exchange = Step("Request", "xml", "") + Step("Communication", "http", "") +
                               Step("Response", "xml", "");
  const std::string inbound =
      Step("Decode", "", "*.dec") + Step("Decrypt", "", "*.dcr") + Step("Uncompress", "", "");
  std::string x = "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<Tasks>\r\n";
  auto task = [&](const std::string& id, const std::string& steps) {
    x += "<Task><TaskID>" + id + "</TaskID><ShowProgressBar>0</ShowProgressBar><ServiceID>SVC-" +
         id + "</ServiceID><Describe>数据交换任务 " + id + "</Describe><Steps>" + steps +
         "</Steps></Task>\r\n";
  };
  for (int i = 1; i <= 18; ++i)
    task("TASK" + std::to_string(i), i % 3 == 0 ? outbound : outbound + exchange + inbound);
  task("EXPORT", "");
  task("TRANSMIT", outbound + exchange + inbound);
  return x + "</Tasks>\r\n";
}

std::string PackagesXml(const std::vector<std::string>& files) {
  if (files.empty()) return {};
  std::string x = "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<Packages>";
  for (const std::string& f : files)
    x += "\r\n<Package>\r\n<TargetName></TargetName>\r\n<Files>\r\n<File>" + f +
         "</File>\r\n</Files>\r\n</Package>";
  return x + "\r\n</Packages>";
}

struct Setup {
  std::string root;  // everything the run writes; ends with the separator
  std::string comp;  // the component's folder
  std::unique_ptr<dvtest::ComponentLoader> loader;

  explicit Setup(const std::string& dir) : root(dir) {
    if (root.back() != kSep) root += kSep;
    comp = root + "component" + kSep;
    // The data of an earlier run kept with --keep is used again.
    std::error_code ec;
    fs::remove_all(comp, ec);
    fs::remove_all(root + "out", ec);
    fs::create_directories(comp);
    const std::string bin = dvbench::ProgramDir();
    auto copy = [&](const std::string& from, const std::string& name) {
      if (!dvbench::PlatformCopy(from, comp + name)) Die("cannot copy " + from);
    };
    copy(bin + dvtest::ComponentFileName(), dvtest::ComponentFileName());
    for (const char* s : kSiblings) {
      const std::string name = dv::plat::LibraryFileName(s);
      copy(bin + "bench-siblings" + kSep + name, name);
    }
    WriteText(comp + "component.xml", ComponentCfgXml());
    WriteText(comp + "tasks.xml", TaskCfgXml());
    loader = std::make_unique<dvtest::ComponentLoader>(comp);
    if (!loader->Ok()) Die("component not loaded: " + loader->Error());
  }

  // The work folders the calls leave.
  void CleanWork() const {
    std::error_code ec;
    fs::remove_all(comp + "temp", ec);
    fs::remove_all(comp + "task_backup", ec);
  }
};

// ---- calls ------------------------------------------------------------------

struct CallOut {
  int code = 0;
  std::string msg, text;
};

CallOut Call(const Setup& s, const char* op, const std::string& taskId, const std::string& input,
             const std::string& resultIn) {
  std::vector<char> msgBuf(64 * KiB, '\0'), resultBuf(1 * MiB, '\0');
  std::memcpy(resultBuf.data(), resultIn.data(), resultIn.size());
  char* msgPtr = msgBuf.data();
  const std::string cfg = "component.xml";
  CallOut out;
  if (std::strcmp(op, "export") == 0)
    out.code = s.loader->DataExport(nullptr, cfg.c_str(), taskId.c_str(), "", input.c_str(),
                                    resultBuf.data(), &msgPtr);
  else if (std::strcmp(op, "transmit") == 0)
    out.code = s.loader->DataTransmit(nullptr, cfg.c_str(), taskId.c_str(), "", input.c_str(),
                                      resultBuf.data(), &msgPtr);
  else
    out.code = s.loader->IsConnected(nullptr, cfg.c_str(), input.c_str(), &msgPtr);
  out.msg = msgBuf.data();
  out.text = resultBuf.data();
  return out;
}

struct FileSet {
  int count;
  uint64_t size;
  std::string Label() const { return std::to_string(count) + "x" + SizeLabel(size); }
};

// The files of a set, created on first use.
std::vector<std::string> MakeFiles(const Setup& s, const FileSet& set) {
  const std::string dir = s.root + "data" + kSep + set.Label() + kSep;
  fs::create_directories(dir);
  std::vector<std::string> files;
  for (int i = 0; i < set.count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file%04d.dat", i);
    files.push_back(dir + name);
    if (!fs::exists(files.back())) WriteData(files.back(), set.size, static_cast<uint32_t>(i));
  }
  return files;
}

void RemoveFiles(const Setup& s, const FileSet& set) {
  std::error_code ec;
  fs::remove_all(s.root + "data" + kSep + set.Label(), ec);
}

// ---- the table --------------------------------------------------------------

struct Row {
  std::string what, files;
  double baseMs = 0, compMs = 0;  // medians
  double ratio = 0;               // component / baseline, or own share
  std::string ratioText, target, verdict;
};
std::vector<Row> gRows;

void PrintRows(const char* platform) {
  std::printf("\n== Whole calls (%s): medians; ratio = component / baseline\n", platform);
  std::printf("%-44s %-11s %12s %12s %9s  %-10s %s\n", "case", "files", "baseline_ms",
              "component_ms", "ratio", "target", "");
  for (const Row& r : gRows)
    std::printf("%-44s %-11s %12.2f %12.2f %9s  %-10s %s\n", r.what.c_str(), r.files.c_str(),
                r.baseMs, r.compMs, r.ratioText.c_str(), r.target.c_str(), r.verdict.c_str());
  std::fflush(stdout);
}

std::string Fixed(double v, int digits = 2) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

// ---- DataExport ---------------------------------------------------------------

void BenchExport(const Setup& s, const FileSet& set, int reps, double target) {
  const std::vector<std::string> files = MakeFiles(s, set);
  const std::string xml = PackagesXml(files);
  const std::string out = s.root + "out" + kSep;
  auto fresh = [&] {
    std::error_code ec;
    fs::remove_all(out, ec);
  };
  std::vector<double> base, comp;
  auto baseline = [&] {
    fresh();
    const auto t0 = dvbench::NowNs();
    fs::create_directories(out);
    for (const std::string& f : files)
      if (!dvbench::PlatformCopy(f, out + f.substr(f.find_last_of(kSep) + 1)))
        Die("baseline copy failed: " + f);
    base.push_back(MsSince(t0));
  };
  auto component = [&] {
    fresh();
    const auto t0 = dvbench::NowNs();
    const CallOut c = Call(s, "export", "EXPORT", xml, out);
    comp.push_back(MsSince(t0));
    if (c.code != 0) Die("DataExport failed: " + std::to_string(c.code) + " " + c.msg);
    if (static_cast<int>(std::distance(fs::directory_iterator(out), fs::directory_iterator())) !=
        set.count)
      Die("DataExport did not deliver every file");
    s.CleanWork();
  };
  for (int r = 0; r < reps; ++r) {
    // Alternating, so that both see the same state of the machine, and
    // taking turns to go first: whichever copies second meets the first's
    // gigabyte still being written back.
    if (r % 2 == 0) {
      baseline();
      component();
    } else {
      component();
      baseline();
    }
  }
  fresh();
  Row row;
  row.what = "DataExport, no steps / platform copies";
  row.files = set.Label();
  row.baseMs = Median(base);
  row.compMs = Median(comp);
  row.ratio = row.compMs / row.baseMs;
  row.ratioText = Fixed(row.ratio) + "x";
  row.target = target > 0 ? "<= " + Fixed(target, 1) + "x" : "-";
  row.verdict = target > 0 ? (row.ratio <= target ? "met" : "MISSED") : "";
  gRows.push_back(row);
  std::fprintf(stderr, "  %s %s: %.2f / %.2f ms\n", row.what.c_str(), row.files.c_str(), row.compMs,
               row.baseMs);
}

// ---- DataTransmit --------------------------------------------------------------

struct TransmitRun {
  double totalMs, siblingMs, noteMs;
  uint64_t requestBytes;
  // With a timeline: the sibling calls, the call's start and end, and the
  // work folder's files once it had returned.
  std::vector<SiblingCall> calls;
  int64_t start = 0, end = 0;
  std::vector<std::pair<std::string, uint64_t>> filesAfter;
};

// A failed call gives totalMs < 0 and its result and message in failure.
TransmitRun Transmit(const Setup& s, const std::string& xml, std::string* failure = nullptr,
                     bool timeline = false) {
  gSiblingNs = 0;
  gRequestBytes = 0;
  gNoteNs = 0;
  TransmitRun run{};
  if (timeline) {
    gTimeline = &run.calls;
    gWatchDir = s.comp + "temp";
  }
  run.start = dvbench::NowNs();
  const CallOut c = Call(s, "transmit", "TRANSMIT", xml, "");
  run.end = dvbench::NowNs();
  gTimeline = nullptr;
  if (timeline) run.filesAfter = FilesUnder(gWatchDir);
  s.CleanWork();
  std::string why;
  if (c.code != 0) why = "result " + std::to_string(c.code) + ", message " + c.msg;
  else if (c.text.find("<File>") == std::string::npos) why = "no file returned: " + c.text;
  if (!why.empty()) {
    if (!failure) Die("DataTransmit failed: " + why);
    *failure = why;
    run.totalMs = -1;
    return run;
  }
  run.totalMs = static_cast<double>(run.end - run.start) / 1e6;
  run.siblingMs = static_cast<double>(gSiblingNs.load()) / 1e6;
  run.noteMs = static_cast<double>(gNoteNs) / 1e6;
  run.requestBytes = static_cast<uint64_t>(gRequestBytes.load());
  return run;
}

// What the component did between two sibling calls: its time there and the
// sizes of the files it deleted there.
struct Gap {
  std::string after;  // the sibling call before it; empty: the call's start
  double ms;
  std::vector<uint64_t> deleted;
};

std::vector<Gap> Gaps(const TransmitRun& t) {
  std::vector<Gap> gaps;
  int64_t from = t.start;
  std::string after;
  for (std::size_t i = 0; i <= t.calls.size(); ++i) {
    const int64_t to = i < t.calls.size() ? t.calls[i].start : t.end;
    Gap g{after, static_cast<double>(to - from) / 1e6, {}};
    if (i > 0) {
      // Files there when the previous call ended and gone by the next.
      const auto& before = t.calls[i - 1].files;
      const auto& later = i < t.calls.size() ? t.calls[i].files : t.filesAfter;
      for (const auto& f : before)
        if (!std::binary_search(later.begin(), later.end(), f,
                                [](const auto& a, const auto& b) { return a.first < b.first; }))
          g.deleted.push_back(f.second);
    }
    // One line a step: the gaps between its own calls (one a package) join
    // the gap that follows them.
    if (!gaps.empty() && i > 0 && gaps.back().after == after) {
      gaps.back().ms += g.ms;
      gaps.back().deleted.insert(gaps.back().deleted.end(), g.deleted.begin(), g.deleted.end());
    } else {
      gaps.push_back(g);
    }
    if (i < t.calls.size()) {
      from = t.calls[i].noted;
      after = t.calls[i].name;
    }
  }
  return gaps;
}

// The platform deleting a file of size bytes just written, as the
// component deletes a step's input just after the next step wrote its
// output. With handOver, the file is first lent the way the Communication
// step lends the request: mapped, every page read, released (the reading
// not timed, as it is the library's).
double PlatformDeleteMs(const std::string& path, uint64_t size, double* handOverMs) {
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) Die("cannot create " + path);
    const std::vector<char> block(1 * MiB, 'd');
    for (uint64_t done = 0; done < size;) {
      const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(block.size(), size - done));
      if (std::fwrite(block.data(), 1, n, f) != n) Die("cannot write " + path);
      done += n;
    }
    if (std::fclose(f) != 0) Die("cannot write " + path);
  }
  if (handOverMs) {
    dv::plat::FileView view;
    const int64_t t0 = dvbench::NowNs();
    if (!view.Open(path, INT32_MAX)) Die("cannot map " + path);
    const int64_t t1 = dvbench::NowNs();
    unsigned sum = 0;
    for (std::size_t i = 0; i < view.Size(); i += 4096) sum += static_cast<unsigned char>(view.Data()[i]);
    volatile unsigned sink = sum;
    (void)sink;
    const int64_t t2 = dvbench::NowNs();
    view.Release();
    *handOverMs = static_cast<double>(t1 - t0 + dvbench::NowNs() - t2) / 1e6;
  }
  const int64_t t0 = dvbench::NowNs();
  if (!dvbench::PlatformDelete(path)) Die("cannot delete " + path);
  return MsSince(t0);
}

std::string MiBText(uint64_t bytes) { return Fixed(static_cast<double>(bytes) / double(MiB), 1); }

// Where the component's own time of the call goes: between the siblings'
// calls, beside the platform deleting files of the sizes it deleted there,
// and the request's hand-over on its own.
void PrintBreakdown(const FileSet& set, const std::vector<std::vector<Gap>>& reps,
                    const std::vector<std::vector<double>>& platformMs,
                    const std::vector<double>& handOver, const std::vector<double>& own,
                    const std::vector<double>& total) {
  const std::vector<Gap>& first = reps.front();
  std::printf("\n== DataTransmit %s: where the component's own time goes (medians of %zu calls)\n",
              set.Label().c_str(), reps.size());
  std::printf("  own %.1f ms of %.1f ms; between the siblings' calls:\n", Median(own),
              Median(total));
  std::printf("  %-16s %10s   %-28s %s\n", "after", "ms", "deleted there",
              "the platform deleting the same sizes");
  double deletionMs = 0, gapsWithDeletion = 0;
  for (std::size_t g = 0; g < first.size(); ++g) {
    std::vector<double> ms, plat;
    for (std::size_t r = 0; r < reps.size(); ++r) {
      ms.push_back(reps[r][g].ms);
      plat.push_back(platformMs[r][g]);
    }
    uint64_t bytes = 0;
    for (uint64_t b : first[g].deleted) bytes += b;
    std::string what = "-", base;
    if (!first[g].deleted.empty()) {
      what = std::to_string(first[g].deleted.size()) + " file(s), " + MiBText(bytes) + " MiB";
      base = Fixed(Median(plat), 1) + " ms";
      deletionMs += Median(plat);
      gapsWithDeletion += Median(ms);
    }
    std::printf("  %-16s %10.1f   %-28s %s\n", first[g].after.empty() ? "(the call's start)"
                                                                     : first[g].after.c_str(),
                Median(ms), what.c_str(), base.c_str());
  }
  const double ownMs = Median(own), handOverMs = Median(handOver);
  std::printf("  deletion of the intermediates: the platform takes %.1f ms (%.1f%% of the call); "
              "the gaps holding them %.1f ms\n",
              deletionMs, 100 * deletionMs / Median(total), gapsWithDeletion);
  std::printf("  the request's hand-over (view mapped and released, in the gaps around Send): "
              "%.1f ms (%.1f%%)\n",
              handOverMs, 100 * handOverMs / Median(total));
  std::printf("  the rest (configuration, library loads, buffers, reply saved, naming): %.1f ms "
              "(%.1f%%)\n",
              ownMs - deletionMs - handOverMs, 100 * (ownMs - deletionMs - handOverMs) / Median(total));
  std::fflush(stdout);
}

void BenchTransmit(const Setup& s, const FileSet& set, int reps, double targetShare,
                   bool breakdown = false) {
  const std::string xml = PackagesXml(MakeFiles(s, set));
  const std::string scratch = s.root + "scratch" + kSep;
  if (breakdown) fs::create_directories(scratch);
  std::vector<double> total, sib, own, handOver;
  std::vector<std::vector<Gap>> gapReps;
  std::vector<std::vector<double>> platformReps;
  for (int r = 0; r < reps; ++r) {
    std::string failure;
    const TransmitRun t = Transmit(s, xml, &failure, breakdown);
    if (t.totalMs < 0) {
      // Reported, not hidden: the row says the call failed and why.
      Row row;
      row.what = "DataTransmit, pass-through / siblings' own";
      row.files = set.Label();
      row.ratioText = "-";
      row.target = targetShare > 0 ? "own < " + Fixed(targetShare * 100, 0) + "%" : "-";
      row.verdict = "CALL FAILED: " + failure;
      gRows.push_back(row);
      std::fprintf(stderr, "  DataTransmit %s failed: %s\n", row.files.c_str(), failure.c_str());
      return;
    }
    total.push_back(t.totalMs);
    sib.push_back(t.siblingMs);
    own.push_back(t.totalMs - t.siblingMs - t.noteMs);
    if (breakdown) {
      // Alternating with the calls, so that both see the same state of the
      // machine.
      std::vector<Gap> gaps = Gaps(t);
      std::vector<double> plat;
      double lent = 0;
      for (const Gap& g : gaps) {
        double ms = 0;
        for (uint64_t size : g.deleted) {
          const bool isRequest = g.after == "Send" && size == t.requestBytes && lent == 0;
          ms += PlatformDeleteMs(scratch + "intermediate.dat", size, isRequest ? &lent : nullptr);
        }
        plat.push_back(ms);
      }
      gapReps.push_back(std::move(gaps));
      platformReps.push_back(std::move(plat));
      handOver.push_back(lent);
    }
  }
  if (breakdown) {
    std::error_code ec;
    fs::remove_all(scratch, ec);
  }
  Row row;
  row.what = "DataTransmit, pass-through / siblings' own";
  row.files = set.Label();
  row.baseMs = Median(sib);
  row.compMs = Median(total);
  const double share = Median(own) / row.compMs;
  row.ratio = row.compMs / row.baseMs;
  row.ratioText = Fixed(row.ratio) + "x";
  row.target = targetShare > 0 ? "own < " + Fixed(targetShare * 100, 0) + "%" : "-";
  row.verdict = "own " + Fixed(Median(own)) + " ms = " + Fixed(share * 100, 1) + "%";
  if (targetShare > 0) row.verdict += share < targetShare ? " met" : " MISSED";
  gRows.push_back(row);
  std::fprintf(stderr, "  %s %s: %.2f / %.2f ms\n", row.what.c_str(), row.files.c_str(), row.compMs,
               row.baseMs);
  if (breakdown) PrintBreakdown(set, gapReps, platformReps, handOver, own, total);
}

// ---- IsConnected: the fixed cost of one call ------------------------------------

template <class F>
double MedianUs(int reps, F f) {
  std::vector<double> v;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = dvbench::NowNs();
    f();
    v.push_back(MsSince(t0) * 1000.0);
  }
  return Median(v);
}

void BenchConnect(const Setup& s, int reps) {
  const double whole = MedianUs(reps, [&] {
    const CallOut c = Call(s, "connect", "", "net=1", "");
    if (c.code != 1) Die("IsConnected answered no: " + c.msg);
  });
  s.CleanWork();

  // The same steps taken one at a time, by the engine linked into this
  // program, in the component's folder.
  dv::plat::SetModuleFileNameForTesting(s.comp + dvtest::ComponentFileName());
  const std::string saved = dv::plat::CurrentDir();
  const double frame = MedianUs(reps, [&] {
    const std::string cwd = dv::plat::CurrentDir();
    dv::plat::SetCurrentDir(dv::GetThisModuleDir());
    dv::plat::SetCurrentDir(cwd);
  });
  dv::plat::SetCurrentDir(s.comp);
  dv::TTaskProcess engine("component.xml", "", "");
  const double componentCfg = MedianUs(reps, [&] { engine.LoadComponentCfg(); });
  const double taskCfg = MedianUs(reps, [&] { engine.LoadTaskCfg(); });
  const double workDirs = MedianUs(reps, [&] { engine.PrepareWorkDirs(); });
  const std::string net = dv::GetThisModuleDir() + dv::NetDllName();
  const double loadUnload =
      MedianUs(reps, [&] { auto dll = dv::TBaseDll::Create<dv::TNetManageDll>(net); });
  auto dll = dv::TBaseDll::Create<dv::TNetManageDll>(net);
  const double wrapperCall = MedianUs(reps, [&] {
    std::string msg;
    dll->IsConnected(engine.FComponentCfg.CommunCfgFile, engine.FComponentCfg.ProxyCfgFile,
                     "net=1", msg);
  });
  dll.reset();
  const double wholeEngine = MedianUs(reps, [&] { dv::TTaskProcess e("component.xml", "", ""); });
  dv::plat::SetCurrentDir(saved);
  dv::plat::SetModuleFileNameForTesting("");
  s.CleanWork();

  std::printf("\n== IsConnected with a trivial sibling: %.1f us per call (median of %d)\n", whole,
              reps);
  const struct {
    const char* what;
    double us;
  } parts[] = {
      {"component configuration read and parsed", componentCfg},
      {"task configuration read and parsed", taskCfg},
      {"work folder and backup folder", workDirs},
      {"sibling library loaded, bound and unloaded", loadUnload},
      {"wrapper call (buffers, message, sibling)", wrapperCall},
      {"current directory saved, set, restored", frame},
  };
  double sum = 0;
  for (const auto& p : parts) {
    std::printf("  %-46s %9.1f us %6.1f%%\n", p.what, p.us, 100 * p.us / whole);
    sum += p.us;
  }
  std::printf("  %-46s %9.1f us %6.1f%%\n", "rest (handler table, copies, frame)", whole - sum,
              100 * (whole - sum) / whole);
  std::printf("  (engine object made and freed on its own: %.1f us)\n", wholeEngine);
  std::fflush(stdout);
}

// ---- peak memory --------------------------------------------------------------

void BenchPeak(const Setup& s, uint64_t fileSize, bool keepData) {
  // One small call first, so that what every process pays once (the XML
  // parser, the first loads) is not counted.
  const FileSet warm{1, 64 * KiB}, big{1, fileSize};
  Transmit(s, PackagesXml(MakeFiles(s, warm)));
  const std::string xml = PackagesXml(MakeFiles(s, big));
  const bool reset = dvbench::ResetPeak();
  const uint64_t before = dvbench::MemoryNow();
  const uint64_t peakBefore = dvbench::MemoryPeak();
  const uint64_t privateBefore = dvbench::PrivateNow();
  gSiblingNs = 0;
  gRequestBytes = 0;
  dvbench::PrivatePeak sampler;
  sampler.Start();
  const CallOut c = Call(s, "transmit", "TRANSMIT", xml, "");
  const uint64_t privatePeak = sampler.Stop();
  const uint64_t peak = dvbench::MemoryPeak();
  if (c.code != 0) Die("DataTransmit failed: " + std::to_string(c.code) + " " + c.msg);
  const uint64_t request = static_cast<uint64_t>(gRequestBytes.load());
  s.CleanWork();
  if (!keepData) RemoveFiles(s, big);
  const uint64_t extra = peak > before ? peak - before : 0;
  const uint64_t privateExtra = privatePeak > privateBefore ? privatePeak - privateBefore : 0;
  // The request is lent as a view of its file: the private memory a call
  // needs does not grow with it.
  const uint64_t bound = 10 * MiB + 16 * MiB;
  std::printf("\n== Peak memory of one DataTransmit over %s (request %.1f MiB)\n",
              big.Label().c_str(), request / double(MiB));
  std::printf("  private: %s\n", dvbench::PrivateKind());
  std::printf("    before the call %8.1f MiB, peak during it %8.1f MiB\n",
              privateBefore / double(MiB), privatePeak / double(MiB));
  std::printf("    added by the call %6.1f MiB; reply buffer 10 MiB + 16 MiB = %.1f MiB: %s\n",
              privateExtra / double(MiB), bound / double(MiB),
              privatePeak == 0 ? "not told by this system" : privateExtra <= bound ? "met" : "MISSED");
  std::printf("  working set: %s%s (the request's pages count as the library reads them)\n",
              dvbench::MemoryKind(), reset ? ", peak reset before the call" : "");
  std::printf("    before the call %8.1f MiB (peak so far %.1f MiB), peak during it %8.1f MiB, "
              "added %.1f MiB\n",
              before / double(MiB), peakBefore / double(MiB), peak / double(MiB),
              extra / double(MiB));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, keep = false;
  std::string dir = dvbench::ProgramDir() + "bench-work", only, setFilter, large;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--short") quick = true;
    else if (a == "--keep") keep = true;
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else if (a == "--set" && i + 1 < argc) setFilter = argv[++i];
    else if (a == "--large" && i + 1 < argc) large = argv[++i];
    else Die("unknown argument " + a);
  }
  auto wanted = [&](const char* what) { return only.empty() || only.find(what) != std::string::npos; };
  // The component works in its own folder: every path it gets is absolute.
  dir = fs::absolute(dir).string();
  dvbench::InitHostThread();
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);

  {
    const Setup s(dir);
    // First, while the process is fresh: where the peak cannot be reset,
    // it is then the call's own.
    if (wanted("peak")) BenchPeak(s, quick ? 4 * MiB : 100 * MiB, keep);
    const std::vector<FileSet> small = {{1, 64 * KiB}, {100, 64 * KiB}, {1000, 64 * KiB}};
    FileSet largeSet = quick ? FileSet{2, 1 * MiB} : FileSet{10, 100 * MiB};
    if (!large.empty())  // "<count>x<MiB>"
      largeSet = FileSet{std::atoi(large.c_str()),
                         std::strtoull(large.c_str() + large.find('x') + 1, nullptr, 10) * MiB};
    const FileSet& large = largeSet;
    const int reps = quick ? 1 : 15;
    const int largeReps = quick ? 1 : 3;
    auto run = [&](const FileSet& set) { return setFilter.empty() || setFilter == set.Label(); };
    if (wanted("export")) {
      for (const FileSet& set : small)
        if ((!quick || set.count <= 100) && run(set))
          BenchExport(s, set, set.count >= 1000 ? reps / 2 + 1 : reps, set.count >= 1000 ? 1.5 : 0);
      // The targets hold for the full sizes; the short run's small files are
      // not judged.
      if (run(large)) BenchExport(s, large, largeReps, quick ? 0 : 1.1);
      if (!keep) RemoveFiles(s, large);
    }
    if (wanted("transmit")) {
      for (const FileSet& set : small)
        if ((!quick || set.count <= 100) && run(set))
          BenchTransmit(s, set, set.count >= 1000 ? reps / 2 + 1 : reps, 0);
      if (run(large)) BenchTransmit(s, large, largeReps, quick ? 0 : 0.10, /*breakdown=*/true);
      if (!keep) RemoveFiles(s, large);
    }
#if defined(_WIN64)
    const char* platform = "win64 under Wine";
#elif defined(_WIN32)
    const char* platform = "win32 under Wine";
#else
    const char* platform = "native";
#endif
    if (!gRows.empty()) PrintRows(platform);
    if (wanted("connect")) BenchConnect(s, quick ? 3 : 300);
  }
  if (!keep) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return 0;
}
