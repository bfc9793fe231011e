#pragma once
// The flashing job: on a worker thread of its own, it reads the module's four MAC eFuse words, has
// the module recorded, programs the chosen built-in image (through Ferrule's loader program, or
// through the boot ROM block by block) and lets the new firmware start. It asks the module through
// its link and waits for each reply; it reports to whoever runs it only through the steps below,
// run on that thread, either waiting for them or posting them; both kinds run in the order they
// were issued. It ends with its part of the run's outcome.

#include "firmware/ImageRegions.h"
#include "loader/DeviceIdentity.h"
#include "loader/LoaderCodec.h"
#include "loader/OnChipFlasher.h"
#include "loader/RomSession.h"
#include "loader/RunOutcome.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

// What the job reads of the front end, copied when the run starts, so the worker never touches a
// control.
struct TFlashJobInputs {
  QString FirmwareName;  // what the run calls its firmware (the images' names)
  std::vector<TImageSource> Images;  // the images chosen, read when the run starts
  // The images read; a front end that reads them before (ferrule-cli, for every station) gives
  // them here, else the run reads Images. ReadError says why they could not be.
  std::vector<TImageRegion> Regions;
  QString ReadError;
  bool BadOffset = false;  // ReadError is an offset's
  QString SPIMode;       // texts of the Advanced page's boxes
  QString FlashSize;
  QString FlashSpeed;
  bool PostRun = true;  // "Run after Flash"
  int ProgressMaximum = 100;
  bool ThroughLoader = false;  // flash through the loader program ("Safe Flash" off)
  // The workbench's operations (always through the loader program): Read the range into
  // ReadFile, Erase the range (EraseAll: the whole chip), Verify the images read, Info.
  TRunOperation Operation = TRunOperation::Flash;
  quint32 RangeOffset = 0, RangeSize = 0;
  bool EraseAll = false;
  QString ReadFile;
  quint32 LineRate = 576000;   // the rate the port runs at when the job starts
  quint32 LoaderRate = 921600;  // the loader program's rate, asked for once it runs
};

// The line's rates: the handshake and the boot ROM's path, the same with "Safe Flash", and the
// loader program's.
inline constexpr quint32 RomRate = 576000;
inline constexpr quint32 SafeFlashRate = 115200;
inline constexpr quint32 LoaderRate = 921600;

// The runner's side of the job (the run control fills them). Each runs on the runner's thread.
struct TFlashJobSteps {
  std::function<void(const QString& Line)> Log;
  std::function<void()> ShowStatusNo;
  std::function<void(const QString& Text)> SetLabelStatus;
  std::function<void(TRunStage Stage)> EnterStage;
  std::function<void(int Position)> SetProgress;
  // Shows and records the module met; returns the picture's file name; throws when the record
  // cannot be written.
  std::function<QString(const TModuleMAC& MAC)> ShowDeviceIdentity;
  // The run-after-flash pulse of the control lines; it runs on by itself after the step.
  std::function<void()> RunAfterFlash;
  // Sets the tool's side of the line to a rate; false when the port refuses it.
  std::function<bool(quint32 Rate)> SetLineRate;
  // Starts the boot pulse that resets the module into its boot loader; it runs on by itself.
  std::function<void()> BootPulse;
  // The job is over: its last step.
  std::function<void(const TRunOutcome& Outcome)> Finished;
};

// A reason as an error line: "Error: Firmware image not available."
QString ErrorLine(const QString& Text);

// The images of Inputs read into its Regions (or its ReadError), unless they are there already.
void ReadJobImages(TFlashJobInputs& Inputs);

class TFlashJob {
 public:
  // Steps run on UiContext's thread.
  TFlashJob(QObject* UiContext, TFrameLink Link, TFlashJobSteps Steps, TFlashJobInputs Inputs);

  // The whole job; called on the worker thread, returns when the job is over.
  void FlashImage();

  static constexpr int BlockSize = RomBlockSize;
  // How long the module may take to answer the handshake again after its reset.
  static constexpr int RehandshakeWaitMs = 10000;
  // How long a boot pulse holds the lines before SYNC can be answered.
  static constexpr int BootPulseMs = 70;

 private:
  bool ReadMAC();
  void RecordModule(const TModuleMAC& MAC);
  bool PrepareRegions(std::vector<TImageRegion>& Regions);
  bool FlashStream(const TImageRegion& Region);
  void FlashThroughRom(const std::vector<TImageRegion>& Regions);
  // A reply waited for: what its time-out and its refusal mean, what it answers in the outcome's
  // words ("the MAC read", "block 3 of 469"), and the time-out's log line.
  struct TWait {
    TRunReason Timeout, Refused;
    QString What;
    QString TimeoutLine;
  };
  bool WaitedFor(const std::optional<TReplyFrame>& Reply, const TWait& Wait, int WaitMs);
  bool FlashThroughLoader(const std::vector<TImageRegion>& Regions);
  TOnChipResult StartLoader(TOnChipFlasher& Flasher);
  QString ChipRefusal(const std::vector<TImageRegion>& Regions) const;
  // The workbench's operations (FlashJobWorkbench.cpp).
  void RunWorkbench(const std::vector<TImageRegion>& Regions);
  bool RangeOnChip(quint64 Offset, quint64 Size);
  void ReadToFile(TOnChipFlasher& Flasher);
  void EraseRange(TOnChipFlasher& Flasher);
  void VerifyRegions(TOnChipFlasher& Flasher, const std::vector<TImageRegion>& Regions);
  void LoaderFailed(const TOnChipResult& Result);
  bool FlashRegionThroughLoader(TOnChipFlasher& Flasher, const TImageRegion& Region);
  void FallBackToRom(const TOnChipResult& Started, bool ProgramRan);
  TOnChipLink LoaderLink();
  void ReturnToRom();
  void AnnounceErase(qsizetype Size, quint32 Sectors);
  void CountBlocks(const std::vector<TImageRegion>& Regions);
  void Fail(TRunReason Reason, const QString& Text, const QString& Line = QString());
  void ShowProgress(qsizetype Position, bool Final);
  void EnterStage(TRunStage Stage);
  void OnUi(const std::function<void()>& Step);
  void PostToUi(std::function<void()> Step);

  QObject* UiContext;
  const TFrameLink Link;
  TRomSession Rom;
  TFlashJobSteps Steps;
  const TFlashJobInputs Inputs;
  // Written on the worker thread only; handed to the last step.
  TRunOutcome Outcome;
  bool Failed = false;
  qsizetype TotalBytes = 0;    // of every region
  qsizetype WrittenBefore = 0;  // bytes of the regions written before the current one
};
