// The only translation unit that includes <asm/termbits.h>.
#include "Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace QuarlComm32 {

int ApplyLineSettings(int fd, const TLineSettings& s) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return errno;

  tcflag_t cflag = CREAD | CLOCAL;
  switch (s.DataBits) {
    case 5: cflag |= CS5; break;
    case 6: cflag |= CS6; break;
    case 7: cflag |= CS7; break;
    case 8: cflag |= CS8; break;
    default: return EINVAL;
  }
  switch (s.Parity) {
    case 'N': break;
    case 'O': cflag |= PARENB | PARODD; break;
    case 'E': cflag |= PARENB; break;
    case 'M': cflag |= PARENB | PARODD | CMSPAR; break;
    case 'S': cflag |= PARENB | CMSPAR; break;
    default: return EINVAL;
  }
  if (s.ExtraStopBit) cflag |= CSTOPB;
  if (s.RtsCts) cflag |= CRTSCTS;
  if (s.BaudRate == 0) return EINVAL;
  cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_cflag = cflag;
  t.c_ispeed = s.BaudRate;
  t.c_ospeed = s.BaudRate;

  tcflag_t iflag = IGNBRK;
  if (s.ParityCheck && s.Parity != 'N') iflag |= INPCK;
  if (s.XonXoffOut) iflag |= IXON;
  if (s.XonXoffIn) iflag |= IXOFF;
  t.c_iflag = iflag;
  t.c_oflag = 0;
  t.c_lflag = 0;
  for (cc_t& c : t.c_cc) c = 0;
  t.c_cc[VSTART] = s.XonChar;
  t.c_cc[VSTOP] = s.XoffChar;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  if (::ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}

int ReadLineSettings(int fd, TLineSettings& s) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return errno;
  s.BaudRate = t.c_ospeed;
  s.InputRate = t.c_ispeed;
  switch (t.c_cflag & CSIZE) {
    case CS5: s.DataBits = 5; break;
    case CS6: s.DataBits = 6; break;
    case CS7: s.DataBits = 7; break;
    default: s.DataBits = 8; break;
  }
  if ((t.c_cflag & PARENB) == 0) s.Parity = 'N';
  else if (t.c_cflag & CMSPAR) s.Parity = (t.c_cflag & PARODD) ? 'M' : 'S';
  else s.Parity = (t.c_cflag & PARODD) ? 'O' : 'E';
  s.ParityCheck = (t.c_iflag & INPCK) != 0;
  s.ExtraStopBit = (t.c_cflag & CSTOPB) != 0;
  s.RtsCts = (t.c_cflag & CRTSCTS) != 0;
  s.XonXoffOut = (t.c_iflag & IXON) != 0;
  s.XonXoffIn = (t.c_iflag & IXOFF) != 0;
  s.XonChar = t.c_cc[VSTART];
  s.XoffChar = t.c_cc[VSTOP];
  s.Raw = (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_oflag & OPOST) == 0 &&
          (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0 && t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0;
  return 0;
}

}  // namespace QuarlComm32
