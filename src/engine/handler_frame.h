// What the nine step handlers share: loading the step's library for one
// handler call, reporting a step failure, and guarding one pass of a step
// against two outputs on the same path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/files.h"
#include "common/params.h"
#include "common/path.h"
#include "common/text_search.h"
#include "components/manage_dlls.h"
#include "engine/task_process.h"
#include "platform/platform.h"

namespace dv {

// Messages of the step handlers.
inline constexpr const char* kNoFileToProcessMsg = "找不到需要处理的文件！";
inline constexpr const char* kSeveralFilesMsg = "文件包含有多个文件，必须先配置压缩步骤！";
inline constexpr const char* kDuplicateOutputMsg = "输出文件[%s]重复，处理中止！";
inline constexpr const char* kNoCryptNameMsg = "加密过程中找不到加密实现名称！";
inline constexpr const char* kNoDecryptNameMsg = "解密过程中找不到解密实现名称！";
inline constexpr const char* kReadRequestMsg = "读取报文文件[%s]出错！";
inline constexpr const char* kSaveResponseMsg = "保存反馈文件[%s]出错！";
inline constexpr const char* kNoReturnCodeMsg = "反馈文件不符合格式：缺少反馈代码！";
inline constexpr const char* kBadContentControlMsg = "解析反馈文件中的报文控制信息出错！";

// The wrapper of a step's library, loaded from the component's folder. The
// unique_ptr unloads the library on every way out of the handler.
template <class T>
std::unique_ptr<T> LoadStepLibrary(const std::string& dllName) {
  return TBaseDll::Create<T>(GetThisModuleDir() + dllName);
}

// The checks of the single-file steps (Crypt, Code, Decode, Decrypt): every
// package must hold exactly one file. 0, or -1 with the message set.
inline int32_t CheckSingleFilePackages(const TPackageFileList& files, std::string& msg) {
  for (const TPackageFile& p : files) {
    if (p.Files.empty()) return FailStep(msg, kNoFileToProcessMsg);
    if (p.Files.size() > 1) return FailStep(msg, kSeveralFilesMsg);
  }
  return 0;
}

// One pass of a single-file step (Crypt, Code, Decode, Decrypt): each
// package's first file goes to call(source, target), the target named from
// the step's pattern; output receives one package per target, in order.
// 0, or -1 at the first failure (the message set), output then holding the
// packages finished before it.
template <class Call>
int32_t RunSingleFilePass(TTaskProcess& engine, const TStep& step, const TPackageFileList& input,
                          TPackageFileList& output, std::string& msg, Call call) {
  output.clear();
  // A second output on one file would overwrite the first one's data while
  // the output still named both.
  TFullPathSet produced;
  for (const TPackageFile& package : input) {
    const std::string& source = package.Files.front();
    const std::string target =
        engine.MakeTargetFileName(source, step.FileName, package.TargetName);
    if (!produced.Add(target)) return FailStep(msg, FormatWithPath(kDuplicateOutputMsg, target));
    if (!call(source, target)) return -1;
    output.push_back({std::string(), {target}});
  }
  return 0;
}

}  // namespace dv
