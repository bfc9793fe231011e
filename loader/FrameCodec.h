#pragma once
// The frames the tool exchanges with the module, with its boot ROM and with Ferrule's loader
// program alike. Every frame is SLIP-framed (one 0xC0 at each end, 0xC0 and 0xDB escaped inside);
// fields are little-endian:
//   request: C0 | 00 | command | data length (16) | checksum (32) | data | C0
//   reply:   C0 | 01 | command | data length (16) | value (32) | data | C0
// A reply's data ends with two status bytes: 00 and the last error met on success, 01 and the
// error code on failure. Anything before them is the command's own answer.

#include <QByteArray>
#include <QtGlobal>

#include <initializer_list>
#include <optional>
#include <vector>

inline constexpr char SlipFrameEnd = '\xC0';

// SLIP escaping without frame bytes: C0 becomes DB DC, DB becomes DB DD.
QByteArray SlipEscape(const QByteArray& Data);
// The inverse of SlipEscape; nothing when Data holds a DB not followed by DC or DD.
std::optional<QByteArray> SlipDecode(const QByteArray& Data);

// The checksum of a block of data: 0xEF XOR each of its bytes.
quint8 LoaderChecksum(const QByteArray& Data);

// 32-bit words, little-endian, one after the other: the fields of a request's data.
QByteArray LittleEndianWords(std::initializer_list<quint32> Values);

// A request frame, escaped and framed, ready for the line.
QByteArray EncodeRequest(quint8 Command, const QByteArray& Data, quint32 Checksum = 0);

// A reply as received, SLIP-decoded.
struct TReplyFrame {
  quint8 Command = 0;
  quint32 Value = 0;
  QByteArray Answer;  // the data before the status bytes (empty for the boot ROM's replies)
  quint8 Status = 0;
  quint8 Error = 0;
  bool Success() const { return Status == 0; }
};

// The escaped length a reply may have at most (the loader program's READ reply carries 4 KiB of
// flash): a longer frame start is noise.
inline constexpr qsizetype MaxReplyFrameBytes = 2 * (10 + 4096);

// Takes every complete, well-formed reply out of Received, in order. Bytes of no reply are dropped
// (a frame byte that closed noise may open the next reply); what stays is the start of a reply
// still arriving, at most MaxReplyFrameBytes, so console text never piles up.
std::vector<TReplyFrame> TakeReplyFrames(QByteArray& Received);
