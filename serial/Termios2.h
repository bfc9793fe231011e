#pragma once
// Any baud rate through the kernel's termios2 interface. Kept apart from <termios.h>,
// whose declarations clash with the kernel header these calls need.

#include <QtGlobal>

namespace SerialPlatform {

// Sets input and output rate of the terminal fd to Baud bits per second; false if refused.
bool SetTermios2Baud(int Fd, quint32 Baud);
// The output rate of the terminal fd (on a pseudo-terminal master: the rate its slave set);
// 0 when it cannot be read.
quint32 Termios2Baud(int Fd);

}  // namespace SerialPlatform
