// TComm's properties, setter rules and opening and closing of ports.

#include "serial/SPComm.h"
#include "serial/Termios2.h"
#include "tests/serial/SerialTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <sys/file.h>
#include <termios.h>

namespace {

TEST(CommProperties, FreshComponentHasTheInitialValues) {
  TComm Comm;
  EXPECT_FALSE(Comm.PortOpen());
  EXPECT_EQ(Comm.CommPort(), 1);
  EXPECT_EQ(Comm.CommName(), "COM1");
  EXPECT_EQ(Comm.PortOpenError(), "");
  EXPECT_EQ(Comm.BaudRate(), 9600u);
  EXPECT_EQ(Comm.ByteSize(), TByteSize::_8);
  EXPECT_EQ(Comm.Parity(), TParity::None);
  EXPECT_EQ(Comm.StopBits(), TStopBits::_1);
  EXPECT_EQ(Comm.DtrControl(), TDtrControl::DtrDisable);
  EXPECT_EQ(Comm.RtsControl(), TRtsControl::RtsDisable);
  EXPECT_EQ(Comm.InputLen(), 1);
  EXPECT_EQ(Comm.InBufferSize(), 2048);
  EXPECT_EQ(Comm.XonLimit(), 500);
  EXPECT_EQ(Comm.XoffLimit(), 500);
  EXPECT_EQ(Comm.XonChar(), 0x11);
  EXPECT_EQ(Comm.XoffChar(), 0x13);
  EXPECT_EQ(Comm.ReplacedChar(), 0);
  EXPECT_FALSE(Comm.ParityCheck() || Comm.Outx_CtsFlow() || Comm.Outx_DsrFlow() ||
               Comm.DsrSensitivity() || Comm.TxContinueOnXoff() || Comm.Outx_XonXoffFlow() ||
               Comm.Inx_XonXoffFlow() || Comm.ReplaceWhenParityError() || Comm.IgnoreNullChar());
  EXPECT_EQ(Comm.ReadIntervalTimeout(), 100u);
  EXPECT_EQ(Comm.ReadTotalTimeoutMultiplier() + Comm.ReadTotalTimeoutConstant() +
                Comm.WriteTotalTimeoutMultiplier() + Comm.WriteTotalTimeoutConstant(),
            0u);
  EXPECT_TRUE(Comm.SendDataEmpty());
  EXPECT_EQ(Comm.Handle(), 0);
  EXPECT_EQ(Comm.GetModemState(), 0u);
}

TEST(CommProperties, InputLenAndBufferSizeRules) {
  TComm Comm;
  Comm.SetInputLen(300);
  EXPECT_EQ(Comm.InputLen(), 300);
  Comm.SetInputLen(3000);
  EXPECT_EQ(Comm.InputLen(), 300);
  Comm.SetInputLen(0);
  EXPECT_EQ(Comm.InputLen(), 2048);
  Comm.SetInBufferSize(0);
  EXPECT_EQ(Comm.InBufferSize(), 1);
  EXPECT_EQ(Comm.InputLen(), 2048);  // not re-checked
}

TEST(CommProperties, CommPortNamesTheComDeviceOnlyOnChange) {
  TComm Comm;
  Comm.SetCommPort(5);
  EXPECT_EQ(Comm.CommName(), "COM5");
  Comm.SetCommName("COM7");
  EXPECT_EQ(Comm.CommPort(), 5);
  Comm.SetCommPort(5);
  EXPECT_EQ(Comm.CommName(), "COM7");
  Comm.SetCommPort(0);
  EXPECT_EQ(Comm.CommPort(), 5);
  EXPECT_EQ(Comm.CommName(), "COM7");
}

class CommPort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(Pty.Path.isEmpty()); }
  void Open(TComm& Comm) {
    Comm.SetCommName(Pty.Path);
    Comm.StartComm();
    ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError().toStdString();
  }
  TPty Pty;
};

TEST_F(CommPort, OpensByPathAndStopClosesIt) {
  TComm Comm;
  Open(Comm);
  EXPECT_EQ(Comm.PortOpenError(), "");
  EXPECT_NE(Comm.Handle(), 0);
  EXPECT_EQ(Comm.GetModemState(), 0u);  // a pty has no modem lines
  Comm.StopComm();
  EXPECT_FALSE(Comm.PortOpen());
  EXPECT_EQ(Comm.Handle(), 0);
  Comm.StartComm();  // the same settings open it again
  EXPECT_TRUE(Comm.PortOpen());
  Comm.StopComm();
}

TEST_F(CommPort, OpensByNameUnderDev) {
  const QString Name = QStringLiteral("ttyFerruleTest%1").arg(getpid());
  const QString Link = "/dev/" + Name;
  if (!QFile::link(Pty.Path, Link)) GTEST_SKIP() << "cannot create " << Link.toStdString();
  TComm Comm;
  Comm.SetCommName(Name);
  Comm.StartComm();
  EXPECT_TRUE(Comm.PortOpen()) << Comm.PortOpenError().toStdString();
  Comm.StopComm();
  QFile::remove(Link);
}

TEST_F(CommPort, StartOnAnOpenPortKeepsItOpen) {
  TComm Comm;
  Open(Comm);
  Comm.StartComm();
  EXPECT_EQ(Comm.PortOpenError(), "This serial port already opened");
  EXPECT_TRUE(Comm.PortOpen());
  Comm.StopComm();
  EXPECT_EQ(Comm.PortOpenError(), "");
}

TEST_F(CommPort, AbsentPortFailsAndStopClearsTheError) {
  TComm Comm;
  Comm.SetCommName("ttyFerruleAbsent");
  Comm.StartComm();
  EXPECT_FALSE(Comm.PortOpen());
  EXPECT_EQ(Comm.PortOpenError(), "Error opening serial port");
  Comm.StopComm();
  EXPECT_EQ(Comm.PortOpenError(), "");
}

TEST_F(CommPort, PortHeldByAnotherComponentOrProgramFails) {
  TComm First;
  Open(First);
  TComm Second;
  Second.SetCommName(Pty.Path);
  Second.StartComm();
  EXPECT_FALSE(Second.PortOpen());
  EXPECT_EQ(Second.PortOpenError(), "Error opening serial port");
  First.StopComm();

  // Another program holding the port the same way (also as root, where TIOCEXCL is ignored).
  const int Other = open(Pty.Path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  ASSERT_GE(Other, 0);
  ASSERT_EQ(flock(Other, LOCK_EX | LOCK_NB), 0);
  Second.StartComm();
  EXPECT_FALSE(Second.PortOpen());
  EXPECT_EQ(Second.PortOpenError(), "Error opening serial port");
  close(Other);
  Second.StartComm();
  EXPECT_TRUE(Second.PortOpen());
  Second.StopComm();
}

TEST(CommOpen, FileThatIsNoDeviceIsRefused) {
  QTemporaryDir Dir;
  QFile File(Dir.filePath("notaport"));
  ASSERT_TRUE(File.open(QIODevice::WriteOnly));
  File.close();
  TComm Comm;
  Comm.SetCommName(File.fileName());
  Comm.StartComm();
  EXPECT_FALSE(Comm.PortOpen());
  EXPECT_EQ(Comm.PortOpenError(), "File handle is not a comm handle ");
}

TEST_F(CommPort, LineSettersWriteTheConfigurationOncePerChange) {
  TComm Comm;
  Comm.SetBaudRate(115200);  // closed: only stored
  EXPECT_EQ(Comm.ConfigWriteCount(), 0);
  Open(Comm);
  EXPECT_EQ(SerialPlatform::Termios2Baud(Pty.Master), 115200u);
  const int AtOpen = Comm.ConfigWriteCount();
  EXPECT_EQ(AtOpen, 1);

  Comm.SetDtrControl(TDtrControl::DtrEnable);
  Comm.SetDtrControl(TDtrControl::DtrEnable);
  EXPECT_EQ(Comm.ConfigWriteCount(), AtOpen + 1);
  Comm.SetDtrRtsControl(TDtrControl::DtrEnable, TRtsControl::RtsDisable);
  EXPECT_EQ(Comm.ConfigWriteCount(), AtOpen + 1);
  Comm.SetDtrRtsControl(TDtrControl::DtrDisable, TRtsControl::RtsEnable);
  EXPECT_EQ(Comm.ConfigWriteCount(), AtOpen + 2);
  EXPECT_EQ(Comm.DtrControl(), TDtrControl::DtrDisable);
  EXPECT_EQ(Comm.RtsControl(), TRtsControl::RtsEnable);

  Comm.SetBaudRate(576000);  // no standard constant: set through termios2
  EXPECT_EQ(Comm.ConfigWriteCount(), AtOpen + 3);
  EXPECT_EQ(SerialPlatform::Termios2Baud(Pty.Master), 576000u);
  Comm.SetBaudRate(576000);
  Comm.SetReadIntervalTimeout(100);
  Comm.SetReadIntervalTimeout(50);  // a time-out is no line configuration
  EXPECT_EQ(Comm.ConfigWriteCount(), AtOpen + 3);
  Comm.StopComm();

  Comm.SetParity(TParity::Even);
  EXPECT_EQ(Comm.ConfigWriteCount(), AtOpen + 3);
}

// A pty keeps eight data bits and no parity enable whatever it is told; the rest shows.
TEST_F(CommPort, FramingReachesTheLineAtOnce) {
  TComm Comm;
  Open(Comm);
  Comm.SetParity(TParity::Mark);
  Comm.SetStopBits(TStopBits::_2);
  Comm.SetInx_XonXoffFlow(true);
  termios Tio{};
  ASSERT_EQ(tcgetattr(Pty.Slave, &Tio), 0);
  EXPECT_EQ(Tio.c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD | CMSPAR));
  EXPECT_TRUE(Tio.c_cflag & CSTOPB);
  EXPECT_TRUE(Tio.c_iflag & IXOFF);
  EXPECT_FALSE(Tio.c_iflag & IXON);
  EXPECT_FALSE(Tio.c_lflag & (ICANON | ECHO));  // raw bytes both ways
  Comm.SetParity(TParity::Even);
  Comm.SetStopBits(TStopBits::_1);
  ASSERT_EQ(tcgetattr(Pty.Slave, &Tio), 0);
  EXPECT_FALSE(Tio.c_cflag & (PARODD | CMSPAR | CSTOPB));
  Comm.StopComm();
}

TEST_F(CommPort, DestroyingAnOpenComponentReleasesThePort) {
  auto* Comm = new TComm;
  Open(*Comm);
  delete Comm;
  TComm Next;
  Open(Next);
  Next.StopComm();
}

}  // namespace
