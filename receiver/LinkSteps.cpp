#include "LinkSteps.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace Z500 {

void QuietReceiver(const std::function<void(const TFrame&)>& send, IClock& clock) {
  const TFrame unlog = UnlogCommand();
  clock.Sleep(100);
  send(unlog);
  clock.Sleep(100);
  send(unlog);
  clock.Sleep(500);
}

bool EchoesUnlog(std::span<const uint8_t> received) {
  static const TFrame unlog = UnlogCommand();
  return std::search(received.begin(), received.end(), unlog.begin(), unlog.end()) != received.end();
}

namespace {

// "%1" replaced by `first`, "%2" by `second` (first, so that a "%2" in
// `first` stays as it is).
std::string Filled(std::string text, const std::string& first, const std::string& second) {
  for (const auto& [mark, value] : {std::pair<std::string, std::string>{"%2", second}, {"%1", first}})
    if (const size_t at = text.find(mark); at != std::string::npos) text.replace(at, mark.size(), value);
  return text;
}

}  // namespace

TOpenAdvice OpenFailureAdvice(int osError, int holderPid, const std::string& holderName) {
  switch (osError) {
    case EACCES:
    case EPERM:
      return {"没有打开该串口的权限：请把用户加入 dialout 组（sudo adduser $USER dialout），然后重新登录。",
              "your user may not use the device: add it to the dialout group (sudo adduser $USER dialout) "
              "and log in again"};
    case EBUSY: {
      TOpenAdvice advice{"该串口正被另一个程序使用，请先关闭那个程序（fuser 设备名 可以查到它）。",
                         "another program has the port open: close it first (fuser DEVICE names it)"};
      if (holderPid > 0) {
        const std::string pid = std::to_string(holderPid);
        advice.Window += "\r\n" + Filled("占用该串口的程序：%1（进程号 %2）。", holderName, pid);
        advice.Console = Filled("another program has the port open: close it first (it is %1, process %2)",
                                holderName, pid);
      }
      return advice;
    }
    default:
      return {};
  }
}

}  // namespace Z500
