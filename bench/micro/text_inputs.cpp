#include "micro/text_inputs.h"

namespace dvbench {

std::string MakeParams(std::size_t size) {
  const std::string last = "ReturnCode=0";
  std::string s = "ResultMsgStr=数据交换处理成功！";
  std::string entry;
  for (unsigned i = 0;; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 4) {
      case 0:  // a backup list: paths, one per line, escaped ";" inside
        entry = ";Backup" + n + "=D:\\任务\\task_backup\\20240101\\Compress\\file" + n +
                ".zip\r\nD:\\任务\\task_backup\\20240101\\Crypt\\file" + n + ".des&lim%v2";
        break;
      case 1:  // a note with an escaped "="
        entry = ";Note" + n + "=状态&eq%完成 第" + n + "批";
        break;
      case 2:
        entry = ";Impl" + n + "=zip,des3,base64";
        break;
      default:
        entry = ";Path" + n + "=C:\\data\\out\\" + n + ".xml";
        break;
    }
    if (s.size() + entry.size() + 1 + last.size() > size) break;
    s += entry;
  }
  return s + ";" + last;
}

std::string MakeCommaList(std::size_t size) {
  std::string s;
  for (unsigned i = 0;; ++i) {
    const std::string item = "C:\\data\\in\\报文" + std::to_string(i) + ".dat";
    if (s.size() + item.size() + 1 > size) break;
    if (!s.empty()) s += ',';
    s += item;
  }
  return s;
}

}  // namespace dvbench
