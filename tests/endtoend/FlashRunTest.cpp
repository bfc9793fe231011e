// Whole flash runs of the built-in images: what reaches the module, the window and the record.

#include "tests/endtoend/FlashRunSupport.h"

#include <QElapsedTimer>

#include <cstdio>

namespace {

TEST_F(TFlashRun, FlashesAndRecordsAModule) {
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded());
  ExpectCorvelFlashed();
  EXPECT_EQ(Form->LabeledEditSTAMAC->text(), STAMAC);
  EXPECT_EQ(Form->LabeledEditAPMAC->text(), APMAC);
  QFile Record(ConfigFile("RQ53MAC.txt"));
  ASSERT_TRUE(Record.open(QIODevice::ReadOnly));
  const QStringList Fields = QString::fromLatin1(Record.readAll()).split("\r\n");
  ASSERT_EQ(Fields.size(), 5);
  EXPECT_EQ(Fields.mid(1), QStringList({" AP MAC:" + APMAC, "STA MAC:" + STAMAC, "", ""}));
  EXPECT_EQ(Pictures(), QStringList{Fields[0] + ".png"});
  EXPECT_EQ(DecodeQRPicture(ConfigFile(Fields[0] + ".png"), AppDir.path()),
            " AP MAC:" + APMAC + "\r\nSTA MAC:" + STAMAC);
  // The window's run has its row in the results log too.
  QFile Results(ConfigFile("runs.csv"));
  ASSERT_TRUE(Results.open(QIODevice::ReadOnly));
  const QStringList Rows = QString::fromUtf8(Results.readAll()).split("\r\n");
  ASSERT_EQ(Rows.size(), 3);
  EXPECT_TRUE(Rows[0].startsWith("time,host,version,port,firmware,"));
  EXPECT_TRUE(Rows[1].contains(",CORVEL,") && Rows[1].contains("," + STAMAC + "," + APMAC + ",done,false,boot-rom-after-loader,"))
      << Rows[1].toStdString();
  EXPECT_TRUE(Rows[1].endsWith("," + Fields[0] + ".png")) << Rows[1].toStdString();

  EXPECT_EQ(Form->LabelStatus->text(), "Ready ");
}

// The reset banner comes as garbage before the first reply, and every reply (the 8 SYNC frames
// as one) in three pieces 2 ms apart, each read on its own: the run goes as with a module that
// answers in one piece.
TEST_F(TFlashRun, RecognisesRepliesAfterTheBannerAndInPieces) {
  WithModule([](TSimulatedModule& Sim) {
    Sim.Misbehaviour().BannerBeforeFirstReply = true;
    Sim.Misbehaviour().SplitPieces = 3;
    Sim.Misbehaviour().SplitGapMs = 2;
  });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded());
  ExpectCorvelFlashed();
}

TEST_F(TFlashRun, SendsAnImageAtAnotherOffsetUnchanged) {
  Form->FrameConfigLine1->SetOffset("0x10000");
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES"));
  WithModule([&](TSimulatedModule& Sim) {
    EXPECT_EQ(Sim.Flash().mid(0x10000, 480096), BuiltInImage("CORVEL"));
  });
}

TEST_F(TFlashRun, ARegisterReadTimeOutRecordsNothing) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimReadReg, -1}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(15000));
  ExpectFailure("Error: Read RQ53 register timeout.", "no reply to the MAC read within 5 s");
  EXPECT_EQ(Requests(SimFlashBegin), 0);
  EXPECT_FALSE(QFile::exists(ConfigFile("RQ53MAC.txt")));
  EXPECT_TRUE(Pictures().isEmpty());
  EXPECT_EQ(Form->LabeledEditSTAMAC->text(), "Waiting MAC");
}

// An operator labels boards from the MAC boxes: a run that fails before the next module's MAC is
// read shows no MAC at all, not the last module's, and its bar starts from nothing.
TEST_F(TFlashRun, ARunFailingBeforeTheMACShowsNoOldMAC) {
  TSimulatedPort Good{Module(), 576000};
  Form->ComboBoxSerialPortA->setEditText(Good.SlavePath());
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded());
  ASSERT_EQ(Form->LabeledEditSTAMAC->text(), STAMAC);
  ASSERT_EQ(Form->ProgressBarStatus->value(), 100);
  TSimulatedPort Deaf{Module(), 576000};
  Deaf.WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimReadReg, -1}; });
  Form->ComboBoxSerialPortA->setEditText(Deaf.SlavePath());
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(15000));
  EXPECT_EQ(Form->LabeledEditSTAMAC->text(), "Waiting MAC");
  EXPECT_EQ(Form->LabeledEditAPMAC->text(), "Waiting MAC");
  EXPECT_EQ(Form->ProgressBarStatus->value(), 0);
  EXPECT_EQ(Outcome().Reached, TRunStage::MacRead);
  EXPECT_EQ(Outcome().Reason, TRunReason::MacTimeout);
  EXPECT_TRUE(Outcome().StationMAC.isEmpty());
  PressFlash();
  Form->ComboBoxSerialPortA->setEditText("/dev/ferrule-no-such-port");
  RunsBefore = Form->FlashStation().FinishedRuns();
  PressFlash();
  ASSERT_TRUE(RunEnded(1000));
  EXPECT_EQ(Form->LabeledEditSTAMAC->text(), "Waiting MAC");
  EXPECT_EQ(Outcome().Reason, TRunReason::PortNotOpened);
}

// A module that stays silent after FLASH_BEGIN is given up once the worst erase of the image's
// sectors (7 blocks and 6 sectors: 16.4 s) and the usual reply wait have passed.
TEST_F(TFlashRun, AnAddressTimeOutSendsNoBlock) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimFlashBegin, -1}; });
  QElapsedTimer Run;
  Run.start();
  Flash("CORVEL");
  ASSERT_TRUE(WaitUntil([&] { return Requests(SimFlashBegin) == 1; }, 10000));
  const qint64 Sent = Run.elapsed();
  ASSERT_TRUE(RunEnded(40000));
  ExpectFailure("Error: Set RQ53 Address timeout.", "no reply to the flash start within 21.4 s");
  EXPECT_EQ(Count("Note: Erasing 472 KiB."), 1);
  EXPECT_EQ(Requests(SimFlashData), 0);
  EXPECT_TRUE(QFile::exists(ConfigFile("RQ53MAC.txt")));
  RecordProperty("SilentAfterFlashBeginMs", int(Run.elapsed() - Sent));
  std::printf("silent module after FLASH_BEGIN given up after %lld ms\n", Run.elapsed() - Sent);
}

// A slow flash chip: 40 ms per sector makes the erase of the larger image take 5.9 s, longer
// than any other reply may take. The run waits for it and ends done.
TEST_F(TFlashRun, ASlowEraseIsWaitedFor) {
  WithModule([](TSimulatedModule& Sim) { Sim.Timing().EraseMsPerSector = 40; });
  QElapsedTimer Run;
  Run.start();
  Flash("UPYTHON");
  ASSERT_TRUE(RunEnded(90000));
  const QStringList Lines = Log();
  EXPECT_EQ(Lines.filter(QRegularExpression("^(Warning|Error)")), QStringList{UploadRefused});
  const qsizetype Erasing = Lines.indexOf("Note: Erasing 588 KiB.");
  ASSERT_GE(Erasing, 0) << Lines.join('\n').toStdString();
  EXPECT_EQ(Lines.value(Erasing + 1), "Note: Set base address success.");
  EXPECT_EQ(Count("Note: Program flash success."), 585);
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES"));
  WithModule([&](TSimulatedModule& Sim) {
    EXPECT_EQ(Sim.Flash().mid(4, 598432 - 4), BuiltInImage("UPYTHON").mid(4));
  });
  RecordProperty("SlowEraseRunMs", int(Run.elapsed()));
  std::printf("UPYTHON run with 40 ms per sector took %lld ms\n", Run.elapsed());
}

TEST_F(TFlashRun, ABlockTimeOutEndsTheRun) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimFlashData, -1}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(15000));
  ExpectFailure("Error: Write flash timeout.", "no reply to block 1 of 469 within 5 s");
  EXPECT_EQ(Requests(SimFlashData), 1);
  PressFlash();
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_EQ(Count("Warning: Serial port closed by user."), 1);
}

// A refused block is never taken for a success: the run ends at once and sends nothing more.
TEST_F(TFlashRun, AFailureStatusEndsTheRunAtOnce) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().Fail = {SimFlashData, 1}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(4000));
  ExpectFailure("Error: RQ53 rejected flash data (error 0x05).",
                "block 1 of 469 refused (invalid message)");
  EXPECT_EQ(Count("Note: Program flash success."), 0);
  Settle(200);
  EXPECT_EQ(Requests(SimFlashData), 1);
}

TEST_F(TFlashRun, AUserStopDuringProgrammingSendsNoFurtherBlock) {
  Flash("CORVEL");
  ASSERT_TRUE(WaitUntil([&] { return Form->ProgressBarStatus->value() >= 10; }));
  PressFlash();
  EXPECT_FALSE(Form->Comm()->PortOpen());
  ASSERT_TRUE(WaitUntil([&] { return !Form->RunControl().WorkerRunning(); }, 2000));
  // A block already on the line (1 KiB takes 18 ms) still arrives; nothing follows it.
  Settle(100);
  const int Sent = Requests(SimFlashData);
  Settle(300);
  EXPECT_EQ(Requests(SimFlashData), Sent);
  EXPECT_LT(Sent, 469);
  EXPECT_EQ(Log().filter("timeout"), QStringList());
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  // The blocks the module took, counted in the log, are those the outcome line names.
  const int Taken = Count("Note: Program flash success.");
  EXPECT_LE(Sent, Taken + 1);
  EXPECT_EQ(Form->FlashStation().LastOutcome()->Result, TRunResult::Stopped);
  EXPECT_EQ(Form->FlashStation().LastOutcome()->BlocksWritten, Taken);
  EXPECT_EQ(Log().last(),
            QString("Warning: CORVEL not flashed: stopped by the user after %1 of 469 blocks.").arg(Taken));
}

// Closing the window during a run asks first. Cancel keeps the run going; Stop ends it as the
// Stop button does (its lines, the outcome, the module recorded), then the window closes.
TEST_F(TFlashRun, ClosingTheWindowMidRunAsksFirst) {
  const QString Question = "A module is being flashed. Stop and quit?";
  Flash("CORVEL");
  ASSERT_TRUE(WaitUntil([&] { return Form->ProgressBarStatus->value() >= 10; }));
  {
    const TMessageBoxAnswerer Answerer("ButtonKeepRunning");
    EXPECT_FALSE(Form->close());
    EXPECT_EQ(Answerer.Texts, QStringList{Question});
  }
  const int Before = Requests(SimFlashData);
  EXPECT_TRUE(WaitUntil([&] { return Requests(SimFlashData) >= Before + 20; }, 10000));
  EXPECT_EQ(Log().filter("Serial port"), QStringList{"Note: Serial port connected."});

  const TMessageBoxAnswerer Answerer("ButtonStopAndQuit");
  EXPECT_TRUE(Form->close());
  EXPECT_EQ(Answerer.Texts, QStringList{Question});
  EXPECT_FALSE(Form->isVisible());
  EXPECT_FALSE(Form->Comm()->PortOpen());
  ASSERT_TRUE(WaitUntil([&] { return !Form->RunControl().WorkerRunning(); }, 2000));
  Settle(100);
  const int Taken = Count("Note: Program flash success.");
  EXPECT_LT(Taken, 469);
  EXPECT_EQ(Log().filter(QRegularExpression("^(Warning|Error)|Serial port")),
            QStringList({"Note: Serial port connected.", UploadRefused,
                         "Note: Serial port disconnected.", "Warning: Serial port closed by user.",
                         QString("Warning: CORVEL not flashed: stopped by the user after %1 of 469 "
                                 "blocks.")
                             .arg(Taken)}));
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  EXPECT_EQ(Records(), 1);
  EXPECT_EQ(Pictures().size(), 1);
  const int Sent = Requests(SimFlashData);
  Form.reset();
  Settle(200);
  EXPECT_EQ(Requests(SimFlashData), Sent);
}

}  // namespace
