// The receiver's observation files as 32-byte FAT directory entries, and a
// deterministic generator of realistic ones.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace z500sim {

struct FileTime {
  int year = 1980, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
};

struct DirEntry {
  std::array<uint8_t, 32> bytes{};

  std::string Name() const;       // the 8 name bytes, blanks kept
  std::string Extension() const;  // the 3 extension bytes
  uint32_t Size() const;          // offset 28, little-endian
  FileTime Created() const;       // offsets 14 (time) and 16 (date)
  bool operator==(const DirEntry&) const = default;
};

// A regular (archive) file. The name is padded with blanks to 8 bytes and the
// extension to 3, longer ones are cut.
DirEntry MakeEntry(std::string_view name, std::string_view extension, uint32_t size, const FileTime& created);

// `count` files named like survey sessions: station code, day of year,
// session letter (e.g. "BJ010611.GNS" is BJ01, day 061, session 1), one to
// three sessions a day, a few days per station, with their dates and sizes.
std::vector<DirEntry> GenerateFiles(uint32_t count);

}  // namespace z500sim
