#pragma once
// The seam of the port list: which serial ports the system has, read one way per platform (the
// device tree on Linux, the registry on Windows), one file each, chosen by the build. Sorting and
// choosing stay shared.

#include <QString>
#include <QStringList>

#include <optional>

// Where this platform lists its ports: the sysfs root on Linux, the registry key under
// HKEY_LOCAL_MACHINE on Windows. Tests point the list elsewhere.
QString DefaultPortSource();

// The present ports as the names the serial component opens, in no particular order; nothing
// when they cannot be listed. On Linux the names are device paths, DevRoot + "/" + the port's
// name; on Windows they are the registry's port names (COM3) and DevRoot is not used.
std::optional<QStringList> PresentSerialPorts(const QString& Source, const QString& DevRoot);
