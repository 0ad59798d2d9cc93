// The Packages XML and the contentControl XML: the writers byte for byte,
// the readers' refusals, and texts that travel from a writer to a reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/task_process.h"
#include "unit/engine/engine_fixture.h"

namespace dv {
namespace {

using testing::kGbkDecl;

// Lines joined by CR LF, none after the last.
std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += (out.empty() ? "" : "\r\n") + l;
  return out;
}

TStepList Steps(const std::string& compress, const std::string& crypt, const std::string& code) {
  TStepList s;
  const std::string* names[] = {&compress, &crypt, &code};
  for (int k = 0; k < 3; ++k) {
    s[k].Configured = *names[k] != "-";
    s[k].Name = *names[k] == "-" ? "" : *names[k];
  }
  return s;
}

std::vector<std::string> Control(int id, const char* type, const std::string& impl) {
  return {"<control>", "<id>" + std::to_string(id) + "</id>",
          std::string("<type>") + type + "</type>", "<impl>" + impl + "</impl>", "</control>"};
}

std::string ContentControl(const std::vector<std::vector<std::string>>& controls) {
  std::vector<std::string> lines = {kGbkDecl, "<contentControl>"};
  for (const auto& c : controls) lines.insert(lines.end(), c.begin(), c.end());
  lines.push_back("</contentControl>");
  return Lines(lines);
}

TEST(PackagesXml, WrittenByteForByte) {
  EXPECT_EQ(TTaskProcess::BuildPackagesXml({}), "");
  const TPackageFileList list = {{" 目标,2 ", {"D:\\数据\\a.txt", " b.txt "}}, {"", {}}};
  EXPECT_EQ(TTaskProcess::BuildPackagesXml(list),
            Lines({kGbkDecl, "<Packages>", "<Package>", "<TargetName> 目标,2 </TargetName>",
                   "<Files>", "<File>D:\\数据\\a.txt</File>", "<File> b.txt </File>", "</Files>",
                   "</Package>", "<Package>", "<TargetName></TargetName>", "<Files>", "</Files>",
                   "</Package>", "</Packages>"}));
  EXPECT_EQ(std::string(kGbkDecl).size(), 36u);
}

TEST(PackagesXml, MarkupCharactersInNamesAreEscapedAndReadBack) {
  const TPackageFileList list = {{"R&D <1>", {"D:\\R&D\\a<b>.txt", "x&amp;y"}}};
  const std::string xml = TTaskProcess::BuildPackagesXml(list);
  EXPECT_NE(xml.find("<TargetName>R&amp;D &lt;1&gt;</TargetName>"), std::string::npos);
  EXPECT_NE(xml.find("<File>D:\\R&amp;D\\a&lt;b&gt;.txt</File>"), std::string::npos);
  TPackageFileList back;
  ASSERT_TRUE(TTaskProcess::ParsePackagesXml(xml, back));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].TargetName, list[0].TargetName);
  EXPECT_EQ(back[0].Files, list[0].Files);
}

TEST(PackagesXml, ReadTrimmedFromARootOfAnyName) {
  TPackageFileList list = {{"kept", {"k"}}};
  ASSERT_TRUE(TTaskProcess::ParsePackagesXml(
      kGbkDecl + std::string("<Any><package><Files><File>skipped</File></Files></package>"
                             "<Package><TargetName> 名 </TargetName><TargetName>2nd</TargetName>"
                             "<Files>\r\n <File> C:\\数据\\文件.txt </File><file>x</file>"
                             "<File>  </File></Files><Files><File>2nd</File></Files></Package>"
                             "<Package><Files><File>b</File></Files></Package></Any>"),
      list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].TargetName, "名");
  EXPECT_EQ(list[1].Files, (std::vector<std::string>{"C:\\数据\\文件.txt", ""}));
  EXPECT_EQ(list[2].TargetName, "");
  EXPECT_EQ(list[2].Files, std::vector<std::string>{"b"});

  // The host's own text may declare a document type, as before.
  TPackageFileList typed;
  ASSERT_TRUE(TTaskProcess::ParsePackagesXml(
      "<!DOCTYPE P [<!ELEMENT P ANY>]><P><Package><Files><File>a</File></Files></Package></P>",
      typed));
  ASSERT_EQ(typed.size(), 1u);
  EXPECT_EQ(typed[0].Files, std::vector<std::string>{"a"});

  TPackageFileList none;
  EXPECT_TRUE(TTaskProcess::ParsePackagesXml("", none));
  EXPECT_TRUE(none.empty());
}

TEST(PackagesXml, Refusals) {
  const std::string ok = "<Package><Files><File>a</File></Files></Package>";
  const struct {
    const char* label;
    std::string xml;
    std::size_t kept;  // packages in the list afterwards
  } cases[] = {
      {"malformed", "<Packages>" + ok, 0},
      {"unescaped ampersand", "<Packages><Package><Files><File>R&D</File></Files></Package></Packages>", 0},
      {"no Files", "<Packages>" + ok + "<Package><TargetName>t</TargetName></Package>" + ok + "</Packages>", 2},
      {"Files without File", "<Packages><Package><Files><file>a</file></Files></Package></Packages>", 1},
      {"no Package", "<Packages><package>" + ok + "</package></Packages>", 0},
      {"element in a text", "<Packages><Package><Files><File>a<b/></File></Files></Package></Packages>", 1},
  };
  for (const auto& c : cases) {
    TPackageFileList list;
    EXPECT_FALSE(TTaskProcess::ParsePackagesXml(c.xml, list)) << c.label;
    EXPECT_EQ(list.size(), c.kept) << c.label;
  }
}

TEST(ContentControlXml, WrittenByteForByte) {
  const struct {
    const char* label;
    TStepList steps;
    std::vector<std::vector<std::string>> controls;
  } cases[] = {
      {"nothing configured", Steps("-", "-", "-"), {}},
      {"configured with empty names", Steps("", "", ""), {}},
      {"one zip, two crypt",
       Steps("z1", "c1,c2", "-"),
       {Control(1, "zip", "z1"), Control(2, "crypt", "c1"), Control(3, "crypt", "c2")}},
      {"ids run on across kinds",
       Steps("z1,z2", "-", "d1"),
       {Control(1, "zip", "z1"), Control(2, "zip", "z2"), Control(3, "code", "d1")}},
      {"items as cut, untrimmed",
       Steps(",a, b ,,", "-", "x&y"),
       {Control(1, "zip", ""), Control(2, "zip", "a"), Control(3, "zip", " b "),
        Control(4, "zip", ""), Control(5, "code", "x&amp;y")}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TTaskProcess::BuildContentControl(c.steps), ContentControl(c.controls)) << c.label;

  // A name on a step that is not configured, or beyond Code, writes nothing.
  TStepList other = Steps("-", "-", "-");
  other[0].Name = "unused";
  for (int k = 3; k < StepKindCount; ++k) other[k] = {TStepKind(k), true, "n", {}, "", {}, ""};
  EXPECT_EQ(TTaskProcess::BuildContentControl(other), ContentControl({}));
}

// A document type whose entity l9 stands for 10^9 copies of "lol".
std::string BillionLaughs() {
  std::string dtd = "<!DOCTYPE Any [<!ENTITY l0 \"lol\">";
  for (int i = 1; i < 10; ++i) {
    dtd += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) dtd += "&l" + std::to_string(i - 1) + ";";
    dtd += "\">";
  }
  return dtd + "]>";
}

TEST(ContentControlXml, ReadSwitchesOnTheInverseSteps) {
  auto doc = [](const std::string& controls) {
    return kGbkDecl + std::string("<Any>") + controls + "</Any>";
  };
  auto ctl = [](const std::string& type, const std::string& impl) {
    return "<control><id>9</id><type>" + type + "</type>" + impl + "</control>";
  };
  const struct {
    const char* label;
    std::string xml;
    bool ok;
    const char* result;  // Configured and Name of Decode, Decrypt, Uncompress
  } cases[] = {
      {"empty text", "", true, "0: 0: 0:"},
      {"any case of zip", doc(ctl("ZIP", "<impl>a</impl>") + ctl("Zip", "<impl> b </impl>")), true,
       "0: 0: 1:a,b"},
      {"blank or unknown type ignored",
       doc(ctl(" zip", "<impl>a</impl>") + ctl("gzip", "<impl>b</impl>")), true, "0: 0: 0:"},
      {"no or empty impl", doc(ctl("code", "") + ctl("crypt", "<impl>  </impl>")), true, "1: 1: 0:"},
      {"two crypt in order", doc(ctl("crypt", "<impl>c1</impl>") + ctl("CRYPT", "<impl>c2</impl>")),
       true, "0: 1:c1,c2 0:"},
      {"other children ignored",
       doc("<Control><type>zip</type></Control><x/>" + ctl("code", "<impl>d</impl><impl>e</impl>")),
       true, "1:d 0: 0:"},
      {"control without type stops the read",
       doc(ctl("zip", "<impl>z</impl>") + "<control><impl>c</impl></control>" +
           ctl("code", "<impl>d</impl>")),
       false, "0: 0: 1:z"},
      {"element in the type", doc(ctl("zip<b/>", "<impl>z</impl>")), false, "0: 0: 0:"},
      {"malformed", doc("<control>"), false, "0: 0: 0:"},
      // The service's text may declare no document type: entities that
      // multiply ("billion laughs") or name outside files are never expanded.
      {"entities that multiply", kGbkDecl + BillionLaughs() + "<Any>" +
           ctl("zip", "<impl>&l9;</impl>") + "</Any>", false, "0: 0: 0:"},
      {"external entity",
       kGbkDecl + std::string("<!DOCTYPE Any [<!ENTITY x SYSTEM \"secret.txt\">]><Any>") +
           ctl("zip", "<impl>&x;</impl>") + "</Any>",
       false, "0: 0: 0:"},
      {"bare document type", kGbkDecl + std::string("<!DOCTYPE Any><Any>") +
           ctl("zip", "<impl>z</impl>") + "</Any>", false, "0: 0: 0:"},
      {"document type after a comment", kGbkDecl + std::string("<!-- c --><!DOCTYPE Any><Any>") +
           ctl("zip", "<impl>z</impl>") + "</Any>", false, "0: 0: 0:"},
      {"an entity that expands, without an XML declaration",
       "<!DOCTYPE Any [<!ENTITY e \"z\">]><Any>" + ctl("zip", "<impl>&e;</impl>") + "</Any>",
       false, "0: 0: 0:"},
      // A mention that declares nothing is the service's text like any other.
      {"mentioned in a comment, an instruction and a CDATA section",
       kGbkDecl + std::string("<!-- no <!DOCTYPE here --><?note <!DOCTYPE?><Any>") +
           ctl("zip", "<impl><![CDATA[<!DOCTYPE>]]></impl>") + "</Any>",
       true, "0: 0: 1:<!DOCTYPE>"},
  };
  for (const auto& c : cases) {
    TStepList steps = Steps("s0", "s1", "s2");
    EXPECT_EQ(TTaskProcess::ParseContentControl(c.xml, steps), c.ok) << c.label;
    std::string result;
    for (int k = 6; k < 9; ++k)
      result += (k > 6 ? " " : "") + std::string(steps[k].Configured ? "1:" : "0:") + steps[k].Name;
    EXPECT_EQ(result, c.result) << c.label;
    EXPECT_EQ(steps[0].Name + steps[1].Name + steps[2].Name, "s0s1s2") << c.label;
  }
}

TEST(ContentControlXml, RoundTripFromOneStepListToAnother) {
  const TStepList sent = Steps(" 压缩 ,", "c1,,c2, c3", "R&D<1>");
  TStepList received;
  ASSERT_TRUE(TTaskProcess::ParseContentControl(TTaskProcess::BuildContentControl(sent), received));
  EXPECT_EQ(received[KindIndex(TStepKind::Uncompress)].Name, "压缩");
  EXPECT_EQ(received[KindIndex(TStepKind::Decrypt)].Name, "c1,c2,c3");
  EXPECT_EQ(received[KindIndex(TStepKind::Decode)].Name, "R&D<1>");
  for (int k = 6; k < 9; ++k) EXPECT_TRUE(received[k].Configured) << k;
}

TEST(ContentControlXml, AppendImpl) {
  const struct {
    const char* list;
    const char* name;
    const char* result;
  } cases[] = {{"", "", ""},       {"a", "", "a"},         {"", " b ", "b"},
               {"a", " b ", "a,b"}, {"a", "  ", "a,"},     {" a ", "b", " a ,b"}};
  for (const auto& c : cases)
    EXPECT_EQ(AppendImpl(c.list, c.name), c.result) << "[" << c.list << "] [" << c.name << "]";
}

}  // namespace
}  // namespace dv
