#include "ThreadState.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace QuarlComm32 {

pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

bool ThreadIsRunnable(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // "tid (name) S ...": the name may hold spaces and parentheses, so the
  // state follows the last ')'.
  const char* close = std::strrchr(text, ')');
  return close != nullptr && close[1] == ' ' && close[2] == 'R';
}

}  // namespace QuarlComm32
