// The platform XML DOM: parsing bytes in their own encoding, child lists,
// exact-name lookup, the element-text rule and the conversion to GBK.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#endif

#include <string>
#include <thread>

#include "common/files.h"
#include "platform/platform.h"
#include "platform/xml_dom.h"
#include "platform/xml_prolog.h"

namespace dv::plat {
namespace {

#if defined(_WIN32)
// The host initialises COM on every thread that calls the component; the
// test program does so on its main thread, before any test runs.
[[maybe_unused]] const HRESULT kComReady = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#endif

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"GBK\"?>";

// Text of the root's first child named "e".
std::string TextOfE(const std::string& xml) {
  const XmlDocument doc(xml);
  return doc.ElementText(doc.FirstChildNamed(doc.Root(), "e"));
}

TEST(XmlDom, RefusesWhatIsNotOneWellFormedDocument) {
  for (const std::string& bytes : {std::string(), std::string("plain text"),
                                  std::string("<r><a></r>"), std::string("<r>&undefined;</r>"),
                                  std::string("<a/><b/>"), kDecl, std::string("<r>\xFF</r>")}) {
    EXPECT_THROW(XmlDocument{bytes}, XmlError) << bytes;
  }
}

TEST(XmlDom, ListsChildNodesInOrderWithTheirDomNames) {
  const XmlDocument doc(
      "<root>\n  <a>1</a>\n  text\n  <!--c-->\n  <![CDATA[d]]>\n  <?pi x?>\n  <b/>\n</root>");
  const auto root = doc.Root();
  EXPECT_EQ(doc.NodeName(root), "root");
  // Blank text between elements is no node of its own.
  const char* names[] = {"a", "#text", "#comment", "#cdata-section", "pi", "b"};
  ASSERT_EQ(doc.ChildCount(root), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(doc.NodeName(doc.ChildAt(root, i)), names[i]) << i;
  EXPECT_EQ(doc.ChildAt(root, 6), nullptr);
  EXPECT_EQ(doc.ChildCount(nullptr), 0);
}

TEST(XmlDom, FindsTheFirstChildOfAnExactName) {
  const XmlDocument doc("<r>#text<Name>upper</Name><name>1</name><name>2</name></r>");
  const auto root = doc.Root();
  EXPECT_EQ(doc.ElementText(doc.FirstChildNamed(root, "name")), "1");
  EXPECT_EQ(doc.ElementText(doc.FirstChildNamed(root, "Name")), "upper");
  EXPECT_EQ(doc.FirstChildNamed(root, "NAME"), nullptr);
  EXPECT_EQ(doc.FirstChildNamed(root, "#text"), nullptr);  // only elements
  EXPECT_EQ(doc.FirstChildNamed(nullptr, "name"), nullptr);

  const XmlDocument gbk(kDecl + "<根><路径>p</路径></根>");
  EXPECT_EQ(gbk.NodeName(gbk.Root()), "根");
  EXPECT_EQ(gbk.ElementText(gbk.FirstChildNamed(gbk.Root(), "路径")), "p");
}

TEST(XmlDom, ElementTextIsItsSingleTextOrCdataUntrimmed) {
  const struct {
    const char* element;
    const char* text;  // nullptr: not readable
  } cases[] = {
      {"<e/>", ""},
      {"<e></e>", ""},
      {"<e> \t\r\n </e>", ""},
      {"<e> a b </e>", " a b "},
      {"<e>a&amp;b&lt;c&gt;&#x41;</e>", "a&b<c>A"},
      {"<e><![CDATA[ <x>&amp; ]]></e>", " <x>&amp; "},
      {"<e>\n  <![CDATA[x]]>\n</e>", "x"},
      {"<e><f/></e>", nullptr},
      {"<e><!--c--></e>", nullptr},
      {"<e>a<!--c-->b</e>", nullptr},
      {"<e>a<![CDATA[b]]></e>", nullptr},
      {"<e> <f>x</f> </e>", nullptr},
      {"<e><?pi x?></e>", nullptr},
  };
  for (const auto& c : cases) {
    const std::string xml = std::string("<r>") + c.element + "</r>";
    if (c.text == nullptr) EXPECT_THROW(TextOfE(xml), XmlError) << c.element;
    else EXPECT_EQ(TextOfE(xml), c.text) << c.element;
  }
}

TEST(XmlDom, DecodesAsTheDocumentSaysAndGivesGbk) {
  const struct {
    const char* label;
    std::string bytes;
    std::string text;
  } cases[] = {
      {"GBK declared", kDecl + "<r><e>D:\\数据\\中文.txt</e></r>", "D:\\数据\\中文.txt"},
      {"UTF-8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><e>\xE4\xB8\xAD</e></r>",
       "中"},
      {"no declaration", "<r><e>\xE4\xB8\xAD\xE6\x96\x87</e></r>", "中文"},
      {"UTF-16 with BOM", std::string("\xFF\xFE<\0r\0>\0<\0e\0>\0\x2D\x4E<\0/\0e\0>\0<\0/\0r\0>\0", 32),
       "中"},
      {"character reference", "<r><e>&#x4E2D;</e></r>", "中"},
      // Not in GBK: a visible "?", never a dropped or look-alike character.
      {"unrepresentable", "<r><e>a\xE0\xB8\x81&#xE01;b</e></r>", "a??b"},
  };
  for (const auto& c : cases) {
    std::string text;
    EXPECT_NO_THROW(text = TextOfE(c.bytes)) << c.label;
    EXPECT_EQ(text, c.text) << c.label;
  }
}

TEST(XmlDom, LongGbkTextReadsBackWhole) {
  // Both alignments of the double-byte characters against the parser's
  // conversion chunks.
  for (int lead = 0; lead < 2; ++lead) {
#if defined(_WIN32)
    // Wine decodes GBK through a converter that cannot carry a character
    // split at the end of the parser's first conversion chunk (the 180 bytes
    // after the encoding declaration); the document then fails to parse.
    if (lead == 1 && RunningUnderWine()) continue;
#endif
    std::string text(static_cast<std::size_t>(lead), 'x');
    for (int i = 0; i < 3000; ++i) text += i % 7 == 0 ? "\\a" : "路径";
    std::string got;
    EXPECT_NO_THROW(got = TextOfE(kDecl + "<r><e>" + text + "</e></r>")) << lead;
    EXPECT_TRUE(got == text) << lead << ": " << got.size() << " bytes";
  }
}

TEST(XmlDom, LoadsNoExternalFileAndExpandsNoDeclaredEntity) {
  const std::string secretFile = "xml_dom_secret_" + MakeGuidID() + ".txt";
  std::string error;
  ASSERT_EQ(WriteFileBytes(secretFile, "SECRET", error), WriteStatus::Ok);
  const std::string xml = "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secretFile +
                          "\"><!ENTITY i \"inner\">]><r><e>&x;</e><f>&i;</f></r>";
  std::string got;
  try {
    got = TextOfE(xml);
  } catch (const XmlError&) {
  }
  EXPECT_EQ(got.find("SECRET"), std::string::npos);
  DeleteFileAt(secretFile);
  EXPECT_THROW(
      {
        const XmlDocument doc(xml);
        doc.ElementText(doc.FirstChildNamed(doc.Root(), "f"));
      },
      XmlError);
  // A DTD named by the document is not fetched.
  EXPECT_EQ(TextOfE("<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/none.dtd\"><r><e>v</e></r>"), "v");
}

// ascii as UTF-16, with its byte-order mark when bom.
std::string Utf16(const std::string& ascii, bool bigEndian, bool bom) {
  std::string out = bom ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (char c : ascii) {
    out += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
  }
  return out;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// The prolog scan that refuses a document type whatever the parser does
// with one: only what precedes the first element counts.
TEST(XmlProlog, RefusesADocumentTypeOrAnUnreadablePrologOnly) {
  using P = XmlProlog;
  const std::string doctypeAfterComment = "<!-- c --><!DOCTYPE r><r/>";
  const std::string mentions = "<?xml version=\"1.0\"?><!-- <!DOCTYPE r> --><r/>";
  const struct {
    const char* label;
    std::string bytes;
    P want;
  } cases[] = {
      {"plain reply", "<r><e>v</e></r>", P::Clear},
      {"byte-order mark", "\xEF\xBB\xBF<r/>", P::Clear},
      {"declaration, instruction, comment, then the root",
       kDecl + "\r\n<?style x?>\n<!-- c -->\t<r/>", P::Clear},
      {"a comment mentions one", mentions, P::Clear},
      {"an instruction mentions one", "<?pi <!DOCTYPE r>?><r/>", P::Clear},
      {"mentioned after the root starts",
       "<r a='x'><![CDATA[<!DOCTYPE r>]]><?pi <!DOCTYPE r>?><!-- <!DOCTYPE r> --></r>", P::Clear},
      {"mentioned in an attribute", "<r a=\"<!DOCTYPE r>\"/>", P::Clear},  // the parser's to refuse
      {"document type first", "<!DOCTYPE r><r/>", P::Doctype},
      {"after the declaration", kDecl + "\n<!DOCTYPE r [<!ENTITY x \"y\">]><r/>", P::Doctype},
      {"after a comment", doctypeAfterComment, P::Doctype},
      {"after an instruction and blanks", "  <?pi?>\n <!DOCTYPE r><r/>", P::Doctype},
      {"in lower case", "<!doctype r><r/>", P::Doctype},
      {"after a byte-order mark", "\xEF\xBB\xBF<!DOCTYPE r><r/>", P::Doctype},
      {"UTF-16LE", Utf16(doctypeAfterComment, false, true), P::Doctype},
      {"UTF-16BE", Utf16(doctypeAfterComment, true, true), P::Doctype},
      {"UTF-16LE without a mark", Utf16("<!DOCTYPE r><r/>", false, false), P::Doctype},
      {"UTF-16BE without a mark", Utf16(kDecl + "<!DOCTYPE r><r/>", true, false), P::Doctype},
      {"UTF-16LE mentions one", Utf16(mentions, false, true), P::Clear},
      {"UTF-16BE mentions one", Utf16(mentions, true, true), P::Clear},
      {"UTF-16LE without a mark, plain", Utf16("<r/>", false, false), P::Clear},
      {"UTF-16BE without a mark, plain", Utf16("<?xml version='1.0'?><r/>", true, false),
       P::Clear},
      {"GBK declared", kDecl + "<根/>", P::Clear},
      {"UTF-32LE", std::string("\xFF\xFE\0\0<\0\0\0r\0\0\0/\0\0\0>\0\0\0", 20), P::Unreadable},
      {"UTF-32BE", std::string("\0\0\xFE\xFF\0\0\0<\0\0\0r\0\0\0/\0\0\0>", 20), P::Unreadable},
      {"UTF-32LE without a mark", std::string("<\0\0\0r\0\0\0", 8), P::Unreadable},
      {"EBCDIC", "\x4C\x6F\xA7\x94\x93\x40", P::Unreadable},
      {"declared UTF-7", "<?xml version=\"1.0\" encoding=\"UTF-7\"?>+ADw-!DOCTYPE r+AD4-<r/>",
       P::Unreadable},
      {"declared UTF-16 in single bytes", "<?xml version=\"1.0\" encoding='utf-16'?><r/>",
       P::Unreadable},
      {"encoding without a value", "<?xml version=\"1.0\" encoding=?><r/>", P::Unreadable},
      // Only the declaration itself names its encoding.
      {"encoding named after the declaration",
       "<?xml version=\"1.0\"?><!-- encoding=\"UTF-7\" --><?pi encoding='UTF-7'?><r/>",
       P::Clear},
      {"encoding in the root", "<?xml version='1.0'?><r encoding=\"UTF-7\">encoding=</r>",
       P::Clear},
      {"declarations repeated, then encoding", Repeat("<?xml ?>", 1000) + "<r encoding=/>",
       P::Clear},
      {"declarations repeated, then a document type",
       Repeat("<?xml ?>", 1000) + "<!-- encoding='UTF-7' --><!DOCTYPE r><r/>", P::Doctype},
      {"UTF-16LE, encoding after the declaration",
       Utf16("<?xml version='1.0'?><r encoding=\"x\"/>", false, true), P::Clear},
      {"text before the root", "x<r/>", P::Unreadable},
      {"another declaration", "<!ELEMENT r ANY><r/>", P::Unreadable},
      {"unterminated comment", "<!-- <r/>", P::Unreadable},
      {"unterminated instruction", "<?xml version=\"1.0\"<r/>", P::Unreadable},
      {"empty text", "", P::Clear},
      {"blanks only", " \r\n", P::Clear},
  };
  for (const auto& c : cases) EXPECT_EQ(ScanXmlProlog(c.bytes), c.want) << c.label;
}

#if defined(_WIN32)
TEST(XmlDom, ThreadWithoutComCannotParse) {
  bool parsed = false, refused = false;
  std::thread([&] {
    try {
      const XmlDocument doc("<r/>");
      parsed = true;
    } catch (const XmlError&) {
      refused = true;
    }
  }).join();
  EXPECT_FALSE(parsed);
  EXPECT_TRUE(refused);
}
#endif

}  // namespace
}  // namespace dv::plat
