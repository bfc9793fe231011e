#pragma once
// Whole flash runs through the real window, the serial component with its threads and the
// simulated module on a pseudo-terminal paced like a real line, on a real event loop.

#include "tests/window/WindowTestSupport.h"

#include "app/FlashRunControl.h"
#include "firmware/ResourceCatalogue.h"
#include "firmware/UnitFrameConfigLine.h"
#include "serial/SPComm.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>


// eFuse words of a module whose station address is 18:FE:34:12:34:56.
inline constexpr std::array<quint32, 4> EfuseWords{0x56400000, 0x00001234, 0x00000000, 0x00000000};
inline const QString STAMAC = QStringLiteral("18:FE:34:12:34:56");
inline const QString APMAC = QStringLiteral("1A-FE-34-12-34-56");

inline TSimulatedModule Module() {
  TSimulatedModule Module;
  Module.SetEfuseWords(EfuseWords);
  return Module;
}

// A module whose boot ROM loads no program: a run goes on through the ROM at 576000 bit/s at once,
// after one warning. The runs that look at the ROM's path use it.
inline TSimulatedModule RomOnlyModule() {
  TSimulatedModule Sim = Module();
  Sim.Misbehaviour().RefuseUpload = true;
  return Sim;
}
inline const QString UploadRefused =
    QStringLiteral("Warning: The loader could not be uploaded; flashing through the boot ROM.");

inline QByteArray BuiltInImage(const QString& Name) {
  return ResourceCatalogue::Load(QStringLiteral("BIN"), QStringLiteral("_X_") + Name).value();
}

// What an independent QR decoder reads in the picture, scaled up so that it finds the symbol.
inline QString DecodeQRPicture(const QString& Path, const QString& Folder) {
  const QImage Picture(Path);
  const QString Scaled = Folder + "/scaled.png";
  Picture.scaled(Picture.size() * 8, Qt::IgnoreAspectRatio, Qt::FastTransformation).save(Scaled);
  QProcess Decoder;
  Decoder.start(QStringLiteral("zbarimg"), {"--raw", "-q", Scaled});
  Decoder.waitForFinished(10000);
  QString Text = QString::fromLatin1(Decoder.readAllStandardOutput());
  if (Text.endsWith('\n')) Text.chop(1);
  return Text;
}

class TFlashRun : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    Form->ComboBoxSerialPortA->setEditText(Port.SlavePath());
  }

  void Flash(const QString& Firmware) {
    ChooseFirmware(Firmware);
    RunFirmware = Firmware;
    RunsBefore = Form->FlashStation().FinishedRuns();
    RunTime.start();
    PressFlash();
    ASSERT_TRUE(Form->Comm()->PortOpen());
  }

  // A run has ended when its outcome is given.
  bool RunEnded(int TimeoutMs = 60000) {
    return WaitUntil([&] { return Form->FlashStation().FinishedRuns() > RunsBefore; }, TimeoutMs);
  }
  const TRunOutcome& Outcome() const { return *Form->FlashStation().LastOutcome(); }

  void WithModule(const std::function<void(TSimulatedModule&)>& Fn) { Port.WithModule(Fn); }

  int Requests(quint8 Command) {
    int Count = 0;
    WithModule([&](TSimulatedModule& Sim) {
      for (const TSimRequest& Request : Sim.Requests()) Count += Request.Command == Command;
    });
    return Count;
  }

  int Count(const QString& Line) const { return int(Log().count(Line)); }
  QString ConfigFile(const QString& Name) const { return Form->ConfigDir() + Name; }
  QStringList Pictures() const {
    return QDir(Form->ConfigDir()).entryList({"*.png"}, QDir::Files, QDir::Name);
  }

  QString OutcomeLine(const QString& Failure) const {
    return "Error: " + RunFirmware + " not flashed: " + Failure + ".";
  }

  // A failed run: its error line, the outcome line last, the NO picture, the port left open for
  // the user to stop.
  void ExpectFailure(const QString& Error, const QString& Reason) {
    EXPECT_EQ(Count(Error), 1) << Log().join('\n').toStdString();
    EXPECT_EQ(Log().last(), OutcomeLine(Reason));
    ASSERT_TRUE(Form->FlashStation().LastOutcome().has_value());
    EXPECT_EQ(Outcome().Result, TRunResult::Failed);
    EXPECT_EQ(Outcome().ReasonText, Reason);
    EXPECT_EQ(Outcome().Firmware, RunFirmware);
    EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
    EXPECT_FALSE(Form->TimerStateMachine->isActive());
    EXPECT_EQ(Form->ButtonBurn->text(), "Stop(&S)");
    EXPECT_EQ(Form->LabelStatus->text(), "Ready ");
  }

  // A finished run of the CORVEL image through the boot ROM: every reply recognised once, the image in flash with the
  // Advanced page's header codes, the YES picture and the port closed.
  void ExpectCorvelFlashed() {
    const QByteArray Image = BuiltInImage("CORVEL");
    ASSERT_EQ(Image.size(), 480096);
    const QStringList Lines = Log();
    EXPECT_EQ(Lines.mid(0, 3), QStringList({"Note: Serial port connected.",
                                            "Note: Begin find RQ53.", "Note: RQ53 ACK success."}));
    EXPECT_EQ(Count("Note: RQ53 ACK success."), 1);
    EXPECT_EQ(Count("Note: Set base address success."), 1);
    EXPECT_EQ(Count("Note: Program flash success."), 469);
    EXPECT_EQ(Lines.filter(QRegularExpression("^(Warning|Error)")), QStringList{UploadRefused});
    EXPECT_EQ(Lines[Lines.size() - 1], "Note: Serial port disconnected.");
    // The outcome follows the last block's note, timed from the press of Flash.
    const qsizetype LastBlock = Lines.lastIndexOf("Note: Program flash success.");
    const QRegularExpressionMatch Outcome =
        QRegularExpression("^Note: CORVEL flashed to " + STAMAC + R"( in (\d+\.\d) s\.$)")
            .match(Lines.value(LastBlock + 1));
    ASSERT_TRUE(Outcome.hasMatch()) << Lines.value(LastBlock + 1).toStdString();
    const double Seconds = Outcome.captured(1).toDouble();
    EXPECT_LE(Seconds, RunTime.elapsed() / 1000.0 + 0.05);
    EXPECT_GE(Seconds, RunTime.elapsed() / 1000.0 - 1.0);

    QByteArray Expected = Image;
    Expected[2] = 0x02;  // DIO
    Expected[3] = 0x40;  // 4 MByte, 40 MHz
    WithModule([&](TSimulatedModule& Sim) { EXPECT_TRUE(Sim.Flash().startsWith(Expected)); });
    EXPECT_EQ(Requests(SimFlashData), 469);
    EXPECT_EQ(Form->ProgressBarStatus->value(), 100);
    EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES"));
    EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
    EXPECT_EQ(Form->RunRecord().RunState, StateFinished);
    const TRunOutcome Done = Form->FlashStation().LastOutcome().value();
    EXPECT_EQ(Done.Result, TRunResult::Done);
    EXPECT_EQ(Done.Path, TFlashPath::BootRomAfterLoader);
    EXPECT_EQ(Done.LoaderFailure, "the loader could not be uploaded");
    EXPECT_FALSE(Done.Verified);
    EXPECT_EQ(Done.StationMAC, STAMAC);
    EXPECT_EQ(Done.AccessPointMAC, APMAC);
    EXPECT_EQ(Done.Port, Port.SlavePath());
    EXPECT_EQ(Done.BlocksWritten, 469);
    EXPECT_EQ(Done.BlockCount, 469);
    EXPECT_NEAR(Done.Seconds, Seconds, 0.051);
  }

  // Records in "RQ53MAC.txt": four lines each.
  int Records() const {
    QFile File(ConfigFile("RQ53MAC.txt"));
    if (!File.open(QIODevice::ReadOnly)) return 0;
    return int(File.readAll().count("STA MAC:"));
  }

  // The operator stops a failed run if it is still open, puts the next module on Next and flashes
  // it: the run must succeed.
  void ExpectNextRunSucceeds(TSimulatedPort& Next) {
    if (Form->Comm()->PortOpen()) PressFlash();
    ASSERT_FALSE(Form->Comm()->PortOpen());
    const int Before = Records();
    Form->MemoOutput->clear();
    Form->ComboBoxSerialPortA->setEditText(Next.SlavePath());
    Flash("CORVEL");
    ASSERT_TRUE(RunEnded());
    EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES")) << Log().join('\n').toStdString();
    EXPECT_EQ(Count("Note: Program flash success."), 469);
    EXPECT_EQ(Records(), Before + 1);
  }

  TSimulatedPort Port{RomOnlyModule(), 576000};
  QElapsedTimer RunTime;  // since the last press of Flash that started a run
  QString RunFirmware;    // the firmware of that run
  int RunsBefore = 0;     // runs over before that press
};

// A run on a module that takes the loader program, its flash filled with Untouched bytes first, so
// that what a run erased or wrote shows.
class TLoadingRun : public TFlashRun {
 protected:
  static constexpr char Untouched = '\x5A';

  void SetUp() override {
    TFlashRun::SetUp();
    Form->ComboBoxSerialPortA->setEditText(Loading.SlavePath());
    Loading.WithModule([](TSimulatedModule& Sim) {
      Sim.PresetFlash(0, QByteArray(Sim.Flash().size(), Untouched));
    });
  }

  TSimulatedPort Loading{Module(), 576000};
};
