// The reporting path of line errors and modem-line changes, as far as a pseudo-terminal
// (which keeps no such counters) lets it run, and the device naming.

#include "serial/SPComm.h"
#include "serial/SerialPlatform.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

using namespace SerialPlatform;

TEST(SerialPlatform, NamesWithoutSlashAreDevicesUnderDev) {
  EXPECT_EQ(DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(DevicePath("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(DevicePath("serial/by-id/x"), "serial/by-id/x");
}

TEST(SerialPlatform, CounterChangesBecomeLineEventsAndErrorBits) {
  const TLineCounters Before{1, 1, 1, 1, 1, 1, 1};
  TLineCounters After = Before;
  quint32 ErrorWord = 0;
  EXPECT_EQ(LineEventsBetween(Before, After, 0x1A0, ErrorWord), 0u);

  After.Frame = 2;
  After.BufOverrun = 5;
  After.Dcd = 3;
  EXPECT_EQ(LineEventsBetween(Before, After, 0x1A0, ErrorWord), EventErr | EventRlsd);
  EXPECT_EQ(ErrorWord, ErrorFrame | ErrorRxOver);

  After = Before;
  After.Parity = 2;
  After.Overrun = 2;
  After.Brk = 2;
  After.Rng = 9;
  EXPECT_EQ(LineEventsBetween(Before, After, EventRing, ErrorWord), EventRing);  // errors unwatched
  EXPECT_EQ(ErrorWord, ErrorFrame | ErrorRxOver);
  EXPECT_EQ(LineEventsBetween(Before, After, 0x1A0, ErrorWord), EventErr | EventRing);
  EXPECT_EQ(ErrorWord, 0x1Fu);
}

TEST(SerialPlatform, ManualResetEventStaysSignalledUntilReset) {
  TEvent First, Second;
  ASSERT_TRUE(First.IsValid() && Second.IsValid());
  EXPECT_EQ(TEvent::WaitAny({&First, &Second}, 0), -1);
  Second.Signal();
  First.Signal();
  EXPECT_EQ(TEvent::WaitAny({&First, &Second}, 0), 0);  // the lowest position wins
  EXPECT_TRUE(First.IsSignalled());
  First.Reset();
  EXPECT_EQ(TEvent::WaitAny({&First, &Second}, -1), 1);
}

// A reader that is never started: its handlers run on the test's thread and post to Comm.
class ReaderReports : public ::testing::Test {
 protected:
  void SetUp() override {
    Device = OpenSerialDevice(Pty.Path);
    ASSERT_TRUE(Device);
    Reader.hCommFile = Device.get();
    Reader.hCloseEvent = &Close;
    Reader.hComm32Window = &Comm;
  }
  TPty Pty;
  std::unique_ptr<TSerialDevice> Device;
  TEvent Close;
  TComm Comm;
  TCommProbe Probe{Comm};
  TReadThread Reader;
};

TEST_F(ReaderReports, CarrierAndRingInOneWaitGiveOneModemChange) {
  EXPECT_TRUE(Reader.HandleCommEvent(EventRlsd | EventRing));
  EXPECT_TRUE(Reader.HandleCommEvent(EventRlsd));
  ASSERT_TRUE(WaitUntil([&] { return Probe.ModemEvents.size() == 2; }));
  EXPECT_EQ(Probe.ModemEvents, (QList<quint32>{12, ModemEventRlsd}));
  EXPECT_EQ(Probe.Hangups, 0);
}

TEST_F(ReaderReports, UnreadableErrorWordOrEmptyWaitRequestHangup) {
  EXPECT_FALSE(Reader.HandleCommEvent(EventErr | EventRing));  // a pty keeps no error counters
  EXPECT_FALSE(Reader.HandleCommEvent(0));
  ASSERT_TRUE(WaitUntil([&] { return Probe.Hangups == 2; }));
  EXPECT_TRUE(Probe.Errors.isEmpty());
  EXPECT_TRUE(Probe.ModemEvents.isEmpty());  // the error check comes first
}

TEST_F(ReaderReports, EmptyChunkEndsTheReaderSilently) {
  const quint8 Buffer[2] = {'x', 'y'};
  EXPECT_FALSE(Reader.HandleReadData(Buffer, 0));
  EXPECT_TRUE(Reader.HandleReadData(Buffer, 2));
  ASSERT_TRUE(WaitUntil([&] { return Probe.Chunks.size() == 1; }));
  Settle(50);
  EXPECT_EQ(Probe.Chunks, (QList<QByteArray>{"xy"}));
  EXPECT_EQ(Probe.Hangups, 0);
}

TEST_F(ReaderReports, UnassignedCallbacksConsumeNotifications) {
  TComm Silent;
  Reader.hComm32Window = &Silent;
  const quint8 Byte = 'z';
  EXPECT_TRUE(Reader.HandleReadData(&Byte, 1));
  EXPECT_TRUE(Reader.HandleCommEvent(EventRing));
  Settle(50);
  EXPECT_TRUE(Probe.Chunks.isEmpty() && Probe.ModemEvents.isEmpty());
}

}  // namespace
