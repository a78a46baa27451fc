// What a directory page yields and how each entry is shown. Name bytes and
// the parameter rules are checked end to end through the window.
#include <gtest/gtest.h>

#include "DirectoryEntries.h"
#include "TestHex.h"

using namespace Z500;

namespace {

Bytes Entry(const std::string& name11, uint16_t time, uint16_t date, uint32_t size) {
  Bytes e(32, 0);
  std::copy(name11.begin(), name11.end(), e.begin());
  e[14] = time & 0xFF, e[15] = time >> 8, e[16] = date & 0xFF, e[17] = date >> 8;
  for (int i = 0; i < 4; ++i) e[28 + i] = static_cast<uint8_t>(size >> (8 * i));
  return e;
}

TEST(DirectoryEntries, EachColumnAsTheGridShowsIt) {
  const Bytes raw = Entry("ABCD1234XYZ", 0x70A0, 0x36A3, 1048576);
  const TDirectoryEntry e = DecodeDirectoryEntry(std::span<const uint8_t, 32>(raw.data(), 32));
  EXPECT_EQ(FileNameBytes(e), "ABCD1234.XYZ");
  EXPECT_EQ(SizeText(e.Size), "1024k");
  EXPECT_EQ(CreatedText(e.Date, e.Time), "2007年5月3日14时5分");
  EXPECT_EQ(CreatedText(0xFFFF, 0xFFFF), "2107年15月31日31时63分");  // every bit set
  EXPECT_EQ(CreatedIsoText(e.Date, 0x70A7), "2007-05-03T14:05:14");

  const std::pair<uint32_t, const char*> sizes[] = {
      {0, "1k"}, {1023, "1k"}, {1024, "1k"}, {2047, "1k"}, {2048, "2k"}, {0xFFFFFFFF, "4194303k"}};
  for (auto [size, text] : sizes) EXPECT_EQ(SizeText(size), text) << size;
}

TEST(DirectoryEntries, ADateIsRealOnlyWhenItsDayAndTimeExist) {
  const auto date = [](int y, int m, int d) { return static_cast<uint16_t>((y - 1980) << 9 | m << 5 | d); };
  const auto time = [](int h, int m, int s) { return static_cast<uint16_t>(h << 11 | m << 5 | s / 2); };
  struct Case { uint16_t Date, Time; bool Real; } cases[] = {
      {date(2007, 5, 3), time(14, 5, 14), true},  {date(1980, 1, 1), 0, true},
      {date(2107, 12, 31), time(23, 59, 58), true}, {date(2000, 2, 29), 0, true},  // 2000 is a leap year
      {date(2100, 2, 29), 0, false},              {date(2007, 2, 29), 0, false},
      {date(2007, 4, 31), 0, false},              {date(2007, 13, 1), 0, false},
      {date(2007, 0, 1), 0, false},               {date(2007, 1, 0), 0, false},
      {date(2007, 1, 1), time(24, 0, 0), false},  {date(2007, 1, 1), time(0, 60, 0), false},
      {date(2007, 1, 1), time(0, 0, 60), false},  {0xFFFF, 0xFFFF, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsRealDate(c.Date, c.Time), c.Real) << CreatedIsoText(c.Date, c.Time);
}

Bytes Page(int first, int count) {
  Bytes page;
  for (int i = first; i < first + count; ++i) {
    const Bytes e = Entry("FILE" + std::to_string(1000 + i) + "GNS", 0, 0, 100u * i);
    page.insert(page.end(), e.begin(), e.end());
  }
  return page;
}

TEST(DirectoryEntries, APageYieldsOnlyWholeEntriesThatArrivedWhole) {
  const Bytes page = Page(0, 10);
  using enum TPageFault;
  // Length field, bytes arrived, entries listed before; what the page
  // yields: a page cut by the read buffer yields what arrived whole, the
  // length caps the rest; a full page asks for more, and only an empty first
  // page means there are no files. A length that is not whole entries is no
  // page, and a page that arrived short of its length where the buffer had
  // room was cut on the way: either yields nothing.
  const struct {
    uint16_t length;
    size_t arrived;
    int32_t listed;
    size_t entries;
    bool next, none;
    TPageFault fault = pfNone;
  } cases[] = {{0, 0, 0, 0, false, true},       {0, 0, 8, 0, false, false},
               {256, 256, 0, 8, true, false},   {320, 294, 8, 9, true, false},
               {64, 320, 0, 2, false, false},   {288, 294, 0, 9, true, false},
               {3, 3, 0, 0, false, false, pfMalformed},    // the echo of our own request
               {70, 70, 0, 0, false, false, pfMalformed},  // 2 entries and 6 bytes
               {31, 31, 8, 0, false, false, pfMalformed},
               {64, 40, 8, 0, false, false, pfCut},  // a last page cut short by a pause
               {256, 31, 8, 0, false, false, pfCut},
               {256, 255, 0, 0, false, false, pfCut},
               {256, 256, 65527, 8, true, false},          // the next request names entry 65535
               {256, 256, 65528, 8, false, false, pfEndless},  // entry 65536 cannot be named
               {0xFFE0, 294, 0x7FFFFFFF, 9, false, false, pfEndless}};
  for (const auto& c : cases) {
    const TDirectoryPageStep step = DirectoryPageStep(c.length, std::span(page).first(c.arrived), c.listed);
    ASSERT_EQ(step.Entries.size(), c.entries) << c.length << "/" << c.arrived;
    EXPECT_EQ(step.RequestNext, c.next) << c.length << "/" << c.arrived;
    EXPECT_EQ(step.Fault, c.fault) << c.length << "/" << c.arrived << " after " << c.listed;
    EXPECT_EQ(step.NoFiles, c.none) << c.length << " after " << c.listed;
    for (size_t i = 0; i < step.Entries.size(); ++i) EXPECT_EQ(step.Entries[i].Size, 100u * i);
  }
}

// A receiver that answers with a page it has sent before in the same
// listing (every request with the first page, or two pages in turn) would be
// listed until the request index runs out.
TEST(DirectoryEntries, AListingFailsAtThePageThatRepeatsAnEarlierOne) {
  const Bytes a = Page(0, 8), b = Page(8, 8), c = Page(16, 3);
  const struct {
    const char* name;
    std::vector<Bytes> pages;
    TPageFault last;  // how the last page ends; those before it lead on
  } cases[] = {
      {"three pages", {a, b, c}, TPageFault::pfNone},
      {"the first page again", {a, a}, TPageFault::pfRepeated},
      {"two pages in turn", {a, b, a}, TPageFault::pfRepeated},
      {"the last page again", {a, b, b}, TPageFault::pfRepeated},
  };
  for (const auto& k : cases) {
    TDirectoryListing listing;
    int32_t listed = 0;
    for (size_t i = 0; i < k.pages.size(); ++i) {
      const Bytes& p = k.pages[i];
      const TDirectoryPageStep step = listing.Page(static_cast<uint16_t>(p.size()), p, listed);
      const bool last = i + 1 == k.pages.size();
      EXPECT_EQ(step.Fault, last ? k.last : TPageFault::pfNone) << k.name << ", page " << i;
      EXPECT_EQ(step.RequestNext, !last) << k.name << ", page " << i;
      if (step.Fault != TPageFault::pfNone) {
        EXPECT_TRUE(step.Entries.empty()) << k.name;
      }
      listed += static_cast<int32_t>(step.Entries.size());
    }
    // Asked for entry 0, the same listing starts afresh: its pages are new again.
    EXPECT_EQ(listing.Page(256, a, 0).Fault, TPageFault::pfNone) << k.name;
  }
}

}  // namespace
