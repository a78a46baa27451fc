// A directory page and the parameter reply as the window and z500ctl take
// them: never more entries than arrived whole, nothing from a page that is
// not whole entries, a full page that leads on always adds entries, each
// entry the bytes at its place, texts of fixed form; the parameter texts'
// rules agree with their values; and a reply framed the receiver's way comes
// out of the dispatcher as it went in.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Charset.h"
#include "DirectoryEntries.h"
#include "FuzzCheck.h"
#include "ParameterRules.h"
#include "ReceiverFrames.h"
#include "ReplyDispatcher.h"

using namespace Z500;

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool IsUtf8(const std::string& s) { return TQuarlFuncs::CodePageToUtf8(s, 65001) == s; }

void CheckPage(uint16_t length, const std::vector<uint8_t>& payload, int32_t listed) {
  const TDirectoryPageStep step = DirectoryPageStep(length, payload, listed);
  // A page is whole entries and arrived whole, or as far as the read buffer
  // holds; anything else adds nothing and ends the listing.
  const bool malformed = length % DirectoryEntrySize != 0;
  const bool cut = !malformed && payload.size() < std::min<size_t>(length, MaxPagePayload);
  const size_t whole = malformed || cut ? 0 : std::min<size_t>(length, payload.size()) / DirectoryEntrySize;
  FUZZ_CHECK(step.Entries.size() == whole);
  FUZZ_CHECK(step.Entries.size() <= payload.size() / DirectoryEntrySize);
  // A full page asks for the next one, unless the next index would not fit
  // a request: then the listing ends as a failure.
  const int64_t next = int64_t{listed} + static_cast<int64_t>(step.Entries.size());
  const bool full = !malformed && !cut && length >= FullDirectoryPage;
  const bool endless = full && next > 0xFFFF;
  FUZZ_CHECK(step.Fault == (malformed ? TPageFault::pfMalformed
                            : cut     ? TPageFault::pfCut
                            : endless ? TPageFault::pfEndless
                                      : TPageFault::pfNone));
  FUZZ_CHECK(step.RequestNext == (full && !endless));
  FUZZ_CHECK(!step.RequestNext || !step.Entries.empty());
  FUZZ_CHECK(step.NoFiles == (length == 0 && listed == 0));
  // The same page twice in one listing: the second time it adds nothing.
  TDirectoryListing listing;
  const TDirectoryPageStep first = listing.Page(length, payload, 0);
  const TDirectoryPageStep again = listing.Page(length, payload, static_cast<int32_t>(first.Entries.size()));
  FUZZ_CHECK(first.Entries.empty() || (again.Fault == TPageFault::pfRepeated && again.Entries.empty() &&
                                       !again.RequestNext));
  for (size_t i = 0; i < step.Entries.size(); ++i) {
    const TDirectoryEntry& e = step.Entries[i];
    const uint8_t* raw = payload.data() + i * DirectoryEntrySize;
    FUZZ_CHECK(std::equal(e.Name.begin(), e.Name.end(), raw));
    FUZZ_CHECK(std::equal(e.Extension.begin(), e.Extension.end(), raw + 8));
    FUZZ_CHECK(e.Time == Get16(raw + 14) && e.Date == Get16(raw + 16));
    FUZZ_CHECK(e.Size == (Get16(raw + 28) | uint32_t{Get16(raw + 30)} << 16));

    const std::string name = FileNameBytes(e);
    FUZZ_CHECK(name.size() == 12 && name[8] == '.');
    FUZZ_CHECK(std::memcmp(name.data(), raw, 8) == 0 && std::memcmp(name.data() + 9, raw + 8, 3) == 0);
    const std::string size = SizeText(e.Size);
    FUZZ_CHECK(size == std::to_string(std::max<uint32_t>(1, e.Size / 1024)) + "k");
    const std::string iso = CreatedIsoText(e.Date, e.Time);
    FUZZ_CHECK(iso.size() == 19 && iso[4] == '-' && iso[7] == '-' && iso[10] == 'T' && iso[13] == ':' &&
               iso[16] == ':');
    FUZZ_CHECK(iso.compare(0, 4, std::to_string(1980 + (e.Date >> 9))) == 0);
    const std::string created = CreatedText(e.Date, e.Time);
    FUZZ_CHECK(IsUtf8(created));
    FUZZ_CHECK(created.compare(0, 4, iso, 0, 4) == 0);
  }
}

// A directory page or a parameter reply framed as the receiver frames it
// reaches its route with exactly its payload.
void CheckFramedReply(uint8_t command, const std::vector<uint8_t>& payload) {
  const TFrame frame = StandardFrame(fcStatic, command, payload);
  FUZZ_CHECK(frame.size() == payload.size() + 9);
  FUZZ_CHECK(Get16(frame.data() + 4) == payload.size());
  FUZZ_CHECK(std::equal(payload.begin(), payload.end(), frame.begin() + 6));
  FUZZ_CHECK(CheckByte(std::span(frame).first(frame.size() - 2)) == 0);  // XOR up to the check byte
  FUZZ_CHECK(frame[frame.size() - 2] == 0x0D && frame.back() == 0x0A);

  const size_t n = std::min(frame.size(), static_cast<size_t>(ReplyBufferSize));
  const std::vector<uint8_t> package(frame.begin(), frame.begin() + static_cast<ptrdiff_t>(n));
  bool page = false, params = false, set = false;
  TReplyRoutes routes;
  routes.DirectoryPage = [&](uint16_t length, std::span<const uint8_t> got) {
    page = true;
    FUZZ_CHECK(length == payload.size());
    FUZZ_CHECK(got.size() == std::min(payload.size(), n - 6) && std::equal(got.begin(), got.end(), payload.begin()));
    CheckPage(length, std::vector<uint8_t>(got.begin(), got.end()), 0);
  };
  routes.Parameters = [&](uint8_t interval, uint8_t cutoff) {
    params = true;
    FUZZ_CHECK(interval == payload[0] && cutoff == payload[1]);
  };
  routes.ParametersSet = [&] { set = true; };
  DispatchReply(package, false, routes);
  FUZZ_CHECK(page == (command == 'M'));
  FUZZ_CHECK(params == (command == 'J' && payload.size() == 2));
  FUZZ_CHECK(set == (command == 'J' && payload.empty()));
}

void CheckParameterText(const std::string& text, const TParameterRule& rule) {
  const TParameterCheck check = Z500::CheckParameterText(text, rule);
  const uint8_t value = ParameterValue(text, rule);
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (check == TParameterCheck::Accepted) {
    FUZZ_CHECK(text.empty() || (digits && text.size() <= 2));
    FUZZ_CHECK(value == (text.empty() ? rule.Default : std::stoi(text)));
    FUZZ_CHECK(value <= rule.Limit);
  } else if (check == TParameterCheck::NotDigits) {
    FUZZ_CHECK(!digits && CodePageLength(text) <= 2);
  } else {
    FUZZ_CHECK(CodePageLength(text) > 2 || (digits && std::stoi(text) > rule.Limit));
  }
  // The length in the form's code page: one byte per ASCII character, two
  // for any other.
  if (IsUtf8(text)) {
    const std::wstring wide = TQuarlFuncs::CodePageToWide(text, 65001);
    const size_t ascii = static_cast<size_t>(std::count_if(wide.begin(), wide.end(), [](wchar_t c) { return c < 0x80; }));
    FUZZ_CHECK(CodePageLength(text) == ascii + 2 * (wide.size() - ascii));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      const uint16_t length = in.ConsumeIntegral<uint16_t>();
      const int32_t listed = in.ConsumeIntegral<int32_t>();
      const auto rest = in.ConsumeRemainingBytes<uint8_t>();
      CheckPage(length, std::vector<uint8_t>(rest.begin(), rest.end()), listed);
      break;
    }
    case 1: {
      const uint8_t command = in.ConsumeBool() ? 'M' : 'J';
      const auto rest = in.ConsumeRemainingBytes<uint8_t>();
      CheckFramedReply(command, std::vector<uint8_t>(rest.begin(), rest.end()));
      break;
    }
    default: {
      const TParameterRule& rule = in.ConsumeBool() ? IntervalRule : CutoffRule;
      CheckParameterText(in.ConsumeRemainingBytesAsString(), rule);
      break;
    }
  }
  return 0;
}
