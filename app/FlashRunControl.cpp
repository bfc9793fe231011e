#include "app/FlashRunControl.h"

#include "loader/LoaderCodec.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

#include <memory>
#include <utility>

qint32 TFlashRunControl::HandshakeTickCount = 0;

namespace {

void ProcessPendingEvents() { QCoreApplication::processEvents(); }

// A run reads each reply as soon as its bytes are in, not after the component's default of
// 100 ms of silence: the module answers within milliseconds, and a run waits for each of its
// hundreds of replies in turn. A read still waits for its first byte (for about 49 days at most:
// a read that ends empty would end the reader).
constexpr quint32 ReadOnFirstBytes = SerialPlatform::MaxTimeout;
constexpr quint32 FirstByteWaitMs = SerialPlatform::MaxTimeout - 1;

// Handshake ticks of a run (six boot pulses) after which the log says that the module does not
// answer; the handshake itself goes on until the user stops it.
constexpr int SilentModuleTicks = 60;

// How long the Flash command waits for the previous run's worker to finish its last steps.
constexpr int PreviousWorkerWaitMs = 3000;

}  // namespace

TFlashRunControl::TFlashRunControl(TComm& Comm, TRunRecord& Record, TFlashRunView& View,
                                   QTimer& TimerStateMachine, QObject* UiContext,
                                   std::function<void()> ShowDeviceIdentity)
    : Comm(Comm),
      Record(Record),
      View(View),
      TimerStateMachine(TimerStateMachine),
      UiContext(UiContext),
      ShowDeviceIdentity(std::move(ShowDeviceIdentity)) {}

TFlashRunControl::~TFlashRunControl() { StopWorker(); }

bool TFlashRunControl::SendPacket(const QByteArray& Packet) {
  return Comm.WriteCommData(reinterpret_cast<const quint8*>(Packet.constData()),
                            quint16(Packet.size()));
}

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

void TFlashRunControl::StopRun(TBurnSender Sender) {
  Comm.StopComm();
  if (Comm.PortOpen()) {
    View.Log(QStringLiteral("Error: Serial port disconnect failed, please reopen this program."));
    return;
  }
  View.Log(QStringLiteral("Note: Serial port disconnected."));
  Record.BurnOK = true;
  Record.RunState = StateFinished;
  TimerStateMachine.stop();
  if (Sender == TBurnSender::User) {
    StopReason = QStringLiteral("stopped by the user");
    View.Log(QStringLiteral("Warning: Serial port closed by user."));
    View.ShowStatus(TRunStatus::No);
  }
  ClosePort();
}

// The lines the port opens with next time, and the caption of a closed port.
void TFlashRunControl::ClosePort() {
  Comm.SetRtsControl(TRtsControl::RtsEnable);
  Comm.SetDtrControl(TDtrControl::DtrEnable);
  View.SetBurnCaption(QStringLiteral("Flash(&F)"));
}

void TFlashRunControl::StartRun() {
  const QString Port = View.SerialPortText();
  if (Port.isEmpty()) {
    View.Log(QStringLiteral("Error: Serial port not exist."));
    View.ShowStatus(TRunStatus::No);
    return;
  }
  if (!WaitForPreviousWorker()) return;
  Comm.SetCommName(Port);
  Comm.SetBaudRate(View.SafeFlashChecked() ? SafeFlashRate : RomRate);
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
    return;
  }
  View.ResetProgress();
  View.Log(QStringLiteral("Note: Serial port connected."));
  // A run records only the module it meets: the previous module's texts go now.
  Record.APMACStr.clear();
  Record.STAMACStr.clear();
  Record.LastOperationFailed = false;
  Record.BurnOK = false;
  Record.RunState = StateHandshake;
  RunHandshakeTicks = 0;
  RunReceivedBytes = 0;
  StopReason = QStringLiteral("stopped");
  RunTime.start();
  TimerStateMachine.start();
  View.ShowStatus(TRunStatus::Wait);
  View.Log(QStringLiteral("Note: Begin find RQ53."));
  View.SetBurnCaption(QStringLiteral("Stop(&S)"));
  StartUpPulse();
}

// The component's error (a device that takes no serial line settings) still goes on to the UI's
// message box; the log and the status picture say which port failed and why, as for any port that
// cannot be opened.
void TFlashRunControl::OpenPort(const QString& Port) {
  try {
    Comm.StartComm();
  } catch (const ECommsError& Error) {
    View.Log(QStringLiteral("Error: %1: %2")
                 .arg(QString::fromUtf8(Error.what()), SerialPlatform::DescribeOpenFailure(Port)));
    View.ShowStatus(TRunStatus::No);
    throw;
  }
}

// After a stop the previous run's worker still runs its last steps; a new run must not share the
// run record with it.
bool TFlashRunControl::WaitForPreviousWorker() {
  if (WaitForWorker(QDeadlineTimer(PreviousWorkerWaitMs))) return true;
  View.Log(QStringLiteral("Error: The previous run is still ending; press Flash again."));
  return false;
}

// Runs the steps the worker hands to the UI thread until it has ended or Deadline has passed.
bool TFlashRunControl::WaitForWorker(QDeadlineTimer Deadline) {
  while (FWorkerRunning && !Deadline.hasExpired()) {
    QCoreApplication::sendPostedEvents(UiContext, QEvent::MetaCall);
    QThread::msleep(1);
  }
  if (FWorkerRunning) return false;
  if (FWorker.joinable()) FWorker.join();
  return true;
}

void TFlashRunControl::StartUpPulse() {
  ResetPulse();
  QThread::msleep(100);
  ProcessPendingEvents();
}

void TFlashRunControl::TimerStateMachineTimer() {
  if (Record.BurnOK) {
    TimerStateMachine.stop();
    Record.RunState = StateFinished;
    return;
  }
  switch (Record.RunState) {
    case StateHandshake:
      HandshakeTick();
      break;
    case StateBurn:
      if (!Record.IsThreadStarted && !FWorkerRunning) StartWorker();
      break;
    case StateRun:
      Record.RunState = StateFinished;
      View.ShowStatus(TRunStatus::Yes);
      if (Comm.PortOpen()) ActionBurnExecute(TBurnSender::StateMachine);
      Record.RunState = StateFinished;
      break;
    case StateFinished:
      Record.BurnOK = true;
      break;
  }
}

void TFlashRunControl::HandshakeTick() {
  HandshakeTickCount = HandshakeTickCount + 1 == 2147483647 ? 0 : HandshakeTickCount + 1;
  if (HandshakeTickCount % 10 == 0) BootPulse();
  SendPacket(SyncRequestTemplate);
  if (++RunHandshakeTicks == SilentModuleTicks) ReportSilentModule();
}

void TFlashRunControl::ReportSilentModule() {
  View.Log(RunReceivedBytes == 0
               ? QStringLiteral("Warning: No answer from RQ53 yet; is it connected to this port?")
               : QStringLiteral("Warning: RQ53 answers with unreadable bytes; does it run at "
                                "another rate?"));
}

// Resets the module into its ROM boot loader: DTR and RTS on, DTR off, then DTR on with RTS off.
void TFlashRunControl::BootPulse() {
  Comm.SetDtrControl(TDtrControl::DtrEnable);
  Comm.SetRtsControl(TRtsControl::RtsEnable);
  ProcessPendingEvents();
  QThread::msleep(10);
  Comm.SetDtrControl(TDtrControl::DtrDisable);
  ProcessPendingEvents();
  QThread::msleep(10);
  Comm.SetDtrRtsControl(TDtrControl::DtrEnable, TRtsControl::RtsDisable);
  ProcessPendingEvents();
  QThread::msleep(50);
  ProcessPendingEvents();
}

// One worker per run: the tick marks the start itself, before the worker's first step has run.
void TFlashRunControl::StartWorker() {
  WaitForWorker(QDeadlineTimer(QDeadlineTimer::Forever));
  TFlashJobInputs Inputs = View.FlashJobInputs();
  Inputs.ThroughLoader = !View.SafeFlashChecked();
  auto Job = std::make_unique<TFlashJob>(
      Record, UiContext, [this](const QByteArray& Packet) { return SendPacket(Packet); },
      JobSteps(), std::move(Inputs));
  FWorkerRunning = true;
  FWorker = std::thread([this, Job = std::move(Job)] {
    Job->FlashImage();
    FWorkerRunning = false;
  });
}

// The job's steps: all go to the view but the device identity, the control lines' pulses, the
// line's rate and the handshake.
TFlashJobSteps TFlashRunControl::JobSteps() {
  return {[this](const QString& Line) { View.Log(Line); },
          [this] { View.ShowStatus(TRunStatus::No); },
          [this](const QString& Text) { View.SetLabelStatus(Text); },
          [this](int Position) { View.SetProgress(Position); },
          ShowDeviceIdentity,
          [this] { ResetPulse(); },
          [this](const TFlashOutcome& Outcome) { ReportOutcome(Outcome); },
          [this](quint32 Rate) { return SetLineRate(Rate); },
          [this] { RestartHandshake(); }};
}

// A port that has gone away takes no rate.
bool TFlashRunControl::SetLineRate(quint32 Rate) {
  Comm.SetBaudRate(Rate);
  return Comm.PortOpen();
}

// The ticks send SYNC again until the boot ROM answers; the running worker waits for that.
void TFlashRunControl::RestartHandshake() {
  Record.RunState = StateHandshake;
  BootPulse();
}

// Resets the module: both lines off for 100 ms, then on again. After programming this lets the new
// firmware start; at the start of a run it is the first half of the start-up pulse.
void TFlashRunControl::ResetPulse() {
  Comm.SetRtsControl(TRtsControl::RtsDisable);
  Comm.SetDtrControl(TDtrControl::DtrDisable);
  QThread::msleep(100);
  Comm.SetRtsControl(TRtsControl::RtsEnable);
  Comm.SetDtrControl(TDtrControl::DtrEnable);
}

// One line that says how the run ended, so the log shows it without counting the block notes.
void TFlashRunControl::ReportOutcome(const TFlashOutcome& Outcome) {
  const QString NotFlashed = QStringLiteral("%1 not flashed: ").arg(Outcome.Firmware);
  if (!Outcome.Failure.isEmpty()) {
    View.Log(QStringLiteral("Error: ") + NotFlashed + Outcome.Failure + u'.');
  } else if (Outcome.Stopped) {
    const QString Where = Outcome.BlockCount == 0
                              ? QStringLiteral("before programming")
                              : QStringLiteral("after %1 of %2 blocks")
                                    .arg(Outcome.BlocksWritten)
                                    .arg(Outcome.BlockCount);
    View.Log(QStringLiteral("Warning: ") + NotFlashed + StopReason + u' ' + Where + u'.');
  } else {
    View.Log(QStringLiteral("Note: %1 flashed to %2 in %3 s.")
                 .arg(Outcome.Firmware, Record.STAMACStr,
                      QString::number(double(RunTime.elapsed()) / 1000.0, 'f', 1)));
  }
}

void TFlashRunControl::StopWorker() {
  Record.BurnOK = true;
  WaitForWorker(QDeadlineTimer(QDeadlineTimer::Forever));
}

// A port that goes away during a run ends the run at once, ready for the next module.
void TFlashRunControl::CommRequestHangup() {
  if (!Comm.PortOpen()) return;
  Comm.StopComm();
  Record.BurnOK = true;
  Record.RunState = StateFinished;
  TimerStateMachine.stop();
  StopReason = QStringLiteral("serial port lost");
  View.Log(QStringLiteral("Error: Serial port lost; is the adapter still plugged in?"));
  View.ShowStatus(TRunStatus::No);
  ClosePort();
}
