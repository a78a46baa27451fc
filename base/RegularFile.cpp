#include "RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace Quarl {

TRegularFile TRegularFile::Open(const std::string& path) {
  TRegularFile file;
  if (path.find('\0') != std::string::npos) {
    file.Failed(TFileFault::CannotOpen, EINVAL);
    return file;
  }
  file.Fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file.Fd < 0) {
    file.Failed(TFileFault::CannotOpen, errno);
    return file;
  }
  struct stat st {};
  if (::fstat(file.Fd, &st) != 0)
    file.Failed(TFileFault::CannotExamine, errno);
  else if (S_ISDIR(st.st_mode))
    file.Failed(TFileFault::Directory, 0);
  else if (!S_ISREG(st.st_mode))
    file.Failed(TFileFault::NotRegular, 0);
  else
    file.SizeFound = st.st_size;
  return file;
}

TRegularFile::TRegularFile(TRegularFile&& other) noexcept
    : Fd(std::exchange(other.Fd, -1)),
      FaultFound(other.FaultFound),
      ErrorFound(other.ErrorFound),
      SizeFound(other.SizeFound) {}

TRegularFile& TRegularFile::operator=(TRegularFile&& other) noexcept {
  if (this != &other) {
    Close();
    Fd = std::exchange(other.Fd, -1);
    FaultFound = other.FaultFound;
    ErrorFound = other.ErrorFound;
    SizeFound = other.SizeFound;
  }
  return *this;
}

int TRegularFile::Release() { return std::exchange(Fd, -1); }

void TRegularFile::Close() {
  if (Fd >= 0) ::close(std::exchange(Fd, -1));
}

TFileFault TRegularFile::Failed(TFileFault fault, int error) {
  // A file that cannot serve is closed at once: nothing reads it.
  if (fault != TFileFault::CannotRead) Close();
  FaultFound = fault;
  ErrorFound = error;
  return fault;
}

long TRegularFile::Read(uint8_t* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    const ssize_t n = ::read(Fd, buf + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Failed(TFileFault::CannotRead, errno);
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

bool TRegularFile::ReadAtMost(size_t max, std::vector<uint8_t>& out) {
  uint8_t chunk[65536];
  while (out.size() < max) {
    const size_t want = std::min(sizeof chunk, max - out.size());
    const long n = Read(chunk, want);
    if (n < 0) return false;
    out.insert(out.end(), chunk, chunk + n);
    if (static_cast<size_t>(n) < want) break;  // the end of the file
  }
  return true;
}

}  // namespace Quarl
