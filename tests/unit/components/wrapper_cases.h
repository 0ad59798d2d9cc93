// The ten wrapper operations as one table, so that what every operation must
// do alike is tested once for all of them against the loaded test doubles.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "components/manage_dlls.h"
#include "support/sandbox.h"

namespace dvtest::wrap {

template <class T>
std::unique_ptr<T> Make(const Sandbox& sb, const std::string& lib) {
  return dv::TBaseDll::Create<T>(sb.LibPath(lib));
}

struct OpCase {
  const char* exportName;
  const char* lib;
  const char* internalText;  // library said false without a message
  const char* callText;      // not callable, or a fault or exception
  // Calls the operation through a fresh wrapper (destroyed, so unloaded,
  // right after), with fixed arguments.
  bool (*call)(const Sandbox& sb, std::string& msg);
  // The arguments the library must receive for that call, message excluded
  // (window handle first).
  std::vector<std::string> (*expectedArgs)(const Sandbox& sb);
};

inline const std::vector<OpCase>& Ops() {
  using namespace dv;
  static const std::vector<OpCase> ops = {
      {"Encode", "Ulvaran", "编码过程中编码组件内部发生异常！", "编码过程中调用编码组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         return Make<TCodeManageDll>(sb, "Ulvaran")
             ->Encode("code.cfg", "hex", sb.Path("in.txt"), sb.Path("out.txt"), m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0", "code.cfg", "hex", sb.Path("in.txt"), sb.Path("out.txt")};
       }},
      {"Decode", "Ulvaran", "解码过程中编码组件内部发生异常！", "解码过程中调用编码组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         return Make<TCodeManageDll>(sb, "Ulvaran")
             ->Decode("code.cfg", "hex", sb.Path("in.txt"), sb.Path("out.txt"), m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0", "code.cfg", "hex", sb.Path("in.txt"), sb.Path("out.txt")};
       }},
      {"Encrypt", "Sibbert", "加密过程中加解密组件内部发生异常！",
       "加密过程中调用加解密组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         return Make<TCryptManageDll>(sb, "Sibbert")
             ->Encrypt("crypt.cfg", "rot", "任务参数", sb.Path("in.txt"), sb.Path("out.txt"), m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0", "crypt.cfg", "rot", "任务参数", sb.Path("in.txt"), sb.Path("out.txt")};
       }},
      {"Decrypt", "Sibbert", "解密过程中加解密组件内部发生异常！",
       "解密过程中调用加解密组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         return Make<TCryptManageDll>(sb, "Sibbert")
             ->Decrypt("crypt.cfg", "rot", "任务参数", sb.Path("in.txt"), sb.Path("out.txt"), m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0", "crypt.cfg", "rot", "任务参数", sb.Path("in.txt"), sb.Path("out.txt")};
       }},
      {"Compress", "Mordane", "压缩过程中压缩组件内部发生异常！", "压缩过程中调用压缩组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         return Make<TCompressManageDll>(sb, "Mordane")
             ->Compress("zip.cfg", "zip", {sb.Path("in.txt"), sb.Path("b.txt")},
                        sb.Path("out.arc"), m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0", "zip.cfg", "zip", sb.Path("in.txt") + "\r\n" + sb.Path("b.txt") + "\r\n",
                 sb.Path("out.arc")};
       }},
      {"UnCompress", "Mordane", "解压缩过程中压缩组件内部发生异常！",
       "解压缩过程中调用压缩组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         std::vector<std::string> list = {sb.Path("unpacked")};
         return Make<TCompressManageDll>(sb, "Mordane")
             ->UnCompress("zip.cfg", "zip", sb.Path("in.arc"), list, m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0", "zip.cfg", "zip", sb.Path("in.arc"), sb.Path("unpacked")};
       }},
      {"IsConnected", "Tressil", "判断网络是否连通过程中通讯组件内部发生异常！",
       "判断网络是否连通过程中调用通讯组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         return Make<TNetManageDll>(sb, "Tressil")->IsConnected("net.cfg", "proxy.cfg", "host=a", m);
       },
       [](const Sandbox&) -> std::vector<std::string> {
         return {"0", "net.cfg", "proxy.cfg", "host=a"};
       }},
      {"Send", "Tressil", "通讯过程中通讯组件内部发生异常！", "通讯过程中调用通讯组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         std::string reply;
         return Make<TNetManageDll>(sb, "Tressil")
             ->Send("net.cfg", "proxy.cfg", "http", 0, "REQUEST", reply, m);
       },
       [](const Sandbox&) -> std::vector<std::string> {
         // ... the integer, request bytes, their length, the reply buffer
         // (empty), the reply-length variable (0).
         return {"0", "net.cfg", "proxy.cfg", "http", "0", "REQUEST", "7", "", "0"};
       }},
      {"MessagePacket", "Quembry", "报文生成过程中报文组件内部发生异常！",
       "报文生成过程中调用报文组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         return Make<TMessageManageDll>(sb, "Quembry")
             ->MessagePacket("msg.cfg", "xml", {sb.Path("in.txt")}, sb.Path("out.msg"),
                             "任务参数", "SVC01", "<contentControl/>", m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0",        "msg.cfg",      "xml", sb.Path("in.txt") + "\r\n", sb.Path("out.msg"),
                 "任务参数", "SVC01", "<contentControl/>"};
       }},
      {"MessageParse", "Quembry", "报文解析过程中报文组件内部发生异常！",
       "报文解析过程中调用报文组件发生异常！",
       [](const Sandbox& sb, std::string& m) {
         std::vector<std::string> list = {sb.Path("unpacked")};
         std::string o1, o2, o3;
         return Make<TMessageManageDll>(sb, "Quembry")
             ->MessageParse("msg.cfg", "xml", sb.Path("in.msg"), list, o1, o2, o3, m);
       },
       [](const Sandbox& sb) -> std::vector<std::string> {
         return {"0", "msg.cfg", "xml", sb.Path("in.msg"), sb.Path("unpacked"), "", "", ""};
       }},
  };
  return ops;
}

}  // namespace dvtest::wrap
