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

// One run on one port: the station's view, turned into the report's stages and result.
class TCliPortRun : public QObject, private TFlashRunView {
 public:
  // Starts the run at once; Ended is called once, on this thread, when it is over and its port
  // is closed.
  TCliPortRun(const QString& Port, const TFlashJobInputs& Inputs, const TCliOptions& Options,
              const QString& ConfigDir, TCliReport& Report, std::function<void()> Ended);
  ~TCliPortRun() override;

  const QString& Port() const { return FPort; }
  bool IsEnded() const { return FEnded; }
  // The module answered: the run programs, and stopping it would leave it half written.
  bool ModuleAnswered() const { return FAnswered; }
  // Stops the run as the Stop button does; it ends failed with Reason.
  void Stop(const QString& Reason);

 private:
  bool FirmwareSelected() const override { return true; }
  QString SerialPortText() const override { return FPort; }
  bool SafeFlashChecked() const override { return Options.Safe; }
  TFlashJobInputs FlashJobInputs() const override { return Inputs; }
  void ShowMessage(const QString& Text) override { Fail(Text); }
  void Log(const QString& Lines) override;
  void SetBurnCaption(const QString&) override {}
  void SetLabelStatus(const QString& Text) override;
  void ResetProgress() override {}
  void SetProgress(int Position) override;
  void ShowStatus(TRunStatus Status) override;
  void ShowMACTexts(const QString& APMACStr, const QString& STAMACStr) override;
  void ShowQRPicture(const QImage&) override {}

  void LogLine(const QString& Line);
  void Fail(const QString& Reason);
  void CheckEnd();
  void End();

  const QString FPort;
  const TFlashJobInputs Inputs;
  const TCliOptions& Options;
  const QString ConfigDir;
  TCliReport& Report;
  std::function<void()> Ended;
  const int Index;
  std::unique_ptr<TFlashStation> Station;
  QTimer EndWatch;
  TRunStatus Status = TRunStatus::Wait;
  QString Error;                  // the first error of the run
  bool LastLineWasError = false;  // the last log line was a failed open, which gave Error
  bool FAnswered = false;
  bool FEnded = false;
};

class TCliRuns : public QObject {
 public:
  // Values are the settings file's; ConfigDir the settings folder (with its final separator).
  TCliRuns(const TCliOptions& Options, const TSettingsValues& Values, const QString& ConfigDir,
           TCliReport& Report);
  ~TCliRuns() override;

  // Starts a run on every given port, or the watch; the event loop quits when all is over.
  void Start();

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
  TCliReport& Report;
  TFlashJobInputs Inputs;
  std::vector<std::unique_ptr<TCliPortRun>> Runs;
  QStringList AwaitingUnplug;  // ports whose module was flashed and is still plugged in
  QTimer WatchTimer;
  std::unique_ptr<QObject> InterruptCatcher;
  int Interrupts = 0;
};
