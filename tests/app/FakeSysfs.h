#pragma once
// A device tree laid out as the kernel does, in a temporary folder: class/tty/<name> links to the
// tty's folder under devices/, whose "device" links to the hardware device, whose "driver" links
// to its driver. A USB adapter's device sits below its USB interface, whose "subsystem" links to
// the USB bus.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

class TFakeSysfs {
 public:
  TFakeSysfs() { EXPECT_TRUE(Temp.isValid() && QDir().mkpath(Path("class/tty"))); }

  QString Root() const { return Temp.path(); }
  QString Path(const QString& Name) const { return Temp.filePath(Name); }

  // A tty with the given driver (none: a virtual tty) and serial-core port type. Its device sits
  // on USB when Usb says so, by default when it has no port type (as adapters' ttys do).
  void AddTty(const QString& Name, const QString& Driver, std::optional<int> Type = {},
              std::optional<bool> Usb = {}) const {
    const QString Tty = Path("devices/tty/" + Name);
    ASSERT_TRUE(QDir().mkpath(Tty) && QFile::link(Tty, Path("class/tty/" + Name)));
    if (!Driver.isEmpty()) {
      const QString Interface = Path("devices/usb1/1-" + Name + "/1-" + Name + ":1.0");
      const bool OnUsb = Usb.value_or(!Type);
      const QString Device = OnUsb ? Interface + "/" + Name : Path("devices/hw/" + Name);
      if (OnUsb) {
        ASSERT_TRUE(QDir().mkpath(Interface) && QDir().mkpath(Path("bus/usb")) &&
                    QFile::link(Path("bus/usb"), Interface + "/subsystem"));
      }
      const QString DriverFolder = Path("bus/drivers/" + Driver);
      ASSERT_TRUE(QDir().mkpath(Device) && QDir().mkpath(DriverFolder));
      ASSERT_TRUE(QFile::link(Device, Tty + "/device") &&
                  QFile::link(DriverFolder, Device + "/driver"));
    }
    if (Type) {
      QFile File(Tty + "/type");
      ASSERT_TRUE(File.open(QIODevice::WriteOnly) && File.write(QByteArray::number(*Type) + "\n"));
    }
  }

  // The tty unplugged: its entries gone from the tree.
  void RemoveTty(const QString& Name) const {
    ASSERT_TRUE(QFile::remove(Path("class/tty/" + Name)));
    ASSERT_TRUE(QDir(Path("devices/tty/" + Name)).removeRecursively());
    QDir(Path("devices/hw/" + Name)).removeRecursively();
    QDir(Path("devices/usb1/1-" + Name)).removeRecursively();
  }

 private:
  QTemporaryDir Temp;
};
