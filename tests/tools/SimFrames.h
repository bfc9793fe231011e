#pragma once
// Request and reply frames for the simulator's tests, written out from the packet layout and kept
// apart from the tool's own codec and from the model.

#include <QByteArray>

namespace SimFrames {

inline QByteArray Hex(const char* Text) { return QByteArray::fromHex(Text); }

inline QByteArray Le32(quint32 Value) {
  QByteArray Bytes;
  for (int i = 0; i < 4; ++i) Bytes.append(char(Value >> (8 * i)));
  return Bytes;
}

// C0, the body with C0 and DB escaped, C0.
inline QByteArray Slip(const QByteArray& Body) {
  QByteArray Frame = Hex("C0");
  for (char c : Body)
    Frame += quint8(c) == 0xC0 ? Hex("DB DC") : quint8(c) == 0xDB ? Hex("DB DD") : QByteArray(1, c);
  return Frame + Hex("C0");
}

inline QByteArray Request(quint8 Command, const QByteArray& Data, quint32 Checksum) {
  QByteArray Body(1, 0x00);
  Body.append(char(Command)).append(char(Data.size())).append(char(Data.size() >> 8));
  return Slip(Body + Le32(Checksum) + Data);
}

inline const QByteArray SyncRequest =
    Hex("C0 00 08 24 00 78 01 3A 00 07 07 12 20") + QByteArray(32, 0x55) + Hex("C0");

inline QByteArray ReadReg(quint32 Address) { return Request(0x0A, Le32(Address), 0x20120707); }

inline QByteArray FlashBegin(quint32 Size, quint32 Blocks, quint32 Offset) {
  return Request(0x02, Le32(Size) + Le32(Blocks) + Le32(1024) + Le32(Offset), 0x003A0178);
}

// Block length, sequence, eight zero bytes, the block; checksum 0xEF XOR the block's bytes.
inline QByteArray FlashData(const QByteArray& Block, quint32 Sequence) {
  quint8 Sum = 0xEF;
  for (char c : Block) Sum ^= quint8(c);
  return Request(0x03, Le32(Block.size()) + Le32(Sequence) + QByteArray(8, 0) + Block, Sum);
}

// A reply: direction 01, data length 2, the value, status and error code.
inline QByteArray Reply(quint8 Command, quint32 Value = 0x20120707, quint8 Status = 0,
                        quint8 Error = 0) {
  QByteArray Body = Hex("01");
  Body.append(char(Command)).append(Hex("02 00")).append(Le32(Value));
  return Slip(Body.append(char(Status)).append(char(Error)));
}

inline const QByteArray SyncReply = Hex("C0 01 08 02 00 07 07 12 20 00 00 C0");

}  // namespace SimFrames
