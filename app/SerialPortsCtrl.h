#pragma once
// The serial ports present on this machine, as the device paths the serial component opens.

#include <QString>
#include <QStringList>

// Fills List (empty on entry) with the present ports, sorted ignoring letter case character by
// character (COM10 before COM3); leaves it untouched when the ports cannot be listed. SysfsRoot
// lets tests read a fake device tree; device paths are DevRoot + "/" + the tty's name.
void EnumSerialPorts(QStringList& List, const QString& SysfsRoot = QStringLiteral("/sys"),
                     const QString& DevRoot = QStringLiteral("/dev"));

// The order of the port list.
bool PortNameLess(const QString& A, const QString& B);
