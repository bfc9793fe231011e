// The port box follows the serial ports of a fake device tree, tick by tick.

#include "tests/window/WindowTestSupport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>

namespace {

class TPortWatcher : public TWindowTest {
 protected:
  QStringList Items() const {
    QStringList List;
    for (int i = 0; i < Box()->count(); ++i) List << Box()->itemText(i);
    return List;
  }
  QComboBox* Box() const { return Form->ComboBoxSerialPortA; }
  // One tick, and the lines it logged.
  QStringList Tick() {
    Form->MemoOutput->clear();
    Form->TimerFindPortsTimer();
    return Form->MemoOutput->toPlainText().isEmpty() ? QStringList() : Log();
  }
  static QStringList Changed(const QString& Port) {
    return {"Note: Detect serial port changed.", "Note: Auto mapped serial port to " + Port + ".", ""};
  }
};

TEST_F(TPortWatcher, FillsTheBoxAndSelectsTheLastPort) {
  for (const char* Name : {"COM1", "COM3", "COM10"}) Sysfs.AddTty(Name, "usbser");
  EXPECT_EQ(Tick(), Changed("/dev/COM3"));
  EXPECT_EQ(Items(), QStringList({"/dev/COM1", "/dev/COM10", "/dev/COM3"}));
  EXPECT_EQ(Box()->currentText(), "/dev/COM3");
  EXPECT_EQ(Tick(), QStringList());

  Box()->setCurrentIndex(0);
  Sysfs.AddTty("COM4", "usbser");
  EXPECT_EQ(Tick(), Changed("/dev/COM4"));
  EXPECT_EQ(Items(), QStringList({"/dev/COM1", "/dev/COM10", "/dev/COM3", "/dev/COM4"}));
  EXPECT_EQ(Box()->currentText(), "/dev/COM4");
}

TEST_F(TPortWatcher, ListsAdaptersByTheirDevicePaths) {
  Sysfs.AddTty("ttyUSB0", "cp210x");
  Sysfs.AddTty("ttyACM0", "cdc_acm");
  Sysfs.AddTty("ttyS0", "serial8250", 0);
  EXPECT_EQ(Tick(), Changed("/dev/ttyUSB0"));
  EXPECT_EQ(Items(), QStringList({"/dev/ttyACM0", "/dev/ttyUSB0"}));
}

// One adapter swapped for another between two ticks: same number of ports, other names.
TEST_F(TPortWatcher, NoticesAnAdapterSwap) {
  Sysfs.AddTty("ttyUSB0", "cp210x");
  Tick();
  Sysfs.RemoveTty("ttyUSB0");
  Sysfs.AddTty("ttyACM0", "cdc_acm");
  EXPECT_EQ(Tick(), Changed("/dev/ttyACM0"));
  EXPECT_EQ(Items(), QStringList{"/dev/ttyACM0"});
}

TEST_F(TPortWatcher, KeepsTheTextWhenTheLastPortGoes) {
  Sysfs.AddTty("ttyUSB0", "cp210x");
  Tick();
  Sysfs.RemoveTty("ttyUSB0");
  EXPECT_EQ(Tick(), QStringList{"Note: Detect serial port changed."});
  EXPECT_EQ(Items(), QStringList());
  EXPECT_EQ(Box()->currentText(), "/dev/ttyUSB0");
}

// A name the user typed (confirmed with Enter, then tried with Flash) stays in the box while the
// same ports are present; a port that comes afterwards is picked as usual.
TEST_F(TPortWatcher, KeepsATypedPortWhileThePortsStayTheSame) {
  TMessageBoxAnswerer Answerer;
  Sysfs.AddTty("ttyS0", "serial8250", 4);
  Tick();
  ASSERT_EQ(Box()->currentText(), "/dev/ttyS0");
  ChooseFirmware("CORVEL");
  for (const QString& Typed : {QString("/tmp/my adapter port"), "/dev/" + QString(300, 'p')}) {
    Box()->lineEdit()->selectAll();
    QTest::keyClicks(Box()->lineEdit(), Typed);
    QTest::keyClick(Box()->lineEdit(), Qt::Key_Return);
    PressFlash();
    ASSERT_FALSE(Form->Comm()->PortOpen());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Tick(), QStringList());
    EXPECT_EQ(Box()->currentText(), Typed);
    EXPECT_EQ(Items(), QStringList{"/dev/ttyS0"});
  }
  Sysfs.AddTty("ttyUSB0", "cp210x");
  EXPECT_EQ(Tick(), Changed("/dev/ttyUSB0"));
  EXPECT_EQ(Box()->currentText(), "/dev/ttyUSB0");
}

// An adapter is picked before an on-board port that sorts after it; an on-board port of unknown
// type alone is listed but not picked.
TEST_F(TPortWatcher, PicksAnAdapterBeforeAnOnBoardPort) {
  Sysfs.AddTty("ttyAMA0", "uart-pl011", std::nullopt, false);
  EXPECT_EQ(Tick(), QStringList{"Note: Detect serial port changed."});
  EXPECT_EQ(Box()->currentText(), "");
  Sysfs.AddTty("ttyS0", "serial8250", 4);
  Sysfs.AddTty("ttyACM0", "cdc_acm");
  EXPECT_EQ(Tick(), Changed("/dev/ttyACM0"));
  EXPECT_EQ(Items(), QStringList({"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS0"}));
}

TEST_F(TPortWatcher, LogsNothingWithoutPorts) {
  EXPECT_EQ(Tick(), QStringList());
  EXPECT_EQ(Box()->currentText(), "");
}

TEST_F(TPortWatcher, TicksByItselfTwiceASecond) {
  Sysfs.AddTty("ttyUSB0", "cp210x");
  ASSERT_TRUE(WaitUntil([&] { return Box()->count() == 1; }, 3000));
  EXPECT_EQ(Box()->currentText(), "/dev/ttyUSB0");
}

}  // namespace
