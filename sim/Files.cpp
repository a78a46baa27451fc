#include "Files.h"

#include <cstdio>

namespace z500sim {

namespace {

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t Get16(const uint8_t* p) { return p[0] | (p[1] << 8); }

// FAT time: bits 15-11 hour, 10-5 minute, 4-0 seconds / 2.
uint32_t FatTime(int hour, int minute, int second) {
  return (static_cast<uint32_t>(hour) << 11) | (static_cast<uint32_t>(minute) << 5) |
         static_cast<uint32_t>(second / 2);
}

// FAT date: bits 15-9 year - 1980, 8-5 month, 4-0 day.
uint32_t FatDate(int year, int month, int day) {
  return (static_cast<uint32_t>(year - 1980) << 9) | (static_cast<uint32_t>(month) << 5) |
         static_cast<uint32_t>(day);
}

// Civil date from a count of days since 1970-01-01 (proleptic Gregorian).
FileTime DateFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  FileTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2));
  return t;
}

int DayOfYear(const FileTime& t) {
  static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  return before[t.month - 1] + t.day + (leap && t.month > 2 ? 1 : 0);
}

}  // namespace

std::string DirEntry::Name() const { return std::string(bytes.begin(), bytes.begin() + 8); }

std::string DirEntry::Extension() const { return std::string(bytes.begin() + 8, bytes.begin() + 11); }

uint32_t DirEntry::Size() const {
  return bytes[28] | (bytes[29] << 8) | (bytes[30] << 16) | (static_cast<uint32_t>(bytes[31]) << 24);
}

FileTime DirEntry::Created() const {
  uint32_t time = Get16(&bytes[14]), date = Get16(&bytes[16]);
  FileTime t;
  t.hour = static_cast<int>(time >> 11);
  t.minute = static_cast<int>((time >> 5) & 0x3F);
  t.second = static_cast<int>((time & 0x1F) * 2);
  t.year = static_cast<int>(1980 + (date >> 9));
  t.month = static_cast<int>((date >> 5) & 0x0F);
  t.day = static_cast<int>(date & 0x1F);
  return t;
}

DirEntry MakeEntry(std::string_view name, std::string_view extension, uint32_t size, const FileTime& created) {
  DirEntry e;
  for (size_t i = 0; i < 8; ++i) e.bytes[i] = i < name.size() ? static_cast<uint8_t>(name[i]) : ' ';
  for (size_t i = 0; i < 3; ++i) e.bytes[8 + i] = i < extension.size() ? static_cast<uint8_t>(extension[i]) : ' ';
  e.bytes[11] = 0x20;  // archive
  const uint32_t time = FatTime(created.hour, created.minute, created.second);
  const uint32_t date = FatDate(created.year, created.month, created.day);
  Put16(&e.bytes[14], time);
  Put16(&e.bytes[16], date);
  Put16(&e.bytes[18], date);  // last access
  Put16(&e.bytes[22], time);  // last write: as created, the receiver closes
  Put16(&e.bytes[24], date);  // files it never rewrites
  for (int i = 0; i < 4; ++i) e.bytes[28 + i] = static_cast<uint8_t>(size >> (8 * i));
  return e;
}

std::vector<DirEntry> GenerateFiles(uint32_t count) {
  static const char* const kStations[] = {"BJ01", "BJ02", "TJ07", "HB13", "SJZ4", "K035", "GZ21", "CS09"};
  const int64_t firstDay = 20513;  // 2026-03-01
  std::vector<DirEntry> files;
  files.reserve(count);
  uint32_t seed = 0x5EED2026;
  int64_t day = 0;
  int session = 0;
  for (uint32_t i = 0; i < count; ++i) {
    seed = seed * 1664525u + 1013904223u;  // deterministic, not random
    // One to three sessions a day; the receiver moves to the next station
    // every four days.
    const int sessionsToday = 1 + static_cast<int>(day % 3);
    if (session >= sessionsToday) {
      session = 0;
      ++day;
    }
    FileTime t = DateFromDays(firstDay + day);
    t.hour = 1 + session * 7 + static_cast<int>(seed >> 29);
    t.minute = static_cast<int>((seed >> 8) % 60);
    t.second = static_cast<int>((seed >> 16) % 30) * 2;
    char name[16];
    std::snprintf(name, sizeof name, "%.4s%03d%d", kStations[(day / 4) % 8], DayOfYear(t), session + 1);
    // 2 to 6 hours at 5 s with 10 to 20 satellites: roughly 0.3 to 3 MB.
    const uint32_t size = 300'000 + (seed % 2'700'000);
    files.push_back(MakeEntry(name, "GNS", size, t));
    ++session;
  }
  return files;
}

}  // namespace z500sim
