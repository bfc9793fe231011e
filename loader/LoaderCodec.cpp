#include "loader/LoaderCodec.h"

#include <QtEndian>

namespace {

constexpr char FrameEnd = '\xC0';
constexpr char Escape = '\xDB';
constexpr char EscapedFrameEnd = '\xDC';
constexpr char EscapedEscape = '\xDD';

QByteArray Hex(const char* Text) { return QByteArray::fromHex(Text); }

template <typename T>
void WriteLE(QByteArray& Packet, qsizetype Pos, T Value) {
  qToLittleEndian<T>(Value, Packet.data() + Pos);
}

}  // namespace

const QByteArray SyncRequestTemplate =
    Hex("C0 00 08 24 00 78 01 3A 00 07 07 12 20") + QByteArray(32, '\x55') + FrameEnd;
const QByteArray ReadRegRequestTemplate = Hex("C0 00 0A 04 00 07 07 12 20 50 00 F0 3F C0");
const QByteArray FlashBeginRequestTemplate =
    Hex("C0 00 02 10 00 78 01 3A 00 00 00 00 00 00 00 00 00 00 04 00 00 00 00 00 00 C0");
const QByteArray FlashDataRequestTemplate =
    Hex("C0 00 03 10 04 EF 00 00 00 00 04 00 00 01 00 00 00 00 00 00 00 00 00 00 00");

const QByteArray SyncReplyTemplate = Hex("C0 01 08 02 00 07 07 12 20 00 00 C0");
const QByteArray FlashBeginReplyTemplate = Hex("C0 01 02 02 00 07 07 12 20 00 00 C0");
const QByteArray FlashDataReplyTemplate = Hex("C0 01 03 02 00 07 07 12 20 00 00 C0");
const QByteArray ReadRegReplyTemplate = Hex("C0 01 0A 02 00 00 00 8A FB 00 00 C0");
const QByteArray ReplyEndMarker = Hex("00 C0");

quint8 LoaderChecksum(const QByteArray& Data) {
  quint8 sum = 0xEF;
  for (const char byte : Data) sum ^= static_cast<quint8>(byte);
  return sum;
}

QByteArray SlipEscape(const QByteArray& Data) {
  QByteArray out;
  out.reserve(Data.size() + Data.count(FrameEnd) + Data.count(Escape));
  for (const char byte : Data) {
    if (byte == FrameEnd) {
      out.append(Escape).append(EscapedFrameEnd);
    } else if (byte == Escape) {
      out.append(Escape).append(EscapedEscape);
    } else {
      out.append(byte);
    }
  }
  return out;
}

std::optional<QByteArray> SlipDecode(const QByteArray& Data) {
  QByteArray out;
  out.reserve(Data.size());
  for (qsizetype i = 0; i < Data.size(); ++i) {
    if (Data[i] != Escape) {
      out.append(Data[i]);
      continue;
    }
    const char next = i + 1 < Data.size() ? Data[++i] : '\0';
    if (next == EscapedFrameEnd) {
      out.append(FrameEnd);
    } else if (next == EscapedEscape) {
      out.append(Escape);
    } else {
      return std::nullopt;
    }
  }
  return out;
}

QByteArray ReframeEscaped(const QByteArray& Packet) {
  const QByteArray body = Packet.size() > 2 ? Packet.mid(1, Packet.size() - 2) : QByteArray();
  return FrameEnd + SlipEscape(body) + FrameEnd;
}

QByteArray BuildReadRegRequest(quint32 Address) {
  QByteArray packet = ReadRegRequestTemplate;
  WriteLE<quint32>(packet, 9, Address);
  return packet;
}

QByteArray BuildFlashBeginRequest(quint32 EraseSize, quint16 BlockCount, quint32 Offset) {
  QByteArray packet = FlashBeginRequestTemplate;
  WriteLE<quint32>(packet, 9, EraseSize);
  WriteLE<quint16>(packet, 13, BlockCount);
  WriteLE<quint32>(packet, 21, Offset);
  return ReframeEscaped(packet);
}

QByteArray BuildFlashDataRequest(const QByteArray& Block, quint32 Sequence) {
  QByteArray packet = FlashDataRequestTemplate;
  const auto length = static_cast<quint16>(Block.size());
  WriteLE<quint16>(packet, 9, length);
  WriteLE<quint16>(packet, 3, static_cast<quint16>(length + 16));
  WriteLE<quint32>(packet, 13, Sequence);
  packet[5] = static_cast<char>(LoaderChecksum(Block));
  packet.append(Block).append(FrameEnd);
  return ReframeEscaped(packet);
}
