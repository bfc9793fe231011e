#include "loader/FlashJob.h"

#include "firmware/FirmwareImage.h"
#include "loader/FlashErase.h"
#include "loader/LoaderCodec.h"
#include "loader/ReplyRecognition.h"

#include <QElapsedTimer>
#include <QHash>
#include <QThread>

#include <cmath>
#include <exception>
#include <utility>

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

TFlashJob::TFlashJob(TRunRecord& Record, QObject* UiContext, TSendPacket SendPacket,
                     TFlashJobSteps Steps, TFlashJobInputs Inputs)
    : Record(Record),
      UiContext(UiContext),
      SendPacket(std::move(SendPacket)),
      Steps(std::move(Steps)),
      Inputs(std::move(Inputs)) {}

void TFlashJob::OnUi(const std::function<void()>& Step) {
  QMetaObject::invokeMethod(UiContext, Step, Qt::BlockingQueuedConnection);
}

void TFlashJob::PostToUi(std::function<void()> Step) {
  QMetaObject::invokeMethod(UiContext, std::move(Step), Qt::QueuedConnection);
}

void TFlashJob::FlashImage() {
  OnUi([this] {
    Record.IsThreadStarted = true;
    Record.LastOperationFailed = false;
  });
  for (const quint32 Address : MACRegisterAddresses) ReadReg(Address);
  OnUi([this] {
    try {
      Steps.ShowDeviceIdentity();
    } catch (const std::exception& Error) {
      Steps.Log(QStringLiteral("Error: %1").arg(QString::fromUtf8(Error.what())));
      Steps.ShowStatusNo();
      Failure = QStringLiteral("module not recorded");
      Record.BurnOK = true;
    }
  });
  if (!Record.BurnOK) {
    QByteArray Image;
    quint32 BaseAddress = 0;
    if (PrepareImage(Image, BaseAddress) &&
        !(Inputs.ThroughLoader && FlashThroughLoader(Image, BaseAddress)))
      FlashStream(Image, BaseAddress);
  }
  PostToUi([this] {
    if (Inputs.PostRun) Steps.RunAfterFlash();
    Steps.SetLabelStatus(QStringLiteral("Ready "));
  });
  OnUi([this] {
    if (Steps.Finished) Steps.Finished(Outcome());
    Record.RunState = StateRun;
    Record.IsThreadStarted = false;
  });
}

TFlashOutcome TFlashJob::Outcome() const {
  return {Inputs.FilePath, Failure, Failure.isEmpty() && !Complete, BlocksWritten, BlockCount};
}

// A run that cannot program what was chosen ends as a failure: nothing was written.
bool TFlashJob::PrepareImage(QByteArray& Image, quint32& BaseAddress) {
  if (!GetMemoryStream(Inputs.FilePath, &Image)) {
    GiveUp(QStringLiteral("Error: Firmware image not available."));
    return false;
  }
  if (!GetBaseAddress(Inputs.Offset, BaseAddress)) {
    GiveUp(QStringLiteral("Error: Invalid flash offset %1.").arg(Inputs.Offset));
    return false;
  }
  const QString Refusal = SettingsRefusal(Image.size(), BaseAddress);
  if (!Refusal.isEmpty()) {
    GiveUp(Refusal);
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
    return QStringLiteral("Error: No %1 chosen; its value in Config.xml is out of range.")
        .arg(QLatin1String(Setting));
  };
  if (!Sizes().contains(Inputs.FlashSize)) return NotChosen("flash size");
  if (!SpeedCodes().contains(Inputs.FlashSpeed)) return NotChosen("flash speed");
  if (!ModeCodes().contains(Inputs.SPIMode)) return NotChosen("SPI mode");
  if (BaseAddress % FlashSectorSize != 0)
    return QStringLiteral("Error: Flash offset %1 is not on a 4 KiB sector boundary.")
        .arg(Inputs.Offset);
  if (BaseAddress == 0 && ImageSize < 4)
    return QStringLiteral("Error: Firmware image of %1 bytes is too short for its header.")
        .arg(ImageSize);
  const quint64 FlashBytes = quint64(Sizes().value(Inputs.FlashSize).second) * 1024;
  if (BaseAddress + quint64(RoundUpTo4(ImageSize)) > FlashBytes)
    return QStringLiteral("Error: Firmware image of %1 bytes at %2 does not fit in %3 flash.")
        .arg(ImageSize)
        .arg(Inputs.Offset, Inputs.FlashSize);
  return {};
}

// The error line, without its "Error: " and full stop, is also what the outcome says.
void TFlashJob::GiveUp(const QString& Error) {
  QString Reason = Error.section(QStringLiteral(": "), 1);
  Reason.chop(Reason.endsWith(u'.') ? 1 : 0);
  // "Firmware image ..." reads on in lower case; a name such as "RQ53" keeps its capital.
  if (Reason.size() > 1 && !Reason[1].isUpper()) Reason[0] = Reason[0].toLower();
  Failure = Reason;
  Record.BurnOK = true;
  OnUi([this, Error] {
    Steps.Log(Error);
    Steps.ShowStatusNo();
  });
}

// Once the module has refused a request, nothing more is sent to it.
void TFlashJob::ReadReg(quint32 Address) {
  if (Record.LastOperationFailed) return;
  OnUi([this, Address] {
    Record.LastOperationSuccess = false;
    Record.CurrentAddress = Address;
  });
  SendPacket(BuildReadRegRequest(Address));
  WaitForReply(TWaitFor::ReadReg);
}

void TFlashJob::FlashStream(const QByteArray& Image, quint32 BaseAddress) {
  if (Record.BurnOK) return;
  const qsizetype Size = Image.size();
  const qsizetype PaddedSize = RoundUpTo4(Size);
  BlockCount = int((PaddedSize + BlockSize - 1) / BlockSize);
  // The size announced makes the module erase just the image's sectors; the blocks are not
  // bound by it.
  const quint32 EraseSize = FlashBeginSize(BaseAddress, quint32(PaddedSize));
  const quint32 Sectors = SectorsErasedBy(BaseAddress, EraseSize);
  OnUi([this] { Record.LastOperationSuccess = false; });
  AnnounceErase(PaddedSize, Sectors);
  SendPacket(BuildFlashBeginRequest(EraseSize, quint16(BlockCount), BaseAddress));
  WaitForReply(TWaitFor::FlashBegin, FlashBeginWaitMs(BaseAddress, Sectors, ReplyWaitMs));

  // Each block clears the flag here, before its request is written: its reply cannot have come
  // yet. A step on the UI thread would cost two thread switches on every block. The next block's
  // request is made while this one crosses the line.
  qsizetype Position = 0;
  quint32 Sequence = 0;
  QByteArray Request = BlockRequest(Image, Position, Sequence);
  while (!Record.BurnOK && Position < Size) {
    Record.LastOperationSuccess = false;
    SendPacket(Request);
    Position += std::min<qsizetype>(BlockSize, Size - Position);
    ++Sequence;
    Request = BlockRequest(Image, Position, Sequence);
    WaitForReply(TWaitFor::FlashData);
    if (Record.LastOperationSuccess && !Record.LastOperationFailed) ++BlocksWritten;
    ShowProgress(Position, Size, false);
  }
  Complete = BlockCount > 0 ? BlocksWritten == BlockCount : !Record.BurnOK;
  ShowProgress(Position, Size, true);
}

void TFlashJob::AnnounceErase(qsizetype Size, quint32 Sectors) {
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
  OnUi([this] {
    Record.SerailBufferA.clear();
    Record.LoaderReplies.Clear();
    Record.TalkToLoader = true;
  });
  TOnChipFlasher Flasher(LoaderLink(), RomRate, LoaderRate);
  TOnChipResult Started = Program ? Flasher.Start(*Program) : TOnChipResult();
  if (!Program) Started.Reason = QStringLiteral("the loader is missing from this build");
  if (Started.Outcome != TOnChipOutcome::Written) {
    EndLoaderTalk();
    if (Record.BurnOK) return true;
    OnUi([this, Reason = Started.Reason] {
      Steps.Log(QStringLiteral("Warning: %1%2; flashing through the boot ROM.")
                    .arg(Reason.first(1).toUpper(), Reason.sliced(1)));
    });
    if (Program && Started.Outcome != TOnChipOutcome::NotUploaded) ReturnToRom();
    return false;
  }
  const quint32 Sectors = quint32((Image.size() + FlashSectorSize - 1) / FlashSectorSize);
  AnnounceErase(RoundUpTo4(Image.size()), Sectors);
  // Counted in 1 KiB blocks of the image, as on the ROM path, for the run's outcome.
  BlockCount = int((RoundUpTo4(Image.size()) + BlockSize - 1) / BlockSize);
  const TOnChipResult Flashed = Flasher.Flash(Image, BaseAddress);
  EndLoaderTalk();
  if (Record.BurnOK) return true;
  if (Flashed.Outcome != TOnChipOutcome::Written) {
    GiveUp(QStringLiteral("Error: Loader: %1.").arg(Flashed.Reason));
    return true;
  }
  Complete = true;
  ShowProgress(Image.size(), Image.size(), true);
  OnUi([this, Digest = Flashed.Digest] {
    Steps.Log(QStringLiteral("Note: Flash digest %1 equals the image's.")
                  .arg(Digest, 8, 16, QChar(u'0')));
  });
  return true;
}

void TFlashJob::EndLoaderTalk() {
  OnUi([this] {
    Record.TalkToLoader = false;
    Record.SerailBufferA.clear();
  });
}

// The loader's requests go out as the ROM's do; its replies come through the run record.
TOnChipLink TFlashJob::LoaderLink() {
  TOnChipLink Link;
  Link.Send = SendPacket;
  Link.NextReply = [this](int TimeoutMs) { return NextLoaderReply(TimeoutMs); };
  Link.SetLineRate = [this](quint32 Rate) {
    bool Set = false;
    OnUi([this, Rate, &Set] { Set = Steps.SetLineRate(Rate); });
    return Set;
  };
  Link.Progress = [this](qsizetype Done, qsizetype Total) {
    BlocksWritten = int(Done / BlockSize);
    const int Shown = int(double(Done) * Inputs.ProgressMaximum / double(Total));
    PostToUi([this, Shown] { Steps.SetProgress(Shown); });
  };
  return Link;
}

std::optional<TReplyFrame> TFlashJob::NextLoaderReply(int TimeoutMs) {
  QElapsedTimer Waited;
  Waited.start();
  for (;;) {
    if (std::optional<TReplyFrame> Frame = Record.LoaderReplies.Take()) return Frame;
    if (Record.BurnOK || Waited.elapsed() > TimeoutMs) return std::nullopt;
    Record.ReplyExamined.SleepAtMost(ReplyPoll);
  }
}

// Once the program has started, the boot ROM no longer listens: the line goes back to the
// handshake's rate, the module is reset into its boot loader and SYNC is sent until it answers.
void TFlashJob::ReturnToRom() {
  OnUi([this] {
    Steps.SetLineRate(RomRate);
    Steps.RestartHandshake();
  });
  QElapsedTimer Waited;
  Waited.start();
  bool Answered = false;
  while (!Answered && !Record.BurnOK) {
    QThread::msleep(10);
    OnUi([this, &Answered] { Answered = Record.RunState == StateBurn; });
    if (!Answered && Waited.elapsed() > RehandshakeWaitMs)
      GiveUp(QStringLiteral("Error: RQ53 did not answer after its reset."));
  }
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

// Polls the run record until the reply came, the run is stopped, the module refused a request or
// WaitMs passed. Between polls it sleeps 1 ms, or until a delivery has been examined. A refusal
// ends the run even when a success came with it: no block may go after a refused one, and a run
// with a refused block never ends as done.
void TFlashJob::WaitForReply(TWaitFor Request, int WaitMs) {
  QElapsedTimer Waited;
  Waited.start();
  while (!Record.BurnOK && !Record.LastOperationSuccess && !Record.LastOperationFailed) {
    Record.ReplyExamined.SleepAtMost(ReplyPoll);
    if (Waited.elapsed() > WaitMs) {
      Record.BurnOK = true;
      TimeOut(Request, WaitMs);
    }
  }
  if (Record.LastOperationFailed && Failure.isEmpty()) Failure = Refusal(Request);
  if (Record.LastOperationFailed && !Record.BurnOK.exchange(true))
    OnUi([this] { Steps.ShowStatusNo(); });
}

// The request as the run's outcome names it.
QString TFlashJob::RequestName(TWaitFor Request) const {
  switch (Request) {
    case TWaitFor::ReadReg:
      return QStringLiteral("MAC read");
    case TWaitFor::FlashBegin:
      return QStringLiteral("flash start");
    case TWaitFor::FlashData:
      break;
  }
  return QStringLiteral("block %1 of %2").arg(BlocksWritten + 1).arg(BlockCount);
}

// The module's reply already went to the log with its code; the outcome says it in words.
QString TFlashJob::Refusal(TWaitFor Request) const {
  const quint8 Code = Record.LastErrorCode;
  const QString Reason = Code == 0x05   ? QStringLiteral("invalid message")
                         : Code == 0x07 ? QStringLiteral("checksum")
                                        : QString::asprintf("error 0x%02X", Code);
  return QStringLiteral("%1 refused (%2)").arg(RequestName(Request), Reason);
}

void TFlashJob::TimeOut(TWaitFor Request, int WaitMs) {
  Failure = QStringLiteral("no reply to %1%2 within %3 s")
                .arg(Request == TWaitFor::FlashData ? QString() : QStringLiteral("the "),
                     RequestName(Request))
                .arg(QString::number(WaitMs / 1000.0));
  auto Report = [this](const QString& Line) {
    return [this, Line] {
      Steps.Log(Line);
      Steps.ShowStatusNo();
    };
  };
  switch (Request) {
    case TWaitFor::ReadReg:
      OnUi(Report(QStringLiteral("Error: Read RQ53 register timeout.")));
      break;
    case TWaitFor::FlashBegin:
      OnUi(Report(QStringLiteral("Error: Set RQ53 Address timeout.")));
      break;
    case TWaitFor::FlashData:
      PostToUi(Report(QStringLiteral("Error: Write flash timeout.")));
      break;
  }
}
