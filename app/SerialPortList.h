#pragma once
// The seam of the port list: which serial ports the system has, read one way per platform (the
// device tree on Linux, the registry on Windows), one file each, chosen by the build. Sorting and
// choosing stay shared.

#include <QString>

#include <optional>
#include <vector>

// A present port and what the system tells of it.
struct TSerialPortInfo {
  QString Name;            // as the serial component opens it
  bool Usb = false;        // a USB serial adapter
  bool KnownUart = false;  // an on-board UART whose type the system knows
  friend bool operator==(const TSerialPortInfo&, const TSerialPortInfo&) = default;
};

// Where this platform lists its ports: the sysfs root on Linux, the registry key under
// HKEY_LOCAL_MACHINE on Windows. Tests point the list elsewhere.
QString DefaultPortSource();

// The present ports, in no particular order; nothing when they cannot be listed. On Linux the
// names are device paths, DevRoot + "/" + the port's name, a port is on USB when its tty's device
// sits under a USB interface, and its UART is known by its serial-core port type. On Windows the
// names are the registry's port names (COM3), DevRoot is not used, a port is on USB when a device
// of the USB (or FTDI) bus in the registry's device tree carries its name, and every other port
// is an on-board UART.
std::optional<std::vector<TSerialPortInfo>> PresentSerialPorts(const QString& Source,
                                                               const QString& DevRoot);
