// Setting one entry of a parameter string and reading it back: the value
// comes back, and every other (non-empty) entry keeps its bytes and order.
#include <cstdint>
#include <string>
#include <vector>

#include "common/params.h"
#include "fuzz_check.h"

namespace {

std::vector<std::string> Entries(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t p = s.find(';', start);
    const std::string e = s.substr(start, p == std::string::npos ? std::string::npos : p - start);
    if (!e.empty()) out.push_back(e);
    if (p == std::string::npos) return out;
    start = p + 1;
  }
}

bool SameFolded(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto up = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; };
    if (up(static_cast<unsigned char>(a[i])) != up(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string Escaped(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '=') out += "&eq%";
    else if (c == ';') out += "&lim%";
    else out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool rawParams = in.ConsumeBool();
  const std::string params =
      dvfuzz::GbkText(in, 200, rawParams ? dvfuzz::Alphabet::Bytes : dvfuzz::Alphabet::Xml);
  std::string name = dvfuzz::GbkText(in, 12);
  std::string value = dvfuzz::GbkText(in, 40);

  // A name free of escapes: no "=" or ";", written as it stands, not empty
  // and not starting with a blank (blanks at the text's start are trimmed).
  std::string cleanName;
  for (char c : name)
    if (c != '=' && c != ';') cleanName += c;
  name = cleanName;
  if (name.empty() || static_cast<unsigned char>(name[0]) <= 0x20) name.insert(0, "N");
  // A value that holds an escape text itself does not survive by design.
  for (const char* esc : {"&eq%", "&lim%"})
    for (std::size_t p; (p = value.find(esc)) != std::string::npos;) value.erase(p, 1);

  const std::string result = dv::SetParamValue(params, name, value);

  // The value reads back; only an entry that ends the text loses its trailing
  // blanks, to the trim of the whole text.
  const std::string encoded = name + "=" + Escaped(value);
  std::string expectValue = value;
  if (result.size() >= encoded.size() &&
      result.compare(result.size() - encoded.size(), encoded.size(), encoded) == 0) {
    while (!expectValue.empty() && static_cast<unsigned char>(expectValue.back()) <= 0x20)
      expectValue.pop_back();
  }
  const std::string got = dv::GetParamValue(result, name);
  DV_FUZZ_CHECK(got == expectValue,
                "params=" + dvfuzz::Printable(params) + "\nname=" + dvfuzz::Printable(name) +
                    "\nvalue=" + dvfuzz::Printable(value) + "\nresult=" +
                    dvfuzz::Printable(result) + "\nread=" + dvfuzz::Printable(got));

  // Model of the other entries: the first entry named name (with "=") is
  // replaced, else the first bare entry of that name, else one is appended.
  std::vector<std::string> expect = Entries(dvfuzz::TrimCtl(params));
  std::size_t at = expect.size();
  for (std::size_t i = 0; i < expect.size() && at == expect.size(); ++i) {
    const std::size_t eq = expect[i].find('=');
    if (eq != std::string::npos && SameFolded(expect[i].substr(0, eq), name)) at = i;
  }
  for (std::size_t i = 0; i < expect.size() && at == expect.size(); ++i)
    if (SameFolded(expect[i], name)) at = i;
  if (at == expect.size()) expect.push_back(encoded);
  else expect[at] = encoded;
  const std::vector<std::string> actual = Entries(result);
  std::string detail = "params=" + dvfuzz::Printable(params) + "\nname=" +
                       dvfuzz::Printable(name) + "\nresult=" + dvfuzz::Printable(result);
  DV_FUZZ_CHECK(actual == expect, detail);
  // Nothing is added at the end or the start.
  DV_FUZZ_CHECK(result.empty() || (result.back() != ';' || dvfuzz::TrimCtl(params).back() == ';'),
                detail);
  return 0;
}
