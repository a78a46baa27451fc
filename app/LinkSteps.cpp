#include "LinkSteps.h"

#include <algorithm>
#include <cerrno>

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

TOpenAdvice OpenFailureAdvice(int osError) {
  switch (osError) {
    case EACCES:
    case EPERM:
      return {"没有打开该串口的权限：请把用户加入 dialout 组（sudo adduser $USER dialout），然后重新登录。",
              "your user may not use the device: add it to the dialout group (sudo adduser $USER dialout) "
              "and log in again"};
    case EBUSY:
      return {"该串口正被另一个程序使用，请先关闭那个程序（fuser 设备名 可以查到它）。",
              "another program has the port open: close it first (fuser DEVICE names it)"};
    default:
      return {};
  }
}

}  // namespace Z500
