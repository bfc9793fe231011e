#include "cli/CliRuns.h"

#include "app/SerialPortsCtrl.h"
#include "cli/CliPlatform.h"
#include "serial/SPComm.h"
#include "serial/SerialPlatform.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {

// How often the watch looks for modules that appeared, and a run for its end.
constexpr int WatchIntervalMs = 500;
constexpr int EndWatchIntervalMs = 50;

// The handshake's warning that the module does not answer; without --watch it ends the run.
bool SilentModuleWarning(const QString& Line) {
  return Line.startsWith(QStringLiteral("Warning: No answer from RQ53")) ||
         Line.startsWith(QStringLiteral("Warning: RQ53 answers with unreadable bytes"));
}

const QString ConnectFailed = QStringLiteral("Error: Serial port connect failed, please check it.");

QString WithoutKind(const QString& Line) { return Line.mid(Line.indexOf(u' ') + 1); }

}  // namespace

// ---- one run

TCliPortRun::TCliPortRun(const QString& Port, const TFlashJobInputs& Inputs,
                         const TCliOptions& Options, const QString& ConfigDir, TCliReport& Report,
                         std::function<void()> Ended)
    : FPort(Port),
      Inputs(Inputs),
      Options(Options),
      ConfigDir(ConfigDir),
      Report(Report),
      Ended(std::move(Ended)),
      Index(Report.AddRun(Port)) {
  TFlashRunView& View = *this;
  Station = std::make_unique<TFlashStation>(
      View, [this] { return this->ConfigDir; },
      [this](const std::function<void()>& Step) {
        try {
          Step();
        } catch (const std::exception& Failure) {
          Fail(QString::fromUtf8(Failure.what()));
        }
      });
  EndWatch.setInterval(EndWatchIntervalMs);
  connect(&EndWatch, &QTimer::timeout, this, [this] { CheckEnd(); });
  Station->ActionBurnExecute(TBurnSender::User);
  EndWatch.start();
}

TCliPortRun::~TCliPortRun() = default;

void TCliPortRun::Stop(const QString& Reason) {
  if (FEnded) return;
  Fail(Reason);
  if (Station->Comm().PortOpen()) Station->ActionBurnExecute(TBurnSender::User);
}

void TCliPortRun::Log(const QString& Lines) {
  for (const QString& Line : Lines.split(u'\n')) LogLine(Line);
}

// The run's stages and failures, from the station's log lines. The station follows a failed open
// with a note of the serial layer's reason, which completes that error.
void TCliPortRun::LogLine(const QString& Line) {
  const bool AfterError = LastLineWasError;
  LastLineWasError = false;
  if (Line == QStringLiteral("Note: Serial port connected.")) {
    Report.Stage(Index, QStringLiteral("sync"));
  } else if (Line == QStringLiteral("Note: RQ53 ACK success.")) {
    FAnswered = true;
    Report.Stage(Index, QStringLiteral("mac"));
  } else if (Line == QStringLiteral("Note: Set base address success.")) {
    Report.Stage(Index, QStringLiteral("write"));
  } else if (Line.startsWith(QStringLiteral("Error: "))) {
    LastLineWasError = Error.isEmpty() && Line == ConnectFailed;
    Fail(WithoutKind(Line));
  } else if (AfterError && Line.startsWith(QStringLiteral("Note: "))) {
    Error += u' ' + WithoutKind(Line);
  } else if (SilentModuleWarning(Line) && !Options.Watch) {
    Stop(WithoutKind(Line));
  }
}

void TCliPortRun::SetLabelStatus(const QString& Text) {
  if (Text.startsWith(QStringLiteral("Size: "))) Report.Stage(Index, QStringLiteral("erase"));
}

void TCliPortRun::SetProgress(int Position) { Report.Progress(Index, Position); }

void TCliPortRun::ShowStatus(TRunStatus Shown) {
  if (Status != TRunStatus::No) Status = Shown;
}

void TCliPortRun::ShowMACTexts(const QString&, const QString& STAMACStr) {
  Report.MAC(Index, STAMACStr);
}

void TCliPortRun::Fail(const QString& Reason) {
  if (Error.isEmpty()) Error = Reason;
  Status = TRunStatus::No;
}

// A run is over once its worker has ended and its port is closed: after the YES picture the
// station closes the port itself; after a failure it leaves the port open, and it is closed here.
void TCliPortRun::CheckEnd() {
  if (FEnded || Station->RunControl().WorkerRunning()) return;
  const bool PortOpen = Station->Comm().PortOpen();
  if (Status == TRunStatus::Yes && !PortOpen) return End();
  if (Status == TRunStatus::Yes || Station->TimerStateMachine().isActive()) return;
  if (PortOpen) Station->ActionBurnExecute(TBurnSender::User);
  if (Error.isEmpty()) Error = QStringLiteral("The run ended without flashing.");
  End();
}

void TCliPortRun::End() {
  FEnded = true;
  EndWatch.stop();
  Report.End(Index, Status == TRunStatus::Yes ? QString() : Error);
  // Later, and not in this object's own event: the owner deletes the run it is told of.
  QMetaObject::invokeMethod(QCoreApplication::instance(), Ended, Qt::QueuedConnection);
}

// ---- all runs

TCliRuns::TCliRuns(const TCliOptions& Options, const TSettingsValues& Values,
                   const QString& ConfigDir, TCliReport& Report)
    : Options(Options),
      ConfigDir(ConfigDir),
      Report(Report),
      Inputs{.FilePath = Options.Firmware,
             .Offset = Options.Offset,
             .SPIMode = SPIModeItems.value(Values.SPIMode),
             .FlashSize = FlashSizeItems.value(Values.FlashSize),
             .FlashSpeed = FlashSpeedItems.value(Values.FlashSpeed),
             .PostRun = !Options.NoRun,
             .ProgressMaximum = 100} {
  WatchTimer.setInterval(WatchIntervalMs);
  connect(&WatchTimer, &QTimer::timeout, this, [this] { WatchTick(); });
}

TCliRuns::~TCliRuns() = default;

void TCliRuns::Start() {
  InterruptCatcher = CliPlatform::CatchInterrupts(this, [this] { Interrupted(); });
  if (Options.Watch) {
    Report.Note(QStringLiteral("Watching for modules; Ctrl+C ends."));
    WatchTick();
    WatchTimer.start();
    return;
  }
  for (const QString& Port : Options.Ports) StartRun(Port);
}

void TCliRuns::StartRun(const QString& Port) {
  Runs.push_back(std::make_unique<TCliPortRun>(Port, Inputs, Options, ConfigDir, Report,
                                               [this] { RunEnded(); }));
}

void TCliRuns::RunEnded() {
  for (auto It = Runs.begin(); It != Runs.end();) {
    if (!(*It)->IsEnded()) {
      ++It;
      continue;
    }
    if (Options.Watch) AwaitingUnplug << (*It)->Port();
    It = Runs.erase(It);
  }
  if (Options.Watch) ShowCount();
  QuitWhenIdle();
}

// Ports of the given list, or those the port watcher finds.
QStringList TCliRuns::WatchedPorts() const {
  if (!Options.Ports.isEmpty()) return Options.Ports;
  QStringList Ports;
  EnumSerialPorts(Ports);
  return Ports;
}

// A module whose port went away was unplugged; a port that can be opened and has no run gets one.
void TCliRuns::WatchTick() {
  AwaitingUnplug.removeIf(
      [](const QString& Port) { return !QFileInfo::exists(SerialPlatform::DevicePath(Port)); });
  for (const QString& Port : WatchedPorts()) {
    const bool Busy =
        std::any_of(Runs.begin(), Runs.end(), [&](const auto& Run) { return Run->Port() == Port; });
    if (Busy || AwaitingUnplug.contains(Port) || !SerialPlatform::OpenSerialDevice(Port)) continue;
    StartRun(Port);
  }
}

void TCliRuns::ShowCount() {
  Report.Note(QStringLiteral("%1 done, %2 failed.").arg(Report.Done()).arg(Report.Failed()));
}

// The first interrupt lets the modules being programmed finish and stops the runs still waiting
// for an answer; the second stops every run.
void TCliRuns::Interrupted() {
  ++Interrupts;
  WatchTimer.stop();
  if (Interrupts == 1 && std::any_of(Runs.begin(), Runs.end(), [](const auto& Run) {
        return Run->ModuleAnswered() && !Run->IsEnded();
      }))
    Report.Note(
        QStringLiteral("Stopping: the modules being flashed finish; Ctrl+C again stops them."));
  for (const auto& Run : Runs)
    if (Interrupts > 1 || !Run->ModuleAnswered()) Run->Stop(QStringLiteral("Stopped by the user."));
  QuitWhenIdle();
}

void TCliRuns::QuitWhenIdle() {
  const bool Over = Options.Watch ? Interrupts > 0 : true;
  if (Over && Runs.empty())
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}
