#pragma once
// The serial ports present on this machine, as the names the serial component opens.

#include <QString>
#include <QStringList>

#include <optional>

// Where this platform lists its ports: the sysfs root on Linux, the registry key under
// HKEY_LOCAL_MACHINE on Windows. Tests point the list elsewhere.
QString DefaultPortSource();

// The present ports as this platform's own list gives them, in no particular order; nothing when
// the list cannot be read. On Linux the names are device paths, DevRoot + "/" + the tty's name;
// on Windows they are the registry's port names (COM3) and DevRoot is not used.
std::optional<QStringList> PresentSerialPorts(const QString& Source, const QString& DevRoot);

// Fills List (empty on entry) with the present ports, sorted ignoring letter case character by
// character (COM10 before COM3); leaves it untouched when the ports cannot be listed.
void EnumSerialPorts(QStringList& List, const QString& Source = DefaultPortSource(),
                     const QString& DevRoot = QStringLiteral("/dev"));

// The order of the port list.
bool PortNameLess(const QString& A, const QString& B);
