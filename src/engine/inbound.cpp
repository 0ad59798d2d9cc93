// The inbound step handlers: Response, Decode, Decrypt, Uncompress. They undo
// on the reply what Code, Crypt and Compress did on the request.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/lines.h"
#include "common/params.h"
#include "components/manage_dlls.h"
#include "engine/handler_frame.h"
#include "engine/task_process.h"

namespace dv {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseReturnCode(const std::string& Text, int32_t& Value) {
  const std::size_t n = Text.size();
  std::size_t i = 0;
  while (i < n && Text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (Text[i] == '+' || Text[i] == '-')) negative = Text[i++] == '-';
  bool hex = false;
  if (i < n && (Text[i] == '$' || Text[i] == 'x' || Text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && Text[i] == '0' && (Text[i + 1] == 'x' || Text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == n) return false;
  uint64_t acc = 0;
  for (; i < n; ++i) {
    const int d = HexDigit(Text[i]);
    if (d < 0 || (!hex && d > 9)) return false;
    acc = acc * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    // Checked per digit, so acc never grows past 2^36.
    if (acc > (hex ? 0xFFFFFFFFull : 0x80000000ull)) return false;
  }
  if (hex) {
    // A 32-bit pattern; a sign in front negates it.
    uint32_t bits = static_cast<uint32_t>(acc);
    if (negative) bits = 0u - bits;
    Value = static_cast<int32_t>(bits);
    return true;
  }
  if (!negative && acc > 0x7FFFFFFFull) return false;
  Value = static_cast<int32_t>(negative ? -static_cast<int64_t>(acc) : static_cast<int64_t>(acc));
  return true;
}

int32_t TTaskProcess::DoResponse(const TStep& Step, const TPackageFileList& Files,
                                 TPackageFileList& Output, std::string& Msg) {
  auto dll = LoadStepLibrary<TMessageManageDll>(MessageDllName());
  if (Files.empty() || Files.front().Files.empty()) return FailStep(Msg, kNoFileToProcessMsg);
  std::vector<std::string> list = SplitLines(GetTargetDir(std::string(), Step.FileName));
  std::string out1, out2, control;
  if (!dll->MessageParse(FComponentCfg.MessageCfgFile, Step.Name, Files.front().Files.front(),
                         list, out1, out2, control, Msg))
    return -1;
  for (const std::string& f : list) Output.push_back({std::string(), {f}});

  int32_t code = -8;
  if (!ParseReturnCode(GetParamValue(Msg, "ReturnCode"), code)) code = -8;
  int32_t result = code;
  if (code == -8) {
    Msg = SetParamValue(Msg, kResultMsgKey, kNoReturnCodeMsg);
  } else if (code == 0 && !ParseContentControl(control, FTask.Steps)) {
    result = FailStep(Msg, kBadContentControlMsg);
  }
  dll.reset();
  if (result == 0) BackupPackages(Step, Output, Msg);
  return result;
}

int32_t TTaskProcess::DoDecode(const TStep& Step, const TPackageFileList& Files,
                               TPackageFileList& Output, std::string& Msg) {
  auto dll = LoadStepLibrary<TCodeManageDll>(CodeDllName());
  Output.clear();
  if (CheckSingleFilePackages(Files, Msg) != 0) return -1;
  const int32_t pass = RunSingleFilePass(
      *this, Step, Files, Output, Msg, [&](const std::string& source, const std::string& target) {
        return dll->Decode(FComponentCfg.CodeCfgFile, Step.Name, source, target, Msg);
      });
  if (pass != 0) return pass;
  dll.reset();
  BackupPackages(Step, Output, Msg);
  return 0;
}

int32_t TTaskProcess::DoDecrypt(const TStep& Step, const TPackageFileList& Files,
                                TPackageFileList& Output, std::string& Msg) {
  auto dll = LoadStepLibrary<TCryptManageDll>(CryptDllName());
  Output.clear();
  if (Files.empty()) return 0;
  const std::vector<std::string> names = SplitItems(Step.Name);
  // Without a pass the reply's files would be dropped as stale.
  if (names.empty()) return FailStep(Msg, kNoDecryptNameMsg);
  if (CheckSingleFilePackages(Files, Msg) != 0) return -1;
  TPackageFileList current = Files;
  // Last to first, undoing the Crypt passes.
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    const int32_t pass = RunSingleFilePass(
        *this, Step, current, Output, Msg, [&](const std::string& source, const std::string& target) {
          return dll->Decrypt(FComponentCfg.CryptCfgFile, *name, FTaskParam, source, target, Msg);
        });
    if (pass != 0) return pass;
    current = Output;
  }
  dll.reset();
  BackupPackages(Step, Output, Msg);
  return 0;
}

int32_t TTaskProcess::DoUncompress(const TStep& Step, const TPackageFileList& Files,
                                   TPackageFileList& Output, std::string& Msg) {
  auto dll = LoadStepLibrary<TCompressManageDll>(CompressDllName());
  Output.clear();
  for (const TPackageFile& package : Files)
    if (package.Files.empty()) return FailStep(Msg, kNoFileToProcessMsg);
  TFullPathSet produced;  // this pass's outputs so far
  std::vector<std::string> list;
  for (const TPackageFile& package : Files) {
    const std::string& source = package.Files.front();
    list = SplitLines(GetTargetDir(source, Step.FileName));
    if (!dll->UnCompress(FComponentCfg.CompressCfgFile, Step.Name, source, list, Msg)) return -1;
    // Two archives unpacking a file of one name: the later one has overwritten
    // the earlier one's data.
    for (const std::string& f : list)
      if (!f.empty() && produced.Contains(f))
        return FailStep(Msg, FormatWithPath(kDuplicateOutputMsg, f));
    for (const std::string& f : list)
      if (!f.empty()) produced.Insert(f);
    Output.push_back({std::string(), list});
  }
  dll.reset();
  BackupPackages(Step, Output, Msg);
  return 0;
}

}  // namespace dv
