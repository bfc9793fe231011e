#pragma once
// What a front end (the main window, a command-line program) gives a flash run and shows of it.
// Every call comes on the thread that owns the run's station.

#include "loader/FlashJob.h"
#include "loader/RunOutcome.h"

#include <QImage>
#include <QString>

// The status picture of a run: failed, in progress, succeeded.
enum class TRunStatus { No, Wait, Yes };

class TFlashRunView {
 public:
  virtual ~TFlashRunView() = default;

  // The inputs of a run, read when it starts.
  virtual bool FirmwareSelected() const = 0;
  virtual QString SerialPortText() const = 0;
  virtual bool SafeFlashChecked() const = 0;
  // What the flashing job reads, copied when its worker starts.
  virtual TFlashJobInputs FlashJobInputs() const = 0;
  // Whether a module that does not answer the handshake within about 3.5 s fails the run (a
  // script cannot wait for ever); otherwise the handshake goes on until the user stops it.
  virtual bool GiveUpWhenSilent() const { return false; }

  // What the run shows.
  // The modal message box (the window) or an error line (a console).
  virtual void ShowMessage(const QString& Text) = 0;
  // One log line, or several joined by "\n": for people to read, never to learn what happened.
  virtual void Log(const QString& Lines) = 0;
  // "Flash(&F)" while no port is open, "Stop(&S)" during a run.
  virtual void SetBurnCaption(const QString& Caption) = 0;
  virtual void SetLabelStatus(const QString& Text) = 0;
  virtual void SetProgress(int Position) = 0;
  virtual void ShowStatus(TRunStatus Status) = 0;
  // The run entered Stage; PortOpen starts every run, so the previous module's data go then.
  virtual void ShowStage(TRunStage Stage) = 0;
  // The module's MAC texts and its QR picture, once its MAC registers were read.
  virtual void ShowMACTexts(const QString& APMACStr, const QString& STAMACStr) = 0;
  virtual void ShowQRPicture(const QImage& Picture) = 0;
  // The run is over: called once for every run started, after its last line and picture.
  virtual void RunFinished(const TRunOutcome& Outcome) = 0;
};
