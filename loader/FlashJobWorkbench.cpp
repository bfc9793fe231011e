// The job's workbench operations: reading the flash into a file, erasing it, comparing images
// with it and telling the module's flash chip. They need the loader program (the boot ROM cannot
// read flash), so a program that does not start fails the run; nothing is erased or written
// before the range has been checked against the chip.

#include "loader/FlashErase.h"
#include "loader/FlashJob.h"

#include <QSaveFile>

namespace {

QString Hex(quint64 Value) { return QStringLiteral("0x") + QString::number(Value, 16).toUpper(); }

}  // namespace

void TFlashJob::RunWorkbench(const std::vector<TImageRegion>& Regions) {
  TOnChipFlasher Flasher(LoaderLink(), Inputs.LineRate, Inputs.LoaderRate);
  const TOnChipResult Started = StartLoader(Flasher);
  if (Link.Stopped()) return;
  if (Started.Outcome != TOnChipOutcome::Written) return LoaderFailed(Started);
  Outcome.Path = TFlashPath::Loader;
  switch (Inputs.Operation) {
    case TRunOperation::Read:
      return ReadToFile(Flasher);
    case TRunOperation::Erase:
      return EraseRange(Flasher);
    case TRunOperation::Verify:
      return VerifyRegions(Flasher, Regions);
    case TRunOperation::Flash:
    case TRunOperation::Info:
      break;
  }
  Outcome.Result = TRunResult::Done;
}

void TFlashJob::LoaderFailed(const TOnChipResult& Result) {
  if (Link.Stopped()) return;
  const QString Text = QStringLiteral("loader: %1").arg(Result.Reason);
  Fail(Result.Outcome == TOnChipOutcome::DigestDiffers ? TRunReason::DigestDiffers
                                                       : TRunReason::LoaderFailed,
       Text, ErrorLine(Text));
}

// Whether the range lies on the chip; the run fails when it does not.
bool TFlashJob::RangeOnChip(quint64 Offset, quint64 Size) {
  const quint64 Chip = *ChipBytes(Outcome.ChipId);
  if (Offset + Size <= Chip) return true;
  const QString Text = QStringLiteral("%1 to %2 passes the end of the chip's %3")
                           .arg(Hex(Offset), Hex(Offset + Size - 1), ChipSizeText(Chip));
  Fail(TRunReason::BadSettings, Text, ErrorLine(Text));
  return false;
}

// The program reads whole words: the range is widened to them and cut back afterwards. The file
// is written only once the program's digest of what it read equals the bytes' own.
void TFlashJob::ReadToFile(TOnChipFlasher& Flasher) {
  const quint32 Offset = Inputs.RangeOffset, Size = Inputs.RangeSize;
  if (!RangeOnChip(Offset, Size)) return;
  const quint32 Start = Offset & ~3u, End = quint32((quint64(Offset) + Size + 3) & ~quint64(3));
  TotalBytes = End - Start;
  WrittenBefore = 0;
  Outcome.BlockCount = int((TotalBytes + BlockSize - 1) / BlockSize);
  EnterStage(TRunStage::Read);
  const TOnChipResult Read = Flasher.Read(Start, End - Start);
  if (Read.Outcome != TOnChipOutcome::Written) return LoaderFailed(Read);
  QSaveFile File(Inputs.ReadFile);
  const QByteArray Bytes = Read.Bytes.mid(Offset - Start, Size);
  if (!File.open(QIODevice::WriteOnly) || File.write(Bytes) != Bytes.size() || !File.commit()) {
    const QString Text =
        QStringLiteral("%1 not written: %2").arg(Inputs.ReadFile, File.errorString());
    return Fail(TRunReason::FileNotWritten, Text, ErrorLine(Text));
  }
  Outcome.BlocksWritten = Outcome.BlockCount;
  Outcome.Verified = true;
  Outcome.Result = TRunResult::Done;
  ShowProgress(TotalBytes, true);
  OnUi([this, Digest = Read.Digest] {
    Steps.Log(
        QStringLiteral("Note: Flash digest %1 equals the file's.").arg(Digest, 8, 16, QChar(u'0')));
  });
}

void TFlashJob::EraseRange(TOnChipFlasher& Flasher) {
  const quint64 Chip = *ChipBytes(Outcome.ChipId);
  const quint64 Size = Inputs.EraseAll ? Chip : Inputs.RangeSize;
  if (!Inputs.EraseAll && !RangeOnChip(Inputs.RangeOffset, Size)) return;
  AnnounceErase(qsizetype(Size), quint32(Size / FlashSectorSize));
  const TOnChipResult Erased =
      Inputs.EraseAll ? Flasher.EraseChip(Chip) : Flasher.Erase(Inputs.RangeOffset, quint32(Size));
  if (Erased.Outcome != TOnChipOutcome::Written) return LoaderFailed(Erased);
  Outcome.Result = TRunResult::Done;
}

// Each image's digest against the program's of its range, in order; the first that differs
// ends the run and is named.
void TFlashJob::VerifyRegions(TOnChipFlasher& Flasher, const std::vector<TImageRegion>& Regions) {
  for (const TImageRegion& Region : Regions)
    Outcome.Regions.push_back({Region.Name, Region.Offset, Region.Sha256});
  for (const TImageRegion& Region : Regions)
    if (!RangeOnChip(Region.Offset, quint64(Region.Bytes.size()))) return;
  EnterStage(TRunStage::Verify);
  for (const TImageRegion& Region : Regions) {
    const TOnChipResult Digest = Flasher.Digest(Region.Offset, quint32(Region.Bytes.size()));
    if (Digest.Outcome != TOnChipOutcome::Written) return LoaderFailed(Digest);
    if (Digest.Digest != OnChipDigest(Region.Bytes)) {
      const QString Text =
          QStringLiteral("%1 at %2 differs from the flash").arg(Region.Name, Hex(Region.Offset));
      return Fail(TRunReason::DigestDiffers, Text, ErrorLine(Text));
    }
    OnUi([this, &Region] {
      Steps.Log(
          QStringLiteral("Note: %1 at %2 equals the flash.").arg(Region.Name, Hex(Region.Offset)));
    });
  }
  Outcome.Verified = true;
  Outcome.Result = TRunResult::Done;
}
