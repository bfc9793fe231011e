#pragma once
// The serial ports present on this machine, as the names the serial component opens, and the
// choices made among them.

#include "app/SerialPortList.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// The present ports, sorted by name as PortNameLess sorts them; nothing when the ports cannot be
// listed. Source and DevRoot are those of PresentSerialPorts.
std::optional<std::vector<TSerialPortInfo>> ListSerialPorts(
    const QString& Source = DefaultPortSource(), const QString& DevRoot = QStringLiteral("/dev"));

// Fills List (empty on entry) with the present ports' names, sorted; leaves it untouched when the
// ports cannot be listed.
void EnumSerialPorts(QStringList& List, const QString& Source = DefaultPortSource(),
                     const QString& DevRoot = QStringLiteral("/dev"));

QStringList PortNames(const std::vector<TSerialPortInfo>& Ports);
// The USB serial adapters among Ports: the ones a jig's watch takes when it is given no port.
QStringList UsbPortNames(const std::vector<TSerialPortInfo>& Ports);

// The port to choose by itself among Ports: the last USB adapter, or else the last on-board
// port whose UART type is known; -1 when there is neither (an on-board port of an unknown type
// may be a placeholder with no UART behind it).
int AutoPickIndex(const std::vector<TSerialPortInfo>& Ports);

// The order of the port list: ignoring letter case, character by character (COM10 before COM3).
bool PortNameLess(const QString& A, const QString& B);
