// The two XML texts the engine exchanges: the Packages XML (with the host)
// and the contentControl XML (with the message library and the service).
// The writers concatenate fixed pieces; the readers walk the platform DOM.
#include "common/lines.h"
#include "common/path.h"
#include "engine/task_process.h"

namespace dv {

namespace {

using plat::XmlDocument;
using Node = XmlDocument::Node;

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"GBK\"?>";
constexpr const char* kBreak = "\r\n";

// Names and paths may hold "&", "<" or ">" (legal in Windows file names);
// unescaped they would make the text unreadable to every XML parser. No GBK
// trail byte lies in the ASCII punctuation range, so a byte-wise scan is safe.
std::string EscapeText(const std::string& s) {
  if (s.find_first_of("&<>") == std::string::npos) return s;
  std::string out;
  out.reserve(s.size() + 16);
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

void AppendLine(std::string& out, const char* line) {
  out += kBreak;
  out += line;
}

void AppendElement(std::string& out, const char* name, const std::string& text) {
  out += kBreak;
  out += '<';
  out += name;
  out += '>';
  out += EscapeText(text);
  out += "</";
  out += name;
  out += '>';
}

}  // namespace

std::string AppendImpl(const std::string& List, const std::string& Name) {
  if (Name.empty()) return List;
  if (List.empty()) return Trim(Name);
  return List + "," + Trim(Name);
}

std::string TTaskProcess::BuildPackagesXml(const TPackageFileList& Packages) {
  std::string out;
  if (Packages.empty()) return out;
  out = kDeclaration;
  AppendLine(out, "<Packages>");
  for (const TPackageFile& p : Packages) {
    AppendLine(out, "<Package>");
    AppendElement(out, "TargetName", p.TargetName);
    AppendLine(out, "<Files>");
    for (const std::string& f : p.Files) AppendElement(out, "File", f);
    AppendLine(out, "</Files>");
    AppendLine(out, "</Package>");
  }
  AppendLine(out, "</Packages>");
  return out;
}

bool TTaskProcess::ParsePackagesXml(const std::string& Xml, TPackageFileList& Packages) {
  if (Xml.empty()) return true;
  try {
    const XmlDocument doc(Xml);
    const Node root = doc.Root();
    const int count = doc.ChildCount(root);
    int packageCount = 0;
    for (int i = 0; i < count; ++i) {
      const Node c = doc.ChildAt(root, i);
      if (doc.NodeName(c) != "Package") continue;
      ++packageCount;
      Packages.emplace_back();
      Packages.back().TargetName = GetNodeText(doc, doc.FirstChildNamed(c, "TargetName"));
      const Node files = doc.FirstChildNamed(c, "Files");
      if (files == nullptr) return false;
      const int fileNodes = doc.ChildCount(files);
      int fileCount = 0;
      for (int j = 0; j < fileNodes; ++j) {
        const Node f = doc.ChildAt(files, j);
        if (doc.NodeName(f) != "File") continue;
        ++fileCount;
        std::vector<std::string>& list = Packages.back().Files;
        list.emplace_back();
        list.back() = GetNodeText(doc, f);
      }
      if (fileCount == 0) return false;
    }
    return packageCount != 0;
  } catch (...) {
    return false;
  }
}

std::string TTaskProcess::BuildContentControl(TStepList Steps) {
  std::string out = kDeclaration;
  AppendLine(out, "<contentControl>");
  int id = 0;
  for (const TProcessStep& type : ContentControlTypes) {
    const TStep& step = Steps[KindIndex(type.Kind)];
    if (!step.Configured) continue;
    for (const std::string& item : SplitItems(step.Name)) {
      ++id;
      AppendLine(out, "<control>");
      AppendElement(out, "id", std::to_string(id));
      AppendElement(out, "type", type.Name);
      AppendElement(out, "impl", item);
      AppendLine(out, "</control>");
    }
  }
  AppendLine(out, "</contentControl>");
  return out;
}

bool TTaskProcess::ParseContentControl(const std::string& Xml, TStepList& Steps) {
  if (Xml.empty()) return true;
  // Each type switches on the step that undoes it: zip Uncompress, crypt
  // Decrypt, code Decode.
  static constexpr TStepKind kInverse[] = {TStepKind::Uncompress, TStepKind::Decrypt,
                                           TStepKind::Decode};
  try {
    const XmlDocument doc(Xml, plat::XmlDtd::Refused);
    const Node root = doc.Root();
    const int count = doc.ChildCount(root);
    for (int i = 0; i < count; ++i) {
      const Node c = doc.ChildAt(root, i);
      if (doc.NodeName(c) != "control") continue;
      const Node typeNode = doc.FirstChildNamed(c, "type");
      if (typeNode == nullptr) return false;
      const std::string type = doc.ElementText(typeNode);  // as the DOM gives it, untrimmed
      int match = -1;
      for (int t = 0; t < static_cast<int>(ContentControlTypes.size()) && match < 0; ++t)
        if (SameTextAscii(type, ContentControlTypes[t].Name)) match = t;
      if (match < 0) continue;
      TStep& step = Steps[KindIndex(kInverse[match])];
      step.Configured = true;
      step.Name = AppendImpl(step.Name, GetNodeText(doc, doc.FirstChildNamed(c, "impl")));
    }
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace dv
