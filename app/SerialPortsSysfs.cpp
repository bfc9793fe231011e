// The port list read from the Linux device tree (sysfs).
#include "app/SerialPortList.h"

#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace {

// The names in a folder, or nothing when it cannot be read to its end.
std::optional<QStringList> FolderEntries(const QString& Folder) {
  std::error_code Failure;
  std::filesystem::directory_iterator Entry(QFile::encodeName(Folder).toStdString(), Failure);
  QStringList Names;
  for (; !Failure && Entry != std::filesystem::directory_iterator(); Entry.increment(Failure))
    Names << QFile::decodeName(Entry->path().filename().c_str());
  if (Failure) return std::nullopt;
  return Names;
}

// The serial core's port type of a tty ("type", 0 for a port without a known UART), or
// nothing when the tty does not have the attribute or it cannot be read.
std::optional<int> UartType(const QString& TtyFolder) {
  QFile Type(TtyFolder + QStringLiteral("/type"));
  if (!Type.open(QIODevice::ReadOnly)) return std::nullopt;
  bool Valid = false;
  const int Value = QString::fromLatin1(Type.readAll()).trimmed().toInt(&Valid);
  return Valid ? std::optional<int>(Value) : std::nullopt;
}

// A tty is a port when a driver stands behind it (virtual consoles, ptmx and console have
// none). The legacy 8250 driver registers a fixed number of ttyS ports whether or not a
// UART answers; the serial core tells them apart by their port type. A serial-core tty
// without the attribute is skipped rather than asked through TIOCGSERIAL: opening a tty
// raises its DTR and RTS lines, which would reset an attached module twice a second.
bool IsPresentPort(const QString& TtyFolder) {
  const QFileInfo Driver(TtyFolder + QStringLiteral("/device/driver"));
  if (!Driver.exists()) return false;
  if (const std::optional<int> Type = UartType(TtyFolder)) return *Type != 0;
  const QString DriverName = QFileInfo(Driver.canonicalFilePath()).fileName();
  return DriverName != QStringLiteral("serial8250") && DriverName != QStringLiteral("port");
}

// Whether the tty's device, or a device above it in the tree, belongs to the USB subsystem (a
// USB interface: usb-serial ports sit below theirs, cdc-acm ports are their interface).
bool OnUsb(const QString& SysfsRoot, const QString& TtyFolder) {
  const QString Devices = QFileInfo(SysfsRoot + QStringLiteral("/devices")).canonicalFilePath();
  QString Folder = QFileInfo(TtyFolder + QStringLiteral("/device")).canonicalFilePath();
  for (; !Devices.isEmpty() && Folder.startsWith(Devices + u'/');
       Folder = QFileInfo(Folder).path()) {
    const QFileInfo Subsystem(Folder + QStringLiteral("/subsystem"));
    if (QFileInfo(Subsystem.canonicalFilePath()).fileName() == QStringLiteral("usb")) return true;
  }
  return false;
}

}  // namespace

QString DefaultPortSource() { return QStringLiteral("/sys"); }

std::optional<std::vector<TSerialPortInfo>> PresentSerialPorts(const QString& SysfsRoot,
                                                               const QString& DevRoot) {
  const QString TtyClass = SysfsRoot + QStringLiteral("/class/tty/");
  const std::optional<QStringList> Names = FolderEntries(TtyClass);
  if (!Names) return std::nullopt;
  std::vector<TSerialPortInfo> Ports;
  for (const QString& Name : *Names) {
    const QString Tty = TtyClass + Name;
    if (!IsPresentPort(Tty)) continue;
    const std::optional<int> Type = UartType(Tty);
    Ports.push_back({DevRoot + u'/' + Name, OnUsb(SysfsRoot, Tty), Type && *Type != 0});
  }
  return Ports;
}
