// Opens a port, sends a text and prints in hex what comes back.
//   send_receive COM1 19200 'unlogall com1\r\n' [seconds to listen, default 2]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "PortMap.h"
#include "TComm32.h"
#include "Unescape.h"

using namespace QuarlComm32;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s COMn baud text [seconds]\n", argv[0]);
    return 2;
  }
  TComm32 comm;
  comm.SetPortNo(ComNumberOf(argv[1]));
  comm.DCB.BaudRate = static_cast<uint32_t>(std::atoi(argv[2]));

  std::mutex m;
  std::condition_variable cv;
  comm.OnCommNotify = [&](TComm32*, int mask) {
    if (mask & EV_ERR) std::fprintf(stderr, "line error or device gone\n");
    cv.notify_one();
  };
  try {
    comm.Open();
  } catch (const EComm32Error& e) {
    std::fprintf(stderr, "%s: %s (%s)\n", argv[1], e.MessageUtf8().c_str(), std::strerror(e.OsError));
    return 1;
  }
  const std::string text = Unescape(argv[3]);
  comm.Write(text.data(), static_cast<int32_t>(text.size()));

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(argc > 4 ? std::atoi(argv[4]) : 2);
  unsigned char buf[256];
  std::unique_lock<std::mutex> lock(m);
  while (cv.wait_until(lock, end) != std::cv_status::timeout || comm.InQueue->Count() > 0) {
    for (int32_t n; (n = comm.Read(buf, sizeof buf)) > 0;) {
      for (int32_t i = 0; i < n; ++i) std::printf("%02X ", buf[i]);
      std::printf("\n");
    }
    if (std::chrono::steady_clock::now() >= end) break;
  }
  comm.Close();
  return 0;
}
