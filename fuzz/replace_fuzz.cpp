// The three replace-alls and the searches beside them agree with a plain
// left-to-right reference on any bytes.
#include <algorithm>
#include <cstdint>
#include <string>

#include "common/params.h"
#include "common/text_search.h"
#include "fuzz_check.h"

namespace {

unsigned char Fold(unsigned char c, bool caseSensitive) {
  return !caseSensitive && c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
}

bool MatchAt(const std::string& s, std::size_t i, const std::string& find, bool cs) {
  if (i + find.size() > s.size()) return false;
  for (std::size_t j = 0; j < find.size(); ++j)
    if (Fold(static_cast<unsigned char>(s[i + j]), cs) !=
        Fold(static_cast<unsigned char>(find[j]), cs))
      return false;
  return true;
}

// Every non-overlapping match, leftmost first, replaced.
std::string Reference(const std::string& s, const std::string& find, const std::string& rep,
                      bool cs) {
  if (find.empty()) return s;
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (MatchAt(s, i, find, cs)) {
      out += rep;
      i += find.size();
    } else {
      out += s[i++];
    }
  }
  return out;
}

int32_t ReferenceFind(const std::string& sub, const std::string& s, int32_t from, bool cs) {
  if (sub.empty() || s.empty()) return 0;
  for (std::size_t i = static_cast<std::size_t>(std::max(from, 1) - 1); i < s.size(); ++i)
    if (MatchAt(s, i, sub, cs)) return static_cast<int32_t>(i + 1);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool cs = in.ConsumeBool();
  // Small alphabets make matches, overlaps and near-misses common.
  const bool narrow = in.ConsumeBool();
  auto text = [&](std::size_t max) {
    std::string s = dvfuzz::GbkText(in, max, dvfuzz::Alphabet::Bytes);
    if (narrow)
      for (char& c : s) c = "aAbB=;&%"[static_cast<unsigned char>(c) % 8];
    return s;
  };
  const std::string find = text(6);
  const std::string rep = text(8);
  const std::string source = text(300);
  const int32_t from = in.ConsumeIntegralInRange<int32_t>(-2, static_cast<int32_t>(source.size()) + 3);

  const std::string detail = "source=" + dvfuzz::Printable(source) + "\nfind=" +
                             dvfuzz::Printable(find) + "\nreplace=" + dvfuzz::Printable(rep) +
                             "\ncaseSensitive=" + std::to_string(cs);

  const std::string expectCs = Reference(source, find, rep, true);
  const std::string expect = Reference(source, find, rep, cs);

  DV_FUZZ_CHECK(dv::QuickReplace(find, rep, source) == expectCs, detail);
  DV_FUZZ_CHECK(dv::ReplaceEvery(source, find, rep, cs) == expect, detail);
  // ReplaceAllMatches gives the empty text for an empty source or find.
  const std::string expectAll = source.empty() || find.empty() ? std::string() : expect;
  DV_FUZZ_CHECK(dv::ReplaceAllMatches(source, find, rep, cs) == expectAll, detail);
  // The same from a reservation too small to begin with, so that it grows.
  for (std::size_t reserve : {std::size_t{0}, std::size_t{1}, std::size_t{3}})
    DV_FUZZ_CHECK(dv::ReplaceAllMatchesReserved(source, find, rep, cs, reserve) == expectAll,
                  detail + "\nreserve=" + std::to_string(reserve));

  DV_FUZZ_CHECK(dv::FindSubstrFrom(find, source, std::max(from, 1)) ==
                    ReferenceFind(find, source, std::max(from, 1), true),
                detail + "\nfrom=" + std::to_string(from));
  DV_FUZZ_CHECK(dv::FindNoCase(find, source, std::max(from, 1)) ==
                    ReferenceFind(find, source, std::max(from, 1), false),
                detail + "\nfrom=" + std::to_string(from));

  // The skip-table search on a window of the text.
  if (!find.empty()) {
    dv::SkipTable table;
    dv::BuildSkipTable(find.data(), static_cast<int32_t>(find.size()), table);
    const char* hit = dv::FindWithSkipTable(source.data(), find.data(),
                                            static_cast<int32_t>(source.size()),
                                            static_cast<int32_t>(find.size()), table);
    const int32_t ref = ReferenceFind(find, source, 1, true);
    DV_FUZZ_CHECK(ref == 0 ? hit == nullptr : hit == source.data() + ref - 1, detail);
  }

  // The parameter-string escapes undo each other on any text free of the
  // escape texts themselves.
  if (source.find("&eq%") == std::string::npos && source.find("&lim%") == std::string::npos) {
    const std::string enc = dv::EncodeParamText(source);
    DV_FUZZ_CHECK(enc.find_first_of("=;") == std::string::npos, detail);
    DV_FUZZ_CHECK(dv::DecodeParamText(enc) == source, detail);
  }
  return 0;
}
