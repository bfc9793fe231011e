#include "cli/CliRuns.h"

#include "app/SerialPortsCtrl.h"
#include "cli/CliPlatform.h"
#include "cli/CliWorkbench.h"
#include "firmware/FirmwareImage.h"
#include "serial/SPComm.h"
#include "serial/SerialPlatform.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>

namespace {

// How often the watch looks for modules that appeared.
constexpr int WatchIntervalMs = 500;

}  // namespace

// ---- one run's view

TCliRunView::TCliRunView(const QString& Port, const TFlashJobInputs& Inputs,
                         const TCliOptions& Options, TCliReport& Report,
                         std::function<void(const TRunOutcome&)> Finished)
    : Port(Port),
      Inputs(Inputs),
      Options(Options),
      Report(Report),
      Finished(std::move(Finished)),
      Index(Report.AddRun(Port)) {}

void TCliRunView::ShowStage(TRunStage Stage) {
  if (Stage == TRunStage::MacRead) Answered = true;
  if (Stage != TRunStage::PortOpen) Report.Stage(Index, Stage);
}

void TCliRunView::SetProgress(int Position) { Report.Progress(Index, Position); }

void TCliRunView::ShowMACTexts(const QString& APMACStr, const QString& STAMACStr) {
  Report.MAC(Index, STAMACStr, APMACStr);
}

void TCliRunView::RunFinished(const TRunOutcome& Outcome) {
  if (Options.Watch && !::ModuleAnswered(Outcome))
    Report.Free(Index);
  else
    Report.End(Index, Outcome);
  Finished(Outcome);
}

// ---- one run

TCliPortRun::TCliPortRun(const QString& Port, const TFlashJobInputs& Inputs,
                         const TCliOptions& Options, const QString& ConfigDir,
                         const QString& ResultsFile, TCliReport& Report, std::function<void()> Ended)
    : FPort(Port),
      ConfigDir(ConfigDir),
      Report(Report),
      Ended(std::move(Ended)),
      // A failed run leaves its port open for the user to stop; here nobody is left to, so it is
      // closed, once the job's last step (which tells of the end) has returned.
      View(Port, Inputs, Options, Report,
           [this](const TRunOutcome&) {
             QMetaObject::invokeMethod(this, [this] { End(); }, Qt::QueuedConnection);
           }) {
  const auto Guard = [this](const std::function<void()>& Step) {
    try {
      Step();
    } catch (const std::exception& Error) {
      this->Report.Note(QString::fromUtf8(Error.what()), FPort);
    }
  };
  Station = std::make_unique<TFlashStation>(View, [this] { return this->ConfigDir; }, Guard);
  Station->SetResultsFile(ResultsFile);
  Guard([this] { Station->ActionBurnExecute(TBurnSender::User); });
}

TCliPortRun::~TCliPortRun() = default;

void TCliPortRun::Stop() {
  if (!FEnded && Station->Comm().PortOpen()) Station->ActionBurnExecute(TBurnSender::User);
}

void TCliPortRun::End() {
  if (std::exchange(FEnded, true)) return;
  FResultsLogError = Station->ResultsLogError();
  Station->Shutdown();
  // Later, and not in this object's own event: the owner deletes the run it is told of.
  QMetaObject::invokeMethod(QCoreApplication::instance(), Ended, Qt::QueuedConnection);
}

// ---- all runs

TCliRuns::TCliRuns(const TCliOptions& Options, const TSettingsValues& Values,
                   const std::vector<TImageSource>& Sources,
                   const std::vector<TImageRegion>& Regions, const QString& ConfigDir,
                   const QString& ResultsFile, TCliReport& Report)
    : Options(Options), ConfigDir(ConfigDir), ResultsFile(ResultsFile), Report(Report) {
  Inputs.FirmwareName = FirmwareName(Options);
  Inputs.Images = Sources;
  Inputs.Regions = Regions;
  Inputs.SPIMode = SPIModeItems.value(Values.SPIMode);
  Inputs.FlashSize = FlashSizeItems.value(Values.FlashSize);
  Inputs.FlashSpeed = FlashSpeedItems.value(Values.FlashSpeed);
  Inputs.PostRun = !Options.NoRun;
  Inputs.Operation = Options.Operation;
  Inputs.RangeOffset = Options.RangeOffset;
  Inputs.RangeSize = Options.RangeSize;
  Inputs.EraseAll = Options.EraseAll;
  Inputs.ReadFile = Options.ReadFile;
  if (Options.Operation != TRunOperation::Flash) Inputs.FirmwareName = WorkbenchSubject(Options);
  if (Options.Rate) Inputs.LoaderRate = *Options.Rate;
  WatchTimer.setInterval(WatchIntervalMs);
  connect(&WatchTimer, &QTimer::timeout, this, [this] { WatchTick(); });
}

TCliRuns::~TCliRuns() = default;

// The start event names the images as every run's outcome does: their hashes before the header is
// set.
void TCliRuns::Start() {
  TCliStart Start{Inputs.FirmwareName, {}, Options.Ports, Options.Watch};
  for (const TImageRegion& Region : Inputs.Regions)
    Start.Regions.push_back({Region.Name, Region.Offset, Region.Sha256});
  Report.Start(Start);
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
  Runs.push_back(std::make_unique<TCliPortRun>(Port, Inputs, Options, ConfigDir, ResultsFile,
                                               Report, [this] { RunEnded(); }));
}

void TCliRuns::RunEnded() {
  for (auto It = Runs.begin(); It != Runs.end();) {
    if (!(*It)->IsEnded()) {
      ++It;
      continue;
    }
    if (Options.Watch) AwaitingUnplug << (*It)->Port();
    if (!(*It)->ResultsLogError().isEmpty()) {
      Report.Note((*It)->ResultsLogError(), (*It)->Port());
      ++FResultsLogFailures;
    }
    It = Runs.erase(It);
  }
  if (Options.Watch) ShowCount();
  QuitWhenIdle();
}

// Ports of the given list, or the USB serial adapters the port watcher finds: an on-board port
// (a console, a modem) is watched only when it is named.
QStringList TCliRuns::WatchedPorts() const {
  if (!Options.Ports.isEmpty()) return Options.Ports;
  return UsbPortNames(ListSerialPorts().value_or(std::vector<TSerialPortInfo>()));
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
    if (Interrupts > 1 || !Run->ModuleAnswered()) Run->Stop();
  QuitWhenIdle();
}

void TCliRuns::QuitWhenIdle() {
  const bool Over = Options.Watch ? Interrupts > 0 : true;
  if (Over && Runs.empty())
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}
