// The receiver without a line: frames found in the byte stream, the answers
// to the tool's exact frames byte for byte, the directory entries, the
// firmware image, and each fault.
#include <gtest/gtest.h>

#include <set>

#include "Receiver.h"
#include "TestBytes.h"

using namespace z500sim;
using simtest::BlockAnswer;
using simtest::StdFrame;
using simtest::H;
using std::chrono::milliseconds;

namespace {

Options Quick() {
  Options o;
  o.replyDelayMs = 5;
  o.formatTimeMs = 40;
  return o;
}

struct Fed {
  std::vector<Reaction> reactions;
  // The frames only, without garbage runs.
  std::vector<FrameKind> Kinds() const {
    std::vector<FrameKind> k;
    for (const auto& r : reactions)
      if (r.frame.kind != FrameKind::Garbage) k.push_back(r.frame.kind);
    return k;
  }
  // Everything sent in answer, in order.
  Bytes Sent() const {
    Bytes b;
    for (const auto& r : reactions)
      for (const auto& o : r.outputs) b.insert(b.end(), o.bytes.begin(), o.bytes.end());
    return b;
  }
};

Fed Feed(Receiver& r, const Bytes& b, Clock::time_point at = Clock::now()) { return {r.Feed(b.data(), b.size(), at)}; }

// Lists the directory the way the tool does: ask from FileCount on while the
// pages are full. Returns the request payloads and the page lengths.
void List(Receiver& r, std::vector<Bytes>& requests, std::vector<size_t>& lengths, Bytes& entries) {
  size_t count = 0;
  for (int pages = 0; pages < 4096; ++pages) {  // a receiver that never ends its list fails, not hangs
    Bytes payload = {0x08, static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>(count >> 8)};
    requests.push_back(payload);
    Bytes answer = Feed(r, StdFrame('F', 'M', payload)).Sent();
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 4), H("24 24 46 4D"));
    const size_t length = answer[4] | (answer[5] << 8);
    EXPECT_EQ(answer.size(), length + 9);
    lengths.push_back(length);
    entries.insert(entries.end(), answer.begin() + 6, answer.begin() + 6 + static_cast<ptrdiff_t>(length));
    count += length / 32;
    if (length < 256) return;
  }
  ADD_FAILURE() << "the listing never ended";
}

}  // namespace

TEST(ReceiverFrames, FoundAcrossReadsAndBetweenGarbage) {
  Receiver r(Quick());
  const auto t = Clock::now();
  const Bytes read = H("24 24 46 4A 00 00 0C 0D 0A");
  // Noise, a stray head, then a frame split over three reads.
  EXPECT_TRUE(Feed(r, Bytes{'x', 0x00, '$', '$', '$'}, t).Kinds().empty());
  EXPECT_TRUE(Feed(r, Bytes(read.begin(), read.begin() + 3), t).Kinds().empty());
  EXPECT_TRUE(Feed(r, Bytes(read.begin() + 3, read.begin() + 7), t).Kinds().empty());
  Fed fed = Feed(r, simtest::Cat(Bytes(read.begin() + 7, read.end()), simtest::Handshake()), t);
  EXPECT_EQ(fed.Kinds(), (std::vector<FrameKind>{FrameKind::ReadParameters, FrameKind::Handshake}));
  EXPECT_EQ(r.Count().garbageBytes, 5u);  // 'x', 00 and the stray "$$$"

  // The unlog text with its 0x00, whole or split just before the 0x00, and
  // the bare serial reset, leave no garbage behind.
  const Bytes unlog = H("75 6E 6C 6F 67 61 6C 6C 20 63 6F 6D 31 0D 0A 00");
  fed = Feed(r, simtest::Cat(unlog, H("24 24 53 52 53 54")), t);
  EXPECT_EQ(fed.Kinds(), (std::vector<FrameKind>{FrameKind::Unlog, FrameKind::SerialReset}));
  EXPECT_EQ(fed.reactions[0].frame.bytes, unlog);
  EXPECT_EQ(Feed(r, Bytes(unlog.begin(), unlog.end() - 1), t).Kinds(), std::vector<FrameKind>{FrameKind::Unlog});
  EXPECT_TRUE(Feed(r, H("00"), t).Kinds().empty());
  EXPECT_EQ(r.Count().garbageBytes, 5u);

  // A head whose frame never completes is given up after a pause.
  EXPECT_TRUE(Feed(r, H("24 24 46 4A 00"), t).Kinds().empty());
  EXPECT_EQ(Feed(r, read, t + milliseconds(600)).Kinds(), std::vector<FrameKind>{FrameKind::ReadParameters});
  EXPECT_EQ(r.Count().garbageBytes, 10u);
  // A standard frame without its CR LF is not one; the real frame after it is.
  EXPECT_EQ(Feed(r, simtest::Cat(H("24 24 46 4A 00 00 0C 0D 00"), read), t).Kinds(),
            std::vector<FrameKind>{FrameKind::ReadParameters});
}

TEST(ReceiverFrames, OnAPacedLineOnlyIdleTimeMakesAPartialFrameStale) {
  const Bytes block = simtest::Block(0x40008000, simtest::Image(128));
  const Bytes head(block.begin(), block.begin() + 9), rest(block.begin() + 9, block.end());
  const auto t = Clock::now();
  // The rest of the block takes 700 ms of line time (a slow line); what
  // counts is the pause before its first byte.
  for (const auto& [pause, completes] : {std::pair{milliseconds(10), true}, {milliseconds(600), false}}) {
    Receiver r(Quick());
    // Where the next frame ends is known before any of it is fed.
    EXPECT_EQ(r.FrameEndWithin(block.data(), block.size(), t), block.size());
    EXPECT_EQ(r.FrameEndWithin(head.data(), head.size(), t), std::nullopt);
    EXPECT_TRUE(r.Feed(head.data(), head.size(), t, t + milliseconds(50)).empty());
    const auto first = t + milliseconds(50) + pause;
    EXPECT_EQ(r.FrameEndWithin(rest.data(), rest.size(), first), completes ? std::optional(rest.size()) : std::nullopt);
    const Fed fed{r.Feed(rest.data(), rest.size(), first, first + milliseconds(700))};
    EXPECT_EQ(fed.Kinds().size(), completes ? 1u : 0u) << pause.count() << " ms";
  }
}

// A head whose length reaches past a real frame holds that frame up until
// enough bytes have come to show it is no frame: the frame ends there.
TEST(ReceiverFrames, AFrameBehindAHeadThatWaitsEndsWhenTheHeadIsRefused) {
  const Bytes line = simtest::Cat(simtest::Cat(H("24 24 53 05 10 00"), H("24 24 46 4A 00 00 0C 0D 0A")), Bytes(10, 0x55));
  const auto t = Clock::now();
  Receiver r(Quick());
  EXPECT_EQ(r.FrameEndWithin(line.data(), line.size(), t), 25u);  // 16 + 9 bytes decide the head
  Receiver early(Quick());
  EXPECT_TRUE(Fed{early.Feed(line.data(), 24, t)}.Kinds().empty());
  EXPECT_EQ(Fed{r.Feed(line.data(), 25, t)}.Kinds(), std::vector<FrameKind>{FrameKind::ReadParameters});

  // An unlog text freed with its 0x00 already behind it takes no second one.
  const std::string unlog = "unlogall com1\r\n";
  const Bytes held =
      simtest::Cat(simtest::Cat(H("24 24 53 05 10 00 11 22 33"), Bytes(unlog.begin(), unlog.end())), H("00 00 07"));
  Receiver u(Quick());
  EXPECT_EQ(u.FrameEndWithin(held.data(), held.size(), t), 25u);
  EXPECT_EQ(Fed{u.Feed(held.data(), 25, t)}.Kinds(), std::vector<FrameKind>{FrameKind::Unlog});
}

TEST(ReceiverParameters, ReadAndWriteAnswerStandardFrames) {
  Receiver r(Quick());
  Fed fed = Feed(r, H("24 24 46 4A 00 00 0C 0D 0A"));
  EXPECT_EQ(fed.Sent(), H("24 24 46 4A 02 00 05 0C 07 0D 0A"));
  ASSERT_EQ(fed.reactions[0].outputs.size(), 1u);
  EXPECT_EQ(fed.reactions[0].outputs[0].delay, milliseconds(5));

  EXPECT_EQ(Feed(r, StdFrame('F', 'J', {0x3C, 0x0F})).Sent(), H("24 24 46 4A 00 00 0C 0D 0A"));
  EXPECT_EQ(r.Interval(), 0x3C);
  EXPECT_EQ(r.Cutoff(), 0x0F);
  // A wrong check byte is answered all the same, and noted.
  fed = Feed(r, H("24 24 46 4A 00 00 FF 0D 0A"));
  EXPECT_EQ(fed.Sent(), StdFrame('F', 'J', {0x3C, 0x0F}));
  EXPECT_FALSE(fed.reactions[0].frame.checkOk);
}

TEST(ReceiverDirectory, PagesOfEightEntriesUntilAShortOne) {
  struct Case {
    uint32_t files;
    std::vector<size_t> lengths;
  };
  std::vector<size_t> for300(37, 256);
  for300.push_back(128);
  for (const Case& c : {Case{0, {0}}, Case{8, {256, 0}}, Case{20, {256, 256, 128}}, Case{300, for300}}) {
    SCOPED_TRACE(c.files);
    Options o = Quick();
    o.files = c.files;
    Receiver r(o);
    std::vector<Bytes> requests;
    std::vector<size_t> lengths;
    Bytes entries;
    List(r, requests, lengths, entries);
    EXPECT_EQ(lengths, c.lengths);
    Bytes all;
    for (const DirEntry& e : r.Files()) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    EXPECT_EQ(entries, all);
    if (c.files == 20) {
      EXPECT_EQ(requests, (std::vector<Bytes>{H("08 00 00"), H("08 08 00"), H("08 10 00")}));
    }
    if (c.files == 300) {
      EXPECT_EQ(requests[32], H("08 00 01"));
    }
  }
  // The first request of the tool, byte for byte, on an empty receiver.
  Receiver empty(Quick());
  EXPECT_EQ(Feed(empty, H("24 24 46 4D 03 00 08 00 00 00 0D 0A")).Sent(), H("24 24 46 4D 00 00 0B 0D 0A"));
}

TEST(ReceiverDirectory, EntriesAreFatRecords) {
  const DirEntry e = MakeEntry("ABCD1234", "XYZ", 1023, {2007, 5, 3, 14, 5, 0});
  EXPECT_EQ(Bytes(e.bytes.begin(), e.bytes.begin() + 11), Bytes({'A', 'B', 'C', 'D', '1', '2', '3', '4', 'X', 'Y', 'Z'}));
  EXPECT_EQ(Bytes(e.bytes.begin() + 14, e.bytes.begin() + 18), H("A0 70 A3 36"));  // time 0x70A0, date 0x36A3
  EXPECT_EQ(Bytes(e.bytes.begin() + 28, e.bytes.end()), H("FF 03 00 00"));
  EXPECT_EQ(MakeEntry("AB", "C", 0, {}).Name(), "AB      ");

  const auto files = GenerateFiles(300);
  ASSERT_EQ(files, GenerateFiles(300));  // the same every run
  std::set<std::string> names;
  for (const DirEntry& f : files) {
    const std::string name = f.Name();
    names.insert(name);
    for (char ch : name + f.Extension()) EXPECT_TRUE(std::isupper(ch) || std::isdigit(ch)) << name;
    const FileTime t = f.Created();
    EXPECT_TRUE(t.year == 2026 && t.month >= 3 && t.day >= 1 && t.day <= 31 && t.hour < 24 && t.minute < 60) << name;
    EXPECT_GT(f.Size(), 100'000u);
  }
  EXPECT_EQ(names.size(), files.size());
}

TEST(ReceiverDirectory, DeleteRemovesEveryMatchingNameAndFormatErasesAll) {
  Receiver r(Quick());
  const FileTime t{2026, 3, 2, 9, 30, 0};
  r.SetFiles({MakeEntry("ABCD1234", "XYZ", 10, t), MakeEntry("ABCD1235", "XYZ", 20, t),
              MakeEntry("ABCD1234", "OBS", 30, t), MakeEntry("KEEP0001", "GNS", 40, t)});
  const Bytes request = H("24 24 46 44 10 00 41 42 43 44 31 32 33 34 41 42 43 44 31 32 33 35");
  Fed fed = Feed(r, simtest::Cat(request, {simtest::Xor(request), 0x0D, 0x0A}));
  EXPECT_EQ(fed.Kinds(), std::vector<FrameKind>{FrameKind::Delete});
  EXPECT_EQ(fed.Sent(), H("24 24 46 44 00 00 02 0D 0A"));
  ASSERT_EQ(r.Files().size(), 1u);
  EXPECT_EQ(r.Files()[0].Name(), "KEEP0001");

  fed = Feed(r, H("24 24 46 44 00 00 02 0D 0A"));
  EXPECT_EQ(fed.Kinds(), std::vector<FrameKind>{FrameKind::Format});
  EXPECT_EQ(fed.Sent(), H("24 24 46 44 00 00 02 0D 0A"));
  EXPECT_EQ(fed.reactions[0].outputs[0].delay, milliseconds(40));  // --format-time
  EXPECT_TRUE(r.Files().empty());
}

TEST(ReceiverSettings, SoundUnlogAndSerialReset) {
  Receiver r(Quick());
  EXPECT_TRUE(r.Logging());
  Fed fed = Feed(r, H("24 24 53 49 04 00 FF FF 01 FF E0 0D 0A"));
  EXPECT_EQ(fed.Kinds(), std::vector<FrameKind>{FrameKind::Sound});
  EXPECT_TRUE(r.SoundOn());
  EXPECT_TRUE(fed.reactions[0].frame.checkOk);

  EXPECT_TRUE(Feed(r, H("75 6E 6C 6F 67 61 6C 6C 20 63 6F 6D 31 0D 0A 00")).Sent().empty());
  EXPECT_FALSE(r.Logging());

  const Bytes answer = Feed(r, H("24 24 53 52 53 54")).Sent();
  ASSERT_GE(answer.size(), 4u);
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 4), H("24 24 53 52"));

  // The position sentence is NMEA: '$', fields, '*', XOR of the body in hex.
  const Bytes s = Receiver::PositionSentence(1'775'000'000);
  const std::string line(s.begin(), s.end());
  ASSERT_TRUE(line.starts_with("$GPGGA,") && line.ends_with("\r\n")) << line;
  const size_t star = line.find('*');
  char sum[3];
  std::snprintf(sum, sizeof sum, "%02X", simtest::Xor(Bytes(s.begin() + 1, s.begin() + static_cast<ptrdiff_t>(star))));
  EXPECT_EQ(line.substr(star + 1, 2), sum);
}

TEST(ReceiverFirmware, ThreeHundredBytesInBlocksOf128And44) {
  Receiver r(Quick());
  EXPECT_EQ(Feed(r, simtest::Handshake()).Sent(), H("24 24 56 53 01 58"));
  const Bytes image = simtest::Image(300);
  const uint32_t base = 0x40008000;
  for (uint32_t offset : {0u, 128u, 256u}) {
    const size_t n = offset == 256 ? 44 : 128;
    const Bytes data(image.begin() + offset, image.begin() + offset + n);
    EXPECT_EQ(Feed(r, simtest::Block(base + offset, data)).Sent(), BlockAnswer(0, base + offset));
  }
  EXPECT_EQ(Feed(r, simtest::Block(0x40008080, {})).Sent(), BlockAnswer(0, 0x40008080)) << "n = 0 is a frame too";
  EXPECT_EQ(r.Firmware(), image);
  EXPECT_EQ(r.Count().blocks, 4u);
  EXPECT_EQ(BlockAnswer(0, 0x40008100), H("24 24 56 58 01 00 40 00 81 00"));
  // A block outside the receiver's memory is refused.
  EXPECT_EQ(Feed(r, simtest::Block(0x10000000, {1, 2, 3, 4})).Sent(), BlockAnswer(1, 0x10000000));
  // A new handshake starts a new image.
  Feed(r, simtest::Handshake());
  EXPECT_TRUE(r.Firmware().empty());
}

TEST(ReceiverFirmware, ComparisonReportsFirstDifferenceAndLengths) {
  const Bytes image = simtest::Image(130);
  Bytes padded = image;
  padded.resize(132);
  EXPECT_TRUE(CompareFirmware(image, image).match);
  EXPECT_TRUE(CompareFirmware(image, padded).match);
  Bytes wrong = image;
  wrong[77] ^= 0xFF;
  const FirmwareCheck c = CompareFirmware(image, wrong);
  EXPECT_FALSE(c.match);
  EXPECT_NE(c.report.find("byte 77"), std::string::npos) << c.report;
  EXPECT_NE(c.report.find("0x4000804D"), std::string::npos) << c.report;
  EXPECT_FALSE(CompareFirmware(image, Bytes(image.begin(), image.begin() + 128)).match);
  padded.resize(136);
  EXPECT_FALSE(CompareFirmware(image, padded).match);
}

TEST(ReceiverFaults, EachFaultChangesOnlyWhatItNames) {
  const Bytes read = H("24 24 46 4A 00 00 0C 0D 0A");
  const Bytes params = H("24 24 46 4A 02 00 05 0C 07 0D 0A");
  auto with = [](auto set) {
    Options o = Quick();
    set(o);
    return o;
  };
  Receiver silent(with([](Options& o) { o.silent = true; }));
  EXPECT_TRUE(Feed(silent, simtest::Cat(read, simtest::Handshake())).Sent().empty());
  EXPECT_EQ(silent.Count().frames, 2u);

  Receiver hw87(with([](Options& o) { o.hardwareVersion = 87; }));
  EXPECT_EQ(Feed(hw87, simtest::Handshake()).Sent(), H("24 24 56 53 01 57"));

  for (uint8_t result : {1, 2, 7}) {
    Receiver r(with([&](Options& o) { o.blockResult = result, o.blockResultAt = 2; }));
    Feed(r, simtest::Handshake());
    EXPECT_EQ(Feed(r, simtest::Block(0x40008000, simtest::Image(128))).Sent(), BlockAnswer(0, 0x40008000));
    EXPECT_EQ(Feed(r, simtest::Block(0x40008080, simtest::Image(128))).Sent(), BlockAnswer(result, 0x40008080));
  }

  Receiver badAddress(with([](Options& o) { o.badAddressAt = 1; }));
  Feed(badAddress, simtest::Handshake());
  EXPECT_EQ(Feed(badAddress, simtest::Block(0x40008000, simtest::Image(8))).Sent(), H("24 24 56 58 01 00 40 00 80 80"));

  Receiver late(with([](Options& o) { o.handshakeAfter = 2; }));
  EXPECT_TRUE(Feed(late, simtest::Cat(simtest::Handshake(), simtest::Handshake())).Sent().empty());
  EXPECT_EQ(Feed(late, simtest::Handshake()).Sent(), H("24 24 56 53 01 58"));

  Receiver split(with([](Options& o) { o.splitAnswers = true; }));
  const auto halves = Feed(split, read).reactions.at(0).outputs;
  ASSERT_EQ(halves.size(), 2u);
  EXPECT_EQ(simtest::Cat(halves[0].bytes, halves[1].bytes), params);
  EXPECT_TRUE(halves[1].afterPrevious && halves[1].delay == kSplitPause);

  Receiver garbage(with([](Options& o) { o.garbage = 12; }));
  const Bytes sent = Feed(garbage, read).Sent();
  ASSERT_EQ(sent.size(), 12 + params.size());
  EXPECT_EQ(Bytes(sent.begin() + 12, sent.end()), params);
  EXPECT_EQ(std::count(sent.begin(), sent.begin() + 12, '$'), 0);

  Receiver drop(with([](Options& o) { o.dropAnswers = {2}; }));
  EXPECT_EQ(Feed(drop, simtest::Cat(read, simtest::Cat(read, read))).Sent(), simtest::Cat(params, params));

  // A loopback plug: the format request comes back as it went, and the
  // files are still there; the position sentences were never the plug's.
  Receiver echo(with([](Options& o) { o.echo = true, o.files = 3; }));
  const Bytes format = H("24 24 46 44 00 00 02 0D 0A");
  EXPECT_EQ(Feed(echo, simtest::Cat(format, H("00 01"))).Sent(), simtest::Cat(format, H("00 01")));
  EXPECT_EQ(echo.Files().size(), 3u);

  // Every directory request gets the first page, whichever entry it names.
  Receiver repeat(with([](Options& o) { o.repeatPage = true, o.files = 20; }));
  const Bytes first = Feed(repeat, StdFrame('F', 'M', H("08 00 00"))).Sent();
  EXPECT_EQ(first.size(), 256u + 9);
  EXPECT_EQ(Feed(repeat, StdFrame('F', 'M', H("08 08 00"))).Sent(), first);

  for (uint32_t k : {0u, 2u}) {
    Receiver r(with([&](Options& o) { o.hangupAfter = k; }));
    std::vector<bool> hangups;
    auto last = [](const Fed& f) { return f.reactions.at(0).outputs.back().hangup; };
    hangups.push_back(last(Feed(r, simtest::Handshake())));
    for (uint32_t a : {0x40008000u, 0x40008080u, 0x40008100u})
      hangups.push_back(last(Feed(r, simtest::Block(a, simtest::Image(128)))));
    EXPECT_EQ(hangups, (std::vector<bool>{k == 0, false, k == 2, false}));
  }
}
