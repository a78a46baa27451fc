// The program's firmware files: the image to compare with (--expect-firmware)
// and the one to write (--save-firmware). Both are checked when the program
// starts, so that a wrong path is found before a whole session has run.
#pragma once

#include <optional>
#include <string>

#include "Receiver.h"

namespace z500sim {

// Why a firmware file cannot serve, one line that begins with the option and
// names the path; no value when it can.
using FileError = std::optional<std::string>;

// Why `path` cannot serve as the expected image: unreadable, not a regular
// file (a directory, a FIFO, a device) or larger than the receiver holds.
// Never blocks, whatever the path names.
FileError CheckFirmwareSource(const std::string& option, const std::string& path);

// Reads the expected image with the same checks, never more than
// kMaxFirmware bytes (the file may have changed since the start). `out` is
// left empty on failure.
FileError ReadFirmwareFile(const std::string& option, const std::string& path, Bytes& out);

// Why the received image cannot be written to `path` later: its folder is
// missing or not writable, or the path is a directory or cannot be written.
// An existing file is left as it is; a new one is made and removed again.
FileError CheckFirmwareTarget(const std::string& option, const std::string& path);

}  // namespace z500sim
