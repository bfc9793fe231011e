#include "loader/OnChipCodec.h"

#include "loader/LoaderCodec.h"

#include <QFile>
#include <QtEndian>

#include <zlib.h>

namespace {

quint32 ReadLE32(const QByteArray& Bytes, qsizetype At) {
  return qFromLittleEndian<quint32>(Bytes.constData() + At);
}

}  // namespace

std::optional<TOnChipProgram> ParseOnChipProgram(const QByteArray& Packed) {
  if (Packed.size() < 8) return std::nullopt;
  TOnChipProgram Program;
  Program.Entry = ReadLE32(Packed, 0);
  const quint32 Count = ReadLE32(Packed, 4);
  qsizetype At = 8;
  for (quint32 i = 0; i < Count; ++i) {
    if (Packed.size() - At < 8) return std::nullopt;
    const quint32 Address = ReadLE32(Packed, At), Length = ReadLE32(Packed, At + 4);
    At += 8;
    if (Length > quint32(Packed.size() - At)) return std::nullopt;
    Program.Segments.push_back({Address, Packed.mid(At, Length)});
    At += (qsizetype(Length) + 3) & ~qsizetype(3);
  }
  if (At != Packed.size() || Program.Segments.empty()) return std::nullopt;
  return Program;
}

std::optional<TOnChipProgram> BuiltInOnChipProgram() {
  QFile File(":/BIN/ONCHIP");
  if (!File.open(QIODevice::ReadOnly)) return std::nullopt;
  return ParseOnChipProgram(File.readAll());
}

std::vector<QByteArray> BuildUploadRequests(const TOnChipProgram& Program) {
  std::vector<QByteArray> Requests;
  for (const TOnChipSegment& Segment : Program.Segments) {
    const auto Size = quint32(Segment.Bytes.size());
    const quint32 Blocks = (Size + MemBlockSize - 1) / MemBlockSize;
    Requests.push_back(BuildMemBeginRequest(Size, Blocks, MemBlockSize, Segment.Address));
    for (quint32 Sequence = 0; Sequence < Blocks; ++Sequence)
      Requests.push_back(
          BuildMemDataRequest(Segment.Bytes.mid(Sequence * MemBlockSize, MemBlockSize), Sequence));
  }
  Requests.push_back(BuildMemEndRequest(true, Program.Entry));
  return Requests;
}

QByteArray BuildOnChipPing() { return EncodeRequest(OC_PING, {}); }

QByteArray BuildOnChipBegin(quint32 Offset, quint32 Size) {
  return EncodeRequest(OC_BEGIN, LittleEndianWords({Offset, Size}));
}

QByteArray BuildOnChipData(const QByteArray& Piece, quint32 Sequence) {
  return EncodeRequest(OC_DATA, LittleEndianWords({Sequence}) + Piece, LoaderChecksum(Piece));
}

QByteArray BuildOnChipFinish() { return EncodeRequest(OC_FINISH, {}); }

QByteArray BuildOnChipRate(quint32 NewRate, quint32 CurrentRate) {
  return EncodeRequest(OC_RATE, LittleEndianWords({NewRate, CurrentRate}));
}

QByteArray BuildOnChipChipId() { return EncodeRequest(OC_CHIP_ID, {}); }

QByteArray BuildOnChipRange(quint8 Command, quint32 Offset, quint32 Size) {
  return EncodeRequest(Command, LittleEndianWords({Offset, Size}));
}

QByteArray BuildOnChipEraseChip() { return EncodeRequest(OC_ERASE_CHIP, {}); }

QString ChipIdText(quint32 ChipId) {
  return QString::asprintf("%02X %02X %02X", ChipId & 0xFF, ChipId >> 8 & 0xFF, ChipId >> 16 & 0xFF);
}

// From 64 KiB to 256 MiB.
std::optional<quint64> ChipBytes(quint32 ChipId) {
  const quint32 Capacity = ChipId >> 16 & 0xFF;
  if (Capacity < 16 || Capacity > 28) return std::nullopt;
  return quint64(1) << Capacity;
}

QString ChipSizeText(quint64 Bytes) {
  return Bytes >= 1024 * 1024 ? QStringLiteral("%1 MByte").arg(Bytes / (1024 * 1024))
                              : QStringLiteral("%1 KByte").arg(Bytes / 1024);
}

QByteArray RawDeflate(const QByteArray& Image) {
  z_stream Stream{};
  deflateInit2(&Stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  QByteArray Packed(qsizetype(deflateBound(&Stream, uLong(Image.size()))), '\0');
  Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Image.constData()));
  Stream.avail_in = uInt(Image.size());
  Stream.next_out = reinterpret_cast<Bytef*>(Packed.data());
  Stream.avail_out = uInt(Packed.size());
  deflate(&Stream, Z_FINISH);
  Packed.truncate(qsizetype(Stream.total_out));
  deflateEnd(&Stream);
  return Packed;
}

std::vector<QByteArray> CompressForOnChip(const QByteArray& Image) {
  const QByteArray Packed = RawDeflate(Image);
  std::vector<QByteArray> Pieces;
  for (qsizetype At = 0; At < Packed.size(); At += OC_MAX_DATA)
    Pieces.push_back(Packed.mid(At, OC_MAX_DATA));
  return Pieces;
}

quint32 OnChipDigest(const QByteArray& Image) {
  return quint32(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(Image.constData()),
                       uInt(Image.size())));
}
