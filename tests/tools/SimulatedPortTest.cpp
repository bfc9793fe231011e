// The simulator on a real pseudo-terminal, driven by a client that opens the slave side the way the
// tool opens a serial port.

#include "tools/rq53sim/SimulatedPort.h"

#include "tests/tools/SimFrames.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace SimFrames;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// The client end: the slave opened read-write, raw, at a chosen rate.
class TClient {
 public:
  explicit TClient(const QString& Path, speed_t Rate = B115200)
      : Fd(::open(Path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY)) {
    termios Settings{};
    ::tcgetattr(Fd, &Settings);
    ::cfmakeraw(&Settings);
    ::cfsetspeed(&Settings, Rate);
    ::tcsetattr(Fd, TCSANOW, &Settings);
  }
  ~TClient() { ::close(Fd); }

  bool Write(const QByteArray& Bytes) const {
    return ::write(Fd, Bytes.constData(), size_t(Bytes.size())) == Bytes.size();
  }

  // Reads until Size bytes have come, or nothing has come for 10 s.
  QByteArray Read(qsizetype Size) const {
    QByteArray Got(Size, 0);
    qsizetype Done = 0;
    pollfd Poll{Fd, POLLIN, 0};
    while (Done<Size&& ::poll(&Poll, 1, 10'000)> 0) {
      const ssize_t Count = ::read(Fd, Got.data() + Done, size_t(Size - Done));
      if (Count <= 0) break;
      Done += Count;
    }
    return Got.first(Done);
  }

  int Fd;
};

TEST(SimulatedPort, AnswersAtTheRateTheClientSet) {
  std::vector<quint8> Seen;
  TSimulatedPort Port(TSimulatedModule(), 57600,
                      [&](const TSimRequest& Request) { Seen.push_back(Request.Command); });
  ASSERT_TRUE(Port.SlavePath().startsWith("/dev/pts/"));
  EXPECT_EQ(Port.LineRate(), 57600u);
  TClient Slow(Port.SlavePath(), B9600);
  const TClock::time_point Start = TClock::now();
  ASSERT_TRUE(Slow.Write(SyncRequest));
  EXPECT_EQ(Slow.Read(96), SyncReply.repeated(8));
  // 46 bytes there and 96 back at 10 bits each take 148 ms at 9600 bit/s.
  EXPECT_GE(TClock::now() - Start, 145ms) << "no byte arrives before the line could carry it";
  EXPECT_EQ(Port.LineRate(), 9600u);
  Port.Stop();
  EXPECT_EQ(Seen, std::vector<quint8>{SimSync}) << "from the simulator's thread";
}

TEST(SimulatedPort, ForgetsExclusiveUseWhenTheClientCloses) {
  TSimulatedPort Port{TSimulatedModule()};
  {
    TClient Client(Port.SlavePath());
    ASSERT_EQ(::ioctl(Client.Fd, TIOCEXCL), 0);
    ASSERT_TRUE(Client.Write(SyncRequest));
    EXPECT_EQ(Client.Read(96), SyncReply.repeated(8));
    int Exclusive = 0;
    ::ioctl(Client.Fd, TIOCGEXCL, &Exclusive);
    EXPECT_EQ(Exclusive, 1) << "kept while the client has the port open";
  }
  // As a real serial port does, so that a client that is not root can open it again.
  int Exclusive = 1;
  const TClock::time_point Deadline = TClock::now() + 10s;
  while (Exclusive != 0 && TClock::now() < Deadline) {
    TClient Probe(Port.SlavePath());
    ::ioctl(Probe.Fd, TIOCGEXCL, &Exclusive);
    if (Exclusive != 0) std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(Exclusive, 0);
}

TEST(SimulatedPort, MisbehavioursAndTheResetBannerReachTheLine) {
  TSimulatedModule Module;
  Module.Misbehaviour().SplitPieces = 4;
  Module.Misbehaviour().SplitGapMs = 30;
  Module.Misbehaviour().ReplyDelayMs = 50;
  Module.Misbehaviour().GarbageBeforeReply = Hex("55 AA");
  TSimulatedPort Port(Module);
  TClient Client(Port.SlavePath());
  const TClock::time_point Start = TClock::now();
  ASSERT_TRUE(Client.Write(SyncRequest));
  EXPECT_EQ(Client.Read(98), Hex("55 AA") + SyncReply.repeated(8));
  EXPECT_GE(TClock::now() - Start, 140ms) << "the delay and three gaps of 30 ms are kept";

  Port.WithModule(
      [](TSimulatedModule& Simulated) { Simulated.Misbehaviour() = TSimMisbehaviour{}; });
  Port.Reset();
  const QByteArray Banner = SimMisreadAtRate(TSimulatedModule::BannerText(), 74880, 115200);
  EXPECT_EQ(Client.Read(Banner.size()), Banner);
}

TEST(SimulatedPort, StopsWhileTheLineIsBusy) {
  auto Port = std::make_unique<TSimulatedPort>(TSimulatedModule(), 9600);
  TClient Client(Port->SlavePath(), B9600);
  ASSERT_TRUE(Client.Write(SyncRequest.repeated(20)));
  Client.Read(12);  // the first reply is on its way: at 9600 bit/s the rest takes seconds
  Port.reset();     // joins the thread and closes the pseudo-terminal
  pollfd Hangup{Client.Fd, POLLIN, 0};
  ::poll(&Hangup, 1, 10'000);
  EXPECT_TRUE(Hangup.revents & POLLHUP);
}

// The client sees a hang-up: poll reports it and reads find nothing more; the port is gone.
void ExpectHangup(const TClient& Client, const QString& Path) {
  pollfd Hangup{Client.Fd, POLLIN, 0};
  ASSERT_EQ(::poll(&Hangup, 1, 10'000), 1);
  EXPECT_TRUE(Hangup.revents & POLLHUP);
  char Byte;
  EXPECT_LE(::read(Client.Fd, &Byte, 1), 0);
  EXPECT_LT(::open(Path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY), 0);
}

TEST(SimulatedPort, PullingTheAdapterHangsUpTheClient) {
  TSimulatedPort Port{TSimulatedModule()};
  TClient Client(Port.SlavePath());
  ASSERT_TRUE(Client.Write(SyncRequest));
  EXPECT_EQ(Client.Read(96), SyncReply.repeated(8));
  Port.Unplug();
  EXPECT_TRUE(Port.Unplugged());
  ExpectHangup(Client, Port.SlavePath());
}

TEST(SimulatedPort, TheModuleCanPullTheAdapterAfterAnsweringARequest) {
  TSimulatedModule Module;
  Module.Misbehaviour().Unplug = {SimReadReg, 1};
  TSimulatedPort Port(Module);
  TClient Client(Port.SlavePath());
  ASSERT_TRUE(Client.Write(SyncRequest));
  EXPECT_EQ(Client.Read(96), SyncReply.repeated(8));
  ASSERT_TRUE(Client.Write(ReadReg(0x3FF00050)));
  EXPECT_EQ(Client.Read(12), Reply(0x0A, 0x59A30000));
  ExpectHangup(Client, Port.SlavePath());
  EXPECT_TRUE(Port.Unplugged());
  Port.WithModule([](TSimulatedModule& Simulated) { EXPECT_EQ(Simulated.RequestCount(), 2u); });
}

TEST(SimulatedPort, ConsoleTextGoesOutAtTheLineRateBeforeLaterReplies) {
  TSimulatedPort Port{TSimulatedModule()};
  TClient Client(Port.SlavePath());
  const TClock::time_point Start = TClock::now();
  Port.SendConsoleText(2304);
  ASSERT_TRUE(Client.Write(SyncRequest));
  EXPECT_EQ(Client.Read(2304 + 96), TSimulatedModule::ConsoleText(2304) + SyncReply.repeated(8));
  EXPECT_GE(TClock::now() - Start, 200ms) << "2304 bytes take 200 ms at 115200 bit/s";
}

// The rq53sim program: the path on its first line, options that reach the module, the flash dump.
class Rq53simProgram : public ::testing::Test {
 protected:
  QString Start(const QStringList& Options) {
    Program.start(RQ53SIM_PROGRAM, Options);
    const auto Deadline = TClock::now() + 10s;
    while (!Program.canReadLine() && TClock::now() < Deadline) Program.waitForReadyRead(100);
    return QString::fromLocal8Bit(Program.readLine()).trimmed();
  }

  QProcess Program;
};

TEST_F(Rq53simProgram, ServesThePrintedPathUntilInputCloses) {
  QTemporaryDir Dir;
  const QString Dump = Dir.filePath("flash.bin");
  const QString Path =
      Start({"--stdin", "--efuse", "0,0,0,0xA1B2C3D4", "--flash-size", "0x20000", "--dump", Dump,
             "-v"});
  ASSERT_TRUE(Path.startsWith("/dev/pts/")) << Path.toStdString();
  {
    TClient Client(Path);
    ASSERT_TRUE(Client.Write(ReadReg(0x3FF0005C) + FlashBegin(4, 1, 0)));
    EXPECT_EQ(Client.Read(24), Reply(0x0A, 0xA1B2C3D4) + Reply(0x02, 0xA1B2C3D4));
    ASSERT_TRUE(Client.Write(FlashData(Hex("01 02 03 04"), 0)));
    EXPECT_EQ(Client.Read(12), Reply(0x03, 0xA1B2C3D4));
  }
  Program.closeWriteChannel();
  ASSERT_TRUE(Program.waitForFinished(10'000));
  EXPECT_EQ(Program.exitCode(), 0);
  const QString Log = QString::fromLocal8Bit(Program.readAllStandardError());
  EXPECT_TRUE(Log.contains("READ_REG 0x3FF0005C -> 00 00\n")) << Log.toStdString();
  EXPECT_TRUE(Log.contains("FLASH_DATA #0 -> 00 00\n")) << Log.toStdString();
  QFile Flash(Dump);
  ASSERT_TRUE(Flash.open(QIODevice::ReadOnly));
  const QByteArray Contents = Flash.readAll();
  EXPECT_EQ(Contents.size(), 0x20000);
  EXPECT_EQ(Contents.left(8), Hex("01 02 03 04 FF FF FF FF"));
}

TEST_F(Rq53simProgram, EndsOnSigterm) {
  TClient Client(Start({"--fail", "7", "--fail-command", "sync"}));
  ASSERT_TRUE(Client.Write(SyncRequest));
  EXPECT_EQ(Client.Read(12), Hex("C0 01 08 02 00 07 07 12 20 01 07 C0"));
  Program.terminate();
  ASSERT_TRUE(Program.waitForFinished(10'000));
  EXPECT_EQ(Program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(Program.exitCode(), 0);
}

TEST_F(Rq53simProgram, FaultOptionsAndCommandsOnStandardInput) {
  // Block 1 fails with 07 (and is not carried out), the fourth block sent gets no answer, the
  // adapter is pulled after the fifth READ_REG.
  const QString Path =
      Start({"--stdin", "--fail", "7", "--fail-command", "FLASH_DATA", "--fail-after", "1", "--fail-count",
             "1", "--no-reply-command", "FLASH_DATA", "--no-reply-after", "3", "--unplug-command",
             "READ_REG", "--unplug-after", "4", "--history", "2", "-v"});
  TClient Client(Path);
  const QByteArray Block = Hex("01 02 03 04");
  ASSERT_TRUE(Client.Write(FlashBegin(16, 4, 0) + FlashData(Block, 0) + FlashData(Block, 1) +
                           FlashData(Block, 1) + FlashData(Block, 2) + ReadReg(0x3FF00050)));
  EXPECT_EQ(Client.Read(60), Reply(0x02) + Reply(0x03) + Reply(0x03, 0x20120707, 1, 7) +
                                 Reply(0x03, 0x20120707, 0, 7) + Reply(0x0A, 0x59A30000));
  Program.write("console 300\nreset\n");
  ASSERT_TRUE(Program.waitForBytesWritten(10'000));
  const QByteArray Banner = SimMisreadAtRate(TSimulatedModule::BannerText(), 74880, 115200);
  EXPECT_EQ(Client.Read(300 + Banner.size()), TSimulatedModule::ConsoleText(300) + Banner);
  ASSERT_TRUE(Client.Write(ReadReg(0x3FF00050) + ReadReg(0x3FF00050) + ReadReg(0x3FF00050)));
  EXPECT_EQ(Client.Read(36), Reply(0x0A, 0x59A30000).repeated(3));
  ASSERT_TRUE(Client.Write(ReadReg(0x3FF00050)));
  EXPECT_EQ(Client.Read(12), Reply(0x0A, 0x59A30000));
  ExpectHangup(Client, Path);
  Program.closeWriteChannel();
  ASSERT_TRUE(Program.waitForFinished(10'000));
  EXPECT_EQ(Program.exitCode(), 0);
  const QString Log = QString::fromLocal8Bit(Program.readAllStandardError());
  EXPECT_TRUE(
      Log.contains("FLASH_DATA #1 -> 01 07\nFLASH_DATA #1 -> 00 07\nFLASH_DATA #2 -> no "
                   "reply\nREAD_REG 0x3FF00050 -> 00 00\n"))
      << Log.toStdString();
  EXPECT_TRUE(Log.endsWith("READ_REG 0x3FF00050 -> 00 00\n")) << Log.toStdString();
  EXPECT_EQ(Log.count("READ_REG"), 5);
}

TEST_F(Rq53simProgram, UnplugsOnCommandAndSendsConsoleTextAtStart) {
  const QString Path = Start({"--stdin", "--console", "500"});
  TClient Client(Path);
  EXPECT_EQ(Client.Read(500), TSimulatedModule::ConsoleText(500));
  Program.write("unplug\n");
  ASSERT_TRUE(Program.waitForBytesWritten(10'000));
  ExpectHangup(Client, Path);
  Program.closeWriteChannel();
  ASSERT_TRUE(Program.waitForFinished(10'000));
  EXPECT_EQ(Program.exitCode(), 0);
}

// Without --stdin its standard input is left alone, as a shell's background job must leave it:
// commands there are not read, and its end does not stop the module.
TEST_F(Rq53simProgram, LeavesStandardInputAloneUnlessAsked) {
  TClient Client(Start({}));
  Program.write("unplug\n");
  ASSERT_TRUE(Program.waitForBytesWritten(10'000));
  Program.closeWriteChannel();
  EXPECT_FALSE(Program.waitForFinished(500));
  ASSERT_TRUE(Client.Write(SyncRequest));
  EXPECT_EQ(Client.Read(96), SyncReply.repeated(8));
  Program.terminate();
  ASSERT_TRUE(Program.waitForFinished(10'000));
  EXPECT_EQ(Program.exitCode(), 0);
}

TEST_F(Rq53simProgram, RefusesBadNumbers) {
  for (const QStringList& Options :
       {QStringList{"--split", "many"}, QStringList{"--efuse", "1,2,3,zz"}}) {
    QProcess Refused;
    Refused.start(RQ53SIM_PROGRAM, Options);
    ASSERT_TRUE(Refused.waitForFinished(10'000));
    EXPECT_EQ(Refused.exitCode(), 2) << Options.join(' ').toStdString();
    EXPECT_TRUE(Refused.readAllStandardOutput().isEmpty());
  }
}

}  // namespace
