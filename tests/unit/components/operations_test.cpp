// What single operations do beyond the common frame: the file-list, out and
// reply buffers, the Compress refusal, binding and unloading, and real work
// through the test doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/params.h"
#include "components/manage_dlls.h"
#include "support/sandbox.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using namespace dv;
using dvtest::Sandbox;
using Lines = std::vector<std::string>;
using plat::ModuleHandle;

template <class T>
std::unique_ptr<T> Make(const Sandbox& sb, const std::string& lib) {
  return TBaseDll::Create<T>(sb.LibPath(lib));
}

bool IsLoaded(const std::string& path) {
#if defined(_WIN32)
  return GetModuleHandleA(path.c_str()) != nullptr;
#else
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
#endif
}

std::vector<std::string> LastCall(const Sandbox& sb, const std::string& exportName) {
  const auto calls = sb.CallsOf(exportName);
  return calls.empty() ? std::vector<std::string>{} : calls.back();
}

// ---- file-list buffers (UnCompress, MessageParse) ----------------------------

struct ListOp {
  const char* exportName;
  const char* lib;
  std::size_t bufferSize;
  void (*prepareInput)(const Sandbox& sb);  // a valid, empty archive or reply
  bool (*call)(const Sandbox& sb, Lines& list, std::string& msg);
};

const ListOp kListOps[] = {
    {"UnCompress", "Mordane", FileListBufferSize,
     [](const Sandbox& sb) { sb.Write("in.arc", dvtest::BuildArchive({})); },
     [](const Sandbox& sb, Lines& list, std::string& msg) {
       return Make<TCompressManageDll>(sb, "Mordane")
           ->UnCompress("zip.cfg", "zip", sb.Path("in.arc"), list, msg);
     }},
    {"MessageParse", "Quembry", MessageBufferSize,
     [](const Sandbox& sb) { sb.Write("in.msg", dvtest::BuildReply({}, "0", "")); },
     [](const Sandbox& sb, Lines& list, std::string& msg) {
       std::string o1, o2, o3;
       return Make<TMessageManageDll>(sb, "Quembry")
           ->MessageParse("msg.cfg", "xml", sb.Path("in.msg"), list, o1, o2, o3, msg);
     }},
};

TEST(FileListBuffer, ListGoesInTrimmedAndComesBackAsLines) {
  struct In {
    Lines list;
    const char* buffer;  // what the library finds in the buffer
    Lines back;          // the list after a call that left the buffer alone
  };
  const In ins[] = {
      {{"folder"}, "folder", {"folder"}},
      {{"  folder\t "}, "folder", {"folder"}},
      {{"a", "b"}, "a\r\nb", {"a", "b"}},
      {{}, "", {}},
  };
  struct Out {
    const char* text;  // what the library writes into the buffer
    Lines list;
  };
  const Out outs[] = {
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"a\rb\nc", {"a", "b", "c"}},
      {"", {}},
  };
  for (const ListOp& op : kListOps) {
    SCOPED_TRACE(op.exportName);
    Sandbox sb;
    sb.SetMode(op.lib, op.exportName, "true");
    for (const In& in : ins) {
      Lines list = in.list;
      std::string msg;
      EXPECT_TRUE(op.call(sb, list, msg));
      EXPECT_EQ(LastCall(sb, op.exportName).at(5), in.buffer);
      EXPECT_EQ(list, in.back);
    }
    op.prepareInput(sb);
    sb.SetMode(op.lib, op.exportName, "ok");
    for (const Out& out : outs) {
      sb.Set(op.lib, std::string(op.exportName) + ".list", out.text);
      Lines list = {"folder"};
      std::string msg;
      EXPECT_TRUE(op.call(sb, list, msg)) << msg;
      EXPECT_EQ(list, out.list) << out.text;
    }
  }
}

// A list longer than the fixed buffer goes in whole, and the library may
// use all of the (larger) buffer; one that leaves no zero byte is read up to
// the buffer's end.
TEST(FileListBuffer, LongAndUnterminatedLists) {
  for (const ListOp& op : kListOps) {
    SCOPED_TRACE(op.exportName);
    Sandbox sb;
    Lines longList;
    std::string text;
    while (text.size() < op.bufferSize + 5000) {
      longList.push_back(sb.Path("folder" + std::to_string(longList.size())));
      text += (text.empty() ? "" : "\r\n") + longList.back();
    }
    sb.SetMode(op.lib, op.exportName, "true");
    Lines list = longList;
    std::string msg;
    EXPECT_TRUE(op.call(sb, list, msg));
    EXPECT_EQ(LastCall(sb, op.exportName).at(5), text);
    EXPECT_EQ(list, longList);

    sb.SetMode(op.lib, op.exportName, "unterminated-list");
    op.prepareInput(sb);
    for (const Lines& in : {Lines{"folder"}, longList}) {
      const std::size_t size = std::max(op.bufferSize, (in.size() == 1 ? 6 : text.size()) + 1);
      list = in;
      EXPECT_TRUE(op.call(sb, list, msg)) << msg;
      EXPECT_EQ(list, Lines{std::string(size, 'L')});
    }
  }
}

// ---- the other buffers -------------------------------------------------------

TEST(OutBuffers, MessageParseOutTexts) {
  Sandbox sb;
  sb.Write("in.msg", dvtest::BuildReply({}, "0", "<contentControl/>"));
  auto parse = [&](Lines& list, std::string& o1, std::string& o2, std::string& o3,
                   std::string& msg) {
    return Make<TMessageManageDll>(sb, "Quembry")
        ->MessageParse("msg.cfg", "xml", sb.Path("in.msg"), list, o1, o2, o3, msg);
  };
  Lines list = {sb.Path("")};
  std::string o1 = "x", o2 = "y", o3 = "z", msg;
  sb.Set("Quembry", "MessageParse.out1", "first");
  sb.Set("Quembry", "MessageParse.out2", "");
  EXPECT_TRUE(parse(list, o1, o2, o3, msg));
  EXPECT_EQ(o1, "first");
  EXPECT_EQ(o2, "");
  EXPECT_EQ(o3, "<contentControl/>");
  // The out buffers went in empty.
  const auto call = LastCall(sb, "MessageParse");
  EXPECT_EQ(Lines(call.begin() + 6, call.begin() + 9), (Lines{"", "", ""}));

  sb.SetMode("Quembry", "MessageParse", "unterminated-out");
  EXPECT_TRUE(parse(list, o1, o2, o3, msg));
  for (const std::string* o : {&o1, &o2, &o3}) EXPECT_EQ(*o, std::string(MessageBufferSize, 'O'));
}

TEST(OutBuffers, SendReply) {
  struct Row {
    const char* mode;
    const char* reply;  // steered reply text, nullptr for none
    std::string expected;
  };
  const Row rows[] = {
      {"ok", "the reply", "the reply"},
      {"ok", "", ""},
      {"reply-nul", "", "HEAD"},  // cut at its zero byte
      {"overlong-reply", "", std::string(ReplyBufferSize, 'R')},
      {"copy", nullptr, "REQ"},  // an echo, cut at the zero byte
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    Sandbox sb;
    sb.SetMode("Tressil", "Send", row.mode);
    if (row.reply) sb.Set("Tressil", "Send.reply", row.reply);
    std::string reply = "before", msg;
    EXPECT_TRUE(Make<TNetManageDll>(sb, "Tressil")
                    ->Send("net.cfg", "proxy.cfg", "http", -5, std::string("REQ\0UEST", 8), reply,
                           msg));
    EXPECT_EQ(reply, row.expected);
    // The request goes as its bytes and length, the integer unchanged, the
    // reply buffer empty and the reply-length variable 0.
    const auto call = LastCall(sb, "Send");
    EXPECT_EQ(Lines(call.begin() + 5, call.begin() + 10),
              (Lines{"-5", std::string("REQ\0UEST", 8), "8", "", "0"}));
  }
}

TEST(OutBuffers, EmptyRequestIsAnEmptyStringOfLengthZero) {
  Sandbox sb;
  sb.SetMode("Tressil", "Send", "true");
  std::string reply, msg;
  EXPECT_TRUE(Make<TNetManageDll>(sb, "Tressil")->Send("", "", "", 0, "", reply, msg));
  EXPECT_EQ(LastCall(sb, "Send"),
            (Lines{"Send", "0", "", "", "", "0", "", "0", "", "0", ""}));
}

// A failed call (fault, exception, no entry point) leaves the out parameters
// as they were.
TEST(OutBuffers, CallFailureKeepsTheOutParameters) {
  for (const char* mode : {"fault", "throw"}) {
    SCOPED_TRACE(mode);
    Sandbox sb;
    sb.SetMode("Mordane", "UnCompress", mode);
    sb.SetMode("Tressil", "Send", mode);
    sb.SetMode("Quembry", "MessageParse", mode);
    sb.Set("Mordane", "UnCompress.list", "changed\r\n");
    std::string msg;
    Lines list = {"keep"};
    EXPECT_FALSE(Make<TCompressManageDll>(sb, "Mordane")->UnCompress("", "", "", list, msg));
    EXPECT_EQ(list, Lines{"keep"});

    std::string reply = "keep";
    EXPECT_FALSE(Make<TNetManageDll>(sb, "Tressil")->Send("", "", "", 0, "x", reply, msg));
    EXPECT_EQ(reply, "keep");

    std::string o1 = "1", o2 = "2", o3 = "3";
    EXPECT_FALSE(Make<TMessageManageDll>(sb, "Quembry")
                     ->MessageParse("", "", "", list, o1, o2, o3, msg));
    EXPECT_EQ(list, Lines{"keep"});
    EXPECT_EQ(o1 + o2 + o3, "123");
  }
}

// ---- Compress -----------------------------------------------------------------

TEST(Compress, EmptyListIsRefusedWithoutCallingTheLibrary) {
  for (bool present : {true, false}) {
    SCOPED_TRACE(present ? "library present" : "library missing");
    Sandbox sb;
    if (!present) sb.Remove("Mordane");
    std::string msg = "A=1";
    EXPECT_FALSE(Make<TCompressManageDll>(sb, "Mordane")->Compress("c", "zip", {}, "t", msg));
    EXPECT_EQ(msg, "A=1;ResultMsgStr=压缩过程中发现需要压缩的源文件不存在！");
    EXPECT_TRUE(sb.CallLog().empty());
  }
}

// ---- creation, binding, unloading -------------------------------------------

TEST(Lifecycle, CreationBindsTheSubclassExports) {
  Sandbox sb;
  struct Row {
    const char* lib;
    std::vector<std::pair<const char*, void*>> (*bound)(const Sandbox&, ModuleHandle&);
  };
  const Row rows[] = {
      {"Ulvaran",
       [](const Sandbox& s, ModuleHandle& h) -> std::vector<std::pair<const char*, void*>> {
         auto d = Make<TCodeManageDll>(s, "Ulvaran");
         h = d->FDllHandle;
         return {{"Encode", reinterpret_cast<void*>(d->FEncodeProc)},
                 {"Decode", reinterpret_cast<void*>(d->FDecodeProc)}};
       }},
      {"Sibbert",
       [](const Sandbox& s, ModuleHandle& h) -> std::vector<std::pair<const char*, void*>> {
         auto d = Make<TCryptManageDll>(s, "Sibbert");
         h = d->FDllHandle;
         return {{"Encrypt", reinterpret_cast<void*>(d->FEncryptProc)},
                 {"Decrypt", reinterpret_cast<void*>(d->FDecryptProc)}};
       }},
      {"Mordane",
       [](const Sandbox& s, ModuleHandle& h) -> std::vector<std::pair<const char*, void*>> {
         auto d = Make<TCompressManageDll>(s, "Mordane");
         h = d->FDllHandle;
         return {{"Compress", reinterpret_cast<void*>(d->FCompressProc)},
                 {"UnCompress", reinterpret_cast<void*>(d->FUnCompressProc)}};
       }},
      {"Tressil",
       [](const Sandbox& s, ModuleHandle& h) -> std::vector<std::pair<const char*, void*>> {
         auto d = Make<TNetManageDll>(s, "Tressil");
         h = d->FDllHandle;
         return {{"Send", reinterpret_cast<void*>(d->FSendProc)},
                 {"IsConnected", reinterpret_cast<void*>(d->FIsConnectedProc)},
                 {"IsServerConnected", reinterpret_cast<void*>(d->FIsServerConnectedProc)}};
       }},
      {"Quembry",
       [](const Sandbox& s, ModuleHandle& h) -> std::vector<std::pair<const char*, void*>> {
         auto d = Make<TMessageManageDll>(s, "Quembry");
         h = d->FDllHandle;
         return {{"MessageParse", reinterpret_cast<void*>(d->FMessageParseProc)},
                 {"MessagePacket", reinterpret_cast<void*>(d->FMessagePacketProc)}};
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.lib);
    // Keep the library loaded while comparing: the same module gives the
    // same addresses.
    const ModuleHandle own = plat::LoadLibraryAt(sb.LibPath(row.lib));
    ASSERT_NE(own, nullptr);
    ModuleHandle handle = nullptr;
    for (const auto& [name, proc] : row.bound(sb, handle)) {
      SCOPED_TRACE(name);
      EXPECT_NE(proc, nullptr);
      EXPECT_EQ(proc, plat::FindExport(own, name));
    }
    EXPECT_EQ(handle, own);
    EXPECT_TRUE(plat::FreeLibraryHandle(own));
  }
}

TEST(Lifecycle, LoadedWhileTheWrapperLivesUnloadedAfter) {
  Sandbox sb;
  const std::string path = sb.LibPath("Ulvaran");
  {
    auto dll = Make<TCodeManageDll>(sb, "Ulvaran");
    EXPECT_EQ(dll->FDllFileName, path);
    EXPECT_NE(dll->FDllHandle, nullptr);
    EXPECT_TRUE(IsLoaded(path));
    const ModuleHandle handle = dll->FDllHandle;
    dll->LoadDll();  // already loaded: nothing happens
    EXPECT_EQ(dll->FDllHandle, handle);
  }
  EXPECT_FALSE(IsLoaded(path));

  auto dll = Make<TCodeManageDll>(sb, "Ulvaran");
  dll->UnloadDll();
  EXPECT_EQ(dll->FDllHandle, nullptr);
  EXPECT_FALSE(IsLoaded(path));
  dll->UnloadDll();  // nothing loaded: nothing changes
  EXPECT_EQ(dll->FDllHandle, nullptr);
}

TEST(Lifecycle, MissingExportFailsOnlyItsOperation) {
  Sandbox sb;
  sb.UseVariant("Ulvaran", "no-decode");
  sb.SetMode("Ulvaran", "Encode", "true");
  auto dll = Make<TCodeManageDll>(sb, "Ulvaran");
  EXPECT_EQ(dll->FDecodeProc, nullptr);
  std::string msg = "A=1";
  EXPECT_FALSE(dll->Decode("c", "hex", "s", "t", msg));
  EXPECT_EQ(msg, "A=1;ResultMsgStr=解码过程中调用编码组件发生异常！");
  msg = "A=1";
  EXPECT_TRUE(dll->Encode("c", "hex", "s", "t", msg));
  EXPECT_EQ(msg, "A=1");
}

// "IsServerConnected" is bound but never called: a library without it
// behaves the same.
TEST(Lifecycle, IsServerConnectedMakesNoDifference) {
  for (const char* variant : {"", "no-server-connected"}) {
    SCOPED_TRACE(variant);
    Sandbox sb;
    if (*variant) sb.UseVariant("Tressil", variant);
    sb.Set("Tressil", "Send.reply", "pong");
    auto dll = Make<TNetManageDll>(sb, "Tressil");
    EXPECT_EQ(dll->FIsServerConnectedProc == nullptr, *variant != '\0');
    std::string msg = "A=1", reply;
    EXPECT_TRUE(dll->IsConnected("n", "p", "q", msg));
    EXPECT_TRUE(dll->Send("n", "p", "i", 0, "ping", reply, msg));
    EXPECT_EQ(reply, "pong");
    EXPECT_EQ(msg, "A=1");
    EXPECT_TRUE(sb.CallsOf("IsServerConnected").empty());
  }
}

TEST(Lifecycle, LibraryFileNames) {
  const std::string ext = dvtest::kLibSuffix;
  EXPECT_EQ(CodeDllName(), "Ulvaran" + ext);
  EXPECT_EQ(CryptDllName(), "Sibbert" + ext);
  EXPECT_EQ(CompressDllName(), "Mordane" + ext);
  EXPECT_EQ(NetDllName(), "Tressil" + ext);
  EXPECT_EQ(MessageDllName(), "Quembry" + ext);
  EXPECT_EQ(ApplicationWindowHandle(), nullptr);
}

// ---- real work through the doubles -------------------------------------------

TEST(DoubleWork, EncodeDecodeAndEncryptDecryptRoundTrip) {
  Sandbox sb;
  const std::string data("binary\0data \xff\x80 数据", 20);
  sb.Write("in.bin", data);
  std::string msg = "A=1";
  auto code = Make<TCodeManageDll>(sb, "Ulvaran");
  ASSERT_TRUE(code->Encode("c", "hex", sb.Path("in.bin"), sb.Path("enc"), msg)) << msg;
  EXPECT_NE(sb.Read("enc"), data);
  ASSERT_TRUE(code->Decode("c", "hex", sb.Path("enc"), sb.Path("dec"), msg)) << msg;
  EXPECT_EQ(sb.Read("dec"), data);
  EXPECT_EQ(msg, "A=1");
  EXPECT_FALSE(code->Decode("c", "b64", sb.Path("enc"), sb.Path("dec2"), msg));
  EXPECT_EQ(GetParamValue(msg, "ResultMsgStr").rfind("Ulvaran.Decode", 0), 0u) << msg;

  auto crypt = Make<TCryptManageDll>(sb, "Sibbert");
  msg = "";
  ASSERT_TRUE(crypt->Encrypt("c", "des", "参数", sb.Path("in.bin"), sb.Path("x1"), msg)) << msg;
  ASSERT_TRUE(crypt->Encrypt("c", "aes", "参数", sb.Path("x1"), sb.Path("x2"), msg)) << msg;
  ASSERT_TRUE(crypt->Decrypt("c", "aes", "参数", sb.Path("x2"), sb.Path("y1"), msg)) << msg;
  ASSERT_TRUE(crypt->Decrypt("c", "des", "参数", sb.Path("y1"), sb.Path("y2"), msg)) << msg;
  EXPECT_EQ(sb.Read("y2"), data);
  // The wrong key or the wrong order is refused.
  EXPECT_FALSE(crypt->Decrypt("c", "aes", "other", sb.Path("x2"), sb.Path("z"), msg));
  EXPECT_FALSE(crypt->Decrypt("c", "des", "参数", sb.Path("x2"), sb.Path("z"), msg));
}

TEST(DoubleWork, CompressAndUnCompressRoundTrip) {
  Sandbox sb;
  sb.Write("src/一.txt", "first");
  sb.Write("src/two.bin", std::string("\0\1\2", 3));
  sb.MakeDirs("out");
  std::string msg;
  auto zip = Make<TCompressManageDll>(sb, "Mordane");
  ASSERT_TRUE(zip->Compress("c", "zip", {sb.Path("src/一.txt"), sb.Path("src/two.bin")},
                            sb.Path("a.arc"), msg))
      << msg;
  Lines list = {sb.Path("out")};
  ASSERT_TRUE(zip->UnCompress("c", "zip", sb.Path("a.arc"), list, msg)) << msg;
  EXPECT_EQ(list, (Lines{sb.Path("out/一.txt"), sb.Path("out/two.bin")}));
  EXPECT_EQ(sb.Read("out/一.txt"), "first");
  EXPECT_EQ(sb.Read("out/two.bin"), std::string("\0\1\2", 3));
}

TEST(DoubleWork, MessageThroughTheLoopbackService) {
  struct Row {
    const char* returnCode;     // Tressil's "ReturnCode", nullptr for the default
    const char* contentControl;  // Tressil's "contentControl", nullptr for the default
    const char* expectedCode;   // "ReturnCode" in the message afterwards, "" for none
    const char* expectedXml;
  };
  const Row rows[] = {
      {nullptr, nullptr, "0", "<contentControl><control/></contentControl>"},
      {"7", "empty", "7", ""},
      {"abc", "<given/>", "abc", "<given/>"},
      {"none", "malformed", "", "<contentControl><control><type>zip"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expectedCode);
    Sandbox sb;
    if (row.returnCode) sb.Set("Tressil", "ReturnCode", row.returnCode);
    if (row.contentControl) sb.Set("Tressil", "contentControl", row.contentControl);
    sb.Write("a.dat", "payload");
    sb.MakeDirs("work");
    std::string msg = "A=1";
    ASSERT_TRUE(Make<TMessageManageDll>(sb, "Quembry")
                    ->MessagePacket("m", "xml", {sb.Path("a.dat")}, sb.Path("req.msg"), "参数",
                                    "SVC", "<contentControl><control/></contentControl>", msg))
        << msg;
    dvtest::MessageFile request;
    ASSERT_TRUE(dvtest::ParseMessage(sb.Read("req.msg"), request));
    EXPECT_EQ(request.meta["serviceId"], "SVC");
    EXPECT_EQ(request.meta["taskParam"], "参数");

    std::string reply;
    ASSERT_TRUE(Make<TNetManageDll>(sb, "Tressil")
                    ->Send("n", "p", "http", 0, sb.Read("req.msg"), reply, msg))
        << msg;
    sb.Write("reply.msg", reply);
    Lines list = {sb.Path("work")};
    std::string o1, o2, o3;
    ASSERT_TRUE(Make<TMessageManageDll>(sb, "Quembry")
                    ->MessageParse("m", "xml", sb.Path("reply.msg"), list, o1, o2, o3, msg))
        << msg;
    EXPECT_EQ(list, Lines{sb.Path("work/a.dat")});
    EXPECT_EQ(sb.Read("work/a.dat"), "payload");
    EXPECT_EQ(o3, row.expectedXml);
    EXPECT_EQ(GetParamValue(msg, "ReturnCode"), row.expectedCode);
    EXPECT_EQ(GetParamValue(msg, "A"), "1");
  }
}

TEST(DoubleWork, ReplyNamingFilesOutsideTheUnpackFolder) {
  Sandbox sb;
  sb.Set("Tressil", "replyNames", "outside");
  sb.MakeDirs("work");
  const std::string request = dvtest::BuildMessage({{}, {{"a.dat", "x"}}});
  std::string reply, msg;
  ASSERT_TRUE(Make<TNetManageDll>(sb, "Tressil")->Send("n", "p", "i", 0, request, reply, msg));
  sb.Write("reply.msg", reply);
  Lines list = {sb.Path("work")};
  std::string o1, o2, o3;
  ASSERT_TRUE(Make<TMessageManageDll>(sb, "Quembry")
                  ->MessageParse("m", "xml", sb.Path("reply.msg"), list, o1, o2, o3, msg));
  EXPECT_EQ(list, Lines{sb.Path("work/../a.dat")});
  EXPECT_EQ(sb.Read("a.dat"), "x");
}

// A steered failure on the second of three calls only.
TEST(DoubleWork, FailureOnTheNthCall) {
  Sandbox sb;
  sb.SetMode("Ulvaran", "Encode", "false");
  sb.Set("Ulvaran", "Encode.onCall", "2");
  sb.Write("in", "x");
  std::vector<bool> results;
  for (int i = 0; i < 3; ++i) {
    std::string msg;
    results.push_back(
        Make<TCodeManageDll>(sb, "Ulvaran")->Encode("c", "hex", sb.Path("in"), sb.Path("out"), msg));
  }
  EXPECT_EQ(results, (std::vector<bool>{true, false, true}));
}

}  // namespace
