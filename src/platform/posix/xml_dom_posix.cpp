// The XML DOM on POSIX: libxml2, with glibc iconv for the UTF-8 to GBK
// conversion of names and texts.
//
// Parsing never touches the network, loads no DTD and substitutes no entity
// beyond the predefined ones and character references (XML_PARSE_NOENT and
// XML_PARSE_DTDLOAD are deliberately absent): a user-defined entity reference
// stays a node of its own, which makes its element's text unreadable.
//
// Whitespace-only text nodes are left out of every child list, as MSXML does
// by default on Windows, so that both builds see the same children.
#include <iconv.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/xml_dom.h"

namespace dv::plat {

namespace {

// One iconv conversion; an input character the target cannot represent
// becomes "?" (never dropped), an input byte sequence that is not valid in
// the source encoding makes the conversion fail.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw XmlError("iconv_open failed");
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // False when in is not valid in the source encoding. skipOne gives the
  // length of the input character at a position (for the "?" replacement).
  bool Convert(const char* data, std::size_t len, std::size_t (*skipOne)(const char*, std::size_t),
               std::string& out) {
    out.clear();
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(data);
    std::size_t inLeft = len;
    char buf[1024];
    while (inLeft > 0) {
      char* o = buf;
      std::size_t oLeft = sizeof buf;
      const std::size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
      out.append(buf, static_cast<std::size_t>(o - buf));
      if (r != static_cast<std::size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      if (errno == EILSEQ) {
        const std::size_t n = skipOne(in, inLeft);
        if (n == 0) return false;  // not valid input
        out += '?';
        in += n;
        inLeft -= n;
        continue;
      }
      return false;  // EINVAL: a truncated character at the end
    }
    char* o = buf;
    std::size_t oLeft = sizeof buf;
    iconv(cd_, nullptr, nullptr, &o, &oLeft);
    out.append(buf, static_cast<std::size_t>(o - buf));
    return true;
  }

 private:
  iconv_t cd_;
};

// Length of the well-formed UTF-8 character at p, or 0.
std::size_t Utf8CharLen(const char* p, std::size_t left) {
  const auto b = static_cast<unsigned char>(p[0]);
  std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3
                : (b & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || n > left) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return 0;
  return n;
}

// A GBK character that has no Unicode form is no valid input here.
std::size_t NoSkip(const char*, std::size_t) { return 0; }

std::string Utf8ToGbk(const xmlChar* s) {
  if (s == nullptr) return {};
  const char* p = reinterpret_cast<const char*>(s);
  const std::size_t len = std::strlen(p);
  bool ascii = true;
  for (std::size_t i = 0; i < len && ascii; ++i) ascii = static_cast<unsigned char>(p[i]) < 0x80;
  if (ascii) return std::string(p, len);
  thread_local Converter conv("GBK", "UTF-8");
  std::string out;
  if (!conv.Convert(p, len, Utf8CharLen, out)) throw XmlError("text is not valid UTF-8");
  return out;
}

// False when gbk is not valid GBK (such a name matches no element).
bool GbkToUtf8(const std::string& gbk, std::string& out) {
  bool ascii = true;
  for (unsigned char c : gbk) ascii = ascii && c < 0x80;
  if (ascii) {
    out = gbk;
    return true;
  }
  thread_local Converter conv("UTF-8", "GBK");
  return conv.Convert(gbk.data(), gbk.size(), NoSkip, out);
}

bool IsBlankText(const xmlNode* n) {
  if (n->type != XML_TEXT_NODE || n->content == nullptr) return false;
  for (const xmlChar* p = n->content; *p != 0; ++p)
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return false;
  return true;
}

// The name as the DOM gives it, in UTF-8: a tag name with its prefix.
std::string DomNameUtf8(const xmlNode* n) {
  switch (n->type) {
    case XML_ELEMENT_NODE: {
      std::string name = reinterpret_cast<const char*>(n->name);
      if (n->ns != nullptr && n->ns->prefix != nullptr)
        name = reinterpret_cast<const char*>(n->ns->prefix) + (":" + name);
      return name;
    }
    case XML_TEXT_NODE: return "#text";
    case XML_CDATA_SECTION_NODE: return "#cdata-section";
    case XML_COMMENT_NODE: return "#comment";
    case XML_DOCUMENT_NODE: return "#document";
    case XML_DOCUMENT_FRAG_NODE: return "#document-fragment";
    default:  // processing instruction (its target), entity reference, ...
      return n->name != nullptr ? reinterpret_cast<const char*>(n->name) : "";
  }
}

const xmlNode* AsNode(XmlDocument::Node n) { return static_cast<const xmlNode*>(n); }

}  // namespace

struct XmlDocument::Impl {
  xmlDocPtr doc = nullptr;
  // Child lists by parent, built once each: index access stays cheap.
  std::unordered_map<const xmlNode*, std::vector<const xmlNode*>> children;

  const std::vector<const xmlNode*>& ChildrenOf(const xmlNode* n) {
    auto it = children.find(n);
    if (it != children.end()) return it->second;
    std::vector<const xmlNode*> list;
    for (const xmlNode* c = n->children; c != nullptr; c = c->next)
      if (!IsBlankText(c)) list.push_back(c);
    return children.emplace(n, std::move(list)).first->second;
  }
};

namespace {

// Frees a parser context on every way out.
struct ParserCtxt {
  xmlParserCtxtPtr p = xmlNewParserCtxt();
  ParserCtxt() = default;
  ParserCtxt(const ParserCtxt&) = delete;
  ParserCtxt& operator=(const ParserCtxt&) = delete;
  ~ParserCtxt() {
    if (p != nullptr) xmlFreeParserCtxt(p);
  }
};

// Called at "<!DOCTYPE", before its internal subset is read: stops the parse,
// so that no entity is declared, let alone expanded.
void StopAtDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

}  // namespace

XmlDocument::XmlDocument(const std::string& bytes, XmlDtd dtd) : impl_(std::make_unique<Impl>()) {
  if (bytes.empty()) throw XmlError("empty document");
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) throw XmlError("document too large");
  ParserCtxt ctxt;
  if (ctxt.p == nullptr || ctxt.p->sax == nullptr) throw XmlError("out of memory");
  if (dtd == XmlDtd::Refused) ctxt.p->sax->internalSubset = StopAtDoctype;
  // A stopped parse is not well-formed: no document comes back.
  impl_->doc = xmlCtxtReadMemory(ctxt.p, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                 nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (impl_->doc == nullptr) throw XmlError("the text is not well-formed XML");
  if (xmlDocGetRootElement(impl_->doc) == nullptr) {
    xmlFreeDoc(impl_->doc);
    impl_->doc = nullptr;
    throw XmlError("the document has no root element");
  }
}

XmlDocument::~XmlDocument() {
  if (impl_ && impl_->doc != nullptr) xmlFreeDoc(impl_->doc);
}

XmlDocument::Node XmlDocument::Root() const { return xmlDocGetRootElement(impl_->doc); }

int XmlDocument::ChildCount(Node node) const {
  if (node == nullptr) return 0;
  return static_cast<int>(impl_->ChildrenOf(AsNode(node)).size());
}

XmlDocument::Node XmlDocument::ChildAt(Node node, int index) const {
  if (node == nullptr || index < 0) return nullptr;
  const auto& list = impl_->ChildrenOf(AsNode(node));
  return static_cast<std::size_t>(index) < list.size() ? list[static_cast<std::size_t>(index)]
                                                       : nullptr;
}

std::string XmlDocument::NodeName(Node node) const {
  if (node == nullptr) return {};
  const std::string name = DomNameUtf8(AsNode(node));
  return Utf8ToGbk(reinterpret_cast<const xmlChar*>(name.c_str()));
}

XmlDocument::Node XmlDocument::FirstChildNamed(Node node, const std::string& name) const {
  if (node == nullptr) return nullptr;
  std::string wanted;
  if (!GbkToUtf8(name, wanted)) return nullptr;
  for (const xmlNode* c : impl_->ChildrenOf(AsNode(node)))
    if (c->type == XML_ELEMENT_NODE && DomNameUtf8(c) == wanted) return c;
  return nullptr;
}

std::string XmlDocument::ElementText(Node node) const {
  if (node == nullptr) return {};
  const auto& list = impl_->ChildrenOf(AsNode(node));
  if (list.empty()) return {};
  const xmlNode* only = list.front();
  if (list.size() != 1 || (only->type != XML_TEXT_NODE && only->type != XML_CDATA_SECTION_NODE))
    throw XmlError("the element's content is not a single text");
  return Utf8ToGbk(only->content);
}

}  // namespace dv::plat
