#pragma once
// Request and reply frames for the simulator's tests, written out from the packet layout and kept
// apart from the tool's own codec.

#include <QByteArray>

namespace SimFrames {

inline QByteArray Hex(const char* Text) { return QByteArray::fromHex(Text); }

inline const QByteArray SyncRequest =
    Hex("C0 00 08 24 00 78 01 3A 00 07 07 12 20") + QByteArray(32, 0x55) + Hex("C0");
inline const QByteArray SyncReply = Hex("C0 01 08 02 00 07 07 12 20 00 00 C0");

// A FLASH_DATA frame: header with the XOR checksum, 16-byte data prefix, block, SLIP-escaped
// between the frame bytes.
inline QByteArray FlashDataFrame(const QByteArray& Block, quint32 Sequence) {
  quint8 Sum = 0xEF;
  for (char c : Block) Sum ^= quint8(c);
  const quint16 Length = quint16(Block.size() + 16);
  QByteArray Body = QByteArray("\x00\x03", 2);
  Body.append(char(Length & 0xFF)).append(char(Length >> 8));
  Body.append(char(Sum)).append(QByteArray(3, 0));
  Body.append(char(Block.size() & 0xFF)).append(char(Block.size() >> 8)).append(QByteArray(2, 0));
  for (int i = 0; i < 4; ++i) Body.append(char((Sequence >> (8 * i)) & 0xFF));
  Body.append(QByteArray(8, 0)).append(Block);
  QByteArray Frame = Hex("C0");
  for (char c : Body)
    Frame += quint8(c) == 0xC0 ? Hex("DB DC") : quint8(c) == 0xDB ? Hex("DB DD") : QByteArray(1, c);
  return Frame + Hex("C0");
}

}  // namespace SimFrames
