#pragma once
// The runs of ferrule-cli: one flash station per port, all on this thread's event loop, each run
// the window's own (the station), shown through the report. With --watch, every module that
// appears is flashed; SIGINT or SIGTERM ends the program cleanly.

#include "app/FlashRunView.h"
#include "app/FlashStation.h"
#include "app/SettingsBinding.h"
#include "cli/CliOptions.h"
#include "cli/CliReport.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

// What one port's run shows, turned into the report's stages and result; Finished is told the
// run's outcome once, after its last line. It reads the run's typed stages and outcome only: what
// the run logs is for people. In a watch, a run whose module never answered leaves its slot free
// rather than failed.
class TCliRunView : public TFlashRunView {
 public:
  TCliRunView(const QString& Port, const TFlashJobInputs& Inputs, const TCliOptions& Options,
              TCliReport& Report, std::function<void(const TRunOutcome&)> Finished);

  // The module answered: the run programs, and stopping it would leave it half written.
  bool ModuleAnswered() const { return Answered; }

  bool FirmwareSelected() const override { return true; }
  QString SerialPortText() const override { return Port; }
  bool SafeFlashChecked() const override { return Options.Safe; }
  TFlashJobInputs FlashJobInputs() const override { return Inputs; }
  bool GiveUpWhenSilent() const override { return !Options.Watch; }
  void ShowMessage(const QString&) override {}
  void Log(const QString&) override {}
  void SetBurnCaption(const QString&) override {}
  void SetLabelStatus(const QString&) override {}
  void SetProgress(int Position) override;
  void ShowStatus(TRunStatus) override {}
  void ShowStage(TRunStage Stage) override;
  void ShowMACTexts(const QString& APMACStr, const QString& STAMACStr) override;
  void ShowQRPicture(const QImage&) override {}
  void RunFinished(const TRunOutcome& Outcome) override;

 private:
  const QString Port;
  const TFlashJobInputs Inputs;
  const TCliOptions& Options;
  TCliReport& Report;
  std::function<void(const TRunOutcome&)> Finished;
  const int Index;
  bool Answered = false;
};

// One run on one port: its station and its view.
class TCliPortRun : public QObject {
 public:
  // Starts the run at once, its row going to ResultsFile; Ended is called once, on this thread,
  // when it is over and its port is closed.
  TCliPortRun(const QString& Port, const TFlashJobInputs& Inputs, const TCliOptions& Options,
              const QString& ConfigDir, const QString& ResultsFile, TCliReport& Report,
              std::function<void()> Ended);
  ~TCliPortRun() override;

  const QString& Port() const { return FPort; }
  bool IsEnded() const { return FEnded; }
  bool ModuleAnswered() const { return View.ModuleAnswered(); }
  // Why the run's row could not be written to the results log, or empty; known once it ended.
  const QString& ResultsLogError() const { return FResultsLogError; }
  // Stops the run as the Stop button does.
  void Stop();

 private:
  void End();

  const QString FPort;
  const QString ConfigDir;
  TCliReport& Report;
  std::function<void()> Ended;
  TCliRunView View;
  std::unique_ptr<TFlashStation> Station;
  bool FEnded = false;
  QString FResultsLogError;
};

class TCliRuns : public QObject {
 public:
  // Values are the settings file's; Regions the images of Sources, read; ConfigDir the settings
  // folder (with its final separator), ResultsFile the results log.
  TCliRuns(const TCliOptions& Options, const TSettingsValues& Values,
           const std::vector<TImageSource>& Sources, const std::vector<TImageRegion>& Regions,
           const QString& ConfigDir, const QString& ResultsFile, TCliReport& Report);
  ~TCliRuns() override;

  // Starts a run on every given port, or the watch; the event loop quits when all is over.
  void Start();
  // Runs whose row could not be written to the results log.
  int ResultsLogFailures() const { return FResultsLogFailures; }

 private:
  void StartRun(const QString& Port);
  void RunEnded();
  void WatchTick();
  QStringList WatchedPorts() const;
  void Interrupted();
  void ShowCount();
  void QuitWhenIdle();

  const TCliOptions& Options;
  const QString ConfigDir;
  const QString ResultsFile;
  TCliReport& Report;
  TFlashJobInputs Inputs;
  std::vector<std::unique_ptr<TCliPortRun>> Runs;
  QStringList AwaitingUnplug;  // ports whose module was flashed and is still plugged in
  QTimer WatchTimer;
  std::unique_ptr<QObject> InterruptCatcher;
  int Interrupts = 0;
  int FResultsLogFailures = 0;
};
