#include "loader/FlashJob.h"

#include "firmware/FirmwareImage.h"
#include "firmware/ImageHeader.h"
#include "loader/FlashErase.h"
#include "loader/LoaderCodec.h"

#include <QCryptographicHash>
#include <QHash>
#include <QThread>

#include <cmath>
#include <exception>
#include <utility>

namespace {

// A reason as a log line: "Error: Firmware image not available."
QString ReasonLine(const char* Kind, const QString& Text) {
  return QLatin1String(Kind) + Text.first(1).toUpper() + Text.sliced(1) + u'.';
}

QString WarningLine(const QString& Text) { return ReasonLine("Warning: ", Text); }

}  // namespace

QString ErrorLine(const QString& Text) { return ReasonLine("Error: ", Text); }

namespace {

qsizetype RoundUpTo4(qsizetype Size) { return (Size + 3) / 4 * 4; }

// The FLASH_DATA request of the block at Position: up to 1024 image bytes, filled up with 0xFF
// to a multiple of 4. Empty at the end of the image.
QByteArray BlockRequest(const QByteArray& Image, qsizetype Position, quint32 Sequence) {
  if (Position >= Image.size()) return {};
  const qsizetype Length = std::min<qsizetype>(TFlashJob::BlockSize, Image.size() - Position);
  QByteArray Block = Image.sliced(Position, Length);
  Block.append(RoundUpTo4(Length) - Length, '\xFF');
  return BuildFlashDataRequest(Block, Sequence);
}

}  // namespace

void ReadJobImages(TFlashJobInputs& Inputs) {
  if (!Inputs.Regions.empty() || !Inputs.ReadError.isEmpty()) return;
  TImagesRead Read = ReadImageRegions(Inputs.Images);
  Inputs.Regions = std::move(Read.Regions);
  Inputs.ReadError = Read.Error;
  Inputs.BadOffset = Read.BadOffset;
}

TFlashJob::TFlashJob(QObject* UiContext, TFrameLink Link, TFlashJobSteps Steps,
                     TFlashJobInputs Inputs)
    : UiContext(UiContext),
      Link(Link),
      Rom(std::move(Link)),
      Steps(std::move(Steps)),
      Inputs(std::move(Inputs)) {
  Outcome.Firmware = this->Inputs.FirmwareName;
  Outcome.Operation = this->Inputs.Operation;
}

void TFlashJob::OnUi(const std::function<void()>& Step) {
  QMetaObject::invokeMethod(UiContext, Step, Qt::BlockingQueuedConnection);
}

void TFlashJob::PostToUi(std::function<void()> Step) {
  QMetaObject::invokeMethod(UiContext, std::move(Step), Qt::QueuedConnection);
}

void TFlashJob::EnterStage(TRunStage Stage) {
  Outcome.Reached = Stage;
  PostToUi([this, Stage] { Steps.EnterStage(Stage); });
}

void TFlashJob::FlashImage() {
  std::vector<TImageRegion> Regions = Inputs.Regions;
  const bool Flashing = Inputs.Operation == TRunOperation::Flash;
  if (ReadMAC() && !Flashing)
    RunWorkbench(Regions);
  else if (Flashing && !Failed && PrepareRegions(Regions) &&
           !(Inputs.ThroughLoader && FlashThroughLoader(Regions)))
    FlashThroughRom(Regions);
  if (!Failed && Outcome.Result != TRunResult::Done) Outcome.Result = TRunResult::Stopped;
  if (Inputs.PostRun && Outcome.Result == TRunResult::Done) EnterStage(TRunStage::RunAfterFlash);
  PostToUi([this] {
    if (Inputs.PostRun) Steps.RunAfterFlash();
    Steps.SetLabelStatus(QStringLiteral("Ready "));
  });
  OnUi([this] { Steps.Finished(Outcome); });
}

// The four eFuse words, then the module's record. Once the module has refused a read, nothing
// more is sent to it.
bool TFlashJob::ReadMAC() {
  EnterStage(TRunStage::MacRead);
  std::array<quint32, 4> Words{};
  for (std::size_t i = 0; i < Words.size(); ++i) {
    const std::optional<TReplyFrame> Reply = Rom.ReadReg(MACRegisterAddresses[i]);
    if (!WaitedFor(Reply, {TRunReason::MacTimeout, TRunReason::MacRefused, "the MAC read",
                           "Error: Read RQ53 register timeout."},
                   TRomSession::ReplyWaitMs))
      return false;
    Words[i] = Reply->Value;
  }
  RecordModule(DeriveModuleMAC(Words));
  return !Failed;
}

void TFlashJob::RecordModule(const TModuleMAC& MAC) {
  Outcome.StationMAC = MAC.Station;
  Outcome.AccessPointMAC = MAC.AccessPoint;
  OnUi([this, MAC] {
    try {
      Outcome.PictureFile = Steps.ShowDeviceIdentity(MAC);
    } catch (const std::exception& Error) {
      Outcome.Result = TRunResult::Failed;
      Outcome.Reason = TRunReason::NotRecorded;
      Outcome.ReasonText = QStringLiteral("module not recorded");
      Failed = true;
      Steps.Log(QStringLiteral("Error: %1").arg(QString::fromUtf8(Error.what())));
      Steps.ShowStatusNo();
    }
  });
}

// Whether Reply is the success awaited. A stop ends the wait without a failure; a time-out and a
// refusal fail the run (the refusal's code is in the log already).
bool TFlashJob::WaitedFor(const std::optional<TReplyFrame>& Reply, const TWait& Wait,
                          int WaitMs) {
  if (Reply && Reply->Success()) return true;
  if (Link.Stopped()) return false;
  if (!Reply) {
    Fail(Wait.Timeout,
         QStringLiteral("no reply to %1 within %2 s").arg(Wait.What, QString::number(WaitMs / 1000.0)),
         Wait.TimeoutLine);
    return false;
  }
  const QString Code = Reply->Error == RomErrorInvalidMessage ? QStringLiteral("invalid message")
                       : Reply->Error == RomErrorChecksum
                           ? QStringLiteral("checksum")
                           : QString::asprintf("error 0x%02X", Reply->Error);
  QString Name = Wait.What;
  if (Name.startsWith(QStringLiteral("the "))) Name.remove(0, 4);
  Fail(Wait.Refused, QStringLiteral("%1 refused (%2)").arg(Name, Code), QString());
  return false;
}

// The run fails with Reason: Text is what the outcome says, Line what the log says (an empty Line
// logs nothing: the refusal is there already); without Line the log says Text as an error.
void TFlashJob::Fail(TRunReason Reason, const QString& Text, const QString& Line) {
  Failed = true;
  Outcome.Result = TRunResult::Failed;
  Outcome.Reason = Reason;
  Outcome.ReasonText = Text;
  OnUi([this, Line] {
    if (!Line.isEmpty()) Steps.Log(Line);
    Steps.ShowStatusNo();
  });
}

// A run that cannot program what was chosen ends as a failure: nothing was written. Checked
// before anything is erased: the images read, the Advanced page's settings (a box without a
// choice, from an index out of range in a hand-edited settings file), and the regions against the
// chosen flash size. The region at offset 0 gets the settings' header codes.
bool TFlashJob::PrepareRegions(std::vector<TImageRegion>& Regions) {
  QString Refusal = Inputs.ReadError;
  if (Refusal.isEmpty() && Regions.empty()) Refusal = QStringLiteral("firmware image not available");
  const TRunReason Reason = Inputs.BadOffset ? TRunReason::BadSettings : TRunReason::ImageMissing;
  for (const TImageRegion& Region : Regions)
    Outcome.Regions.push_back({Region.Name, Region.Offset, Region.Sha256});
  if (Regions.size() == 1) {
    Outcome.ImageSha256 = Regions.front().Sha256;
    Outcome.Offset = Regions.front().Offset;
  }
  if (Refusal.isEmpty())
    Refusal = FlashSettingsRefusal(Inputs.SPIMode, Inputs.FlashSize, Inputs.FlashSpeed);
  if (Refusal.isEmpty())
    Refusal = RegionsRefusal(Regions, FlashSizeBytes(Inputs.FlashSize).value_or(0), Inputs.FlashSize);
  if (!Refusal.isEmpty()) {
    Fail(Regions.empty() ? Reason : TRunReason::BadSettings, Refusal, ErrorLine(Refusal));
    return false;
  }
  for (TImageRegion& Region : Regions)
    if (Region.Offset == 0)
      PatchImageHeader(Region.Bytes, Inputs.SPIMode, Inputs.FlashSize, Inputs.FlashSpeed);
  return true;
}

// Blocks are counted in 1 KiB of each region, on either path, for the run's outcome.
void TFlashJob::CountBlocks(const std::vector<TImageRegion>& Regions) {
  Outcome.BlockCount = 0;
  TotalBytes = 0;
  for (const TImageRegion& Region : Regions) {
    Outcome.BlockCount += int((RoundUpTo4(Region.Bytes.size()) + BlockSize - 1) / BlockSize);
    TotalBytes += Region.Bytes.size();
  }
}

// Each region as the boot ROM takes an image: one FLASH_BEGIN that erases just its sectors, then
// its blocks. "Erasing" says what all regions erase together.
void TFlashJob::FlashThroughRom(const std::vector<TImageRegion>& Regions) {
  if (Link.Stopped()) return;
  if (Outcome.Path == TFlashPath::None) Outcome.Path = TFlashPath::BootRom;
  CountBlocks(Regions);
  quint32 Sectors = 0;
  for (const TImageRegion& Region : Regions)
    Sectors += SectorsErasedBy(Region.Offset,
                               FlashBeginSize(Region.Offset, quint32(RoundUpTo4(Region.Bytes.size()))));
  AnnounceErase(Regions.size() == 1 ? RoundUpTo4(TotalBytes) : TotalBytes, Sectors);
  WrittenBefore = 0;
  for (const TImageRegion& Region : Regions) {
    if (!FlashStream(Region)) break;
    WrittenBefore += Region.Bytes.size();
  }
  // Every block taken is an image written, whether a stop came after the last one or not.
  if (Outcome.BlocksWritten == Outcome.BlockCount && !Failed) Outcome.Result = TRunResult::Done;
  ShowProgress(WrittenBefore, true);
}

// One region through the boot ROM; false when the run ends in it.
bool TFlashJob::FlashStream(const TImageRegion& Region) {
  const QByteArray& Image = Region.Bytes;
  const qsizetype Size = Image.size();
  const qsizetype PaddedSize = RoundUpTo4(Size);
  const int Blocks = int((PaddedSize + BlockSize - 1) / BlockSize);
  // The size announced makes the module erase just the image's sectors; the blocks are not
  // bound by it.
  const quint32 EraseSize = FlashBeginSize(Region.Offset, quint32(PaddedSize));
  const quint32 Sectors = SectorsErasedBy(Region.Offset, EraseSize);
  const int EraseWaitMs = FlashBeginWaitMs(Region.Offset, Sectors, TRomSession::ReplyWaitMs);
  if (!WaitedFor(Rom.FlashBegin(EraseSize, quint16(Blocks), Region.Offset, EraseWaitMs),
                 {TRunReason::EraseTimeout, TRunReason::EraseRefused, "the flash start",
                  "Error: Set RQ53 Address timeout."},
                 EraseWaitMs))
    return false;
  EnterStage(TRunStage::Write);
  // The next block's request is made while this one crosses the line.
  qsizetype Position = 0;
  quint32 Sequence = 0;
  QByteArray Request = BlockRequest(Image, Position, Sequence);
  while (Position < Size) {
    const QString Block =
        QStringLiteral("block %1 of %2").arg(Outcome.BlocksWritten + 1).arg(Outcome.BlockCount);
    const std::optional<TReplyFrame> Reply = Rom.FlashData(Request);
    Position += std::min<qsizetype>(BlockSize, Size - Position);
    Request = BlockRequest(Image, Position, ++Sequence);
    if (!WaitedFor(Reply, {TRunReason::BlockTimeout, TRunReason::BlockRefused, Block,
                           "Error: Write flash timeout."},
                   TRomSession::ReplyWaitMs)) {
      ShowProgress(WrittenBefore + Position, true);
      return false;
    }
    ++Outcome.BlocksWritten;
    ShowProgress(WrittenBefore + Position, false);
  }
  return true;
}

void TFlashJob::AnnounceErase(qsizetype Size, quint32 Sectors) {
  EnterStage(TRunStage::Erase);
  PostToUi([this, Size, Sectors] {
    Steps.SetLabelStatus(QStringLiteral("Size: %1 Bytes ").arg(Size));
    Steps.Log(QStringLiteral("Note: Erasing %1 KiB.").arg(Sectors * FlashSectorSize / 1024));
  });
}

// Flashes through the loader program. False when the program could not be brought up: one
// warning, and the boot ROM is ready for the ROM path. True when the run ended here, written,
// failed or stopped.
bool TFlashJob::FlashThroughLoader(const std::vector<TImageRegion>& Regions) {
  TOnChipFlasher Flasher(LoaderLink(), Inputs.LineRate, Inputs.LoaderRate);
  const TOnChipResult Started = StartLoader(Flasher);
  if (Link.Stopped()) return true;
  if (Started.Outcome != TOnChipOutcome::Written) {
    FallBackToRom(Started, Started.Outcome != TOnChipOutcome::NotUploaded);
    return Failed;
  }
  if (!Started.RateWarning.isEmpty())
    OnUi([this, Text = Started.RateWarning] { Steps.Log(WarningLine(Text)); });
  if (const QString Refusal = ChipRefusal(Regions); !Refusal.isEmpty()) {
    Fail(TRunReason::BadSettings, Refusal, ErrorLine(Refusal));
    return true;
  }
  Outcome.Path = TFlashPath::Loader;
  Outcome.LineRate = Started.Rate;
  Outcome.RateWarning = Started.RateWarning;
  CountBlocks(Regions);
  quint32 Sectors = 0;
  for (const TImageRegion& Region : Regions)
    Sectors += quint32((Region.Bytes.size() + FlashSectorSize - 1) / FlashSectorSize);
  AnnounceErase(Regions.size() == 1 ? RoundUpTo4(TotalBytes) : TotalBytes, Sectors);
  WrittenBefore = 0;
  for (const TImageRegion& Region : Regions) {
    if (!FlashRegionThroughLoader(Flasher, Region)) return true;
    WrittenBefore += Region.Bytes.size();
  }
  Outcome.Result = TRunResult::Done;
  Outcome.Verified = true;
  Outcome.BlocksWritten = Outcome.BlockCount;
  ShowProgress(TotalBytes, true);
  return true;
}

// The built-in program uploaded and started; once it runs, the flash chip it found is noted.
TOnChipResult TFlashJob::StartLoader(TOnChipFlasher& Flasher) {
  const std::optional<TOnChipProgram> Program = BuiltInOnChipProgram();
  TOnChipResult Started = Program ? Flasher.Start(*Program) : TOnChipResult();
  if (!Program) {
    Started.Outcome = TOnChipOutcome::NotUploaded;
    Started.Reason = QStringLiteral("the loader is missing from this build");
  }
  if (Started.Outcome != TOnChipOutcome::Written) return Started;
  Outcome.ChipId = Started.ChipId;
  OnUi([this] {
    Steps.Log(QStringLiteral("Note: Flash chip %1, %2.")
                  .arg(ChipIdText(Outcome.ChipId), ChipSizeText(*ChipBytes(Outcome.ChipId))));
  });
  return Started;
}

// Why the regions cannot go onto the chip found: a region that ends past it, or a flash size
// setting larger than the chip (the header would send the firmware past its end).
QString TFlashJob::ChipRefusal(const std::vector<TImageRegion>& Regions) const {
  const quint64 Chip = *ChipBytes(Outcome.ChipId);
  const QString ChipText = QStringLiteral("the chip's ") + ChipSizeText(Chip);
  const QString Refusal = RegionsRefusal(Regions, Chip, ChipText);
  if (Refusal.isEmpty() && FlashSizeBytes(Inputs.FlashSize).value_or(0) > Chip)
    return QStringLiteral("flash size %1 is larger than %2").arg(Inputs.FlashSize, ChipText);
  return Refusal;
}

// One region, written and its digest compared; false when the run ends in it.
bool TFlashJob::FlashRegionThroughLoader(TOnChipFlasher& Flasher, const TImageRegion& Region) {
  const TOnChipResult Flashed = Flasher.Flash(Region.Bytes, Region.Offset);
  if (Flashed.Outcome != TOnChipOutcome::Written && Link.Stopped()) return false;
  if (Flashed.Outcome != TOnChipOutcome::Written) {
    const TRunReason Reason = Flashed.Outcome == TOnChipOutcome::DigestDiffers
                                  ? TRunReason::DigestDiffers
                                  : TRunReason::LoaderFailed;
    const QString Text = QStringLiteral("loader: %1").arg(Flashed.Reason);
    Fail(Reason, Text, ErrorLine(Text));
    return false;
  }
  OnUi([this, Flashed] {
    Steps.Log(QStringLiteral("Note: %1 of %2 sectors unchanged.").arg(Flashed.Unchanged).arg(Flashed.Sectors));
    Steps.Log(QStringLiteral("Note: Flash digest %1 equals the image's.")
                  .arg(Flashed.Digest, 8, 16, QChar(u'0')));
  });
  return true;
}

// One warning; once the program has started, the boot ROM no longer listens and the module is
// reset into it again.
void TFlashJob::FallBackToRom(const TOnChipResult& Started, bool ProgramRan) {
  const QString& Reason = Started.Reason;
  Outcome.Path = TFlashPath::BootRomAfterLoader;
  Outcome.LoaderFailure = Reason;
  OnUi([this, Reason] { Steps.Log(WarningLine(Reason + "; flashing through the boot ROM")); });
  if (ProgramRan) ReturnToRom();
}

// The loader's requests go out as the ROM's do, over the same link.
TOnChipLink TFlashJob::LoaderLink() {
  TOnChipLink Loader;
  Loader.Frames = Link;
  Loader.SetLineRate = [this](quint32 Rate) {
    bool Set = false;
    OnUi([this, Rate, &Set] { Set = Steps.SetLineRate(Rate); });
    return Set;
  };
  Loader.EnterStage = [this](TRunStage Stage) { EnterStage(Stage); };
  Loader.Progress = [this](qsizetype Done, qsizetype) {
    Outcome.BlocksWritten = int((WrittenBefore + Done) / BlockSize);
    const int Shown = int(double(WrittenBefore + Done) * Inputs.ProgressMaximum / double(TotalBytes));
    PostToUi([this, Shown] { Steps.SetProgress(Shown); });
  };
  return Loader;
}

// The line goes back to the handshake's rate, and the module is reset into its boot loader and
// sent SYNC until it answers.
void TFlashJob::ReturnToRom() {
  OnUi([this] { Steps.SetLineRate(Inputs.LineRate); });
  const bool Answered = Rom.Resync(RehandshakeWaitMs, [this] {
    PostToUi([this] { Steps.BootPulse(); });
    QThread::msleep(BootPulseMs);
  });
  if (Answered)
    OnUi([this] { Steps.Log(QStringLiteral("Note: RQ53 ACK success.")); });
  else if (!Link.Stopped())
    Fail(TRunReason::NoAnswerAfterReset, QStringLiteral("RQ53 did not answer after its reset"),
         QStringLiteral("Error: RQ53 did not answer after its reset."));
}

// About once per hundredth of the images (after every block for images under 100 bytes), and
// once more at the end, rounded up so that complete images show the maximum. Only the last
// update is waited for: the others would hold up the next block.
void TFlashJob::ShowProgress(qsizetype Position, bool Final) {
  const qsizetype Size = TotalBytes;
  if (Size <= 0) return;
  const qsizetype Step = Size / 100;
  if (!Final && Step > 0 && Position % Step > BlockSize) return;
  const double Value = double(Position) * Inputs.ProgressMaximum / double(Size);
  const int Shown = int(Final ? std::ceil(Value) : std::nearbyint(Value));
  if (Final)
    OnUi([this, Shown] { Steps.SetProgress(Shown); });
  else
    PostToUi([this, Shown] { Steps.SetProgress(Shown); });
}
