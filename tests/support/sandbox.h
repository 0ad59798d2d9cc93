// A fresh folder per test, holding copies of the five test-double siblings
// (and, on request, the component), with the means to steer the doubles and
// read their call log. CTest runs tests in parallel, and the doubles keep
// their steering file and call log in their own folder, so every test that
// loads them works in a sandbox of its own.
//
//   dvtest::Sandbox sb;
//   sb.SetMode("Ulvaran", "Encode", "false-text");
//   ... load sb.Path("Ulvaran.so") (sb.LibPath("Ulvaran")) and call it ...
//   auto calls = sb.Calls();   // {{"Encode", "0", "cfg", ...}}
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dvtest {

#if defined(_WIN32)
inline constexpr char kSandboxSep = '\\';
inline constexpr const char* kLibSuffix = ".dll";
#else
inline constexpr char kSandboxSep = '/';
inline constexpr const char* kLibSuffix = ".so";
#endif

// Folder holding the built test programs, the component (Dorvelk.dll /
// Dorvelk.so) and doubles/. Ends with the platform separator.
std::string BinDir();

// The five siblings' base names, in the order Ulvaran, Sibbert, Mordane,
// Tressil, Quembry.
const std::vector<std::string>& SiblingNames();

class Sandbox {
 public:
  // A fresh, empty folder (unique name) under BinDir() + "sandboxes", holding
  // copies of the five test doubles under their real names ("Ulvaran.dll" ...
  // on win32, "Ulvaran.so" ... on POSIX); withComponent: also a copy of the
  // component library. Throws std::runtime_error when a copy fails.
  explicit Sandbox(bool withComponent = false);
  // Removes the folder and everything in it (kept when the environment
  // variable DV_KEEP_SANDBOX is set, for a look after a failure).
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& Dir() const;  // absolute, ends with the platform separator
  // Dir() + rel; "/" in rel stands for the platform separator.
  std::string Path(const std::string& rel) const;
  // Path of a library in the sandbox by base name: LibPath("Ulvaran").
  std::string LibPath(const std::string& lib) const;

  void Write(const std::string& rel, const std::string& bytes) const;  // creates parent folders
  std::string Read(const std::string& rel) const;                     // "" when missing
  bool Exists(const std::string& rel) const;
  void MakeDirs(const std::string& rel) const;  // the folder and its parents

  // Steers one export of one double (lib "Ulvaran" ... "Quembry", exportName
  // e.g. "Encode"). Modes: "ok" (default), "false", "false-text",
  // "false-empty", "fault" (null write), "fault-div", "fault-ill", "fault-bus",
  // "fault-unwind" (Windows: below a termination handler that logs "Unwound"),
  // "recurse" (a stack overflow),
  // "throw", "unterminated" (message buffer), "unterminated-list",
  // "unterminated-out", "overlong-reply" (= "unterminated-reply"),
  // "reply-nul", "replace-buffer", "copy". See tests/doubles/README.md.
  void SetMode(const std::string& lib, const std::string& exportName,
               const std::string& mode) const;
  // Any other steering setting of a double, e.g. Set("Tressil", "ReturnCode",
  // "3"), Set("Ulvaran", "Encode.onCall", "2"). Values may hold any byte.
  void Set(const std::string& lib, const std::string& key, const std::string& value) const;
  void ClearSteering(const std::string& lib) const;

  // Replaces a double by a built variant, e.g. UseVariant("Ulvaran",
  // "no-decode"); Remove("Ulvaran") deletes it from the sandbox.
  void UseVariant(const std::string& lib, const std::string& variant) const;
  void Remove(const std::string& lib) const;

  // The doubles' call log (all five write one log, in call order): one line
  // per call, "<Export>|<arg>|<arg>|...", every argument as received (window
  // handle and integers in decimal, buffers as the text they held on entry),
  // message buffer last. Bytes below 0x20, "%" and "|" in an argument are
  // written as "%XX".
  std::vector<std::string> CallLog() const;
  // The same, split at "|" and unescaped: {export, arg1, arg2, ...}.
  std::vector<std::vector<std::string>> Calls() const;
  // Only the calls of one export.
  std::vector<std::vector<std::string>> CallsOf(const std::string& exportName) const;
  void ClearCallLog() const;

 private:
  std::string dir_;
};

// The escaping of the call log and the steering file.
std::string EscapeField(const std::string& s);
std::string UnescapeField(const std::string& s);

// ---- The doubles' file formats -------------------------------------------
// Tests build a reply message file (for DataImport) or look into a request or
// an archive the doubles wrote.

// A request or reply message of the test doubles. meta keys: "serviceId",
// "taskParam", "impl", "contentControl" (request and reply), "ReturnCode"
// (reply; absent when the service sent none). files: name and bytes.
struct MessageFile {
  std::map<std::string, std::string> meta;
  std::vector<std::pair<std::string, std::string>> files;
};
std::string BuildMessage(const MessageFile& m);
bool ParseMessage(const std::string& bytes, MessageFile& out);
// A reply as the loopback service sends it.
std::string BuildReply(const std::vector<std::pair<std::string, std::string>>& files,
                       const std::optional<std::string>& returnCode,
                       const std::string& contentControl);

// An archive of the compression double: file names and bytes.
std::string BuildArchive(const std::vector<std::pair<std::string, std::string>>& files);
bool ParseArchive(const std::string& bytes,
                  std::vector<std::pair<std::string, std::string>>& out);

}  // namespace dvtest
