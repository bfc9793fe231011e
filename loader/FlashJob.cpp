#include "loader/FlashJob.h"

#include "firmware/FirmwareImage.h"
#include "loader/FlashErase.h"
#include "loader/LoaderCodec.h"

#include <QCryptographicHash>
#include <QHash>
#include <QThread>

#include <cmath>
#include <exception>
#include <utility>

namespace {

// A reason as an error line: "Error: Firmware image not available."
QString ErrorLine(const QString& Text) {
  return QStringLiteral("Error: ") + Text.first(1).toUpper() + Text.sliced(1) + u'.';
}

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

quint8 CodeOf(const QHash<QString, quint8>& Codes, const QString& Text) {
  return Codes.value(Text, 0);
}

const QHash<QString, quint8>& ModeCodes() {
  static const QHash<QString, quint8> Codes{{"QIO", 0}, {"QOUT", 1}, {"DIO", 2}, {"DOUT", 3}};
  return Codes;
}

// The image format's own codes ("8MByte" and "16MByte" included) with each chip's size in KiB.
const QHash<QString, std::pair<quint8, quint32>>& Sizes() {
  static const QHash<QString, std::pair<quint8, quint32>> Codes{
      {"512kByte", {0x00, 512}},   {"256kByte", {0x10, 256}}, {"1MByte", {0x20, 1024}},
      {"2MByte", {0x30, 2048}},    {"4MByte", {0x40, 4096}},  {"2MByte-C1", {0x50, 2048}},
      {"4MByte-C1", {0x60, 4096}}, {"8MByte", {0x80, 8192}},  {"16MByte", {0x90, 16384}}};
  return Codes;
}

const QHash<QString, quint8>& SpeedCodes() {
  static const QHash<QString, quint8> Codes{
      {"40MHz", 0x0}, {"26.7MHz", 0x1}, {"20MHz", 0x2}, {"80MHz", 0xF}};
  return Codes;
}

}  // namespace

quint8 SPIModeCode(const QString& Text) { return CodeOf(ModeCodes(), Text); }

// The high four bits give the flash size, the low four the flash frequency.
quint8 FlashSizeSpeedCode(const QString& SizeText, const QString& SpeedText) {
  return Sizes().value(SizeText).first | CodeOf(SpeedCodes(), SpeedText);
}

TFlashJob::TFlashJob(QObject* UiContext, TFrameLink Link, TFlashJobSteps Steps,
                     TFlashJobInputs Inputs)
    : UiContext(UiContext),
      Link(Link),
      Rom(std::move(Link)),
      Steps(std::move(Steps)),
      Inputs(std::move(Inputs)) {
  Outcome.Firmware = this->Inputs.FirmwareName;
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
  QByteArray Image;
  quint32 BaseAddress = 0;
  if (ReadMAC() && PrepareImage(Image, BaseAddress) &&
      !(Inputs.ThroughLoader && FlashThroughLoader(Image, BaseAddress)))
    FlashStream(Image, BaseAddress);
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

// A run that cannot program what was chosen ends as a failure: nothing was written.
bool TFlashJob::PrepareImage(QByteArray& Image, quint32& BaseAddress) {
  if (!GetMemoryStream(Inputs.FirmwareName, &Image)) {
    const QString Text = QStringLiteral("firmware image not available");
    Fail(TRunReason::ImageMissing, Text, ErrorLine(Text));
    return false;
  }
  Outcome.ImageSha256 = QCryptographicHash::hash(Image, QCryptographicHash::Sha256);
  if (!GetBaseAddress(Inputs.Offset, BaseAddress)) {
    const QString Text = QStringLiteral("invalid flash offset %1").arg(Inputs.Offset);
    Fail(TRunReason::BadSettings, Text, ErrorLine(Text));
    return false;
  }
  Outcome.Offset = BaseAddress;
  const QString Refusal = SettingsRefusal(Image.size(), BaseAddress);
  if (!Refusal.isEmpty()) {
    Fail(TRunReason::BadSettings, Refusal, ErrorLine(Refusal));
    return false;
  }
  if (BaseAddress == 0) {
    Image[2] = char(SPIModeCode(Inputs.SPIMode));
    Image[3] = char(FlashSizeSpeedCode(Inputs.FlashSize, Inputs.FlashSpeed));
  }
  return true;
}

// Why the Advanced page's settings and the offset cannot take this image, or the empty text.
// Checked before anything is erased: a box without a choice (an index out of range in a
// hand-edited settings file), an offset inside a sector (its erase would wipe the bytes before
// it), an image that runs past the end of the chosen flash.
QString TFlashJob::SettingsRefusal(qsizetype ImageSize, quint32 BaseAddress) const {
  const auto NotChosen = [](const char* Setting) {
    return QStringLiteral("no %1 chosen; its value in Config.xml is out of range")
        .arg(QLatin1String(Setting));
  };
  if (!Sizes().contains(Inputs.FlashSize)) return NotChosen("flash size");
  if (!SpeedCodes().contains(Inputs.FlashSpeed)) return NotChosen("flash speed");
  if (!ModeCodes().contains(Inputs.SPIMode)) return NotChosen("SPI mode");
  if (BaseAddress % FlashSectorSize != 0)
    return QStringLiteral("flash offset %1 is not on a 4 KiB sector boundary").arg(Inputs.Offset);
  if (BaseAddress == 0 && ImageSize < 4)
    return QStringLiteral("firmware image of %1 bytes is too short for its header").arg(ImageSize);
  const quint64 FlashBytes = quint64(Sizes().value(Inputs.FlashSize).second) * 1024;
  if (BaseAddress + quint64(RoundUpTo4(ImageSize)) > FlashBytes)
    return QStringLiteral("firmware image of %1 bytes at %2 does not fit in %3 flash")
        .arg(ImageSize)
        .arg(Inputs.Offset, Inputs.FlashSize);
  return {};
}

void TFlashJob::FlashStream(const QByteArray& Image, quint32 BaseAddress) {
  if (Link.Stopped()) return;
  Outcome.Path = Outcome.Path == TFlashPath::None ? TFlashPath::BootRom : Outcome.Path;
  const qsizetype Size = Image.size();
  const qsizetype PaddedSize = RoundUpTo4(Size);
  const int BlockCount = int((PaddedSize + BlockSize - 1) / BlockSize);
  Outcome.BlockCount = BlockCount;
  // The size announced makes the module erase just the image's sectors; the blocks are not
  // bound by it.
  const quint32 EraseSize = FlashBeginSize(BaseAddress, quint32(PaddedSize));
  const quint32 Sectors = SectorsErasedBy(BaseAddress, EraseSize);
  AnnounceErase(PaddedSize, Sectors);
  const int EraseWaitMs = FlashBeginWaitMs(BaseAddress, Sectors, TRomSession::ReplyWaitMs);
  if (!WaitedFor(Rom.FlashBegin(EraseSize, quint16(BlockCount), BaseAddress, EraseWaitMs),
                 {TRunReason::EraseTimeout, TRunReason::EraseRefused, "the flash start",
                  "Error: Set RQ53 Address timeout."},
                 EraseWaitMs))
    return;
  EnterStage(TRunStage::Write);
  // The next block's request is made while this one crosses the line.
  qsizetype Position = 0;
  quint32 Sequence = 0;
  QByteArray Request = BlockRequest(Image, Position, Sequence);
  while (Position < Size) {
    const QString Block =
        QStringLiteral("block %1 of %2").arg(Outcome.BlocksWritten + 1).arg(BlockCount);
    const std::optional<TReplyFrame> Reply = Rom.FlashData(Request);
    Position += std::min<qsizetype>(BlockSize, Size - Position);
    Request = BlockRequest(Image, Position, ++Sequence);
    if (!WaitedFor(Reply, {TRunReason::BlockTimeout, TRunReason::BlockRefused, Block,
                           "Error: Write flash timeout."},
                   TRomSession::ReplyWaitMs))
      break;
    ++Outcome.BlocksWritten;
    ShowProgress(Position, Size, false);
  }
  if (Outcome.BlocksWritten == BlockCount) Outcome.Result = TRunResult::Done;
  ShowProgress(Position, Size, true);
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
bool TFlashJob::FlashThroughLoader(const QByteArray& Image, quint32 BaseAddress) {
  const std::optional<TOnChipProgram> Program = BuiltInOnChipProgram();
  TOnChipFlasher Flasher(LoaderLink(), RomRate, LoaderRate);
  TOnChipResult Started = Program ? Flasher.Start(*Program) : TOnChipResult();
  if (!Program) Started.Reason = QStringLiteral("the loader is missing from this build");
  if (Link.Stopped()) return true;
  if (Started.Outcome != TOnChipOutcome::Written) {
    FallBackToRom(Started, Program && Started.Outcome != TOnChipOutcome::NotUploaded);
    return Failed;
  }
  Outcome.Path = TFlashPath::Loader;
  const quint32 Sectors = quint32((Image.size() + FlashSectorSize - 1) / FlashSectorSize);
  AnnounceErase(RoundUpTo4(Image.size()), Sectors);
  // Counted in 1 KiB blocks of the image, as on the ROM path, for the run's outcome.
  Outcome.BlockCount = int((RoundUpTo4(Image.size()) + BlockSize - 1) / BlockSize);
  const TOnChipResult Flashed = Flasher.Flash(Image, BaseAddress);
  if (Link.Stopped()) return true;
  if (Flashed.Outcome != TOnChipOutcome::Written) {
    const TRunReason Reason = Flashed.Outcome == TOnChipOutcome::DigestDiffers
                                  ? TRunReason::DigestDiffers
                                  : TRunReason::LoaderFailed;
    const QString Text = QStringLiteral("loader: %1").arg(Flashed.Reason);
    Fail(Reason, Text, ErrorLine(Text));
    return true;
  }
  Outcome.Result = TRunResult::Done;
  Outcome.Verified = true;
  Outcome.BlocksWritten = Outcome.BlockCount;
  ShowProgress(Image.size(), Image.size(), true);
  OnUi([this, Digest = Flashed.Digest] {
    Steps.Log(QStringLiteral("Note: Flash digest %1 equals the image's.")
                  .arg(Digest, 8, 16, QChar(u'0')));
  });
  return true;
}

// One warning; once the program has started, the boot ROM no longer listens and the module is
// reset into it again.
void TFlashJob::FallBackToRom(const TOnChipResult& Started, bool ProgramRan) {
  const QString& Reason = Started.Reason;
  Outcome.Path = TFlashPath::BootRomAfterLoader;
  Outcome.LoaderFailure = Reason;
  OnUi([this, Reason] {
    Steps.Log(QStringLiteral("Warning: %1%2; flashing through the boot ROM.")
                  .arg(Reason.first(1).toUpper(), Reason.sliced(1)));
  });
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
  Loader.Progress = [this](qsizetype Done, qsizetype Total) {
    Outcome.BlocksWritten = int(Done / BlockSize);
    const int Shown = int(double(Done) * Inputs.ProgressMaximum / double(Total));
    PostToUi([this, Shown] { Steps.SetProgress(Shown); });
  };
  return Loader;
}

// The line goes back to the handshake's rate, and the module is reset into its boot loader and
// sent SYNC until it answers.
void TFlashJob::ReturnToRom() {
  OnUi([this] { Steps.SetLineRate(RomRate); });
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

// About once per hundredth of the image (after every block for an image under 100 bytes), and
// once more at the end, rounded up so that a complete image shows the maximum. Only the last
// update is waited for: the others would hold up the next block.
void TFlashJob::ShowProgress(qsizetype Position, qsizetype Size, bool Final) {
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
