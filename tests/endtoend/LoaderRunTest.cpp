// Whole runs through the loader program: the image written compressed at 921600 bit/s and its
// digest compared, and the runs on which the program fails, which go on through the boot ROM.

#include "tests/endtoend/FlashRunSupport.h"
#include "tests/window/RecordingDevice.h"

#include "app/SettingsBinding.h"

#include <QElapsedTimer>

#include <cstdio>

namespace {

class TLoaderRun : public TLoadingRun {
 protected:
  // The image as written at 0, with the Advanced page's header codes.
  static QByteArray Patched(const QString& Name) {
    QByteArray Image = BuiltInImage(Name);
    Image[2] = 0x02;  // DIO
    Image[3] = 0x40;  // 4 MByte, 40 MHz
    return Image;
  }

  // The flash after a run that wrote Name at 0: the image, the rest of its last sector erased,
  // every other byte as it was.
  static QByteArray Expected(const QString& Name) {
    const QByteArray Image = Patched(Name);
    const qsizetype Erased = (Image.size() + 4095) / 4096 * 4096;
    return Image + QByteArray(Erased - Image.size(), '\xFF') +
           QByteArray(4 * 1024 * 1024 - Erased, Untouched);
  }

  int LoaderRequests(quint8 Command) {
    int Count = 0;
    Loading.WithModule([&](TSimulatedModule& Sim) {
      for (const TSimRequest& Request : Sim.Requests()) Count += Request.Command == Command;
    });
    return Count;
  }

  // Each run starts by pulsing the module into its boot loader, which the simulated module
  // cannot see: the test resets it instead.
  void FlashReset(const QString& Name) {
    Loading.Reset();
    Flash(Name);
  }

  void ExpectDone() {
    EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES")) << Log().join('\n').toStdString();
    EXPECT_EQ(Form->ProgressBarStatus->value(), 100);
    EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
    EXPECT_EQ(Form->LabeledEditSTAMAC->text(), STAMAC);
  }

};

TEST_F(TLoaderRun, BothImagesGoThroughTheLoaderWithTheDigestEqual) {
  for (const QString Name : {"CORVEL", "UPYTHON"}) {
    SCOPED_TRACE(Name.toStdString());
    Form->MemoOutput->clear();
    QElapsedTimer Run;
    Run.start();
    FlashReset(Name);
    ASSERT_TRUE(RunEnded());
    std::printf("%s through the loader: %lld ms\n", qPrintable(Name), Run.elapsed());
    ExpectDone();
    const QStringList Lines = Log();
    EXPECT_EQ(Lines.filter(QRegularExpression("^(Warning|Error)")), QStringList());
    const QString Digest = QStringLiteral("%1").arg(OnChipDigest(Patched(Name)), 8, 16, QChar(u'0'));
    EXPECT_EQ(Count("Note: Flash digest " + Digest + " equals the image's."), 1);
    EXPECT_EQ(Count("Note: Program flash success."), 0);
    Loading.WithModule([&](TSimulatedModule& Sim) { EXPECT_TRUE(Sim.Flash() == Expected(Name)); });
    EXPECT_EQ(Form->Comm()->BaudRate(), LoaderRate);
  }
  EXPECT_EQ(LoaderRequests(SimFlashData), 0);
  EXPECT_EQ(LoaderRequests(SimLoaderFinish), 2);
}

// An adapter whose driver refuses rates above 576000: the port stays at 576000, the program is
// never asked for 921600, and the run ends done through it at 576000 with one warning.
TEST_F(TLoaderRun, ARateThePortRefusesIsNeverAskedOfTheLoader) {
  TLineRecorder Adapter;
  Adapter.MaxRate = RomRate;
  Adapter.Attach(*Form->Comm());
  FlashReset("CORVEL");
  ASSERT_TRUE(RunEnded());
  ExpectDone();
  EXPECT_EQ(
      Log().filter(QRegularExpression("^(Warning|Error)")),
      QStringList{"Warning: The port does not run at 921600 bit/s; the loader stays at 576000."});
  EXPECT_EQ(LoaderRequests(SimLoaderRate), 0);
  EXPECT_EQ(LoaderRequests(SimLoaderFinish), 1);
  EXPECT_EQ(Form->Comm()->BaudRate(), RomRate);
  EXPECT_EQ(Loading.LineRate(), RomRate);
  Loading.WithModule(
      [&](TSimulatedModule& Sim) { EXPECT_TRUE(Sim.Flash() == Expected("CORVEL")); });
}

// The program fails in each of its three ways; every run ends done through the boot ROM at
// 576000 bit/s with one warning. The simulated module cannot see the control lines, so the test
// resets it when the tool's warning says it pulses them, as the boot pulse does a real module.
TEST_F(TLoaderRun, AFailingLoaderLeavesTheRunToTheBootRom) {
  struct {
    const char* Warning;
    std::function<void(TSimMisbehaviour&)> Setup;
    bool Reset;
  } Cases[] = {
      {"Warning: The loader could not be uploaded; flashing through the boot ROM.",
       [](TSimMisbehaviour& Bad) { Bad.Fail = {SimMemBegin, -1}; }, false},
      {"Warning: The loader did not start; flashing through the boot ROM.",
       [](TSimMisbehaviour& Bad) { Bad.LoaderSilent = true; }, true},
      {"Warning: The loader did not answer at the new rate; flashing through the boot ROM.",
       [](TSimMisbehaviour& Bad) { Bad.LoaderSilentAfterRate = true; }, true},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Warning);
    Form->MemoOutput->clear();
    Loading.WithModule([&](TSimulatedModule& Sim) {
      Sim.Misbehaviour() = TSimMisbehaviour();
      Case.Setup(Sim.Misbehaviour());
      Sim.PresetFlash(0, QByteArray(Sim.Flash().size(), Untouched));
    });
    FlashReset("CORVEL");
    ASSERT_TRUE(WaitUntil([&] { return Count(Case.Warning) == 1; }, 15000));
    if (Case.Reset) Loading.Reset();
    ASSERT_TRUE(RunEnded());
    ExpectDone();
    const QStringList Lines = Log();
    EXPECT_EQ(Lines.filter(QRegularExpression("^(Warning|Error)")), QStringList{Case.Warning});
    EXPECT_EQ(Count("Note: RQ53 ACK success."), Case.Reset ? 2 : 1);
    EXPECT_EQ(Count("Note: Program flash success."), 469);
    EXPECT_EQ(Form->Comm()->BaudRate(), RomRate);
    Loading.WithModule([&](TSimulatedModule& Sim) {
      EXPECT_TRUE(Sim.Flash() == Expected("CORVEL"));
    });
  }
}

// A module that stays silent after the loader failed and its reset: the run fails, and its outcome
// keeps the module's name as the error line has it.
TEST_F(TLoaderRun, AModuleSilentAfterItsResetFailsTheRun) {
  Loading.WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().LoaderSilentAfterRate = true; });
  FlashReset("CORVEL");
  const QString Outcome = "Error: CORVEL not flashed: RQ53 did not answer after its reset.";
  ASSERT_TRUE(WaitUntil([&] { return Count(Outcome) == 1; }, 60000)) << Log().join('\n').toStdString();
  EXPECT_EQ(Count("Error: RQ53 did not answer after its reset."), 1);
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
}

// A module with a 1 MByte chip: the program tells it, and a run whose image passes the chip's end
// or whose flash size setting is larger than the chip is refused before anything is erased. An
// image that fits keeps the header size the settings give.
TEST_F(TLoaderRun, TheChipFoundRefusesWhatPassesItBeforeTheErase) {
  TSimulatedModule OneMiB(1024 * 1024);
  OneMiB.SetEfuseWords(EfuseWords);
  TSimulatedPort Small{OneMiB, 576000};
  Form->ComboBoxSerialPortA->setEditText(Small.SlavePath());
  Small.WithModule([](TSimulatedModule& Sim) { Sim.PresetFlash(0, QByteArray(1024 * 1024, Untouched)); });
  const struct {
    QString Offset, FlashSize, Reason;
  } Cases[] = {
      {"0x7F000", "4MByte",
       "firmware image of 598432 bytes at 0x7F000 does not fit in the chip's 1 MByte flash"},
      {"0x00000", "4MByte", "flash size 4MByte is larger than the chip's 1 MByte"},
      {"0x00000", "1MByte", ""},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Reason.toStdString());
    Form->MemoOutput->clear();
    Form->FrameConfigLine1->SetOffset(Case.Offset);
    Form->ComboBoxFlashSize->setCurrentIndex(FlashSizeItems.indexOf(Case.FlashSize));
    Small.Reset();
    Flash("UPYTHON");
    ASSERT_TRUE(RunEnded());
    EXPECT_EQ(Count("Note: Flash chip C8 40 14, 1 MByte."), 1) << Log().join('\n').toStdString();
    EXPECT_EQ(Outcome().ChipId, 0x1440C8u);
    if (Case.Reason.isEmpty()) {
      EXPECT_EQ(Outcome().Result, TRunResult::Done);
      Small.WithModule([](TSimulatedModule& Sim) {
        EXPECT_EQ(Sim.Flash()[3], char(0x20));  // 1 MByte, 40 MHz
        EXPECT_EQ(Sim.Flash().mid(4, 598432 - 4), BuiltInImage("UPYTHON").mid(4));
      });
      continue;
    }
    ExpectFailure("Error: " + Case.Reason.first(1).toUpper() + Case.Reason.sliced(1) + ".", Case.Reason);
    EXPECT_EQ(Outcome().Reason, TRunReason::BadSettings);
    Small.WithModule([](TSimulatedModule& Sim) {
      EXPECT_TRUE(Sim.Flash() == QByteArray(1024 * 1024, Untouched));
      for (const TSimRequest& Request : Sim.Requests()) EXPECT_NE(Request.Command, SimLoaderBegin);
    });
    PressFlash();
  }
}

}  // namespace
