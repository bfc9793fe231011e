// The serial component on the Windows communications API, against the simulated module that
// tools/test-windows.sh serves on COM5, and the port list read from the registry.

#include "app/SerialPortsCtrl.h"
#include "loader/LoaderCodec.h"
#include "serial/SPComm.h"
#include "serial/SerialPlatform.h"
#include "tests/windows/WinTestSupport.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

// The component set up as a flash run opens it: reads end on their first bytes.
struct TOpenPort {
  explicit TOpenPort(const QString& Name, quint32 Baud = 576000) {
    Comm.SetCommName(Name);
    Comm.SetBaudRate(Baud);
    Comm.SetInputLen(255);
    Comm.SetReadIntervalTimeout(SerialPlatform::MaxTimeout);
    Comm.SetReadTotalTimeoutMultiplier(SerialPlatform::MaxTimeout);
    Comm.SetReadTotalTimeoutConstant(SerialPlatform::MaxTimeout - 1);
    Comm.OnReceiveData = [this](QObject*, const quint8* Buffer, quint16 Length) {
      Received.append(reinterpret_cast<const char*>(Buffer), Length);
    };
    Comm.OnRequestHangup = [this](QObject*) { ++Hangups; };
    Comm.StartComm();
  }
  bool Send(const QByteArray& Bytes) {
    return Comm.WriteCommData(reinterpret_cast<const quint8*>(Bytes.constData()),
                              quint16(Bytes.size()));
  }
  TComm Comm;
  QByteArray Received;
  int Hangups = 0;
};

QByteArray SyncReply() { return QByteArray::fromHex("C0 01 08 02 00 07 07 12 20 00 00 C0"); }

// reg.exe, the registry tool every Windows (and Wine) carries.
bool Reg(const QStringList& Arguments) {
  QProcess Tool;
  Tool.start(QStringLiteral("reg.exe"), Arguments);
  return Tool.waitForFinished(30000) && Tool.exitCode() == 0;
}

}  // namespace

// The module answers SYNC through the component at 576000 bit/s; the control lines are pulsed
// as a run does; a stop ends both threads at once and the port opens again. (Wine does not keep
// a second program off an open COM port, so the words for a busy port are not tested here.)
TEST(Win32Serial, ExchangesWithTheModuleAndHoldsThePort) {
  TOpenPort Port(SimPort);
  ASSERT_TRUE(Port.Comm.PortOpen()) << Port.Comm.PortOpenError().toStdString();
  Port.Comm.SetDtrRtsControl(TDtrControl::DtrEnable, TRtsControl::RtsEnable);
  Port.Comm.SetDtrRtsControl(TDtrControl::DtrDisable, TRtsControl::RtsDisable);
  ASSERT_TRUE(Port.Send(SyncRequestTemplate));
  ASSERT_TRUE(WaitUntil([&] { return Port.Received.contains(SyncReply()); }, 5000))
      << Port.Received.toHex().toStdString();
  EXPECT_TRUE(Port.Received.startsWith(SyncReply()));
  EXPECT_EQ(Port.Hangups, 0);

  QElapsedTimer Clock;
  Clock.start();
  Port.Comm.StopComm();
  EXPECT_FALSE(Port.Comm.PortOpen());
  EXPECT_LT(Clock.elapsed(), 2000);
  TOpenPort Again(SimPort);
  EXPECT_TRUE(Again.Comm.PortOpen()) << Again.Comm.PortOpenError().toStdString();
}

TEST(Win32Serial, SaysWhyAPortCannotBeOpened) {
  EXPECT_EQ(SerialPlatform::DevicePath("COM12"), "\\\\.\\COM12");
  TOpenPort Missing("COM77");
  EXPECT_FALSE(Missing.Comm.PortOpen());
  EXPECT_EQ(SerialPlatform::DescribeOpenFailure("COM77"),
            "COM77 does not exist; is the adapter plugged in?");
  // A character device that is no port: refused when its queues cannot be set up.
  EXPECT_THROW(TOpenPort("NUL"), ECommsError);
  EXPECT_EQ(SerialPlatform::DescribeOpenFailure("NUL"), "NUL is no serial port.");
}

// Run against a module that pulls its adapter after its first answer: the answer is delivered,
// then the reader reports the hang-up; the component stays open until stopped.
TEST(Win32Serial, PulledAdapterDeliversWhatCameThenHangsUp) {
  TOpenPort Port(SimPort);
  ASSERT_TRUE(Port.Comm.PortOpen()) << Port.Comm.PortOpenError().toStdString();
  ASSERT_TRUE(Port.Send(SyncRequestTemplate));
  ASSERT_TRUE(WaitUntil([&] { return Port.Hangups > 0; }, 10000))
      << Port.Received.toHex().toStdString();
  EXPECT_TRUE(Port.Received.startsWith(SyncReply())) << Port.Received.toHex().toStdString();
  EXPECT_TRUE(Port.Comm.PortOpen());
  Port.Comm.StopComm();
  EXPECT_EQ(Port.Hangups, 1);
}

// Port names as drivers enter them into the registry, written by reg.exe: sorted as text
// ignoring case; a key that cannot be read leaves the list as it was.
TEST(RegistryPortList, ListsTheValuesOfTheKeySorted) {
  const QString Key = QStringLiteral("SOFTWARE\\FerruleTest\\SERIALCOMM");
  const QString Full = QStringLiteral("HKLM\\") + Key;
  Reg({"delete", Full, "/f"});
  const struct {
    const char* Value;
    const char* Port;
  } Values[] = {{"\\Device\\Serial0", "COM1"}, {"\\Device\\VCP0", "COM10"},
                {"\\Device\\Serial2", "com3"}};
  for (const auto& V : Values)
    ASSERT_TRUE(Reg({"add", Full, "/v", V.Value, "/t", "REG_SZ", "/d", V.Port, "/f"}));
  QStringList List;
  EnumSerialPorts(List, Key);
  EXPECT_EQ(List, QStringList({"COM1", "COM10", "com3"}));

  ASSERT_TRUE(Reg({"add", Full, "/v", "\\Device\\Long", "/t", "REG_SZ", "/d",
                   QString(200, 'x'), "/f"}));
  QStringList Kept{"kept"};
  EnumSerialPorts(Kept, Key);
  EXPECT_EQ(Kept, QStringList({"kept"}));  // 400 bytes of data: too long to be a port name

  ASSERT_TRUE(Reg({"delete", Full, "/f"}));
  EnumSerialPorts(Kept, Key);
  EXPECT_EQ(Kept, QStringList({"kept"}));

  QStringList Present;
  EnumSerialPorts(Present);
  EXPECT_TRUE(Present.contains(SimPort)) << Present.join(' ').toStdString();
}

// Every rate is read back: the loader program's rates are taken; one the driver accepts but runs as
// another (Wine runs 576000, which has no termios constant, as 38400) is refused, and the port
// keeps its rate, at which the module still answers.
TEST(Win32Serial, ARateTheDriverRunsAsAnotherIsRefused) {
  TOpenPort Port(SimPort, 921600);
  ASSERT_TRUE(Port.Comm.PortOpen()) << Port.Comm.PortOpenError().toStdString();
  EXPECT_EQ(Port.Comm.BaudRate(), 921600u);
  for (const quint32 Rate : {1500000u, 2000000u, 3000000u}) {
    EXPECT_TRUE(Port.Comm.SetBaudRate(Rate));
    EXPECT_EQ(Port.Comm.BaudRate(), Rate);
  }
  EXPECT_FALSE(Port.Comm.SetBaudRate(576000));
  EXPECT_EQ(Port.Comm.BaudRate(), 3000000u);
  ASSERT_TRUE(Port.Send(SyncRequestTemplate));
  EXPECT_TRUE(WaitUntil([&] { return Port.Received.contains(SyncReply()); }, 5000))
      << Port.Received.toHex(' ').toStdString();
}
