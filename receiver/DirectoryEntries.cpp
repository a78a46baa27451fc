#include "DirectoryEntries.h"

#include <algorithm>
#include <cstdio>

namespace Z500 {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

TDirectoryEntry DecodeDirectoryEntry(std::span<const uint8_t, DirectoryEntrySize> bytes) {
  TDirectoryEntry e;
  std::copy_n(bytes.begin(), e.Name.size(), e.Name.begin());
  std::copy_n(bytes.begin() + 8, e.Extension.size(), e.Extension.begin());
  e.Time = Get16(&bytes[14]);
  e.Date = Get16(&bytes[16]);
  e.Size = Get16(&bytes[28]) | (static_cast<uint32_t>(Get16(&bytes[30])) << 16);
  return e;
}

std::vector<TDirectoryEntry> DirectoryPageEntries(uint16_t length, std::span<const uint8_t> payload) {
  const size_t count = std::min<size_t>(length, payload.size()) / DirectoryEntrySize;
  std::vector<TDirectoryEntry> entries;
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i)
    entries.push_back(DecodeDirectoryEntry(payload.subspan(i * DirectoryEntrySize).first<DirectoryEntrySize>()));
  return entries;
}

std::string FileNameBytes(const TDirectoryEntry& entry) {
  std::string text(entry.Name.begin(), entry.Name.end());
  text += '.';
  text.append(entry.Extension.begin(), entry.Extension.end());
  return text;
}

std::string SizeText(uint32_t size) { return std::to_string(size < 1024 ? 1 : size / 1024) + "k"; }

std::string CreatedText(uint16_t date, uint16_t time) {
  const auto n = [](unsigned v) { return std::to_string(v); };
  return n(1980 + (date >> 9)) + "年" + n((date >> 5) & 0x0F) + "月" + n(date & 0x1F) + "日" + n(time >> 11) +
         "时" + n((time >> 5) & 0x3F) + "分";
}

std::string CreatedIsoText(uint16_t date, uint16_t time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", 1980u + (date >> 9), (date >> 5) & 0x0Fu,
                date & 0x1Fu, time >> 11u, (time >> 5) & 0x3Fu, (time & 0x1Fu) * 2);
  return text;
}

TDirectoryPageStep DirectoryPageStep(uint16_t length, std::span<const uint8_t> payload, int32_t listed) {
  TDirectoryPageStep step;
  if (length == 0) {
    step.NoFiles = listed == 0;
    return step;
  }
  // An echo of the request (length 3) is no page; a page cut short would
  // leave entries out if it were the last one.
  if (length % DirectoryEntrySize != 0 || payload.size() < std::min<size_t>(length, MaxPagePayload)) {
    step.Fault = length % DirectoryEntrySize != 0 ? TPageFault::pfMalformed : TPageFault::pfCut;
    return step;
  }
  step.Entries = DirectoryPageEntries(length, payload);
  step.RequestNext = length >= FullDirectoryPage;
  // The next request names its first entry in 16 bits; a receiver that keeps
  // sending full pages must not keep the listing going for ever.
  const int64_t next = int64_t{listed} + static_cast<int64_t>(step.Entries.size());
  if (step.RequestNext && next > 0xFFFF) {
    step.RequestNext = false;
    step.Fault = TPageFault::pfEndless;
  }
  return step;
}

TDirectoryPageStep TDirectoryListing::Page(uint16_t length, std::span<const uint8_t> payload, int32_t listed) {
  if (listed == 0) Pages.clear();
  TDirectoryPageStep step = DirectoryPageStep(length, payload, listed);
  if (step.Entries.empty()) return step;
  const auto page = payload.first(std::min<size_t>(length, payload.size()));
  if (!Pages.emplace(page.begin(), page.end()).second) {
    step.Entries.clear();
    step.RequestNext = false;
    step.Fault = TPageFault::pfRepeated;
  }
  return step;
}

bool IsRealDate(uint16_t date, uint16_t time) {
  static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const unsigned year = 1980u + (date >> 9), month = (date >> 5) & 0x0Fu, day = date & 0x1Fu;
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (day > days[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  return (time >> 11) < 24 && ((time >> 5) & 0x3Fu) < 60 && (time & 0x1Fu) < 30;
}

}  // namespace Z500
