#include "serial/Termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int Fd, unsigned long Request, ...);

namespace SerialPlatform {

bool SetTermios2Baud(int Fd, quint32 Baud) {
  struct termios2 Tio {};
  if (ioctl(Fd, TCGETS2, &Tio) != 0) return false;
  Tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  Tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  Tio.c_ispeed = Baud;
  Tio.c_ospeed = Baud;
  return ioctl(Fd, TCSETS2, &Tio) == 0;
}

quint32 Termios2Baud(int Fd) {
  struct termios2 Tio {};
  if (ioctl(Fd, TCGETS2, &Tio) != 0) return 0;
  return Tio.c_ospeed;
}

}  // namespace SerialPlatform
