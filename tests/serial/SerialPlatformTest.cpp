// Device naming, and the reporting path of line errors and modem-line changes as far as a
// pseudo-terminal (which keeps no error or modem counters) lets it run.

#include "serial/SPComm.h"
#include "serial/SerialPlatform.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

using namespace SerialPlatform;

TEST(SerialPlatform, NamesWithoutSlashAreDevicesUnderDev) {
  EXPECT_EQ(DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(DevicePath("serial/by-id/x"), "serial/by-id/x");
}

TEST(SerialPlatform, CounterChangesBecomeLineEventsAndErrorBits) {
  const TLineCounters Before{1, 1, 1, 1, 1, 1, 1};
  const struct {
    TLineCounters After;
    quint32 Mask, Events, ErrorWord;
  } Cases[] = {
      {Before, 0x1A0, 0, 0},
      {{3, 1, 2, 1, 1, 1, 5}, 0x1A0, EventErr | EventRlsd, ErrorFrame | ErrorRxOver},
      {{1, 9, 1, 2, 2, 2, 1}, EventRing, EventRing, 0},  // errors not watched
      {{1, 9, 1, 2, 2, 2, 1},
       0x1A0,
       EventErr | EventRing,
       ErrorOverrun | ErrorRxParity | ErrorBreak},
  };
  for (const auto& Case : Cases) {
    quint32 ErrorWord = 0;
    EXPECT_EQ(LineEventsBetween(Before, Case.After, Case.Mask, ErrorWord), Case.Events);
    EXPECT_EQ(ErrorWord, Case.ErrorWord);
  }
}

// A reader that is never started: its handlers run on the test's thread and post to Comm.
TEST(ReaderReports, LineEventsBecomeCallbacksAndFailuresHangupRequests) {
  TPty Pty;
  const std::unique_ptr<TSerialDevice> Device = OpenSerialDevice(Pty.Path);
  ASSERT_TRUE(Device);
  TEvent Close;
  TComm Comm, Silent;
  TCommProbe Probe{Comm};
  TReadThread Reader;
  Reader.hCommFile = Device.get();
  Reader.hCloseEvent = &Close;
  Reader.hComm32Window = &Comm;

  EXPECT_TRUE(Reader.HandleCommEvent(EventRlsd | EventRing));
  EXPECT_FALSE(Reader.HandleCommEvent(EventErr | EventRing));  // a pty keeps no error counters
  EXPECT_FALSE(Reader.HandleCommEvent(0));
  ASSERT_TRUE(WaitUntil([&] { return Probe.Hangups == 2; }));
  EXPECT_EQ(Probe.ModemEvents, QList<quint32>{ModemEventRlsd | ModemEventRing});  // one, of 12
  EXPECT_TRUE(Probe.Errors.isEmpty());

  Reader.hComm32Window = &Silent;  // callbacks unassigned: consumed without effect
  const quint8 Byte = 'z';
  EXPECT_TRUE(Reader.HandleReadData(&Byte, 1));
  EXPECT_TRUE(Reader.HandleCommEvent(EventRing));
  Settle(50);
  EXPECT_TRUE(Probe.Chunks.isEmpty());
  EXPECT_EQ(Probe.ModemEvents.size(), 1);
}

}  // namespace
