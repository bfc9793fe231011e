#pragma once
// The serial ports present on this machine, as the names the serial component opens.

#include "app/SerialPortList.h"

#include <QString>
#include <QStringList>

// Fills List (empty on entry) with the present ports, sorted ignoring letter case character by
// character (COM10 before COM3); leaves it untouched when the ports cannot be listed. Source and
// DevRoot are those of PresentSerialPorts.
void EnumSerialPorts(QStringList& List, const QString& Source = DefaultPortSource(),
                     const QString& DevRoot = QStringLiteral("/dev"));

// The order of the port list.
bool PortNameLess(const QString& A, const QString& B);
