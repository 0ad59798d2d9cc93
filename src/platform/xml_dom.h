// The XML DOM that the engine's readers use: exactly five operations.
// Win32: MSXML (DOMDocument) through COM, created on the calling thread; the
// component never initialises COM itself. POSIX: libxml2, no network, no DTD
// loading, no entity expansion beyond the predefined ones.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace dv::plat {

// Whether a document may carry a document type declaration. Texts from
// outside the host's machine refuse one: its entities could expand a short
// text into gigabytes, or make the parser fetch other resources.
enum class XmlDtd { Allowed, Refused };

// Every failure of the DOM: a malformed text, a DOM that cannot be created on
// this thread, an element whose content is not a single text.
struct XmlError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class XmlDocument {
 public:
  using Node = const void*;  // nullptr stands for an absent node

  // 1. Parses the whole text, handed over as its bytes; its own declaration
  //    or byte-order mark decides the encoding (GBK among those accepted).
  //    Throws XmlError, also for a document type declaration when dtd is
  //    Refused (found before any of its entities is expanded).
  explicit XmlDocument(const std::string& bytes, XmlDtd dtd = XmlDtd::Allowed);
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // 2. The root element.
  Node Root() const;
  // 3. An element's child nodes (elements, texts, comments, ...) in document
  //    order, with their names ("#text", "#comment", ... for non-elements),
  //    names in GBK.
  int ChildCount(Node node) const;
  Node ChildAt(Node node, int index) const;
  std::string NodeName(Node node) const;
  // 4. The first child element whose name equals name exactly, or nullptr.
  //    A nullptr node has no children.
  Node FirstChildNamed(Node node, const std::string& name) const;
  // 5. The element's text in GBK, untrimmed: the value of its single text or
  //    CDATA child, or empty when it has no child. Any other content throws
  //    XmlError. A character GBK cannot represent becomes "?".
  std::string ElementText(Node node) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dv::plat
