// TComm's properties, setter rules and opening and closing of ports.

#include "serial/SPComm.h"
#include "serial/Termios2.h"
#include "tests/serial/SerialTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <tuple>

namespace {

TEST(CommProperties, FreshComponentHasTheInitialValues) {
  TComm Comm;
  EXPECT_EQ(std::tuple(Comm.PortOpen(), Comm.Handle(), Comm.SendDataEmpty(), Comm.GetModemState(),
                       Comm.PortOpenError(), Comm.CommPort(), Comm.CommName()),
            std::tuple(false, 0, true, 0u, "", 1, "COM1"));
  EXPECT_EQ(std::tuple(Comm.BaudRate(), Comm.ByteSize(), Comm.Parity(), Comm.StopBits(),
                       Comm.DtrControl(), Comm.RtsControl(), Comm.InputLen(), Comm.InBufferSize()),
            std::tuple(9600u, TByteSize::_8, TParity::None, TStopBits::_1, TDtrControl::DtrDisable,
                       TRtsControl::RtsDisable, 1, 2048));
  EXPECT_EQ(std::tuple(Comm.XonLimit(), Comm.XoffLimit(), Comm.XonChar(), Comm.XoffChar(),
                       Comm.ReplacedChar()),
            std::tuple(500, 500, 0x11, 0x13, 0));
  EXPECT_FALSE(Comm.ParityCheck() || Comm.Outx_CtsFlow() || Comm.Outx_DsrFlow() ||
               Comm.DsrSensitivity() || Comm.TxContinueOnXoff() || Comm.Outx_XonXoffFlow() ||
               Comm.Inx_XonXoffFlow() || Comm.ReplaceWhenParityError() || Comm.IgnoreNullChar());
  EXPECT_EQ(std::tuple(Comm.ReadIntervalTimeout(), Comm.ReadTotalTimeoutMultiplier(),
                       Comm.ReadTotalTimeoutConstant(), Comm.WriteTotalTimeoutMultiplier(),
                       Comm.WriteTotalTimeoutConstant()),
            std::tuple(100u, 0u, 0u, 0u, 0u));
}

TEST(CommProperties, InputLenBufferSizeAndCommPortRules) {
  TComm Comm;
  Comm.SetInputLen(300);
  Comm.SetInputLen(3000);  // above InBufferSize: ignored
  EXPECT_EQ(Comm.InputLen(), 300);
  Comm.SetInputLen(0);
  EXPECT_EQ(Comm.InputLen(), 2048);
  Comm.SetInBufferSize(0);
  EXPECT_EQ(Comm.InBufferSize(), 1);
  EXPECT_EQ(Comm.InputLen(), 2048);  // not re-checked

  Comm.SetCommPort(5);
  EXPECT_EQ(Comm.CommName(), "COM5");
  Comm.SetCommName("COM7");
  Comm.SetCommPort(5);  // already stored
  Comm.SetCommPort(0);  // ignored
  EXPECT_EQ(Comm.CommPort(), 5);
  EXPECT_EQ(Comm.CommName(), "COM7");
}

// Each name is tried on a fresh component: the failure text, whether ECommsError is raised,
// and StopComm clearing the text.
TEST(CommOpen, WhatIsNoUsablePortIsRefused) {
  QTemporaryDir Dir;
  QFile File(Dir.filePath("notaport"));
  ASSERT_TRUE(File.open(QIODevice::WriteOnly));
  File.close();
  const struct {
    QString Name;
    QString Error;
    bool Raises;
  } Cases[] = {{"ttyFerruleAbsent", "Error opening serial port", false},
               {File.fileName(), "File handle is not a comm handle ", false},
               {"/dev/null", "Cannot setup comm buffer", true}};  // a device, but no terminal
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name.toStdString());
    TComm Comm;
    Comm.SetCommName(Case.Name);
    QString Raised;
    try {
      Comm.StartComm();
    } catch (const ECommsError& Error) {
      Raised = Error.what();
    }
    EXPECT_FALSE(Comm.PortOpen());
    EXPECT_EQ(Comm.PortOpenError(), Case.Error);
    EXPECT_EQ(Raised, Case.Raises ? Case.Error : QString());
    Comm.StopComm();
    EXPECT_EQ(Comm.PortOpenError(), "");
  }
}

class CommPort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(Pty.Path.isEmpty()); }
  void Open(TComm& Comm) {
    Comm.SetCommName(Pty.Path);
    Comm.StartComm();
    ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError().toStdString();
  }
  int Exclusive() const {
    int Flag = -1;
    ioctl(Pty.Slave, TIOCGEXCL, &Flag);
    return Flag;
  }
  TPty Pty;
};

TEST_F(CommPort, OpensByPathExclusivelyAndStopReleasesIt) {
  TComm Comm;
  Open(Comm);
  EXPECT_NE(Comm.Handle(), 0);
  EXPECT_EQ(Exclusive(), 1);
  Comm.StartComm();
  EXPECT_EQ(Comm.PortOpenError(), "This serial port already opened");
  EXPECT_TRUE(Comm.PortOpen());
  Comm.StopComm();
  EXPECT_EQ(Comm.PortOpenError(), "");
  EXPECT_FALSE(Comm.PortOpen());
  EXPECT_EQ(Comm.Handle(), 0);
  EXPECT_EQ(Exclusive(), 0);  // a pty keeps the mark: a user who is not root could not reopen
  Comm.StartComm();           // the same settings open it again
  EXPECT_TRUE(Comm.PortOpen());
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

// Root ignores TIOCEXCL: the lock and a look at the mark keep it out all the same.
TEST_F(CommPort, PortHeldByAnotherComponentOrProgramFails) {
  TComm Second;
  Second.SetCommName(Pty.Path);
  const auto ExpectRefused = [&] {
    Second.StartComm();
    EXPECT_FALSE(Second.PortOpen());
    EXPECT_EQ(Second.PortOpenError(), "Error opening serial port");
  };
  {
    TComm First;
    Open(First);
    ExpectRefused();
  }  // destroyed while open: the port is released (see the last open)
  const int Other = open(Pty.Path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(Other, LOCK_EX | LOCK_NB), 0);
  ExpectRefused();
  close(Other);
  ASSERT_EQ(ioctl(Pty.Slave, TIOCEXCL), 0);  // a program that marks the tty but takes no lock
  ExpectRefused();
  EXPECT_EQ(Exclusive(), 1);  // and its mark stays
  ioctl(Pty.Slave, TIOCNXCL);
  Second.StartComm();
  EXPECT_TRUE(Second.PortOpen());
}

TEST_F(CommPort, LineSettersReachTheLineAtOnceWithOneWritePerChange) {
  TComm Comm;
  Comm.SetBaudRate(115200);  // closed: only stored
  EXPECT_EQ(Comm.ConfigWriteCount(), 0);
  Open(Comm);
  EXPECT_EQ(SerialPlatform::Termios2Baud(Pty.Master), 115200u);
  EXPECT_EQ(Comm.ConfigWriteCount(), 1);

  Comm.SetDtrControl(TDtrControl::DtrEnable);
  Comm.SetDtrControl(TDtrControl::DtrEnable);
  EXPECT_EQ(Comm.ConfigWriteCount(), 2);
  Comm.SetDtrRtsControl(TDtrControl::DtrEnable, TRtsControl::RtsDisable);
  EXPECT_EQ(Comm.ConfigWriteCount(), 2);
  Comm.SetDtrRtsControl(TDtrControl::DtrDisable, TRtsControl::RtsEnable);
  EXPECT_EQ(Comm.ConfigWriteCount(), 3);
  EXPECT_EQ(Comm.DtrControl(), TDtrControl::DtrDisable);
  EXPECT_EQ(Comm.RtsControl(), TRtsControl::RtsEnable);

  Comm.SetBaudRate(576000);
  Comm.SetBaudRate(576000);
  Comm.SetReadIntervalTimeout(50);  // a time-out is no line configuration
  EXPECT_EQ(Comm.ConfigWriteCount(), 4);
  EXPECT_EQ(SerialPlatform::Termios2Baud(Pty.Master), 576000u);

  // A pty keeps eight data bits and no parity enable whatever it is told; the rest shows.
  Comm.SetParity(TParity::Mark);
  Comm.SetStopBits(TStopBits::_2);
  Comm.SetInx_XonXoffFlow(true);
  termios Tio{};
  ASSERT_EQ(tcgetattr(Pty.Slave, &Tio), 0);
  EXPECT_EQ(Tio.c_cflag & (PARODD | CMSPAR | CSTOPB), tcflag_t(PARODD | CMSPAR | CSTOPB));
  EXPECT_EQ(Tio.c_iflag & (IXOFF | IXON), tcflag_t(IXOFF));
  EXPECT_FALSE(Tio.c_lflag & (ICANON | ECHO));  // raw bytes both ways
  Comm.SetParity(TParity::Even);
  ASSERT_EQ(tcgetattr(Pty.Slave, &Tio), 0);
  EXPECT_EQ(Tio.c_cflag & (PARODD | CMSPAR | CSTOPB), tcflag_t(CSTOPB));  // rebuilt, not added to
  Comm.StopComm();
  Comm.SetParity(TParity::Odd);
  EXPECT_EQ(Comm.ConfigWriteCount(), 8);
}

}  // namespace
