#pragma once
// The seam of the port list: which serial ports the system has, read one way per platform (the
// device tree on Linux), one file each, chosen by the build. Sorting and choosing stay shared.

#include <QString>
#include <QStringList>

#include <optional>

// The present ports as the device paths the serial component opens, in no particular order;
// nothing when they cannot be listed. SysfsRoot is where the system's device tree is read (tests
// give a fake one); device paths are DevRoot + "/" + the port's name.
std::optional<QStringList> PresentSerialPorts(const QString& SysfsRoot, const QString& DevRoot);
