#include "app/FlashRunControl.h"

#include "loader/LoaderCodec.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

#include <memory>
#include <utility>

namespace {

// A run reads each reply as soon as its bytes are in, not after the component's default of
// 100 ms of silence: the module answers within milliseconds, and a run waits for each of its
// hundreds of replies in turn. A read still waits for its first byte (for about 49 days at most:
// a read that ends empty would end the reader).
constexpr quint32 ReadOnFirstBytes = SerialPlatform::MaxTimeout;
constexpr quint32 FirstByteWaitMs = SerialPlatform::MaxTimeout - 1;

// Handshake ticks of a run (six boot pulses) after which the log says that the module does not
// answer; the handshake itself goes on until the user stops it, unless the view gives up then.
constexpr int SilentModuleTicks = 60;

// How long the Flash command waits for the previous run's worker to finish its last steps.
constexpr int PreviousWorkerWaitMs = 3000;

}  // namespace

TFlashRunControl::TFlashRunControl(TComm& Comm, TRunRecord& Record, TFlashRunView& View,
                                   QTimer& TimerStateMachine, QObject* UiContext,
                                   std::function<QString(const TModuleMAC&)> ShowDeviceIdentity)
    : Comm(Comm),
      Record(Record),
      View(View),
      TimerStateMachine(TimerStateMachine),
      UiContext(UiContext),
      ShowDeviceIdentity(std::move(ShowDeviceIdentity)),
      Pulser(Comm) {}

TFlashRunControl::~TFlashRunControl() { StopWorker(); }

bool TFlashRunControl::SendPacket(const QByteArray& Packet) {
  return Comm.WriteCommData(reinterpret_cast<const quint8*>(Packet.constData()),
                            quint16(Packet.size()));
}

// A run going can always be stopped, whatever the firmware box shows meanwhile.
void TFlashRunControl::ActionBurnExecute(TBurnSender Sender) {
  if (Comm.PortOpen()) {
    StopRun(Sender);
    return;
  }
  if (!View.FirmwareSelected()) {
    View.ShowMessage(QStringLiteral("Select Firmware first!"));
    return;
  }
  StartRun();
}

// The worker is stopped first, so that no request of it follows the stop onto the line.
void TFlashRunControl::StopRun(TBurnSender Sender) {
  Record.Replies.Stop();
  Comm.StopComm();
  if (Comm.PortOpen()) {
    View.Log(QStringLiteral("Error: Serial port disconnect failed, please reopen this program."));
    return;
  }
  View.Log(QStringLiteral("Note: Serial port disconnected."));
  Record.RunState = StateFinished;
  TimerStateMachine.stop();
  Pulser.Cancel();
  if (Sender == TBurnSender::User) {
    StopResult = TRunResult::Stopped;
    View.Log(QStringLiteral("Warning: Serial port closed by user."));
    View.ShowStatus(TRunStatus::No);
  }
  ClosePort();
  if (Sender != TBurnSender::User) return;
  // A job still running gives the outcome when it ends; a job that ended done keeps its outcome.
  if (DoneOutcome)
    EndRun(*std::exchange(DoneOutcome, std::nullopt));
  else if (!Record.IsThreadStarted)
    EndRunHere(TRunResult::Stopped, TRunReason::StoppedByUser, QStringLiteral("stopped by the user"));
}

// The lines the port opens with next time, and the caption of a closed port.
void TFlashRunControl::ClosePort() {
  Comm.SetRtsControl(TRtsControl::RtsEnable);
  Comm.SetDtrControl(TDtrControl::DtrEnable);
  View.SetBurnCaption(QStringLiteral("Flash(&F)"));
}

void TFlashRunControl::StartRun() {
  const QString Port = View.SerialPortText();
  BeginRun(Port);
  if (Port.isEmpty()) {
    View.Log(QStringLiteral("Error: Serial port not exist."));
    View.ShowStatus(TRunStatus::No);
    return EndRunHere(TRunResult::Failed, TRunReason::NoPort, QStringLiteral("no port given"));
  }
  if (!WaitForPreviousWorker()) return;
  Comm.SetCommName(Port);
  const quint32 Rate = View.SafeFlashChecked() ? SafeFlashRate : RomRate;
  Comm.SetBaudRate(Rate);
  Comm.SetParity(TParity::None);
  Comm.SetByteSize(TByteSize::_8);
  Comm.SetStopBits(TStopBits::_1);
  Comm.SetInputLen(255);
  Comm.SetReadIntervalTimeout(ReadOnFirstBytes);
  Comm.SetReadTotalTimeoutMultiplier(ReadOnFirstBytes);
  Comm.SetReadTotalTimeoutConstant(FirstByteWaitMs);
  OpenPort(Port);
  if (!Comm.PortOpen()) {
    View.Log(QStringLiteral("Error: Serial port connect failed, please check it."));
    View.Log(QStringLiteral("Note: %1").arg(SerialPlatform::DescribeOpenFailure(Port)));
    View.ShowStatus(TRunStatus::No);
    return EndRunHere(TRunResult::Failed, TRunReason::PortNotOpened,
                      SerialPlatform::DescribeOpenFailure(Port));
  }
  View.Log(QStringLiteral("Note: Serial port connected."));
  // The boot ROM takes the rate it meets; the job must know it.
  if (Comm.BaudRate() != Rate)
    View.Log(QStringLiteral("Warning: The port does not run at %1 bit/s; it runs at %2.")
                 .arg(Rate)
                 .arg(Comm.BaudRate()));
  Record.Replies.Open();
  Record.RunState = StateHandshake;
  RunReceivedBytes = 0;
  StopResult = TRunResult::Stopped;
  TimerStateMachine.start();
  View.ShowStatus(TRunStatus::Wait);
  View.Log(QStringLiteral("Note: Begin find RQ53."));
  View.SetBurnCaption(QStringLiteral("Stop(&S)"));
  // The images are read once, now: a file changed or deleted during the run changes nothing.
  ReadJobImages(RunInputs);
  Pulser.Start(TLinePulse::StartUp, [this] { View.ShowStage(TRunStage::Handshake); });
}

// Every run, from the press of Flash on, ends with exactly one outcome.
void TFlashRunControl::BeginRun(const QString& Port) {
  RunTime.start();
  RunPending = true;
  RunHandshakeTicks = 0;
  DoneOutcome.reset();
  RunStart = TRunOutcome();
  RunStart.Port = Port;
  RunInputs = View.FlashJobInputs();
  RunInputs.ThroughLoader = !View.SafeFlashChecked();
  RunStart.Firmware = RunInputs.FirmwareName;
  View.ShowStage(TRunStage::PortOpen);
}

void TFlashRunControl::EndRunHere(TRunResult Result, TRunReason Reason, const QString& Text) {
  TRunOutcome Outcome = RunStart;
  Outcome.Result = Result;
  Outcome.Reason = Reason;
  Outcome.ReasonText = Text;
  Outcome.Reached = RunHandshakeTicks > 0 ? TRunStage::Handshake : TRunStage::PortOpen;
  Outcome.Seconds = double(RunTime.elapsed()) / 1000.0;
  EndRun(std::move(Outcome));
}

void TFlashRunControl::EndRun(TRunOutcome Outcome) {
  if (!std::exchange(RunPending, false)) return;
  View.RunFinished(Outcome);
}

// The component's error (a device that takes no serial line settings) still goes on to the UI's
// message box; the log and the status picture say which port failed and why, as for any port that
// cannot be opened.
void TFlashRunControl::OpenPort(const QString& Port) {
  try {
    Comm.StartComm();
  } catch (const ECommsError& Error) {
    const QString Reason = QStringLiteral("%1: %2").arg(QString::fromUtf8(Error.what()),
                                                         SerialPlatform::DescribeOpenFailure(Port));
    View.Log(QStringLiteral("Error: ") + Reason);
    View.ShowStatus(TRunStatus::No);
    EndRunHere(TRunResult::Failed, TRunReason::PortNotOpened, Reason);
    throw;
  }
}

// After a stop the previous run's worker still runs its last steps; a new run must not share the
// run record with it.
bool TFlashRunControl::WaitForPreviousWorker() {
  if (WaitForWorker(QDeadlineTimer(PreviousWorkerWaitMs))) return true;
  const QString Text = QStringLiteral("The previous run is still ending; press Flash again.");
  View.Log(QStringLiteral("Error: ") + Text);
  EndRunHere(TRunResult::Failed, TRunReason::PortNotOpened, Text);
  return false;
}

// Runs the steps the worker hands to this thread until it has ended or Deadline has passed.
bool TFlashRunControl::WaitForWorker(QDeadlineTimer Deadline) {
  while (FWorkerRunning && !Deadline.hasExpired()) {
    QCoreApplication::sendPostedEvents(UiContext, QEvent::MetaCall);
    QThread::msleep(1);
  }
  if (FWorkerRunning) return false;
  if (FWorker.joinable()) FWorker.join();
  return true;
}

void TFlashRunControl::TimerStateMachineTimer() {
  if (Record.Replies.Stopped()) {
    TimerStateMachine.stop();
    Record.RunState = StateFinished;
    return;
  }
  switch (Record.RunState) {
    case StateHandshake:
      if (!Pulser.Busy()) HandshakeTick();
      break;
    case StateJobRunning:
      if (!Record.IsThreadStarted && !FWorkerRunning) StartWorker();
      break;
    case StateJobEnded:
      if (!Pulser.Busy()) CloseFinishedRun();
      break;
    case StateFinished:
      TimerStateMachine.stop();
      break;
  }
}

// Every tenth tick of this station's own count pulses the module into its boot loader first; the
// SYNC of that tick goes once the pulse is over.
void TFlashRunControl::HandshakeTick() {
  FHandshakeTickCount = FHandshakeTickCount + 1 == 2147483647 ? 0 : FHandshakeTickCount + 1;
  if (++RunHandshakeTicks == SilentModuleTicks) ReportSilentModule();
  if (!Comm.PortOpen()) return;
  if (FHandshakeTickCount % 10 == 0)
    Pulser.Start(TLinePulse::Boot, [this] { SendPacket(SyncRequestTemplate); });
  else
    SendPacket(SyncRequestTemplate);
}

void TFlashRunControl::ReportSilentModule() {
  const QString Text = RunReceivedBytes == 0
                           ? QStringLiteral("No answer from RQ53 yet; is it connected to this port?")
                           : QStringLiteral("RQ53 answers with unreadable bytes; does it run at "
                                            "another rate?");
  View.Log(QStringLiteral("Warning: ") + Text);
  if (!View.GiveUpWhenSilent()) return;
  StopRun(TBurnSender::StateMachine);
  View.ShowStatus(TRunStatus::No);
  EndRunHere(TRunResult::Failed, TRunReason::NoAnswer, Text);
}

// One worker per run: the tick marks the start itself, before the worker's first step has run.
void TFlashRunControl::StartWorker() {
  WaitForWorker(QDeadlineTimer(QDeadlineTimer::Forever));
  const TFrameLink Link{[this](const QByteArray& Packet) { return SendPacket(Packet); },
                        [this](int TimeoutMs) { return Record.Replies.Next(TimeoutMs); },
                        [this] { return Record.Replies.Stopped(); }};
  RunInputs.LineRate = Comm.BaudRate();
  auto Job = std::make_unique<TFlashJob>(UiContext, Link, JobSteps(), RunInputs);
  Record.IsThreadStarted = true;
  FWorkerRunning = true;
  FWorker = std::thread([this, Job = std::move(Job)] {
    Job->FlashImage();
    FWorkerRunning = false;
  });
}

// The job's steps: all go to the view but the device identity, the control lines' pulses, the
// line's rate and the job's end.
TFlashJobSteps TFlashRunControl::JobSteps() {
  TFlashJobSteps Steps;
  Steps.Log = [this](const QString& Line) { View.Log(Line); };
  Steps.ShowStatusNo = [this] { View.ShowStatus(TRunStatus::No); };
  Steps.SetLabelStatus = [this](const QString& Text) { View.SetLabelStatus(Text); };
  Steps.EnterStage = [this](TRunStage Stage) { View.ShowStage(Stage); };
  Steps.SetProgress = [this](int Position) { View.SetProgress(Position); };
  Steps.ShowDeviceIdentity = ShowDeviceIdentity;
  Steps.RunAfterFlash = [this] {
    if (Comm.PortOpen()) Pulser.Start(TLinePulse::Reset);
  };
  Steps.SetLineRate = [this](quint32 Rate) { return SetLineRate(Rate); };
  Steps.BootPulse = [this] {
    if (Comm.PortOpen()) Pulser.Start(TLinePulse::Boot);
  };
  Steps.Finished = [this](const TRunOutcome& Outcome) { JobFinished(Outcome); };
  return Steps;
}

// A port that refuses the rate, or has gone away, takes none.
bool TFlashRunControl::SetLineRate(quint32 Rate) {
  return Comm.SetBaudRate(Rate) && Comm.PortOpen();
}

// The job's last step. A job that ended done leaves the run to the next tick, which closes it once
// the run-after-flash pulse is over; any other ends the run here, its port left open.
void TFlashRunControl::JobFinished(TRunOutcome Outcome) {
  Record.IsThreadStarted = false;
  Outcome.Port = RunStart.Port;
  Outcome.Seconds = double(RunTime.elapsed()) / 1000.0;
  if (Outcome.Result == TRunResult::Stopped) {
    const bool Lost = StopResult == TRunResult::PortLost;
    Outcome.Result = StopResult;
    Outcome.Reason = Lost ? TRunReason::PortLost : TRunReason::StoppedByUser;
    Outcome.ReasonText = Lost ? QStringLiteral("serial port lost") : QStringLiteral("stopped by the user");
  }
  View.Log(OutcomeLine(Outcome));
  if (Outcome.Result == TRunResult::Done && Record.RunState == StateJobRunning) {
    Record.RunState = StateJobEnded;
    DoneOutcome = std::move(Outcome);
    return;
  }
  if (Record.RunState != StateFinished) {
    Record.RunState = StateFinished;
    TimerStateMachine.stop();
  }
  EndRun(std::move(Outcome));
}

// A run whose job ended done: the YES picture, the port closed (the run's outcome goes then).
void TFlashRunControl::CloseFinishedRun() {
  Record.RunState = StateFinished;
  View.ShowStatus(TRunStatus::Yes);
  if (Comm.PortOpen()) ActionBurnExecute(TBurnSender::StateMachine);
  Record.RunState = StateFinished;
  if (DoneOutcome) EndRun(*std::exchange(DoneOutcome, std::nullopt));
}

void TFlashRunControl::StopWorker() {
  Record.Replies.Stop();
  WaitForWorker(QDeadlineTimer(QDeadlineTimer::Forever));
}

// A port that goes away during a run ends the run at once, ready for the next module.
void TFlashRunControl::CommRequestHangup() {
  if (!Comm.PortOpen()) return;
  Record.Replies.Stop();
  Comm.StopComm();
  Record.RunState = StateFinished;
  TimerStateMachine.stop();
  Pulser.Cancel();
  StopResult = TRunResult::PortLost;
  View.Log(QStringLiteral("Error: Serial port lost; is the adapter still plugged in?"));
  View.ShowStatus(TRunStatus::No);
  ClosePort();
  if (!Record.IsThreadStarted)
    EndRunHere(TRunResult::PortLost, TRunReason::PortLost, QStringLiteral("serial port lost"));
}
