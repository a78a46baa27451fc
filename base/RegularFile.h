// A regular file opened for reading, for the firmware images the window,
// z500ctl and the simulator take. Only a regular file is taken: a FIFO would
// hold the reader in open() or read() until some writer came, and a
// directory or a device is no image. The descriptor is opened without
// blocking and examined before anything reads it, so the check holds for
// what is actually read. Reads are unbuffered: each block comes from the
// file when it is asked for, so a file changed meanwhile is seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Quarl {

// Why a file cannot be read, in the order the opener finds out.
enum class TFileFault {
  None,
  CannotOpen,     // open() failed: Error() says why
  CannotExamine,  // fstat() failed: Error() says why
  Directory,
  NotRegular,     // a FIFO, device or socket
  CannotRead,     // read() failed: Error() says why
};

class TRegularFile {
public:
  // Opens `path`; Fault() tells whether it worked. A path holding a NUL
  // byte names no file (open() would stop at it and open another).
  static TRegularFile Open(const std::string& path);

  TRegularFile() = default;
  ~TRegularFile() { Close(); }
  TRegularFile(TRegularFile&& other) noexcept;
  TRegularFile& operator=(TRegularFile&& other) noexcept;
  TRegularFile(const TRegularFile&) = delete;
  TRegularFile& operator=(const TRegularFile&) = delete;

  TFileFault Fault() const { return FaultFound; }
  // The errno of the failed call, 0 for a fault without one.
  int Error() const { return ErrorFound; }
  // The size when it was opened.
  int64_t Size() const { return SizeFound; }
  // Gives the descriptor away (-1 when none is open).
  int Release();

  // Reads `len` bytes, fewer only at the end of the file; -1 when reading
  // fails (Fault() then says CannotRead).
  long Read(uint8_t* buf, size_t len);
  // Reads up to `max` bytes from where the file stands into `out`; false
  // when reading fails.
  bool ReadAtMost(size_t max, std::vector<uint8_t>& out);

private:
  void Close();
  TFileFault Failed(TFileFault fault, int error);

  int Fd = -1;
  TFileFault FaultFound = TFileFault::None;
  int ErrorFound = 0;
  int64_t SizeFound = 0;
};

}  // namespace Quarl
