#pragma once
// The flashing job: on a worker thread of its own, it reads the module's four MAC eFuse words, has
// the module recorded, programs the chosen built-in image (through Ferrule's loader program, or
// through the boot ROM block by block) and lets the new firmware start. It learns of replies only
// through the run record, which the reply recognition updates on its runner's thread, and reports
// to whoever runs it only through the steps below, run on that thread, either waiting for them or
// posting them; both kinds run in the order they were issued.

#include "loader/OnChipFlasher.h"
#include "loader/RunRecord.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// What the job reads of the front end, copied on its thread when the worker is started, so the
// worker never touches a control.
struct TFlashJobInputs {
  QString FilePath;   // display name of the built-in image
  QString Offset;     // flash offset text
  QString SPIMode;    // texts of the Advanced page's boxes
  QString FlashSize;
  QString FlashSpeed;
  bool PostRun = true;  // "Run after Flash"
  int ProgressMaximum = 100;
  bool ThroughLoader = false;  // flash through the loader program ("Safe Flash" off)
};

// The line's rates: the handshake and the boot ROM's path, the same with "Safe Flash", and the
// loader program's.
inline constexpr quint32 RomRate = 576000;
inline constexpr quint32 SafeFlashRate = 115200;
inline constexpr quint32 LoaderRate = 921600;

// How a job ended. Failure says what went wrong when the job gave up by itself; Stopped is set
// when the run was stopped from outside (BurnOK) before the job was done. BlocksWritten counts the
// blocks the module took of BlockCount (0 before the image was begun).
struct TFlashOutcome {
  QString Firmware;
  QString Failure;
  bool Stopped = false;
  int BlocksWritten = 0;
  int BlockCount = 0;
};

// The runner's side of the job (the run control fills them). Each runs on the runner's thread.
struct TFlashJobSteps {
  std::function<void(const QString& Line)> Log;
  std::function<void()> ShowStatusNo;
  std::function<void(const QString& Text)> SetLabelStatus;
  std::function<void(int Position)> SetProgress;
  // Shows and records the module's MAC data; throws when the record cannot be written.
  std::function<void()> ShowDeviceIdentity;
  // The run-after-flash pulse of the control lines.
  std::function<void()> RunAfterFlash;
  // The job is over; its last step, before RunState becomes StateRun.
  std::function<void(const TFlashOutcome& Outcome)> Finished;
  // Sets the tool's side of the line to a rate; false when the port refuses it.
  std::function<bool(quint32 Rate)> SetLineRate;
  // Resets the module into its boot loader and starts the handshake again.
  std::function<void()> RestartHandshake;
};

// The image header codes of an image programmed at offset 0, chosen by the boxes' exact texts.
quint8 SPIModeCode(const QString& Text);
quint8 FlashSizeSpeedCode(const QString& SizeText, const QString& SpeedText);

class TFlashJob {
 public:
  // Sends a finished request packet (safe from the worker thread).
  using TSendPacket = std::function<bool(const QByteArray& Packet)>;

  // Steps run on UiContext's thread.
  TFlashJob(TRunRecord& Record, QObject* UiContext, TSendPacket SendPacket, TFlashJobSteps Steps,
            TFlashJobInputs Inputs);

  // The whole job; called on the worker thread, returns when the job is over.
  void FlashImage();

  // A reply wait looks at the run record at least this often, and gives up after ReplyWaitMs
  // (the FLASH_BEGIN wait adds the time its erase may take).
  static constexpr std::chrono::milliseconds ReplyPoll{1};
  static constexpr int ReplyWaitMs = 5000;
  static constexpr int BlockSize = 1024;
  // How long the module may take to answer the handshake again after its reset.
  static constexpr int RehandshakeWaitMs = 10000;

 private:
  enum class TWaitFor { ReadReg, FlashBegin, FlashData };

  void ReadReg(quint32 Address);
  void FlashStream(const QByteArray& Image, quint32 BaseAddress);
  bool FlashThroughLoader(const QByteArray& Image, quint32 BaseAddress);
  void EndLoaderTalk();
  TOnChipLink LoaderLink();
  std::optional<TReplyFrame> NextLoaderReply(int TimeoutMs);
  void ReturnToRom();
  void AnnounceErase(qsizetype Size, quint32 Sectors);
  bool PrepareImage(QByteArray& Image, quint32& BaseAddress);
  QString SettingsRefusal(qsizetype ImageSize, quint32 BaseAddress) const;
  void WaitForReply(TWaitFor Request, int WaitMs = ReplyWaitMs);
  void TimeOut(TWaitFor Request, int WaitMs);
  QString Refusal(TWaitFor Request) const;
  QString RequestName(TWaitFor Request) const;
  TFlashOutcome Outcome() const;
  void GiveUp(const QString& Error);
  void ShowProgress(qsizetype Position, qsizetype Size, bool Final);
  void OnUi(const std::function<void()>& Step);
  void PostToUi(std::function<void()> Step);

  TRunRecord& Record;
  QObject* UiContext;
  TSendPacket SendPacket;
  TFlashJobSteps Steps;
  const TFlashJobInputs Inputs;
  // Written on the worker thread only; read by its last step on the UI thread.
  QString Failure;
  int BlocksWritten = 0;
  int BlockCount = 0;
  bool Complete = false;  // every block of the image was taken
};
