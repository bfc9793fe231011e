#include "loader/OnChipCodec.h"

#include "loader/LoaderCodec.h"

#include <QFile>
#include <QtEndian>

#include <zlib.h>

namespace {

constexpr char FrameEnd = '\xC0';

void AppendLE32(QByteArray& Bytes, quint32 Value) {
  char Le[4];
  qToLittleEndian<quint32>(Value, Le);
  Bytes.append(Le, 4);
}

quint32 ReadLE32(const QByteArray& Bytes, qsizetype At) {
  return qFromLittleEndian<quint32>(Bytes.constData() + At);
}

QByteArray Words(std::initializer_list<quint32> Values) {
  QByteArray Bytes;
  for (quint32 Value : Values) AppendLE32(Bytes, Value);
  return Bytes;
}

// A request frame: direction 00, command, data length, checksum field, data; escaped and framed.
QByteArray Request(quint8 Command, const QByteArray& Data, quint32 Checksum = 0) {
  QByteArray Packet(1, FrameEnd);
  Packet.append(char(OC_REQUEST)).append(char(Command));
  char Length[2];
  qToLittleEndian<quint16>(quint16(Data.size()), Length);
  Packet.append(Length, 2);
  AppendLE32(Packet, Checksum);
  Packet.append(Data).append(FrameEnd);
  return ReframeEscaped(Packet);
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

QByteArray BuildMemBeginRequest(quint32 Size, quint32 Blocks, quint32 BlockSize, quint32 Address) {
  return Request(MemBeginCommand, Words({Size, Blocks, BlockSize, Address}));
}

QByteArray BuildMemDataRequest(const QByteArray& Block, quint32 Sequence) {
  return Request(MemDataCommand, Words({quint32(Block.size()), Sequence, 0, 0}) + Block,
                 LoaderChecksum(Block));
}

QByteArray BuildMemEndRequest(bool Start, quint32 Entry) {
  return Request(MemEndCommand, Words({Start ? 0u : 1u, Entry}));
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

QByteArray BuildOnChipPing() { return Request(OC_PING, {}); }

QByteArray BuildOnChipBegin(quint32 Offset, quint32 Size) {
  return Request(OC_BEGIN, Words({Offset, Size}));
}

QByteArray BuildOnChipData(const QByteArray& Piece, quint32 Sequence) {
  return Request(OC_DATA, Words({Sequence}) + Piece, LoaderChecksum(Piece));
}

QByteArray BuildOnChipFinish() { return Request(OC_FINISH, {}); }

QByteArray BuildOnChipRate(quint32 NewRate, quint32 CurrentRate) {
  return Request(OC_RATE, Words({NewRate, CurrentRate}));
}

std::vector<TReplyFrame> TakeReplyFrames(QByteArray& Received) {
  std::vector<TReplyFrame> Replies;
  qsizetype Start = Received.indexOf(FrameEnd);
  while (Start >= 0) {
    const qsizetype End = Received.indexOf(FrameEnd, Start + 1);
    if (End < 0) break;
    const std::optional<QByteArray> Body = SlipDecode(Received.mid(Start + 1, End - Start - 1));
    if (Body && Body->size() == OC_REPLY_SIZE - 2 && Body->at(0) == char(OC_REPLY) &&
        Body->at(2) == 2 && Body->at(3) == 0) {
      Replies.push_back(
          {quint8(Body->at(1)), ReadLE32(*Body, 4), quint8(Body->at(8)), quint8(Body->at(9))});
      Start = Received.indexOf(FrameEnd, End + 1);
    } else {
      Start = End;  // the closing byte of noise may open the next reply
    }
  }
  // What is left: nothing, or the start of a reply still coming (at most a reply's escaped size).
  Received = Start < 0 ? QByteArray() : Received.mid(Start).left(2 * OC_REPLY_SIZE);
  return Replies;
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
