#pragma once
// One serial port's flash runs without any widget: the serial component and its receive path (the
// reply recognition, whose lines are held back a little), the 50 ms state machine timer, the Flash
// command, the device identity record and the results log's row of each run. A front end (the main window, a command-line program)
// implements TFlashRunView and calls in here; a process may run several stations, one per port.

#include "app/FlashRunControl.h"
#include "app/FlashRunView.h"
#include "loader/ReplyRecognition.h"
#include "loader/RunRecord.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QTimer;
class TComm;

class TFlashStation : public QObject, private TFlashRunView {
 public:
  // Runs a callback of the port or a timer tick; reports what it throws (the window shows a
  // message box) and lets nothing cross the event loop.
  using TGuard = std::function<void(const std::function<void()>& Step)>;

  // View is the front end; ConfigDir gives the settings folder (ending with a separator) the
  // identity record and the QR pictures are written to. The station starts with no run.
  TFlashStation(TFlashRunView& View, std::function<QString()> ConfigDir, TGuard Guard,
                QObject* Parent = nullptr);
  // Ends a run still going: the worker is run to its end, then the port is closed.
  ~TFlashStation() override;

  TComm& Comm() const { return *FComm; }
  TRunRecord& Record() { return FRecord; }
  const TRunRecord& Record() const { return FRecord; }
  const TFlashRunControl& RunControl() const { return *FRunControl; }
  QTimer& TimerStateMachine() const { return *FTimerStateMachine; }
  // The QR picture of the last module met.
  const QImage& QRCodePicture() const { return FQRCodePicture; }
  // The outcome of the last run over, and how many runs are over since the station was made.
  const std::optional<TRunOutcome>& LastOutcome() const { return FLastOutcome; }
  int FinishedRuns() const { return FFinishedRuns; }
  // Received bytes kept as the start of a reply still arriving.
  qsizetype ReceivedBytesHeld() const { return Recognizer.HeldBytes(); }
  // The results log each run's row goes to; empty (the default): "runs.csv" in the settings
  // folder.
  void SetResultsFile(const QString& FileName) { FResultsFile = FileName; }
  QString ResultsFile() const;
  // Why the last run's row could not be written (also logged as an error), or empty.
  const QString& ResultsLogError() const { return FResultsLogError; }

  // The Flash command: starts a run, or stops the one going.
  void ActionBurnExecute(TBurnSender Sender);
  // One tick of the state machine (the timer calls it every 50 ms during a run).
  void TimerStateMachineTimer();
  // The serial component's received bytes, examined by the reply recognition.
  void CommReceiveData(QObject* Sender, const quint8* Buffer, quint16 BufferLength);
  // Shows the module's MAC texts and QR picture and records them; returns the picture's file
  // name; throws EIdentityFileError.
  QString ShowDeviceIdentity(const TModuleMAC& MAC);
  void ShowQRCode(const QString& Text);

  // The front end's own lines and pictures, after the reply recognition's held lines.
  void Log(const QString& Line) override;
  void ShowStatus(TRunStatus Status) override;
  // Marks the run over and stops the timer, as closing the window does; the port stays open.
  void Close();
  // Ends the run: the worker is run to its end and the port is closed.
  void Shutdown();

 private:
  void LogHeldLines();
  void AppendResultsRow(const TRunOutcome& Outcome);

  // The run's view: the front end's, after the held lines.
  bool FirmwareSelected() const override { return View.FirmwareSelected(); }
  QString SerialPortText() const override { return View.SerialPortText(); }
  bool SafeFlashChecked() const override { return View.SafeFlashChecked(); }
  TFlashJobInputs FlashJobInputs() const override { return View.FlashJobInputs(); }
  bool GiveUpWhenSilent() const override { return View.GiveUpWhenSilent(); }
  void ShowMessage(const QString& Text) override { View.ShowMessage(Text); }
  void SetBurnCaption(const QString& Caption) override { View.SetBurnCaption(Caption); }
  void SetLabelStatus(const QString& Text) override { View.SetLabelStatus(Text); }
  void SetProgress(int Position) override { View.SetProgress(Position); }
  void ShowStage(TRunStage Stage) override;
  void ShowMACTexts(const QString& APMACStr, const QString& STAMACStr) override {
    View.ShowMACTexts(APMACStr, STAMACStr);
  }
  void ShowQRPicture(const QImage& Picture) override { View.ShowQRPicture(Picture); }
  void RunFinished(const TRunOutcome& Outcome) override;

  TFlashRunView& View;
  std::function<QString()> ConfigDir;
  TGuard Guard;
  TRunRecord FRecord;
  TReplyRecognizer Recognizer;
  QStringList HeldLines;  // lines of the reply recognition not yet logged
  QTimer* TimerLogHeldLines;
  QTimer* FTimerStateMachine;
  TComm* FComm;
  std::unique_ptr<TFlashRunControl> FRunControl;
  QImage FQRCodePicture;
  std::optional<TRunOutcome> FLastOutcome;
  int FFinishedRuns = 0;
  QString FResultsFile;
  QString FResultsLogError;
};
