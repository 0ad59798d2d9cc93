// contentControl XML: writing a request's step list and reading it into a
// fresh one switches on the inverse steps with the trimmed non-empty items,
// in order; the reader on any bytes touches no other step.
#include <cstdint>
#include <string>
#include <vector>

#include "common/lines.h"
#include "engine/task_process.h"
#include "fuzz_check.h"

namespace {

using dv::TStepKind;

dv::TStepList FreshSteps() {
  dv::TStepList steps;
  for (int k = 0; k < dv::StepKindCount; ++k) steps[k].Kind = static_cast<TStepKind>(k);
  return steps;
}

std::string Describe(const dv::TStepList& steps) {
  std::string out;
  for (const auto& s : steps)
    out += std::to_string(static_cast<int>(s.Kind)) + (s.Configured ? "+ " : "- ") +
           dvfuzz::Printable(s.Name) + "\n";
  return out;
}

void RoundTrip(FuzzedDataProvider& in) {
  dv::TStepList sent = FreshSteps();
  for (int k = 0; k < 3; ++k) {
    sent[k].Configured = in.ConsumeBool();
    // Names as a configuration can hold them: no zero byte.
    sent[k].Name = dvfuzz::GbkText(in, 40);
  }
  // The steps after Code never take part in writing.
  for (int k = 3; k < dv::StepKindCount; ++k) {
    sent[k].Configured = in.ConsumeBool();
    sent[k].Name = dvfuzz::GbkText(in, 8);
  }
  const std::string xml = dv::TTaskProcess::BuildContentControl(sent);
  dv::TStepList got = FreshSteps();
  const bool ok = dv::TTaskProcess::ParseContentControl(xml, got);
  const std::string detail = "sent:\n" + Describe(sent) + "xml:\n" + dvfuzz::Printable(xml) +
                             "\nread:\n" + Describe(got);
  DV_FUZZ_CHECK(ok, detail);

  // Kind 0 is undone by 8, 1 by 7, 2 by 6.
  for (int k = 0; k < 3; ++k) {
    const dv::TStep& inverse = got[8 - k];
    const std::vector<std::string> items =
        sent[k].Configured ? dv::SplitItems(sent[k].Name) : std::vector<std::string>{};
    std::string names;
    for (const std::string& item : items) {
      const std::string t = dvfuzz::TrimCtl(item);
      if (t.empty()) continue;
      names += (names.empty() ? "" : ",") + t;
    }
    DV_FUZZ_CHECK(inverse.Configured == !items.empty(), detail);
    DV_FUZZ_CHECK(inverse.Name == names, detail);
  }
  for (int k = 0; k < 6; ++k)
    DV_FUZZ_CHECK(!got[k].Configured && got[k].Name.empty(), detail);
}

void AnyBytes(const std::string& xml) {
  dv::TStepList steps = FreshSteps();
  for (int k = 0; k < 6; ++k) {
    steps[k].Configured = true;
    steps[k].Name = "keep" + std::to_string(k);
  }
  try {
    dv::TTaskProcess::ParseContentControl(xml, steps);
  } catch (...) {
    dvfuzz::Fail("ParseContentControl let an exception out", dvfuzz::Printable(xml));
  }
  for (int k = 0; k < 6; ++k)
    DV_FUZZ_CHECK(steps[k].Configured && steps[k].Name == "keep" + std::to_string(k),
                  "xml=" + dvfuzz::Printable(xml) + "\n" + Describe(steps));
  // Names are joined from trimmed texts, so they begin and end trimmed.
  for (int k = 6; k < 9; ++k)
    DV_FUZZ_CHECK(steps[k].Name == dvfuzz::TrimCtl(steps[k].Name),
                  "xml=" + dvfuzz::Printable(xml) + "\n" + Describe(steps));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] == '<') {
    AnyBytes(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
  }
  FuzzedDataProvider in(data, size);
  RoundTrip(in);
  return 0;
}
