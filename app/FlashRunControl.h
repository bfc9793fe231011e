#pragma once
// The Flash command and the 50 ms state machine of a flash run: the port opened, the module pulsed
// into its boot loader and sent SYNC until it answers, the flashing worker started, and the run
// closed with its result. Everything here runs on the UI thread but the worker.

#include "app/FlashRunView.h"
#include "loader/RunRecord.h"
#include "loader/FlashJob.h"
#include "serial/SPComm.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <functional>
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
                   std::function<void()> ShowDeviceIdentity);
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
  // Tells a running worker to stop and waits for it, running the steps it hands to the UI thread.
  void StopWorker();
  bool WorkerRunning() const { return FWorkerRunning; }

  // Handshake ticks since program start, shared by every run; wraps to 0 at 2147483647.
  static qint32 HandshakeTickCount;

 private:
  void StopRun(TBurnSender Sender);
  void StartRun();
  void OpenPort(const QString& Port);
  bool WaitForPreviousWorker();
  bool WaitForWorker(QDeadlineTimer Deadline);
  void StartUpPulse();
  void BootPulse();
  void HandshakeTick();
  void ReportSilentModule();
  void StartWorker();
  void ResetPulse();
  bool SetLineRate(quint32 Rate);
  void RestartHandshake();
  void ClosePort();
  TFlashJobSteps JobSteps();
  void ReportOutcome(const TFlashOutcome& Outcome);

  TComm& Comm;
  TRunRecord& Record;
  TFlashRunView& View;
  QTimer& TimerStateMachine;
  QObject* UiContext;
  std::function<void()> ShowDeviceIdentity;
  std::thread FWorker;
  std::atomic<bool> FWorkerRunning{false};
  int RunHandshakeTicks = 0;
  qsizetype RunReceivedBytes = 0;
  QElapsedTimer RunTime;  // since the port of the run was opened
  QString StopReason;     // why a run was stopped from outside, for its outcome line
};
