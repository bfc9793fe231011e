#include "loader/FlashJob.h"

#include "firmware/FirmwareImage.h"
#include "loader/LoaderCodec.h"
#include "loader/ReplyRecognition.h"

#include <QElapsedTimer>
#include <QHash>

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

}  // namespace

quint8 SPIModeCode(const QString& Text) {
  static const QHash<QString, quint8> Codes{{"QIO", 0}, {"QOUT", 1}, {"DIO", 2}, {"DOUT", 3}};
  return CodeOf(Codes, Text);
}

// The high four bits give the flash size, the low four the flash frequency, both in the image
// format's own codes ("8MByte" and "16MByte" included).
quint8 FlashSizeSpeedCode(const QString& SizeText, const QString& SpeedText) {
  static const QHash<QString, quint8> Sizes{
      {"512kByte", 0x00}, {"256kByte", 0x10},  {"1MByte", 0x20},    {"2MByte", 0x30},
      {"4MByte", 0x40},   {"2MByte-C1", 0x50}, {"4MByte-C1", 0x60}, {"8MByte", 0x80},
      {"16MByte", 0x90}};
  static const QHash<QString, quint8> Speeds{
      {"40MHz", 0x0}, {"26.7MHz", 0x1}, {"20MHz", 0x2}, {"80MHz", 0xF}};
  return CodeOf(Sizes, SizeText) | CodeOf(Speeds, SpeedText);
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
    if (PrepareImage(Image, BaseAddress)) FlashStream(Image, BaseAddress);
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
    GiveUp(QStringLiteral("Error: Firmware image not available."),
           QStringLiteral("image not available"));
    return false;
  }
  if (!GetBaseAddress(Inputs.Offset, BaseAddress)) {
    GiveUp(QStringLiteral("Error: Invalid flash offset %1.").arg(Inputs.Offset),
           QStringLiteral("invalid flash offset"));
    return false;
  }
  if (BaseAddress == 0 && Image.size() < 4) {
    GiveUp(QStringLiteral("Error: Firmware image of %1 bytes is too short for its header.")
               .arg(Image.size()),
           QStringLiteral("image too short"));
    return false;
  }
  return true;
}

void TFlashJob::GiveUp(const QString& Error, const QString& Reason) {
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

void TFlashJob::FlashStream(QByteArray& Image, quint32 BaseAddress) {
  if (Record.BurnOK) return;
  const qsizetype Size = Image.size();
  const qsizetype EraseSize = RoundUpTo4(Size);
  BlockCount = quint16((EraseSize + BlockSize - 1) / BlockSize);
  OnUi([this] { Record.LastOperationSuccess = false; });
  PostToUi([this, EraseSize] {
    Steps.SetLabelStatus(QStringLiteral("Size: %1 Bytes ").arg(EraseSize));
  });
  SendPacket(BuildFlashBeginRequest(quint32(EraseSize), quint16(BlockCount), BaseAddress));
  WaitForReply(TWaitFor::FlashBegin);
  if (BaseAddress == 0) {
    Image[2] = char(SPIModeCode(Inputs.SPIMode));
    Image[3] = char(FlashSizeSpeedCode(Inputs.FlashSize, Inputs.FlashSpeed));
  }

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
    if (Record.LastOperationSuccess) ++BlocksWritten;
    ShowProgress(Position, Size, false);
  }
  Complete = BlockCount > 0 ? BlocksWritten == BlockCount : !Record.BurnOK;
  ShowProgress(Position, Size, true);
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

// Polls the run record until the reply came, the run is stopped, the module refused the request
// or about 5 s passed. Between polls it sleeps 1 ms, or until a delivery has been examined.
void TFlashJob::WaitForReply(TWaitFor Request) {
  QElapsedTimer Waited;
  Waited.start();
  while (!Record.BurnOK && !Record.LastOperationSuccess) {
    if (Record.LastOperationFailed) {
      Refused(Request);
      return;
    }
    Record.ReplyExamined.SleepAtMost(ReplyPoll);
    if (Waited.elapsed() > ReplyWaitMs) {
      Record.BurnOK = true;
      TimeOut(Request);
    }
  }
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
void TFlashJob::Refused(TWaitFor Request) {
  const quint8 Code = Record.LastErrorCode;
  const QString Reason = Code == 0x05   ? QStringLiteral("invalid message")
                         : Code == 0x07 ? QStringLiteral("checksum")
                                        : QString::asprintf("error 0x%02X", Code);
  Failure = QStringLiteral("%1 refused (%2)").arg(RequestName(Request), Reason);
  Record.BurnOK = true;
  OnUi([this] { Steps.ShowStatusNo(); });
}

void TFlashJob::TimeOut(TWaitFor Request) {
  Failure = QStringLiteral("no reply to %1%2 within %3 s")
                .arg(Request == TWaitFor::FlashData ? QString() : QStringLiteral("the "),
                     RequestName(Request))
                .arg(ReplyWaitMs / 1000);
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
