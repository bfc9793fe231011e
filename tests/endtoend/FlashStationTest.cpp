// Flash runs without any widget, as a console front end makes them: several stations in one
// process, each with its own simulated module (or an empty line) on a pseudo-terminal, on one
// real event loop.

#include "app/FlashStation.h"
#include "serial/SPComm.h"
#include "tests/loader/JobInputs.h"
#include "tests/serial/SerialTestSupport.h"
#include "tests/window/RecordingDevice.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace {

// Records what a front end would show.
class TConsoleView : public TFlashRunView {
 public:
  explicit TConsoleView(QString Port) : Port(std::move(Port)) {}
  QString Port;
  QStringList Lines;
  QList<TRunStatus> Statuses;
  QString Caption, Status, APMACStr, STAMACStr;
  int Progress = -1;
  QImage Picture;
  QStringList Stages;
  std::optional<TRunOutcome> Outcome;

  bool FirmwareSelected() const override { return true; }
  QString SerialPortText() const override { return Port; }
  bool SafeFlashChecked() const override { return false; }
  TFlashJobInputs FlashJobInputs() const override { return BuiltInJobInputs("CORVEL"); }
  void ShowMessage(const QString& Text) override { Lines << "Message: " + Text; }
  void Log(const QString& Text) override { Lines << Text.split(u'\n'); }
  void SetBurnCaption(const QString& Text) override { Caption = Text; }
  void SetLabelStatus(const QString& Text) override { Status = Text; }
  void ShowStage(TRunStage Stage) override { Stages << StageName(Stage); }
  void RunFinished(const TRunOutcome& Ended) override { Outcome = Ended; }
  void SetProgress(int Position) override { Progress = Position; }
  void ShowStatus(TRunStatus Shown) override { Statuses << Shown; }
  void ShowMACTexts(const QString& AP, const QString& STA) override {
    APMACStr = AP;
    STAMACStr = STA;
  }
  void ShowQRPicture(const QImage& Shown) override { Picture = Shown; }
};

TSimulatedModule ModuleWithStationMAC(quint32 FirstWord) {
  TSimulatedModule Module;
  Module.SetEfuseWords(std::array<quint32, 4>{FirstWord, 0x00001234, 0, 0});
  return Module;
}

// Both modules are flashed and recorded; the results log of one station cannot be written (its
// folder is a file): that station says so and still ends its run done.
TEST(FlashStation, TwoPortsAreFlashedAtOnceWithoutWidgets) {
  QTemporaryDir Folder;
  const QString ConfigDir = Folder.path() + "/";
  TSimulatedPort PortA(ModuleWithStationMAC(0x56400000));
  TSimulatedPort PortB(ModuleWithStationMAC(0x57400000));
  TConsoleView ViewA(PortA.SlavePath()), ViewB(PortB.SlavePath());
  QStringList Errors;
  auto Guard = [&](const std::function<void()>& Step) {
    try {
      Step();
    } catch (const std::exception& Error) {
      Errors << QString::fromUtf8(Error.what());
    }
  };
  TFlashStation StationA(ViewA, [&] { return ConfigDir; }, Guard);
  TFlashStation StationB(ViewB, [&] { return ConfigDir; }, Guard);
  const QString Unwritable = ConfigDir + "RQ53MAC.txt/runs.csv";
  StationB.SetResultsFile(Unwritable);

  StationA.ActionBurnExecute(TBurnSender::User);
  StationB.ActionBurnExecute(TBurnSender::User);
  ASSERT_TRUE(StationA.Comm().PortOpen());
  ASSERT_TRUE(StationB.Comm().PortOpen());
  ASSERT_TRUE(WaitUntil([&] { return ViewA.Outcome && ViewB.Outcome; }, 60000));

  EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'\n').toStdString();
  for (TConsoleView* View : {&ViewA, &ViewB}) {
    EXPECT_EQ(View->Statuses, QList<TRunStatus>({TRunStatus::Wait, TRunStatus::Yes}));
    EXPECT_EQ(View->Caption, "Flash(&F)");
    EXPECT_EQ(View->Status, "Ready ");
    EXPECT_EQ(View->Progress, 100);
    EXPECT_FALSE(View->Picture.isNull());
    EXPECT_EQ(View->Lines.mid(0, 2),
              QStringList({"Note: Serial port connected.", "Note: Begin find RQ53."}));
    EXPECT_EQ(View->Lines.last(), View == &ViewA ? "Note: Serial port disconnected."
                                                 : "Error: " + StationB.ResultsLogError());
    EXPECT_FALSE(StationA.Comm().PortOpen());
    EXPECT_EQ(View->Stages,
              QStringList({"open", "sync", "mac", "erase", "write", "verify", "run"}));
    const TRunOutcome& Outcome = *View->Outcome;
    EXPECT_EQ(Outcome.Result, TRunResult::Done);
    EXPECT_TRUE(Outcome.Verified);
    EXPECT_EQ(Outcome.Path, TFlashPath::Loader);
    EXPECT_EQ(Outcome.Port, View->Port);
    EXPECT_EQ(Outcome.StationMAC, View->STAMACStr);
    EXPECT_EQ(Outcome.AccessPointMAC, View->APMACStr);
    EXPECT_EQ(Outcome.BlocksWritten, 469);
    EXPECT_EQ(Outcome.BlockCount, 469);
    EXPECT_TRUE(QFile::exists(ConfigDir + Outcome.PictureFile));
  }
  EXPECT_EQ(ViewA.STAMACStr, "18:FE:34:12:34:56");
  EXPECT_EQ(ViewB.STAMACStr, "18:FE:34:12:34:57");
  QFile Record(ConfigDir + "RQ53MAC.txt");
  ASSERT_TRUE(Record.open(QIODevice::ReadOnly));
  const QString Text = QString::fromLatin1(Record.readAll());
  EXPECT_TRUE(Text.contains("STA MAC:18:FE:34:12:34:56\r\n"));
  EXPECT_TRUE(Text.contains("STA MAC:18:FE:34:12:34:57\r\n"));
  EXPECT_EQ(QDir(ConfigDir).entryList({"*.png"}).size(), 2);
  EXPECT_EQ(StationA.ResultsLogError(), "");
  EXPECT_EQ(StationB.ResultsLogError(), "Cannot write " + Unwritable + ": Not a directory.");
  QFile Results(ConfigDir + "runs.csv");
  ASSERT_TRUE(Results.open(QIODevice::ReadOnly));
  const QString Rows = QString::fromUtf8(Results.readAll());
  EXPECT_EQ(Rows.count("\r\n"), 2) << Rows.toStdString();
  EXPECT_TRUE(Rows.contains(",18:FE:34:12:34:56,")) << Rows.toStdString();
}

// Each station resets its own module into the boot loader on every tenth of its own handshake
// ticks, however many stations tick beside it: after the start-up pulse, nine SYNCs, the boot
// pulse, the tenth SYNC, nine more, the next pulse, and so on. The lines are recorded where each
// station's serial component meets the platform; no module answers.
TEST(FlashStation, EachStationPulsesOnEveryTenthOfItsOwnTicks) {
  for (const int Stations : {2, 4}) {
    SCOPED_TRACE(Stations);
    std::vector<std::unique_ptr<TPty>> Ptys;
    std::vector<std::unique_ptr<TConsoleView>> Views;
    std::vector<std::unique_ptr<TLineRecorder>> Recorders;
    std::vector<std::unique_ptr<TFlashStation>> Runs;
    for (int i = 0; i < Stations; ++i) {
      Ptys.push_back(std::make_unique<TPty>());
      Views.push_back(std::make_unique<TConsoleView>(Ptys.back()->Path));
      Recorders.push_back(std::make_unique<TLineRecorder>());
      Runs.push_back(std::make_unique<TFlashStation>(*Views.back(), [] { return QString(); },
                                                     [](const std::function<void()>& Step) { Step(); }));
      Recorders.back()->Attach(Runs.back()->Comm());
      Runs.back()->ActionBurnExecute(TBurnSender::User);
    }
    const auto Syncs = [](TLineRecorder& Recorder) {
      const auto Events = Recorder.Taken();
      return std::count(Events.begin(), Events.end(), TLineEvent{TLineEvent::Sync, 0});
    };
    ASSERT_TRUE(WaitUntil([&] {
      return std::all_of(Recorders.begin(), Recorders.end(), [&](auto& R) { return Syncs(*R) >= 31; });
    }, 20000));
    for (int i = 0; i < Stations; ++i) {
      Runs[i]->ActionBurnExecute(TBurnSender::User);
      // The SYNCs counted before each boot pulse (DTR off with RTS on, then DTR on with RTS off).
      const auto Events = Recorders[i]->Taken();
      std::vector<int> Before;
      int Sent = 0;
      for (std::size_t e = 1; e < Events.size(); ++e) {
        if (Events[e].Kind == TLineEvent::Sync) ++Sent;
        if (Events[e] == TLineEvent{TLineEvent::Lines, 0, true, false} &&
            Events[e - 1] == TLineEvent{TLineEvent::Lines, 0, false, true} && Sent > 0)
          Before.push_back(Sent);
      }
      ASSERT_GE(Before.size(), 3u) << "station " << i;
      for (std::size_t k = 0; k < Before.size(); ++k) EXPECT_EQ(Before[k], 10 * int(k + 1) - 1);
      // The last tick's SYNC may still have been waiting for its pulse or its writer.
      EXPECT_GE(Runs[i]->RunControl().HandshakeTickCount(), Sent);
      EXPECT_LE(Runs[i]->RunControl().HandshakeTickCount(), Sent + 2);
      ASSERT_TRUE(Views[i]->Outcome.has_value());
      EXPECT_EQ(Views[i]->Outcome->Result, TRunResult::Stopped);
      EXPECT_EQ(Views[i]->Outcome->Reached, TRunStage::Handshake);
    }
  }
}

}  // namespace
