#include "firmware/ImageHeader.h"

#include <QHash>
#include <QtEndian>

#include <utility>

namespace {

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

constexpr qsizetype HeaderSize = 8;
constexpr qsizetype SegmentHeaderSize = 8;
constexpr int MaxSegments = 16;

}  // namespace

quint8 SPIModeCode(const QString& Text) { return ModeCodes().value(Text, 0); }

// The high four bits give the flash size, the low four the flash frequency.
quint8 FlashSizeSpeedCode(const QString& SizeText, const QString& SpeedText) {
  return Sizes().value(SizeText).first | SpeedCodes().value(SpeedText, 0);
}

std::optional<quint64> FlashSizeBytes(const QString& SizeText) {
  if (!Sizes().contains(SizeText)) return std::nullopt;
  return quint64(Sizes().value(SizeText).second) * 1024;
}

QString FlashSettingsRefusal(const QString& Mode, const QString& Size, const QString& Speed) {
  const auto NotChosen = [](const char* Setting) {
    return QStringLiteral("no %1 chosen; its value in Config.xml is out of range")
        .arg(QLatin1String(Setting));
  };
  if (!Sizes().contains(Size)) return NotChosen("flash size");
  if (!SpeedCodes().contains(Speed)) return NotChosen("flash speed");
  if (!ModeCodes().contains(Mode)) return NotChosen("SPI mode");
  return {};
}

void PatchImageHeader(QByteArray& Image, const QString& Mode, const QString& Size,
                      const QString& Speed) {
  Image[2] = char(SPIModeCode(Mode));
  Image[3] = char(FlashSizeSpeedCode(Size, Speed));
}

QString BootHeaderProblem(const QByteArray& Image) {
  if (Image.size() < HeaderSize || Image[0] != ImageMagic)
    return QStringLiteral("it does not start with an image header (0xE9), so the module would "
                          "not boot from it");
  const int Segments = quint8(Image[1]);
  if (Segments == 0 || Segments > MaxSegments)
    return QStringLiteral("its header names %1 segments (1 to %2 make an image)")
        .arg(Segments)
        .arg(MaxSegments);
  qsizetype At = HeaderSize;
  for (int Segment = 1; Segment <= Segments; ++Segment) {
    const quint32 Length = Image.size() - At >= SegmentHeaderSize
                               ? qFromLittleEndian<quint32>(Image.constData() + At + 4)
                               : 0;
    if (Image.size() - At < SegmentHeaderSize || Length > quint64(Image.size() - At - SegmentHeaderSize))
      return QStringLiteral("its header names %1 segments, but the file of %2 bytes ends within "
                            "segment %3")
          .arg(Segments)
          .arg(Image.size())
          .arg(Segment);
    At += SegmentHeaderSize + Length;
  }
  return {};
}
