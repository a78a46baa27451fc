// The line settings record as the kernel gets it, without a device: every
// parity, data size, stop bit and flow control code, and the check of the
// rate a device reports back.
#include <gtest/gtest.h>

#include <asm/termbits.h>

#include <cerrno>
#include <cstring>

#include "Termios2.h"

using namespace QuarlComm32;

namespace {

DCB LineDefaults() {
  DCB d;
  std::memset(&d, 0, sizeof d);
  d.DCBlength = sizeof d;
  d.BaudRate = 19200;
  d.ByteSize = 8;
  d.fBinary = 1;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

}  // namespace

TEST(Termios, EveryLineSettingMapsToItsTermiosBitsAndTheReportedRateIsChecked) {
  constexpr uint32_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  constexpr uint32_t kInputBits = INPCK | IXON | IXOFF;
  struct Case {
    const char* name;
    uint8_t size, parity, stop;
    bool checkParity, cts, rtsHandshake, xonOut, xonIn;
    int error;
    uint32_t cflag, iflag;
  } const cases[] = {
      {"8N1", 8, NOPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS8, 0},
      {"odd", 8, ODDPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS8 | PARENB | PARODD, 0},
      {"even", 8, EVENPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS8 | PARENB, 0},
      {"mark", 8, MARKPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS8 | PARENB | PARODD | CMSPAR, 0},
      {"space", 8, SPACEPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS8 | PARENB | CMSPAR, 0},
      {"even, checked", 7, EVENPARITY, ONESTOPBIT, true, false, false, false, false, 0, CS7 | PARENB, INPCK},
      {"no parity to check", 8, NOPARITY, ONESTOPBIT, true, false, false, false, false, 0, CS8, 0},
      {"5 bits", 5, NOPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS5, 0},
      {"6 bits", 6, NOPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS6, 0},
      {"7 bits", 7, NOPARITY, ONESTOPBIT, false, false, false, false, false, 0, CS7, 0},
      {"2 stop bits", 8, NOPARITY, TWOSTOPBITS, false, false, false, false, false, 0, CS8 | CSTOPB, 0},
      {"1.5 stop bits with 5 bits", 5, NOPARITY, ONE5STOPBITS, false, false, false, false, false, 0, CS5 | CSTOPB, 0},
      {"1.5 stop bits with 8 bits", 8, NOPARITY, ONE5STOPBITS, false, false, false, false, false, EINVAL, 0, 0},
      {"2 stop bits with 5 bits", 5, NOPARITY, TWOSTOPBITS, false, false, false, false, false, EINVAL, 0, 0},
      {"unknown stop bits", 8, NOPARITY, 3, false, false, false, false, false, EINVAL, 0, 0},
      {"4 bits", 4, NOPARITY, ONESTOPBIT, false, false, false, false, false, EINVAL, 0, 0},
      {"9 bits", 9, NOPARITY, ONESTOPBIT, false, false, false, false, false, EINVAL, 0, 0},
      {"unknown parity", 8, 5, ONESTOPBIT, false, false, false, false, false, EINVAL, 0, 0},
      {"CTS output flow", 8, NOPARITY, ONESTOPBIT, false, true, true, false, false, 0, CS8 | CRTSCTS, 0},
      {"RTS handshake alone", 8, NOPARITY, ONESTOPBIT, false, false, true, false, false, 0, CS8 | CRTSCTS, 0},
      {"XON/XOFF", 8, NOPARITY, ONESTOPBIT, false, false, false, true, true, 0, CS8, IXON | IXOFF},
      {"XON/XOFF out only", 8, NOPARITY, ONESTOPBIT, false, false, false, true, false, 0, CS8, IXON},
      {"both", 8, NOPARITY, ONESTOPBIT, false, true, true, true, true, 0, CS8 | CRTSCTS, IXON | IXOFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DCB d = LineDefaults();
    d.BaudRate = 14400;  // no B-constant: it goes as BOTHER
    d.ByteSize = c.size;
    d.Parity = c.parity;
    d.StopBits = c.stop;
    d.fParity = c.checkParity;
    d.fOutxCtsFlow = c.cts;
    d.fRtsControl = c.rtsHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutX = c.xonOut;
    d.fInX = c.xonIn;
    d.XonChar = 0x21;
    d.XoffChar = 0x23;
    TTermios t;
    ASSERT_EQ(TermiosFromDcb(d, t), c.error);
    if (c.error != 0) continue;
    EXPECT_EQ(t.CFlag & kFrameBits, c.cflag);
    EXPECT_EQ(t.IFlag & kInputBits, c.iflag);
    // Raw mode at the asked rate, whatever else was asked.
    EXPECT_EQ(t.CFlag & (CREAD | CLOCAL), uint32_t{CREAD | CLOCAL});
    EXPECT_EQ(t.CFlag & (CBAUD | (CBAUD << IBSHIFT)), uint32_t{BOTHER | (BOTHER << IBSHIFT)});
    EXPECT_EQ(t.ISpeed, 14400u);
    EXPECT_EQ(t.OSpeed, 14400u);
    EXPECT_EQ(t.IFlag & ~kInputBits, uint32_t{IGNBRK});
    EXPECT_EQ(t.LFlag, 0u);
    EXPECT_EQ(t.OFlag, 0u);
    EXPECT_EQ(t.Min, 0);
    EXPECT_EQ(t.Time, 0);
    EXPECT_EQ(t.Start, 0x21);
    EXPECT_EQ(t.Stop, 0x23);
  }
  DCB zero = LineDefaults();
  zero.BaudRate = 0;
  TTermios t;
  EXPECT_EQ(TermiosFromDcb(zero, t), EINVAL);

  // A device may keep its old rate without failing, or round the new one to
  // what its divisor can make.
  struct Rate {
    uint32_t wanted, reported;
    bool taken;
  } const rates[] = {
      {115200, 115200, true}, {38400, 38461, true},   {256000, 250000, false},
      {115200, 9600, false},  {14400, 14399, true},   {19200, 19600, false},
  };
  for (const Rate& r : rates) {
    SCOPED_TRACE(testing::Message() << r.wanted << " reported as " << r.reported);
    EXPECT_EQ(RateTaken(r.wanted, r.reported), r.taken);
  }
}
