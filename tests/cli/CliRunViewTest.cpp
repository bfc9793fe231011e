// ferrule-cli's view of a run reads the run's typed stages and outcome, never its log: the same
// runs, once with the log as the run writes it and once with every line reworded on its way to the
// view, give the same report, event for event. In process, against simulated modules on
// pseudo-terminals, on a real event loop.

#include "app/FlashStation.h"
#include "cli/CliRuns.h"
#include "tests/loader/JobInputs.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

// Passes everything through to Inner, every log line reworded.
class TRewordingView : public TFlashRunView {
 public:
  explicit TRewordingView(TFlashRunView& Inner) : Inner(Inner) {}
  bool FirmwareSelected() const override { return Inner.FirmwareSelected(); }
  QString SerialPortText() const override { return Inner.SerialPortText(); }
  bool SafeFlashChecked() const override { return Inner.SafeFlashChecked(); }
  TFlashJobInputs FlashJobInputs() const override { return Inner.FlashJobInputs(); }
  bool GiveUpWhenSilent() const override { return Inner.GiveUpWhenSilent(); }
  void ShowMessage(const QString& Text) override { Inner.ShowMessage(Text); }
  void Log(const QString& Lines) override {
    QStringList Reworded;
    for (const QString& Line : Lines.split(u'\n'))
      Reworded << QStringLiteral("Said otherwise: ") + QString(Line).replace(u' ', u'_');
    Inner.Log(Reworded.join(u'\n'));
  }
  void SetBurnCaption(const QString& Caption) override { Inner.SetBurnCaption(Caption); }
  void SetLabelStatus(const QString& Text) override { Inner.SetLabelStatus(Text); }
  void SetProgress(int Position) override { Inner.SetProgress(Position); }
  void ShowStatus(TRunStatus Status) override { Inner.ShowStatus(Status); }
  void ShowStage(TRunStage Stage) override { Inner.ShowStage(Stage); }
  void ShowMACTexts(const QString& AP, const QString& STA) override { Inner.ShowMACTexts(AP, STA); }
  void ShowQRPicture(const QImage& Picture) override { Inner.ShowQRPicture(Picture); }
  void RunFinished(const TRunOutcome& Outcome) override { Inner.RunFinished(Outcome); }

 private:
  TFlashRunView& Inner;
};

// One port's run with the report writing JSON events into a file of its own.
struct TReportedRun {
  TReportedRun(TSimulatedModule Module, bool Reworded, const TCliOptions& Options,
               const QString& ConfigDir)
      : Port(std::move(Module), 576000),
        Out(std::tmpfile()),
        Report(TOutputMode::Json, false, Out),
        View(Port.SlavePath(), BuiltInJobInputs("CORVEL"), Options, Report,
             [this](const TRunOutcome&) { Ended = true; }),
        Rewording(View),
        Station(Reworded ? static_cast<TFlashRunView&>(Rewording) : View,
                [ConfigDir] { return ConfigDir; }, [](const std::function<void()>& Step) { Step(); }) {
    Station.ActionBurnExecute(TBurnSender::User);
  }
  ~TReportedRun() { std::fclose(Out); }

  // The events as the report wrote them, without their times, ports and picture names.
  QStringList Events() {
    std::fflush(Out);
    std::rewind(Out);
    QStringList Lines;
    char Line[4096];
    while (std::fgets(Line, sizeof Line, Out)) {
      QJsonObject Event = QJsonDocument::fromJson(Line).object();
      for (const char* Key : {"seconds", "time", "port", "picture"}) Event.remove(Key);
      Lines << QString::fromUtf8(QJsonDocument(Event).toJson(QJsonDocument::Compact));
    }
    return Lines;
  }

  TSimulatedPort Port;
  std::FILE* Out;
  TCliReport Report;
  TCliRunView View;
  TRewordingView Rewording;
  TFlashStation Station;
  bool Ended = false;
};

TSimulatedModule Misbehaving(const std::function<void(TSimulatedModule&)>& Setup) {
  TSimulatedModule Module;
  Setup(Module);
  return Module;
}

TEST(CliRunView, RewordedLogLinesChangeNoStageAndNoResult) {
  QTemporaryDir Folder;
  const QString ConfigDir = Folder.path() + "/";
  TCliOptions Options;
  const std::function<void(TSimulatedModule&)> Cases[] = {
      [](TSimulatedModule&) {},
      [](TSimulatedModule& Module) {
        Module.Misbehaviour().RefuseUpload = true;
        Module.Misbehaviour().Fail = {SimFlashData, 1, 3};
      },
      [](TSimulatedModule& Module) { Module.Misbehaviour().NoReply = {0, -1}; },
  };
  std::vector<std::unique_ptr<TReportedRun>> Plain, Reworded;
  for (const auto& Setup : Cases) {
    Plain.push_back(std::make_unique<TReportedRun>(Misbehaving(Setup), false, Options, ConfigDir));
    Reworded.push_back(std::make_unique<TReportedRun>(Misbehaving(Setup), true, Options, ConfigDir));
  }
  ASSERT_TRUE(WaitUntil([&] {
    for (std::size_t i = 0; i < Plain.size(); ++i)
      if (!Plain[i]->Ended || !Reworded[i]->Ended) return false;
    return true;
  }, 60000));
  const char* Results[] = {"done", "failed", "failed"};
  for (std::size_t i = 0; i < Plain.size(); ++i) {
    SCOPED_TRACE(i);
    const QStringList Events = Plain[i]->Events();
    ASSERT_FALSE(Events.isEmpty());
    EXPECT_TRUE(Events.last().contains(QStringLiteral("\"result\":\"%1\"").arg(Results[i])))
        << Events.last().toStdString();
    EXPECT_EQ(Reworded[i]->Events(), Events);
  }
}

}  // namespace
