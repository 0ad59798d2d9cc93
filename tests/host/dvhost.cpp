// A small host program: loads the component from a folder, calls one export
// with arguments from the command line and prints what came back.
//
//   dvhost <folder> DataExport   <ConfigFile> <TaskID> <TaskParam> <InPackagesXml> <TargetPath> [<Msg>]
//   dvhost <folder> DataImport   <ConfigFile> <TaskID> <TaskParam> <InPath> [<Msg>]
//   dvhost <folder> DataTransmit <ConfigFile> <TaskID> <TaskParam> <InPackagesXml> [<Msg>]
//   dvhost <folder> IsConnected  <ConfigFile> <NetParam> [<Msg>]
//
// An argument "@file" stands for the bytes of that file. Texts are printed as
// the component returns them (GBK).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <objbase.h>
#include <windows.h>
#endif

#include "component_loader.h"

namespace {

constexpr std::size_t kBufferSize = 16u << 20;  // room for any text a call returns

std::string Arg(const char* a) {
  if (a[0] != '@') return a;
  std::ifstream in(a + 1, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "dvhost: cannot read %s\n", a + 1);
    std::exit(2);
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<char> Buffer(const std::string& initial) {
  std::vector<char> buf(std::max(kBufferSize, initial.size() + 1), '\0');
  std::memcpy(buf.data(), initial.data(), initial.size());
  return buf;
}

int Usage() {
  std::fprintf(stderr,
               "usage: dvhost <folder> DataExport <ConfigFile> <TaskID> <TaskParam> "
               "<InPackagesXml> <TargetPath> [<Msg>]\n"
               "       dvhost <folder> DataImport <ConfigFile> <TaskID> <TaskParam> <InPath> "
               "[<Msg>]\n"
               "       dvhost <folder> DataTransmit <ConfigFile> <TaskID> <TaskParam> "
               "<InPackagesXml> [<Msg>]\n"
               "       dvhost <folder> IsConnected <ConfigFile> <NetParam> [<Msg>]\n"
               "An argument @file stands for the bytes of that file.\n");
  return 2;
}

void Print(int code, const char* msg, const char* text, bool hasText) {
  std::printf("Result: %d\n", code);
  std::printf("Message: %s\n", msg);
  if (hasText) std::printf("ResultText: %s\n", text);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
#if defined(_WIN32)
  // The component's XML reading needs COM on the calling thread.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(com)) std::fprintf(stderr, "dvhost: CoInitializeEx failed\n");
#endif
  dvtest::ComponentLoader component(argv[1]);
  if (!component.Ok()) {
    std::fprintf(stderr, "dvhost: cannot load %s: %s\n", component.Path().c_str(),
                 component.Error().c_str());
    return 3;
  }
  const std::string op = argv[2];
  std::vector<std::string> args;
  for (int i = 3; i < argc; ++i) args.push_back(Arg(argv[i]));
  auto optional = [&](std::size_t i) { return i < args.size() ? args[i] : std::string(); };

  int rc = 0;
  if (op == "DataExport" && (args.size() == 5 || args.size() == 6)) {
    std::vector<char> msg = Buffer(optional(5)), target = Buffer(args[4]);
    char* msgPtr = msg.data();
    const int code = component.DataExport(nullptr, args[0].c_str(), args[1].c_str(),
                                          args[2].c_str(), args[3].c_str(), target.data(), &msgPtr);
    Print(code, msg.data(), target.data(), true);
    rc = code == 0 ? 0 : 1;
  } else if ((op == "DataImport" || op == "DataTransmit") &&
             (args.size() == 4 || args.size() == 5)) {
    std::vector<char> msg = Buffer(optional(4)), out = Buffer("");
    char* msgPtr = msg.data();
    auto fn = op == "DataImport" ? component.DataImport : component.DataTransmit;
    const int code = fn(nullptr, args[0].c_str(), args[1].c_str(), args[2].c_str(),
                        args[3].c_str(), out.data(), &msgPtr);
    Print(code, msg.data(), out.data(), true);
    rc = code == 0 ? 0 : 1;
  } else if (op == "IsConnected" && (args.size() == 2 || args.size() == 3)) {
    std::vector<char> msg = Buffer(optional(2));
    char* msgPtr = msg.data();
    const unsigned char yes =
        component.IsConnected(nullptr, args[0].c_str(), args[1].c_str(), &msgPtr);
    Print(yes, msg.data(), "", false);
    rc = yes ? 0 : 1;
  } else {
    return Usage();
  }
#if defined(_WIN32)
  if (SUCCEEDED(com)) CoUninitialize();
#endif
  return rc;
}
