// Runs that fail as runs on a production line do: the adapter pulled, a module that floods the
// line with console text, answers at the wrong rate, stops answering or refuses a block. Each
// ends at once with a clear line, records only a module whose MAC was read, and the next module
// flashes as usual.

#include "tests/endtoend/FlashRunSupport.h"

namespace {

using TFaultRun = TFlashRun;

TEST_F(TFaultRun, APulledAdapterEndsTheRunAtOnce) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().Unplug = {SimFlashData, 1, 100}; });
  Flash("CORVEL");
  ASSERT_TRUE(WaitUntil([&] { return !Form->Comm()->PortOpen(); }, 20000));
  EXPECT_EQ(Count("Error: Serial port lost; is the adapter still plugged in?"), 1);
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
  EXPECT_FALSE(Form->TimerStateMachine->isActive());
  EXPECT_EQ(Log().filter("timeout"), QStringList());
  EXPECT_EQ(Records(), 1);
  ASSERT_TRUE(WaitUntil([&] { return !Form->RunControl().WorkerRunning(); }, 2000));
  EXPECT_EQ(Log().last(), QString("Warning: CORVEL not flashed: serial port lost after %1 of 469 blocks.")
                             .arg(Count("Note: Program flash success.")));
  TSimulatedPort Next{RomOnlyModule(), 576000};
  ExpectNextRunSucceeds(Next);
}

// The text arrives before the replies; the run waits for it and succeeds, here and after it.
TEST_F(TFaultRun, ConsoleTextDuringTheHandshakeAndAfterARun) {
  Port.SendConsoleText(1 << 20);
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(90000));
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES"));
  EXPECT_EQ(Count("Note: Program flash success."), 469);
  EXPECT_LE(Form->FlashStation().ReceivedBytesHeld(), MaxReplyFrameBytes);
  Port.SendConsoleText(256 << 10);
  ExpectNextRunSucceeds(Port);
}

TEST_F(TFaultRun, AModuleAtTheWrongRateIsNeverTakenForAnAnswer) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().ReplyRate = 74880; });
  Flash("CORVEL");
  const QString Unreadable =
      "Warning: RQ53 answers with unreadable bytes; does it run at another rate?";
  ASSERT_TRUE(WaitUntil([&] { return Log().contains(Unreadable); }, 10000));
  EXPECT_EQ(Form->RunRecord().RunState, StateHandshake);
  EXPECT_EQ(Log().filter("ACK"), QStringList());
  PressFlash();
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  EXPECT_EQ(Records(), 0);
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().ReplyRate = 0; });
  ExpectNextRunSucceeds(Port);
}

TEST_F(TFaultRun, AModuleThatStopsAnsweringMidImage) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimFlashData, -1, 200}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(30000));
  ExpectFailure("Error: Write flash timeout.", "no reply to block 201 of 469 within 5 s");
  EXPECT_EQ(Count("Note: Program flash success."), 200);
  EXPECT_EQ(Records(), 1);
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {}; });
  ExpectNextRunSucceeds(Port);
}

TEST_F(TFaultRun, AFailureStatusMidImage) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().Fail = {SimFlashData, 1, 300}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(30000));
  ExpectFailure("Error: RQ53 rejected flash data (error 0x05).",
                "block 301 of 469 refused (invalid message)");
  EXPECT_EQ(Count("Note: Program flash success."), 300);
  Settle(100);
  EXPECT_EQ(Requests(SimFlashData), 301);
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().Fail = {}; });
  ExpectNextRunSucceeds(Port);
}

// Settings that cannot take the image are refused after the MAC is read, before anything is
// erased: one error line, the NO picture, nothing sent but SYNC and the register reads. A size
// index out of range in the settings file leaves its box without a choice, as here.
TEST_F(TFaultRun, ImpossibleSettingsAreRefusedBeforeAnythingIsErased) {
  const struct {
    const char* Firmware;
    const char* Offset;
    int FlashSize;
    QString Error;
    QString Outcome;
  } Cases[] = {
      {"CORVEL", "0x1800", 4, "Error: Flash offset 0x1800 is not on a 4 KiB sector boundary.",
       "flash offset 0x1800 is not on a 4 KiB sector boundary"},
      {"UPYTHON", "0x3A0000", 4,
       "Error: Firmware image of 598432 bytes at 0x3A0000 does not fit in 4MByte flash.",
       "firmware image of 598432 bytes at 0x3A0000 does not fit in 4MByte flash"},
      {"CORVEL", "0x00000", 99, "Error: No flash size chosen; its value in Config.xml is out "
                                "of range.",
       "no flash size chosen; its value in Config.xml is out of range"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Offset);
    Form->MemoOutput->clear();
    Form->FrameConfigLine1->SetOffset(Case.Offset);
    Form->ComboBoxFlashSize->setCurrentIndex(Case.FlashSize);
    Flash(Case.Firmware);
    ASSERT_TRUE(RunEnded(15000));
    ExpectFailure(Case.Error, Case.Outcome);
    EXPECT_EQ(Log().filter("Error"), QStringList({Case.Error, OutcomeLine(Case.Outcome)}));
    PressFlash();
  }
  EXPECT_EQ(Records(), 3);
  Settle(100);
  WithModule([](TSimulatedModule& Sim) {
    for (const TSimRequest& Request : Sim.Requests())
      EXPECT_TRUE(Request.Command == SimSync || Request.Command == SimReadReg)
          << int(Request.Command);
  });
}

}  // namespace
