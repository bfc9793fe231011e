#pragma once
// The line rate of a terminal through termios2, which sets and reads any rate (BOTHER). Kept in a
// file of its own: the kernel's <asm/termbits.h> clashes with glibc's <termios.h>. The serial
// layer has its own pair of these calls on purpose: the simulator reads the rate the tool set with
// code of its own, so a fault in the tool's rate setting cannot hide behind a shared helper.

#include <QtGlobal>

// The output rate set on the terminal behind Fd (on a pseudo-terminal master: the rate its slave
// side set), or 0 when it cannot be read.
quint32 PtyReadLineRate(int Fd);

// Sets input and output rate of the terminal behind Fd; false on failure.
bool PtyWriteLineRate(int Fd, quint32 BitsPerSecond);
