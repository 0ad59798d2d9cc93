// The XML DOM on Windows: MSXML's DOMDocument through COM, created on the
// calling thread. The component never initialises COM itself: on a thread
// where the host did not, the document cannot be created and parsing fails.
//
// The bytes reach the parser through a stream, so that the document's own
// declaration or byte-order mark decides their encoding. Texts and names
// arrive as UTF-16 and leave as code page 936.
//
// Under Wine, msxml3 decodes GBK (the only Chinese encoding name it knows)
// through a converter that cannot carry a double-byte character split at the
// end of the parser's first conversion chunk, 180 bytes after the encoding
// declaration; such a document fails to parse there. That limit is Wine's,
// and the bytes are not converted here to hide it.
#include <windows.h>
#include <objbase.h>
#include <msxml2.h>

#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/xml_dom.h"
#include "platform/xml_prolog.h"

namespace dv::plat {

namespace {

constexpr UINT kCodePage = 936;

// Releases one interface pointer on every way out.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (p_ != nullptr) p_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T** Out() { return &p_; }
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  ~Bstr() { SysFreeString(s_); }
  Bstr() = default;
  explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {
    if (s_ == nullptr) throw XmlError("out of memory");
  }
  BSTR Get() const { return s_; }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* Out() { return &s_; }
  const wchar_t* Data() const { return s_ != nullptr ? s_ : L""; }
  UINT Length() const { return SysStringLen(s_); }

 private:
  BSTR s_ = nullptr;
};

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw XmlError(what);
}

// A character code page 936 cannot represent becomes "?"; no best-fit
// look-alike is substituted, so a path never silently turns into another.
std::string WideToGbk(const wchar_t* w, int len) {
  if (len <= 0) return {};
  const int n = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, w, len, nullptr, 0, "?",
                                    nullptr);
  if (n <= 0) throw XmlError("text cannot be converted to GBK");
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, w, len, out.data(), n, "?", nullptr);
  return out;
}

// False when gbk is not valid GBK (such a name matches no element).
bool GbkToWide(const std::string& gbk, std::wstring& out) {
  out.clear();
  if (gbk.empty()) return true;
  const int len = static_cast<int>(gbk.size());
  const int n = MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, gbk.data(), len, nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, gbk.data(), len, out.data(), n);
  return true;
}

IXMLDOMNode* AsNode(XmlDocument::Node n) {
  return static_cast<IXMLDOMNode*>(const_cast<void*>(n));
}

DOMNodeType TypeOf(IXMLDOMNode* n) {
  DOMNodeType t = NODE_INVALID;
  Check(n->get_nodeType(&t), "node type unavailable");
  return t;
}

// Refuses a document type declaration before any entity is declared or
// expanded. The text's prolog is read for one whatever the parser: some
// MSXML builds take the ProhibitDTD property and then ignore it (Wine's
// does). The parser is told to refuse one too, where it can be.
void ProhibitDtd(IXMLDOMDocument* doc, const std::string& bytes) {
  switch (ScanXmlProlog(bytes)) {
    case XmlProlog::Clear:
      break;
    case XmlProlog::Doctype:
      throw XmlError("the document declares a document type");
    case XmlProlog::Unreadable:
      throw XmlError("the document's prolog cannot be read for a document type");
  }
  static const IID kIXmlDomDocument2 = {
      0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
  ComRef<IXMLDOMDocument2> doc2;
  if (FAILED(doc->QueryInterface(kIXmlDomDocument2, reinterpret_cast<void**>(doc2.Out()))))
    return;
  VARIANT on;
  VariantInit(&on);
  on.vt = VT_BOOL;
  on.boolVal = VARIANT_TRUE;
  Bstr name(L"ProhibitDTD");
  doc2->setProperty(name.Get(), on);  // MSXML 3 allows a document type unless told
}

}  // namespace

struct XmlDocument::Impl {
  IXMLDOMDocument* doc = nullptr;
  IXMLDOMNode* root = nullptr;
  // Every node handed out stays referenced until the document goes, and
  // child lists are built once per parent: index access stays cheap.
  std::vector<IXMLDOMNode*> owned;
  std::unordered_map<IXMLDOMNode*, std::vector<IXMLDOMNode*>> children;

  ~Impl() {
    for (IXMLDOMNode* n : owned) n->Release();
    if (root != nullptr) root->Release();
    if (doc != nullptr) doc->Release();
  }

  const std::vector<IXMLDOMNode*>& ChildrenOf(IXMLDOMNode* n) {
    auto it = children.find(n);
    if (it != children.end()) return it->second;
    ComRef<IXMLDOMNodeList> list;
    Check(n->get_childNodes(list.Out()), "child nodes unavailable");
    long len = 0;
    if (list.Get() != nullptr) Check(list->get_length(&len), "child count unavailable");
    std::vector<IXMLDOMNode*> kids;
    kids.reserve(static_cast<std::size_t>(len));
    for (long i = 0; i < len; ++i) {
      ComRef<IXMLDOMNode> child;
      Check(list->get_item(i, child.Out()), "child node unavailable");
      if (child.Get() == nullptr) throw XmlError("child node missing");
      owned.push_back(child.Get());
      kids.push_back(child.Detach());
    }
    return children.emplace(n, std::move(kids)).first->second;
  }

  std::wstring NameOf(IXMLDOMNode* n) {
    Bstr name;
    Check(n->get_nodeName(name.Out()), "node name unavailable");
    return std::wstring(name.Data(), name.Length());
  }
};

XmlDocument::XmlDocument(const std::string& bytes, XmlDtd dtd) : impl_(std::make_unique<Impl>()) {
  if (bytes.empty()) throw XmlError("empty document");
  static const CLSID kDomDocument = {
      0x2933bf90, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
  static const IID kIXmlDomDocument = {
      0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
  // Fails with CO_E_NOTINITIALIZED on a thread without COM.
  Check(CoCreateInstance(kDomDocument, nullptr, CLSCTX_INPROC_SERVER, kIXmlDomDocument,
                         reinterpret_cast<void**>(&impl_->doc)),
        "no XML DOM on this thread");
  IXMLDOMDocument* doc = impl_->doc;
  Check(doc->put_async(VARIANT_FALSE), "cannot switch off asynchronous loading");
  Check(doc->put_validateOnParse(VARIANT_FALSE), "cannot switch off validation");
  Check(doc->put_resolveExternals(VARIANT_FALSE), "cannot switch off external resolution");
  if (dtd == XmlDtd::Refused) ProhibitDtd(doc, bytes);

  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (mem == nullptr) throw XmlError("out of memory");
  void* p = GlobalLock(mem);
  if (p == nullptr) {
    GlobalFree(mem);
    throw XmlError("out of memory");
  }
  std::memcpy(p, bytes.data(), bytes.size());
  GlobalUnlock(mem);
  ComRef<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(mem, TRUE, stream.Out()))) {
    GlobalFree(mem);
    throw XmlError("cannot create a stream");
  }

  VARIANT source;
  VariantInit(&source);
  source.vt = VT_UNKNOWN;
  source.punkVal = stream.Get();  // borrowed: the variant is not cleared
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr = doc->load(source, &ok);
  if (FAILED(hr) || ok != VARIANT_TRUE) throw XmlError("the text is not well-formed XML");
  if (dtd == XmlDtd::Refused) {
    // Should a parser accept one all the same, the document still counts as
    // unreadable.
    ComRef<IXMLDOMDocumentType> type;
    if (FAILED(doc->get_doctype(type.Out())) || type.Get() != nullptr)
      throw XmlError("the document declares a document type");
  }

  ComRef<IXMLDOMElement> root;
  if (doc->get_documentElement(root.Out()) != S_OK || root.Get() == nullptr)
    throw XmlError("the document has no root element");
  impl_->root = root.Detach();
}

XmlDocument::~XmlDocument() = default;

XmlDocument::Node XmlDocument::Root() const { return impl_->root; }

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
  const std::wstring name = impl_->NameOf(AsNode(node));
  return WideToGbk(name.data(), static_cast<int>(name.size()));
}

XmlDocument::Node XmlDocument::FirstChildNamed(Node node, const std::string& name) const {
  if (node == nullptr) return nullptr;
  std::wstring wanted;
  if (!GbkToWide(name, wanted)) return nullptr;
  for (IXMLDOMNode* c : impl_->ChildrenOf(AsNode(node)))
    if (TypeOf(c) == NODE_ELEMENT && impl_->NameOf(c) == wanted) return c;
  return nullptr;
}

std::string XmlDocument::ElementText(Node node) const {
  if (node == nullptr) return {};
  const auto& list = impl_->ChildrenOf(AsNode(node));
  if (list.empty()) return {};
  IXMLDOMNode* only = list.front();
  const DOMNodeType type = TypeOf(only);
  if (list.size() != 1 || (type != NODE_TEXT && type != NODE_CDATA_SECTION))
    throw XmlError("the element's content is not a single text");
  struct Value {
    VARIANT v;
    Value() { VariantInit(&v); }
    ~Value() { VariantClear(&v); }
  } value;
  Check(only->get_nodeValue(&value.v), "text unavailable");
  if (value.v.vt != VT_BSTR) return {};
  return WideToGbk(value.v.bstrVal, static_cast<int>(SysStringLen(value.v.bstrVal)));
}

}  // namespace dv::plat
