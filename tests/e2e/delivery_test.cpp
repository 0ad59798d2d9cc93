// Delivery of the request message file by DataExport, and the files that a
// run of steps leaves behind: intermediate files go, the host's files stay.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/params.h"
#include "e2e_harness.h"
#include "support/double_formats.h"

namespace dvtest::e2e {
namespace {

constexpr const char* kCopyFailed = "拷贝文件发生错误！";

class Delivery : public ::testing::Test {
 protected:
  void SetUp() override {
    h.Configure({
        {.TaskID = "REQ", .Steps = {{.Kind = "Request", .Name = "msg"}}},
        {.TaskID = "ZIPREQ",
         .Steps = {{.Kind = "Compress", .Name = "zip"}, {.Kind = "Request", .Name = "msg"}}},
        {.TaskID = "RESP", .Steps = {{.Kind = "Response", .Name = "msg"}}},
        {.TaskID = "EXCHANGE",
         .Steps = {{.Kind = "Request", .Name = "msg"},
                   {.Kind = "Communication", .Name = "net"},
                   {.Kind = "Response", .Name = "msg"}}},
    });
    h.Write("data/a.txt", "alpha");
    h.Write("data/b.txt", "beta");
    xml = PackagesXml({{"", {h.Path("data/a.txt"), h.Path("data/b.txt")}}});
  }
  std::string Folder(const std::string& rel) const { return h.Path(rel) + kSep; }

  // The request message file that the last call left in its work folder.
  std::string RequestFileName() const {
    for (const std::string& f : h.FilesUnder(h.LastWorkFolder()))
      if (f.rfind("Message_request_", 0) == 0) return f;
    return std::string();
  }

  Harness h;
  std::string xml;
};

TEST_F(Delivery, TheRequestFileGoesToTheTargetPath) {
  h.Box().MakeDirs("out");
  h.Write("dest/req.xml", "old");
  struct Case {
    const char* what;
    std::string target;
    int code;
    std::string msg;
    // The TargetPath the host gets back, before and after the request file's
    // name (which the call decides): expectPrefix + name + expectSuffix.
    std::string expectPrefix;
    bool appendName;
    std::string deliveredRel;  // where the request must now be; "" for nowhere
  };
  const Case cases[] = {
      {"an existing folder", h.Path("out"), 0, "", Folder("out"), true, "out/"},
      {"an existing folder with blanks and a separator", " " + Folder("out") + " ", 0, "",
       Folder("out"), true, "out/"},
      {"a file path, replacing the file there", h.Path("dest/req.xml"), 0, "",
       h.Path("dest/req.xml"), false, "dest/req.xml"},
      {"a missing folder", Folder("nofolder"), -1, kCopyFailed, Folder("nofolder"), true, ""},
      {"an empty target: the component's folder", "", 0, "", "", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CallResult r = h.Export("REQ", xml, c.target);
    EXPECT_EQ(r.Code, c.code) << r.ResultMsg;
    EXPECT_EQ(r.ResultMsg, c.msg);
    const std::string name = RequestFileName();
    ASSERT_FALSE(name.empty()) << "the request file stays in the work folder";
    EXPECT_EQ(r.Text, c.expectPrefix + (c.appendName ? name : std::string()));
    const std::string request = h.Read(h.LastWorkFolder() + "/" + name);
    ASSERT_FALSE(request.empty());
    std::string deliveredRel = c.deliveredRel;
    if (!deliveredRel.empty() && deliveredRel.back() == '/') deliveredRel += name;
    if (c.target.empty()) deliveredRel = name;
    if (!deliveredRel.empty()) {
      EXPECT_EQ(h.Read(deliveredRel), request);
    }
  }
  EXPECT_FALSE(h.Exists("nofolder"));
  EXPECT_EQ(h.Read("data/a.txt"), "alpha");
}

TEST_F(Delivery, IntermediateFilesAreDeletedAndHostFilesStay) {
  const CallResult r = h.Export("ZIPREQ", xml, h.Path("data"));
  ASSERT_EQ(r.Code, 0) << r.ResultMsg;
  const std::string name = RequestFileName();
  EXPECT_EQ(h.FilesUnder(h.LastWorkFolder()), std::vector<std::string>{name})
      << "the archive that the Request step packed is gone";
  EXPECT_EQ(h.Read("data/a.txt"), "alpha");
  EXPECT_EQ(h.Read("data/b.txt"), "beta");
  EXPECT_TRUE(h.Exists("data/" + name));
}

// A reply whose contentControl switches on Decode for one encoded file.
std::string CodedReply(const std::string& data) {
  const std::string cc =
      "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<contentControl>\r\n<control>\r\n<id>1</id>"
      "\r\n<type>code</type>\r\n<impl>hex</impl>\r\n</control>\r\n</contentControl>";
  return BuildReply({{"a.txt", "ULV1 hex\n" + fmt::Hex(data)}}, std::string("0"), cc);
}

TEST_F(Delivery, ImportDeletesWhatTheResponseUnpackedOnceDecodeHasRun) {
  h.Write("inbox/reply.msg", CodedReply("hello"));
  const CallResult r = h.Import("RESP", h.Path("inbox/reply.msg"));
  ASSERT_EQ(r.Code, 0) << r.ResultMsg;
  const std::vector<Package> out = ReadPackagesXml(r.Text);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(out[0].Files.size(), 1u);
  // Only the decoded file is left in the work folder.
  const std::vector<std::string> left = h.FilesUnder(h.LastWorkFolder());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(out[0].Files[0].find(left[0].substr(left[0].rfind('/') + 1)), std::string::npos);
  EXPECT_TRUE(h.Exists("inbox/reply.msg")) << "the received file is the host's";
}

TEST_F(Delivery, AHostFileThatALibraryReportsAsItsOutputIsNeverDeleted) {
  // The message library names a host file as the reply's content; the
  // Decode step that follows does not carry it on.
  const std::string encoded = "ULV1 hex\n" + fmt::Hex("host data");
  h.Write("data/precious.txt", encoded);
  h.Write("inbox/reply.msg", CodedReply("ignored"));
  h.Box().Set("Quembry", "MessageParse.list", h.Path("data/precious.txt"));
  const CallResult r = h.Import("RESP", h.Path("inbox/reply.msg"));
  ASSERT_EQ(r.Code, 0) << r.ResultMsg;
  ASSERT_EQ(h.Box().CallsOf("Decode").size(), 1u);
  EXPECT_EQ(h.Read("data/precious.txt"), encoded);
}

TEST_F(Delivery, TransmitWritesItsOutputOnlyWhenThereIsSome) {
  const CallResult full = h.Transmit("EXCHANGE", xml);
  ASSERT_EQ(full.Code, 0) << full.ResultMsg;
  // The reply's files, one package each.
  const std::vector<Package> out = ReadPackagesXml(full.Text);
  ASSERT_EQ(out.size(), 2u);
  for (const Package& p : out) EXPECT_EQ(p.Files.size(), 1u);
  EXPECT_EQ(dv::GetParamValue(full.Msg, "ReturnCode"), "0");

  // No package goes out, so none comes back: OutBuf keeps the host's text.
  const CallResult none = h.Transmit("EXCHANGE", "");
  ASSERT_EQ(none.Code, 0) << none.ResultMsg;
  EXPECT_FALSE(none.TextTouched);
  EXPECT_EQ(none.Text, "UNTOUCHED");
}

}  // namespace
}  // namespace dvtest::e2e
