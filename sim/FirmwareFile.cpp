#include "FirmwareFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Line.h"

namespace z500sim {

namespace {

std::string Failure(const std::string& option, const std::string& path, const std::string& what) {
  return option + ": " + path + ": " + what;
}

std::string SystemReason(int err) { return std::strerror(err); }

// Opens `path` for reading without blocking (a FIFO with no writer would
// otherwise hold the program) and checks it is a regular file within the
// receiver's size. `fd` is left open on success.
std::string OpenSource(const std::string& option, const std::string& path, UniqueFd& fd) {
  fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return Failure(option, path, "cannot read it: " + SystemReason(errno));
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return Failure(option, path, "cannot read it: " + SystemReason(errno));
  if (S_ISDIR(st.st_mode)) return Failure(option, path, "is a directory, not a firmware file");
  if (!S_ISREG(st.st_mode)) return Failure(option, path, "is not a regular file (a device, FIFO or socket)");
  if (static_cast<unsigned long long>(st.st_size) > kMaxFirmware)
    return Failure(option, path,
                   std::to_string(st.st_size) + " bytes, more than the receiver's 16 MiB (" +
                       std::to_string(kMaxFirmware) + " bytes)");
  return {};
}

}  // namespace

std::string CheckFirmwareSource(const std::string& option, const std::string& path) {
  UniqueFd fd;
  return OpenSource(option, path, fd);
}

std::string ReadFirmwareFile(const std::string& option, const std::string& path, Bytes& out) {
  out.clear();
  UniqueFd fd;
  if (std::string error = OpenSource(option, path, fd); !error.empty()) return error;
  // Up to one byte more than the cap, which tells a file that has grown past
  // it since the start.
  Bytes data;
  uint8_t chunk[65536];
  while (data.size() <= kMaxFirmware) {
    const size_t want = std::min(sizeof chunk, kMaxFirmware + 1 - data.size());
    const ssize_t n = ::read(fd.Get(), chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failure(option, path, "cannot read it: " + SystemReason(errno));
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  if (data.size() > kMaxFirmware)
    return Failure(option, path, "more than the receiver's 16 MiB (" + std::to_string(kMaxFirmware) + " bytes)");
  out = std::move(data);
  return {};
}

std::string CheckFirmwareTarget(const std::string& option, const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0)
    return Failure(option, path, "its folder " + folder + " cannot be used: " + SystemReason(errno));
  if (!S_ISDIR(st.st_mode)) return Failure(option, path, folder + " is not a folder");
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Failure(option, path, "is a directory");
    // Opened for writing without truncating: what is there stays until exit.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return Failure(option, path, "cannot write it: " + SystemReason(errno));
    return {};
  }
  // A trial file proves the folder takes new files (permissions, a
  // read-only file system), whoever runs the program.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644));
  if (!fd) return Failure(option, path, "cannot write it: " + SystemReason(errno));
  ::unlink(path.c_str());
  return {};
}

}  // namespace z500sim
