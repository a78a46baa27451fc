// The receiver's file directory as it comes in directory pages: 32-byte
// entries laid out like MS-DOS FAT directory entries (little-endian), and the
// texts the directory grid shows for each.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "ReplyDispatcher.h"

namespace Z500 {

inline constexpr size_t DirectoryEntrySize = 32;
// A page of this length or more is full: the receiver has more to send.
inline constexpr uint16_t FullDirectoryPage = 256;

// The 8 name bytes that identify a file in a delete request.
using TFileName = std::array<uint8_t, 8>;

struct TDirectoryEntry {
  TFileName Name{};                      // offset 0
  std::array<uint8_t, 3> Extension{};    // offset 8
  uint16_t Time = 0;                     // offset 14: hour, minute, seconds / 2
  uint16_t Date = 0;                     // offset 16: year - 1980, month, day
  uint32_t Size = 0;                     // offset 28, in bytes
};

TDirectoryEntry DecodeDirectoryEntry(std::span<const uint8_t, DirectoryEntrySize> bytes);

// The entries of a page whose length field is `length`, of which `payload`
// arrived: length / 32 entries, no more than arrived whole. A remainder of
// less than 32 bytes is ignored.
std::vector<TDirectoryEntry> DirectoryPageEntries(uint16_t length, std::span<const uint8_t> payload);

// The name column's bytes: the 8 name bytes, '.', the 3 extension bytes,
// blanks included. Each byte is one character (the grid shows them as
// Latin-1), so nothing is lost between the page and a delete request.
std::string FileNameBytes(const TDirectoryEntry& entry);

// The size column: whole kilobytes and "k", at least 1k (1023 bytes and 2047
// bytes both give "1k").
std::string SizeText(uint32_t size);

// The creation column, UTF-8: year年month月day日hour时minute分 without leading
// zeros; the seconds are not shown.
std::string CreatedText(uint16_t date, uint16_t time);

// The same time as YYYY-MM-DDTHH:MM:SS, seconds included.
std::string CreatedIsoText(uint16_t date, uint16_t time);

// How long the window waits for each directory page; z500ctl's --timeout
// defaults to the same.
inline constexpr uint32_t DirectoryPageTimeoutMs = 5000;
// A page cut by a pause in the line is asked for again, at most this many
// times, once the rest of it has passed (the line has been quiet this long):
// asked at once, the answer would arrive joined to that rest and be lost.
inline constexpr int MaxCutPageRetries = 3;
inline constexpr uint32_t CutPageQuietMs = 300;
// The most of a page's payload that one package read into the reply buffer
// holds: a longer page arrives cut there.
inline constexpr size_t MaxPagePayload = ReplyBufferSize - 6;

// Why a listing stops before the receiver says it has ended.
enum class TPageFault {
  pfNone,
  pfMalformed,  // the length is not whole entries
  pfCut,        // the page arrived short of its length: a pause in the line cut it
  pfRepeated,   // the same page as one this listing already had
  pfEndless,    // a full page, and the next entry is past what a request can name
};

// What one directory page means to a listing that has `listed` entries so
// far: the entries to add, and whether to ask for more. The receiver sends
// the directory in pages; a full page means there is more, an empty first
// page that there are no files at all. A page that does not make sense
// ends the listing as a failure: a malformed, cut or repeated page adds
// nothing; the page that runs past the last index adds its entries.
struct TDirectoryPageStep {
  std::vector<TDirectoryEntry> Entries;
  bool RequestNext = false;  // ask for the entry at `listed` + Entries.size()
  bool NoFiles = false;      // the listing is empty
  TPageFault Fault = TPageFault::pfNone;
};
TDirectoryPageStep DirectoryPageStep(uint16_t length, std::span<const uint8_t> payload, int32_t listed);

// Whether a directory entry's `date` and `time` name a moment that exists:
// month 1 to 12, a day the month has, hour below 24, minute below 60, seconds
// below 60. The fields of an unset entry (0, or every bit set) do not.
bool IsRealDate(uint16_t date, uint16_t time);

// One listing from its first request to its end: each page's step, with a
// page that repeats an earlier page of the same listing taken as the fault
// it is (a receiver that answers every request with the same page would
// otherwise be listed until the request index runs out).
class TDirectoryListing {
public:
  // The page that answers the request for entry `listed`; the request for
  // entry 0 starts a fresh listing.
  TDirectoryPageStep Page(uint16_t length, std::span<const uint8_t> payload, int32_t listed);

private:
  std::set<std::vector<uint8_t>> Pages;  // the payload of every page so far
};

}  // namespace Z500
