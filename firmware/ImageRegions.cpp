#include "firmware/ImageRegions.h"

#include "firmware/FirmwareImage.h"
#include "firmware/ImageHeader.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr quint32 SectorSize = 4096;

QString Hex(quint64 Value) { return QStringLiteral("0x") + QString::number(Value, 16).toUpper(); }

quint64 RoundUpTo4(quint64 Size) { return (Size + 3) / 4 * 4; }

// How the messages name a region: built-in images as the tool always has, files by their name.
QString Label(const TImageRegion& Region) {
  return Region.IsFile() ? QStringLiteral("image file %1").arg(Region.Name)
                         : QStringLiteral("firmware image");
}

std::optional<QByteArray> ReadImageFile(const QString& Path, QString& Error) {
  const QFileInfo Info(Path);
  const QString Name = Info.fileName();
  if (!Info.exists()) Error = QStringLiteral("image file %1 does not exist").arg(Path);
  else if (Info.isDir()) Error = QStringLiteral("%1 is a folder, not an image file").arg(Path);
  else if (Info.size() == 0) Error = QStringLiteral("image file %1 is empty").arg(Name);
  else if (Info.size() > MaxImageFileBytes)
    Error = QStringLiteral("image file %1 is larger than 16 MiB").arg(Name);
  if (!Error.isEmpty()) return std::nullopt;
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly)) {
    Error = QStringLiteral("image file %1 cannot be read: %2").arg(Path, File.errorString());
    return std::nullopt;
  }
  // Read whole once; a file that grew past the limit meanwhile is cut there and refused.
  QByteArray Bytes = File.read(MaxImageFileBytes + 1);
  if (Bytes.size() > MaxImageFileBytes)
    Error = QStringLiteral("image file %1 is larger than 16 MiB").arg(Name);
  else if (Bytes.isEmpty())
    Error = QStringLiteral("image file %1 is empty").arg(Name);
  if (!Error.isEmpty()) return std::nullopt;
  return Bytes;
}

std::optional<TImageRegion> ReadImageRegion(const TImageSource& Source, QString& Error,
                                            bool& BadOffset) {
  TImageRegion Region;
  Region.Name = ImageDisplayName(Source.NameOrPath);
  if (!NamesImageFile(Source.NameOrPath)) {
    if (!GetMemoryStream(Source.NameOrPath, &Region.Bytes)) {
      Error = QStringLiteral("firmware image not available");
      return std::nullopt;
    }
  } else if (std::optional<QByteArray> Bytes = ReadImageFile(Source.NameOrPath, Error)) {
    Region.Path = Source.NameOrPath;
    Region.Bytes = *Bytes;
  } else {
    return std::nullopt;
  }
  if (!GetBaseAddress(Source.Offset, Region.Offset)) {
    Error = QStringLiteral("invalid flash offset %1").arg(Source.Offset);
    BadOffset = true;
    return std::nullopt;
  }
  Region.Sha256 = QCryptographicHash::hash(Region.Bytes, QCryptographicHash::Sha256);
  return Region;
}

QString RegionRefusal(const TImageRegion& Region, quint64 FlashBytes, const QString& SizeText) {
  if (Region.Offset % SectorSize != 0)
    return Region.IsFile() ? QStringLiteral("flash offset %1 of image file %2 is not on a 4 KiB "
                                            "sector boundary")
                                 .arg(Hex(Region.Offset), Region.Name)
                           : QStringLiteral("flash offset %1 is not on a 4 KiB sector boundary")
                                 .arg(Hex(Region.Offset));
  if (Region.Offset == 0 && Region.IsFile()) {
    const QString Problem = BootHeaderProblem(Region.Bytes);
    if (!Problem.isEmpty()) return QStringLiteral("image file %1 at 0x0: %2").arg(Region.Name, Problem);
  }
  if (Region.Offset == 0 && Region.Bytes.size() < 4)
    return QStringLiteral("%1 of %2 bytes is too short for its header")
        .arg(Label(Region))
        .arg(Region.Bytes.size());
  if (Region.Offset + RoundUpTo4(quint64(Region.Bytes.size())) > FlashBytes)
    return QStringLiteral("%1 of %2 bytes at %3 does not fit in %4 flash")
        .arg(Label(Region))
        .arg(Region.Bytes.size())
        .arg(Hex(Region.Offset), SizeText);
  return {};
}

}  // namespace

bool IsBuiltInImageName(const QString& NameOrPath) {
  return !NameOrPath.contains(u'/') && !NameOrPath.contains(u'\\') &&
         IsFilePathValid(NameOrPath);
}

bool NamesImageFile(const QString& NameOrPath) {
  if (NameOrPath.isEmpty() || IsBuiltInImageName(NameOrPath)) return false;
  return NameOrPath.contains(u'/') || NameOrPath.contains(u'\\') || QFileInfo::exists(NameOrPath);
}

QString ImageDisplayName(const QString& NameOrPath) {
  return NamesImageFile(NameOrPath) ? QFileInfo(NameOrPath).fileName() : NameOrPath;
}

TImagesRead ReadImageRegions(const std::vector<TImageSource>& Sources) {
  TImagesRead Read;
  for (const TImageSource& Source : Sources) {
    std::optional<TImageRegion> Region = ReadImageRegion(Source, Read.Error, Read.BadOffset);
    if (!Region) {
      Read.Regions.clear();
      return Read;
    }
    Read.Regions.push_back(std::move(*Region));
  }
  return Read;
}

QString RegionsRefusal(const std::vector<TImageRegion>& Regions, quint64 FlashBytes,
                       const QString& FlashSizeText) {
  for (const TImageRegion& Region : Regions) {
    const QString Refusal = RegionRefusal(Region, FlashBytes, FlashSizeText);
    if (!Refusal.isEmpty()) return Refusal;
  }
  std::vector<const TImageRegion*> ByOffset;
  for (const TImageRegion& Region : Regions) ByOffset.push_back(&Region);
  std::sort(ByOffset.begin(), ByOffset.end(),
            [](const TImageRegion* A, const TImageRegion* B) { return A->Offset < B->Offset; });
  // Regions share no sector: each is erased whole, so one that began in another's last sector
  // would wipe its end.
  for (std::size_t i = 1; i < ByOffset.size(); ++i) {
    const TImageRegion& Before = *ByOffset[i - 1];
    const TImageRegion& After = *ByOffset[i];
    if ((Before.End() + SectorSize - 1) / SectorSize * SectorSize > After.Offset)
      return QStringLiteral("images %1 (%2 to %3) and %4 at %5 overlap")
          .arg(Before.Name, Hex(Before.Offset), Hex(Before.End() - 1), After.Name,
               Hex(After.Offset));
  }
  return {};
}
