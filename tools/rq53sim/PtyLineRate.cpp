#include "tools/rq53sim/PtyLineRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

quint32 PtyReadLineRate(int Fd) {
  termios2 Settings{};
  if (ioctl(Fd, TCGETS2, &Settings) != 0) return 0;
  return Settings.c_ospeed;
}

bool PtyWriteLineRate(int Fd, quint32 BitsPerSecond) {
  termios2 Settings{};
  if (ioctl(Fd, TCGETS2, &Settings) != 0) return false;
  Settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  Settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  Settings.c_ispeed = BitsPerSecond;
  Settings.c_ospeed = BitsPerSecond;
  return ioctl(Fd, TCSETS2, &Settings) == 0;
}
