#pragma once
// The Flash command and the 50 ms state machine of a flash run: the port opened, the module pulsed
// into its boot loader and sent SYNC until it answers, the flashing worker started, and the run
// closed with its one outcome. Everything here runs on the station's thread but the worker. Every
// counter and flag of a run belongs to its station: stations of one process share nothing.

#include "app/FlashRunView.h"
#include "app/LinePulse.h"
#include "loader/FlashJob.h"
#include "loader/RunRecord.h"
#include "serial/SPComm.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

class QTimer;

// Who pressed Flash: the user (button, accelerator), or the state machine closing a finished run.
enum class TBurnSender { User, StateMachine };

class TFlashRunControl {
 public:
  // TimerStateMachine is the station's 50 ms timer; its ticks are to call TimerStateMachineTimer.
  // ShowDeviceIdentity is the job's step that shows and records the module met (it throws when the
  // record cannot be written); the job's other steps go to View.
  TFlashRunControl(TComm& Comm, TRunRecord& Record, TFlashRunView& View,
                   QTimer& TimerStateMachine, QObject* UiContext,
                   std::function<QString(const TModuleMAC&)> ShowDeviceIdentity);
  // Waits for a worker still running.
  ~TFlashRunControl();
  TFlashRunControl(const TFlashRunControl&) = delete;
  TFlashRunControl& operator=(const TFlashRunControl&) = delete;

  void ActionBurnExecute(TBurnSender Sender);
  void TimerStateMachineTimer();
  // Queues a finished request packet for the port's writer; safe from the worker thread.
  bool SendPacket(const QByteArray& Packet);
  // Bytes arrived from the module (the reply recognition looks at them).
  void NoteReceived(qsizetype Bytes) { RunReceivedBytes += Bytes; }
  // The serial component lost the port (adapter pulled, device failed).
  void CommRequestHangup();
  // Tells a running worker to stop and waits for it, running the steps it hands to this thread.
  void StopWorker();
  bool WorkerRunning() const { return FWorkerRunning; }
  // A run was started and has not given its outcome yet: a module may be being flashed.
  bool RunGoing() const { return RunPending; }
  // Handshake ticks of this station since it was made; wraps to 0 at 2147483647.
  qint32 HandshakeTickCount() const { return FHandshakeTickCount; }

 private:
  void StopRun(TBurnSender Sender);
  void StartRun();
  void OpenPort(const QString& Port);
  bool WaitForPreviousWorker();
  bool WaitForWorker(QDeadlineTimer Deadline);
  void HandshakeTick();
  void ReportSilentModule();
  void StartWorker();
  void CloseFinishedRun();
  bool SetLineRate(quint32 Rate);
  void ClosePort();
  TFlashJobSteps JobSteps();
  void JobFinished(TRunOutcome Outcome);
  void BeginRun(const QString& Port);
  void EndRun(TRunOutcome Outcome);
  void EndRunHere(TRunResult Result, TRunReason Reason, const QString& Text);

  TComm& Comm;
  TRunRecord& Record;
  TFlashRunView& View;
  QTimer& TimerStateMachine;
  QObject* UiContext;
  std::function<QString(const TModuleMAC&)> ShowDeviceIdentity;
  TLinePulser Pulser;
  std::thread FWorker;
  std::atomic<bool> FWorkerRunning{false};
  qint32 FHandshakeTickCount = 0;
  int RunHandshakeTicks = 0;
  qsizetype RunReceivedBytes = 0;
  QElapsedTimer RunTime;  // since the Flash command started the run
  bool RunPending = false;  // a run started and its outcome not yet given
  TRunOutcome RunStart;     // what every outcome of the run says of its start (port, firmware)
  TFlashJobInputs RunInputs;  // read from the view when the run started
  std::optional<TRunOutcome> DoneOutcome;  // a job that ended done, until its run is closed
  // Why the run was stopped from outside, for its outcome.
  TRunResult StopResult = TRunResult::Stopped;
};
