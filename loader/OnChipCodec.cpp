#include "loader/OnChipCodec.h"

#include "loader/LoaderCodec.h"

#include <QFile>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>

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

quint32 OnChipRequestCheck(quint8 Command, const QByteArray& Data) {
  const QByteArray Header = QByteArray(1, char(0x00)) + char(Command) + char(Data.size() & 0xFF) +
                            char(Data.size() >> 8);
  return OnChipDigest(Header + Data);
}

QByteArray EncodeOnChipRequest(quint8 Command, const QByteArray& Data) {
  return EncodeRequest(Command, Data, OnChipRequestCheck(Command, Data));
}

QByteArray BuildOnChipPing() { return EncodeOnChipRequest(OC_PING, {}); }

QByteArray BuildOnChipBegin(quint32 Offset, quint32 Size, const std::vector<quint32>& SectorCrcs) {
  QByteArray Data = LittleEndianWords({Offset, Size});
  for (const quint32 Crc : SectorCrcs) Data += LittleEndianWords({Crc});
  return EncodeOnChipRequest(OC_BEGIN, Data);
}

QByteArray BuildOnChipData(const QByteArray& Piece, quint32 Sequence) {
  return EncodeOnChipRequest(OC_DATA, LittleEndianWords({Sequence}) + Piece);
}

QByteArray BuildOnChipFinish() { return EncodeOnChipRequest(OC_FINISH, {}); }

QByteArray BuildOnChipRate(quint32 NewRate, quint32 CurrentRate) {
  return EncodeOnChipRequest(OC_RATE, LittleEndianWords({NewRate, CurrentRate}));
}

std::vector<quint32> OnChipSectorCrcs(const QByteArray& Image) {
  std::vector<quint32> Crcs;
  const qsizetype Sectors = (Image.size() + OC_SECTOR_SIZE - 1) / OC_SECTOR_SIZE;
  if (Sectors > qsizetype(OC_MAX_SECTOR_CRCS)) return Crcs;
  for (qsizetype At = 0; At < Image.size(); At += OC_SECTOR_SIZE)
    Crcs.push_back(OnChipDigest(Image.mid(At, OC_SECTOR_SIZE)));
  return Crcs;
}

std::optional<TOnChipBegun> ParseOnChipBegun(const TReplyFrame& Reply, quint32 Sectors) {
  const QByteArray& Answer = Reply.Answer;
  if (Answer.size() < 12) return std::nullopt;
  TOnChipBegun Begun;
  Begun.Offset = ReadLE32(Answer, 0);
  Begun.Size = ReadLE32(Answer, 4);
  Begun.Room = ReadLE32(Answer, 8);
  const QByteArray Map = Answer.sliced(12);
  if (!Map.isEmpty() && Map.size() != qsizetype(Sectors + 7) / 8) return std::nullopt;
  for (quint32 Sector = 0; Sector < Sectors; ++Sector)
    Begun.Unchanged.push_back(!Map.isEmpty() && (quint8(Map[Sector / 8]) >> (Sector % 8) & 1));
  return Begun;
}

QByteArray SectorsToWrite(const QByteArray& Image, const std::vector<bool>& Unchanged) {
  QByteArray Stream;
  for (std::size_t Sector = 0; Sector * OC_SECTOR_SIZE < std::size_t(Image.size()); ++Sector)
    if (Sector >= Unchanged.size() || !Unchanged[Sector])
      Stream += Image.mid(qsizetype(Sector * OC_SECTOR_SIZE), OC_SECTOR_SIZE);
  return Stream;
}

QByteArray BuildOnChipChipId() { return EncodeOnChipRequest(OC_CHIP_ID, {}); }

QByteArray BuildOnChipRange(quint8 Command, quint32 Offset, quint32 Size) {
  return EncodeOnChipRequest(Command, LittleEndianWords({Offset, Size}));
}

QByteArray BuildOnChipEraseChip() { return EncodeOnChipRequest(OC_ERASE_CHIP, {}); }

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
  QByteArray Packed;
  for (const QByteArray& Piece : CompressForOnChip(Image)) Packed += Piece;
  return Packed;
}

// The stream is flushed to a byte boundary after every 16 KiB of the image; a piece ends at 4 KiB
// of stream or once it holds two such chunks, so that no piece stands for more than 32 KiB of
// flash work.
std::vector<QByteArray> CompressForOnChip(const QByteArray& Image) {
  constexpr qsizetype Chunk = 16 * 1024;
  z_stream Stream{};
  deflateInit2(&Stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::vector<QByteArray> Pieces(1);
  int ChunksInPiece = 0;
  for (qsizetype At = 0; At < Image.size() || At == 0; At += Chunk) {
    const qsizetype Length = std::min(Chunk, Image.size() - At);
    QByteArray Out(qsizetype(deflateBound(&Stream, uLong(Length))) + 16, '\0');
    Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Image.constData() + At));
    Stream.avail_in = uInt(Length);
    Stream.next_out = reinterpret_cast<Bytef*>(Out.data());
    Stream.avail_out = uInt(Out.size());
    deflate(&Stream, At + Length >= Image.size() ? Z_FINISH : Z_SYNC_FLUSH);
    Out.truncate(Out.size() - qsizetype(Stream.avail_out));
    if (ChunksInPiece == 2) {
      Pieces.emplace_back();
      ChunksInPiece = 0;
    }
    ++ChunksInPiece;
    for (qsizetype Taken = 0; Taken < Out.size();) {
      if (Pieces.back().size() == qsizetype(OC_MAX_DATA)) Pieces.emplace_back();
      const qsizetype Part = std::min(Out.size() - Taken, qsizetype(OC_MAX_DATA) - Pieces.back().size());
      Pieces.back() += Out.mid(Taken, Part);
      Taken += Part;
    }
    if (Image.isEmpty()) break;
  }
  deflateEnd(&Stream);
  return Pieces;
}

quint32 OnChipDigest(const QByteArray& Image) {
  return quint32(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(Image.constData()),
                       uInt(Image.size())));
}
