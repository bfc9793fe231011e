// Bytes through TComm over a real pseudo-terminal: reception in chunks and its time-outs, the
// writer's queue and drain notices, stopping in the middle of traffic, and a line that goes away.

#include "serial/SPComm.h"
#include "tests/serial/SerialTestSupport.h"

#include <sys/ioctl.h>

#include <atomic>
#include <thread>

namespace {

QByteArray Pattern(int Size, int Seed = 0) {
  QByteArray Data(Size, '\0');
  for (int I = 0; I < Size; ++I) Data[I] = char((I * 7 + Seed) % 251);
  return Data;
}

class CommTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Pty.Path.isEmpty());
    Comm.SetCommName(Pty.Path);
    Comm.SetInputLen(255);
  }
  void Open() {
    Comm.StartComm();
    ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError().toStdString();
  }
  // Opens with the output held by an XOFF from the module, sent after the drain notice of the
  // open; it is known to be acted on once the byte behind it has been received.
  void OpenHeld() {
    Comm.SetOutx_XonXoffFlow(true);
    Open();
    ASSERT_TRUE(WaitUntil([&] { return Probe.Drains == 1; }));
    ASSERT_TRUE(Pty.Send("\x13!"));
    ASSERT_TRUE(WaitUntil([&] { return Probe.Received() == "!"; }));
  }
  bool Write(const QByteArray& Data) {
    return Comm.WriteCommData(reinterpret_cast<const quint8*>(Data.constData()),
                              quint16(Data.size()));
  }

  TPty Pty;
  TComm Comm;
  TCommProbe Probe{Comm};
};

TEST_F(CommTransfer, BurstArrivesInOrderInChunksOfAtMostInputLen) {
  Open();
  const QByteArray Burst = Pattern(600);
  ASSERT_TRUE(Pty.Send(Burst));
  ASSERT_TRUE(WaitUntil([&] { return Probe.Received().size() >= Burst.size(); }));
  Settle(250);
  EXPECT_EQ(Probe.Received(), Burst);
  EXPECT_GE(Probe.Chunks.size(), 3);
  for (const QByteArray& Chunk : Probe.Chunks) EXPECT_LE(Chunk.size(), 255);
  EXPECT_TRUE(Probe.ZeroAfterEveryChunk);
}

TEST_F(CommTransfer, ShortReplyArrivesAsOneChunkAfterTheSilence) {
  Open();
  const QByteArray Reply = QByteArray::fromHex("c00108020007071220000000");
  const qint64 SentAt = Probe.Clock.elapsed();
  ASSERT_TRUE(Pty.Send(Reply));
  ASSERT_TRUE(WaitUntil([&] { return !Probe.Chunks.isEmpty(); }));
  Settle(250);
  EXPECT_EQ(Probe.Chunks, QList<QByteArray>{Reply});
  EXPECT_GE(Probe.ChunkTimes[0] - SentAt, 100);
  EXPECT_TRUE(Probe.ZeroAfterEveryChunk);
}

TEST_F(CommTransfer, UnitInputLenDeliversEveryByteOnItsOwn) {
  Comm.SetInputLen(1);
  Open();
  ASSERT_TRUE(Pty.Send("abc"));
  ASSERT_TRUE(WaitUntil([&] { return Probe.Chunks.size() >= 3; }));
  EXPECT_EQ(Probe.Chunks, (QList<QByteArray>{"a", "b", "c"}));
}

// A read that gets no byte ends after its constant and the reader goes on silently: with no read
// interval, and with the interval and multiplier at their maximum (a read that ends as soon as it
// has bytes).
TEST_F(CommTransfer, ReadThatTimesOutEmptyEndsTheReaderSilently) {
  const quint32 Intervals[] = {0, SerialPlatform::MaxTimeout};
  for (const quint32 Interval : Intervals) {
    SCOPED_TRACE(Interval);
    Probe.Chunks.clear();
    Comm.SetReadIntervalTimeout(Interval);
    Comm.SetReadTotalTimeoutMultiplier(Interval);
    Comm.SetReadTotalTimeoutConstant(50);
    Open();
    Settle(300);
    ASSERT_TRUE(Pty.Send("late"));
    Settle(300);
    EXPECT_TRUE(Probe.Chunks.isEmpty());
    EXPECT_EQ(Probe.Hangups, 0);
    EXPECT_TRUE(Comm.PortOpen());
    Comm.StopComm();
  }
}

struct TChunking {
  const char* Name;
  SerialPlatform::TCommTimeouts Timeouts;
  QList<QByteArray> Chunks;
};

void PrintTo(const TChunking& Row, std::ostream* Out) { *Out << Row.Name; }

class CommChunking : public CommTransfer, public ::testing::WithParamInterface<TChunking> {};

// Five bytes 50 ms apart: an interval longer than the gaps keeps them in one read; reads that end
// on their first bytes hand each over on its own.
TEST_P(CommChunking, BytesComingApartAreCutAsTheTimeOutsSay) {
  const SerialPlatform::TCommTimeouts& Timeouts = GetParam().Timeouts;
  Comm.SetReadIntervalTimeout(Timeouts.ReadIntervalTimeout);
  Comm.SetReadTotalTimeoutMultiplier(Timeouts.ReadTotalTimeoutMultiplier);
  Comm.SetReadTotalTimeoutConstant(Timeouts.ReadTotalTimeoutConstant);
  Open();
  for (const char Byte : QByteArray("abcde")) {
    ASSERT_TRUE(Pty.Send(QByteArray(1, Byte)));
    Settle(50);
  }
  ASSERT_TRUE(WaitUntil([&] { return Probe.Received().size() == 5; }));
  Settle(100);
  EXPECT_EQ(Probe.Chunks, GetParam().Chunks);
}

constexpr quint32 Max = SerialPlatform::MaxTimeout;
INSTANTIATE_TEST_SUITE_P(
    ReadTimeOuts, CommChunking,
    ::testing::Values(TChunking{"IntervalOfASecond", {1000, 0, 0, 0, 0}, {"abcde"}},
                      TChunking{
                          "OnFirstBytes", {Max, Max, Max - 1, 0, 0}, {"a", "b", "c", "d", "e"}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(CommTransfer, DrainNoticeAtOpenAndOnceAfterThreeQueuedBlocks) {
  const quint8 Byte = 0x55;
  EXPECT_FALSE(Comm.WriteCommData(&Byte, 1));  // closed
  OpenHeld();
  EXPECT_FALSE(Comm.WriteCommData(&Byte, 0));
  EXPECT_TRUE(Comm.SendDataEmpty());
  const QByteArray Blocks[] = {Pattern(700, 1), Pattern(300, 2), Pattern(1000, 3)};
  for (const QByteArray& Block : Blocks) ASSERT_TRUE(Write(Block));
  EXPECT_FALSE(Comm.SendDataEmpty());
  ASSERT_TRUE(Pty.Send("\x11"));  // XON: let it go
  EXPECT_EQ(Pty.Receive(2000), Blocks[0] + Blocks[1] + Blocks[2]);
  ASSERT_TRUE(WaitUntil([&] { return Probe.Drains == 2; }));
  Settle(200);
  EXPECT_EQ(Probe.Drains, 2);
  EXPECT_TRUE(Comm.SendDataEmpty());
  EXPECT_EQ(Probe.Hangups, 0);
}

TEST_F(CommTransfer, OutputLongerThanOneBlockCountGoesOutWhole) {
  Open();
  const QByteArray Long = Pattern(70000, 9);
  Comm.SetOutput(Long);
  EXPECT_EQ(Comm.Output(), Long);
  EXPECT_EQ(Pty.Receive(Long.size()), Long);
}

// A write whose time limit passes is started again with the rest of its block.
TEST_F(CommTransfer, WriteTimeOutLosesNothingOfAHeldBlock) {
  Comm.SetWriteTotalTimeoutConstant(20);
  OpenHeld();
  const QByteArray Block = Pattern(3000, 4);
  ASSERT_TRUE(Write(Block));
  Settle(150);
  ASSERT_TRUE(Pty.Send("\x11"));
  EXPECT_EQ(Pty.Receive(Block.size()), Block);
  EXPECT_EQ(Probe.Hangups, 0);
}

TEST_F(CommTransfer, StopWhileWritingDiscardsTheRestWithoutADrainNotice) {
  OpenHeld();
  ASSERT_TRUE(Write(Pattern(4000)));
  ASSERT_TRUE(Write(Pattern(4000, 5)));
  Comm.StopComm();
  EXPECT_TRUE(Comm.SendDataEmpty());
  Settle(200);
  EXPECT_EQ(Probe.Drains, 1);
  EXPECT_EQ(Probe.Hangups, 0);
  EXPECT_EQ(Pty.Receive(1, 200), "");
}

TEST_F(CommTransfer, StopWhileBytesArriveDeliversWhatWasReadBefore) {
  Open();
  const QByteArray Stream = Pattern(200000);
  std::atomic<bool> Feeding{true};
  std::thread Feeder([&] {
    for (qsizetype Sent = 0; Feeding && Sent < Stream.size();) {
      const ssize_t N = write(Pty.Master, Stream.constData() + Sent, 64);
      N > 0 ? void(Sent += N) : std::this_thread::yield();
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return Probe.Chunks.size() >= 3; }));
  Comm.StopComm();
  Settle(200);
  Feeding = false;
  Feeder.join();
  EXPECT_EQ(Probe.Received(), Stream.left(Probe.Received().size()));
  EXPECT_EQ(Probe.Hangups, 0);
}

TEST_F(CommTransfer, WritesFromAWorkerOverlappingStopAreSafe) {
  Open();
  std::atomic<bool> Running{true}, Stopped{false};
  std::atomic<int> Accepted{0}, AcceptedAfterStop{0};
  std::thread Worker([&] {
    while (Running) {
      const bool Late = Stopped;
      if (Write(Pattern(64))) ++(Late ? AcceptedAfterStop : Accepted);
    }
  });
  std::thread Drainer([&] {
    while (Running) Pty.Receive(1 << 20, 20);
  });
  ASSERT_TRUE(WaitUntil([&] { return Accepted > 10; }));
  Comm.StopComm();
  Stopped = true;
  Settle(50);
  Running = false;
  Worker.join();
  Drainer.join();
  EXPECT_EQ(AcceptedAfterStop, 0);  // a closed port takes nothing
  EXPECT_TRUE(Comm.SendDataEmpty());
}

// The module's end writes a reply and goes away while the reader waits out the silence that
// would end its read: the bytes it has taken are delivered before the hang-up request.
TEST_F(CommTransfer, BytesReadBeforeTheLineGoesAwayArriveBeforeTheHangup) {
  Comm.SetReadIntervalTimeout(2000);
  Open();
  QByteArray ReceivedAtHangup;
  Comm.OnRequestHangup = [&](QObject*) {
    ++Probe.Hangups;
    ReceivedAtHangup = Probe.Received();
  };
  const QByteArray Reply = QByteArray::fromHex("c0010a0200443322110000c0");
  ASSERT_TRUE(Pty.Send(Reply));
  // The bytes reach the terminal's input queue a moment after the write; once it is empty
  // again, the reader holds them in its read.
  Settle(50);
  ASSERT_TRUE(WaitUntil([&] {
    int Queued = -1;
    return ioctl(Pty.Slave, FIONREAD, &Queued) == 0 && Queued == 0;
  }));
  Pty.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return Probe.Hangups == 1; }));
  EXPECT_EQ(ReceivedAtHangup, Reply);
  Settle(100);
  EXPECT_EQ(Probe.Chunks, QList<QByteArray>{Reply});
  EXPECT_TRUE(Probe.ZeroAfterEveryChunk);
}

TEST_F(CommTransfer, LineThatGoesAwayEndsTheThreadsWithHangupRequests) {
  Open();
  ASSERT_TRUE(WaitUntil([&] { return Probe.Drains == 1; }));
  Pty.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return Probe.Hangups == 1; }));  // the reader
  const quint8 Byte = 1;
  EXPECT_TRUE(Comm.WriteCommData(&Byte, 1));
  ASSERT_TRUE(WaitUntil([&] { return Probe.Hangups == 2; }));  // the writer
  EXPECT_TRUE(Comm.PortOpen());
  EXPECT_FALSE(Comm.WriteCommData(&Byte, 1));  // the writer is gone
}

}  // namespace
