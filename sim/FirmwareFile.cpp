#include "FirmwareFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Line.h"
#include "RegularFile.h"

namespace z500sim {

namespace {

std::string Failure(const std::string& option, const std::string& path, const std::string& what) {
  return option + ": " + path + ": " + what;
}

std::string SystemReason(int err) { return std::strerror(err); }

// Opens `path` for reading without blocking (a FIFO with no writer would
// otherwise hold the program) and checks it is a regular file within the
// receiver's size. `file` is left open on success.
FileError OpenSource(const std::string& option, const std::string& path, Quarl::TRegularFile& file) {
  file = Quarl::TRegularFile::Open(path);
  switch (file.Fault()) {
    case Quarl::TFileFault::None: break;
    case Quarl::TFileFault::Directory: return Failure(option, path, "is a directory, not a firmware file");
    case Quarl::TFileFault::NotRegular:
      return Failure(option, path, "is not a regular file (a device, FIFO or socket)");
    default: return Failure(option, path, "cannot read it: " + SystemReason(file.Error()));
  }
  if (static_cast<unsigned long long>(file.Size()) > kMaxFirmware)
    return Failure(option, path,
                   std::to_string(file.Size()) + " bytes, more than the receiver's 16 MiB (" +
                       std::to_string(kMaxFirmware) + " bytes)");
  return std::nullopt;
}

}  // namespace

FileError CheckFirmwareSource(const std::string& option, const std::string& path) {
  Quarl::TRegularFile file;
  return OpenSource(option, path, file);
}

FileError ReadFirmwareFile(const std::string& option, const std::string& path, Bytes& out) {
  out.clear();
  Quarl::TRegularFile file;
  if (FileError error = OpenSource(option, path, file)) return error;
  // Up to one byte more than the cap, which tells a file that has grown past
  // it since the start.
  Bytes data;
  if (!file.ReadAtMost(kMaxFirmware + 1, data))
    return Failure(option, path, "cannot read it: " + SystemReason(file.Error()));
  if (data.size() > kMaxFirmware)
    return Failure(option, path, "more than the receiver's 16 MiB (" + std::to_string(kMaxFirmware) + " bytes)");
  out = std::move(data);
  return std::nullopt;
}

FileError CheckFirmwareTarget(const std::string& option, const std::string& path) {
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
    return std::nullopt;
  }
  // A trial file proves the folder takes new files (permissions, a
  // read-only file system), whoever runs the program.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644));
  if (!fd) return Failure(option, path, "cannot write it: " + SystemReason(errno));
  ::unlink(path.c_str());
  return std::nullopt;
}

}  // namespace z500sim
