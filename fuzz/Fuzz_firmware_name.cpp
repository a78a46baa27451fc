// The firmware file: the hardware version its name carries, and the block
// frames cut from its bytes. The version is the three characters before the
// first ".rxf" of the file's own name read as a number (strtol agrees), else
// 0, and nothing without ".rxf" in that name; the blocks carry the file's
// bytes in order at consecutive addresses, padded to 4, and the upgrade ends
// only when the file gave exactly the size it had at the start.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FirmwareBlocks.h"
#include "FuzzCheck.h"

using namespace Z500;

namespace {

void CheckVersion(const std::string& path) {
  const std::optional<int> version = HardwareVersionFromPath(path);
  const std::string name = path.substr(path.find_last_of('/') + 1);  // npos + 1 is 0: the whole path
  const size_t at = name.find(".rxf");
  FUZZ_CHECK(version.has_value() == (at != std::string::npos));
  if (!version) return;
  long want = 0;
  if (at >= 3) {
    const std::string digits = name.substr(at - 3, 3);
    char* end = nullptr;
    const long v = std::strtol(digits.c_str(), &end, 10);
    // strtol also skips leading blanks; the version does not.
    if (end == digits.c_str() + 3 && !std::isspace(static_cast<unsigned char>(digits[0]))) want = v;
  }
  FUZZ_CHECK(*version == want);
  FUZZ_CHECK(IsHardwareVersion(*version) == (want >= 0 && want <= 255));
}

void CheckBlocks(const std::vector<uint8_t>& file, int32_t sizeAtStart, FuzzedDataProvider& reads) {
  TBlockSequencer seq;
  seq.Start(sizeAtStart);
  const size_t size = static_cast<size_t>(std::max(sizeAtStart, 0));
  size_t pos = 0, end = file.size();
  bool failRead = false, shortRead = false;
  const auto read = [&](uint8_t* buf, size_t len) -> long {
    // A regular file gives what is asked up to its end. Now and then the read
    // fails, or the file is cut short under the reader.
    if (reads.remaining_bytes() > 0) {
      const int fault = reads.ConsumeIntegralInRange<int>(0, 63);
      if (fault == 0) return failRead = true, -1;
      if (fault == 1) end = pos + reads.ConsumeIntegralInRange<size_t>(0, end - pos);
    }
    const size_t n = std::min(len, end - pos);
    if (n > 0) std::memcpy(buf, file.data() + pos, n);
    pos += n;
    shortRead = n < len;
    return static_cast<long>(n);
  };
  uint32_t address = FirmwareLoadAddress;
  size_t taken = 0;
  for (int blocks = 0;; ++blocks) {
    FUZZ_CHECK(blocks <= 4 * 4096);
    failRead = shortRead = false;
    const size_t before = pos;
    const TBlockSequencer::TNext next = seq.Next(read);
    if (next.Step != TBlockSequencer::TStep::Block) {
      FUZZ_CHECK(next.Frame.empty());
      switch (next.Step) {
        case TBlockSequencer::TStep::Done:  // every byte of the size at the start, and no more
          FUZZ_CHECK(!failRead && taken == size && pos == end);
          break;
        case TBlockSequencer::TStep::Grew:
          FUZZ_CHECK(taken == size && end > size);
          break;
        default:  // a block not read whole is not sent
          FUZZ_CHECK(failRead || shortRead);
          break;
      }
      break;
    }
    const size_t n = pos - before;
    const TFrame& f = next.Frame;
    FUZZ_CHECK(n == std::min(size - taken, FirmwareBlockSize));
    FUZZ_CHECK(f.size() == 9 + PaddedBlockLength(n) && f[4] == PaddedBlockLength(n));
    FUZZ_CHECK(std::memcmp(f.data(), "$$VX", 4) == 0);
    FUZZ_CHECK((uint32_t{f[5]} << 24 | uint32_t{f[6]} << 16 | uint32_t{f[7]} << 8 | f[8]) == address);
    FUZZ_CHECK(std::memcmp(f.data() + 9, file.data() + taken, n) == 0);
    for (size_t i = 9 + n; i < f.size(); ++i) FUZZ_CHECK(f[i] == 0);
    FUZZ_CHECK(seq.Judge(0, address) == TBlockVerdict::bvAccepted);
    FUZZ_CHECK(seq.Judge(0, address + 4) == TBlockVerdict::bvWrongAddress);
    FUZZ_CHECK(seq.Judge(0, std::nullopt) == TBlockVerdict::bvWrongAddress);
    FUZZ_CHECK(seq.Judge(1, address) == TBlockVerdict::bvError1);
    taken += n;
    address += static_cast<uint32_t>(PaddedBlockLength(n));
    FUZZ_CHECK(seq.LoadAddress == address && seq.BytesSent == static_cast<int32_t>(address - FirmwareLoadAddress));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    CheckVersion(in.ConsumeRemainingBytesAsString());
    return 0;
  }
  const auto file = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096));
  // The size found at the start; the file may have changed since.
  const int32_t sizeAtStart = static_cast<int32_t>(file.size()) + in.ConsumeIntegralInRange<int32_t>(-8, 8);
  CheckBlocks(file, sizeAtStart, in);
  return 0;
}
