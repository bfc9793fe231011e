#include "app/SerialPortsCtrl.h"
#include "tests/app/FakeSysfs.h"
#include "tests/settings/SettingsTestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>

namespace {

class SerialPortsCtrlTest : public ::testing::Test, protected TFakeSysfs {
 protected:
  QStringList Enumerated(const QString& DevRoot = "/dev") const {
    QStringList List;
    EnumSerialPorts(List, Root(), DevRoot);
    return List;
  }
};

TEST_F(SerialPortsCtrlTest, ListsTtysWithADriverAndAKnownUartType) {
  AddTty("ttyUSB0", "cp210x");
  AddTty("ttyACM0", "cdc_acm");
  for (const char* Placeholder : {"ttyS0", "ttyS2", "ttyS3"}) AddTty(Placeholder, "port", 0);
  AddTty("ttyS1", "port", 4);
  AddTty("ttyS4", "serial8250");  // an old kernel's placeholder without a port type
  for (const char* Virtual : {"tty", "tty0", "tty1", "console", "ptmx"}) AddTty(Virtual, "");
  AddTty("ttyUSB1", "ftdi_sio");
  ASSERT_TRUE(QDir(Path("bus/drivers/ftdi_sio")).removeRecursively());  // driver gone
  EXPECT_EQ(Enumerated("/fake/dev"),
            (QStringList{"/fake/dev/ttyACM0", "/fake/dev/ttyS1", "/fake/dev/ttyUSB0"}));
}

// USB adapters are told apart from on-board ports by where their device sits; a watch without
// named ports takes the adapters only, and the port picked by itself is the last adapter, or else
// the last on-board port whose UART type is known, never one of an unknown type.
TEST_F(SerialPortsCtrlTest, TellsUsbAdaptersFromOnBoardPortsAndPicksAnAdapter) {
  AddTty("ttyUSB0", "cp210x");
  AddTty("ttyACM0", "cdc_acm");
  AddTty("ttyS0", "port", 4);
  AddTty("ttyS1", "port", 0);
  AddTty("ttyAMA0", "uart-pl011", std::nullopt, false);  // no port type, not on USB
  const std::optional<std::vector<TSerialPortInfo>> Ports = ListSerialPorts(Root(), "/dev");
  ASSERT_TRUE(Ports);
  EXPECT_EQ(*Ports, (std::vector<TSerialPortInfo>{{"/dev/ttyACM0", true, false},
                                                  {"/dev/ttyAMA0", false, false},
                                                  {"/dev/ttyS0", false, true},
                                                  {"/dev/ttyUSB0", true, false}}));
  EXPECT_EQ(UsbPortNames(*Ports), (QStringList{"/dev/ttyACM0", "/dev/ttyUSB0"}));
  EXPECT_EQ(AutoPickIndex(*Ports), 3);
  const std::vector<TSerialPortInfo> OnBoard(Ports->begin() + 1, Ports->begin() + 3);
  EXPECT_EQ(UsbPortNames(OnBoard), QStringList());
  EXPECT_EQ(AutoPickIndex(OnBoard), 1);
  EXPECT_EQ(AutoPickIndex({OnBoard.front()}), -1);
  EXPECT_EQ(AutoPickIndex({}), -1);
}

TEST_F(SerialPortsCtrlTest, SortsIgnoringLetterCaseCharacterByCharacter) {
  for (const char* Name : {"COM3", "com2", "COM10", "COM1"}) AddTty(Name, "usbser");
  EXPECT_EQ(Enumerated(), (QStringList{"/dev/COM1", "/dev/COM10", "/dev/com2", "/dev/COM3"}));
}

TEST(PortNameLess, ComparesIgnoringLetterCase) {
  const struct {
    const char* A;
    const char* B;
    bool Less;
  } Cases[] = {
      {"COM10", "COM3", true},
      {"COM3", "COM10", false},
      {"COM3", "COM4", true},
      {"com3", "COM4", true},
      {"COM3", "com3x", true},
      {"/dev/ttyACM0", "/dev/ttyUSB0", true},
      {"/dev/ttyusb0", "/dev/ttyACM1", false},
      {"COM3", "COM3", false},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(PortNameLess(Case.A, Case.B), Case.Less) << Case.A << " < " << Case.B;
}

// A tree that cannot be listed leaves the list as it was; one that can be listed but holds
// no port empties it.
TEST_F(SerialPortsCtrlTest, AnUnreadableTreeLeavesTheListUntouched) {
  QFile Plain(Path("plain/class/tty"));
  ASSERT_TRUE(QDir().mkpath(Path("plain/class")) && Plain.open(QIODevice::WriteOnly));
  for (const QString& Tree : {Path("missing"), Path("plain"), Root()}) {
    QStringList List{"/dev/ttyUSB7"};
    EnumSerialPorts(List, Tree, "/dev");
    EXPECT_EQ(List, Tree == Root() ? QStringList() : QStringList{"/dev/ttyUSB7"})
        << Tree.toStdString();
  }
}

// On this machine's own tree, whatever ports it has: no virtual terminal is listed, and its
// on-board UARTs are not on USB.
TEST(EnumSerialPorts, ListsNoVirtualTerminalOfThisMachine) {
  for (const TSerialPortInfo& Port : ListSerialPorts().value_or(std::vector<TSerialPortInfo>()))
    EXPECT_FALSE(Port.Name.startsWith("/dev/ttyS") && Port.Usb) << Port.Name.toStdString();
  QStringList List;
  EnumSerialPorts(List);
  for (const QString& Port : List) {
    EXPECT_TRUE(Port.startsWith("/dev/tty")) << Port.toStdString();
    EXPECT_FALSE(QRegularExpression("^/dev/tty\\d*$").match(Port).hasMatch()) << Port.toStdString();
  }
  EXPECT_TRUE(std::is_sorted(List.begin(), List.end(), PortNameLess));
}

}  // namespace
