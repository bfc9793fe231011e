#pragma once
// Byte layout of the ESP8266 boot-ROM packets the tool sends and recognises. Every packet
// is a SLIP frame (one 0xC0 at each end); multi-byte fields are little-endian. A request
// is a copy of a fixed template patched at fixed byte positions (positions count from 0
// at the opening 0xC0 of the unescaped packet).

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// Requests, unescaped. SYNC and READ_REG go on the line as they are; FLASH_BEGIN and
// FLASH_DATA are escaped and re-framed. The FLASH_DATA template ends after the 16-byte
// data prefix: the block and the closing 0xC0 are appended per block.
extern const QByteArray SyncRequestTemplate;
extern const QByteArray ReadRegRequestTemplate;
extern const QByteArray FlashBeginRequestTemplate;
extern const QByteArray FlashDataRequestTemplate;

// Replies as the boot ROM sends them: C0, direction 01, command, data length 02 00,
// a 32-bit value, two status bytes (00 00 on success), C0.
extern const QByteArray SyncReplyTemplate;
extern const QByteArray FlashBeginReplyTemplate;
extern const QByteArray FlashDataReplyTemplate;
extern const QByteArray ReadRegReplyTemplate;
// The last status byte of a successful reply followed by the frame end.
extern const QByteArray ReplyEndMarker;

// A reply is recognised by its first bytes: frame start, direction, command, data length.
inline constexpr qsizetype ReplyPrefixLength = 5;
// A reply, frame bytes included, once SLIP escapes are decoded.
inline constexpr qsizetype ReplyLength = 12;
// Positions within a decoded reply.
inline constexpr qsizetype ReplyValuePos = 5;
inline constexpr qsizetype ReplyStatusPos = 9;
inline constexpr qsizetype ReplyErrorPos = 10;

// The FLASH_DATA checksum: 0xEF XOR every byte of Data.
quint8 LoaderChecksum(const QByteArray& Data);

// SLIP escaping without frame bytes: C0 becomes DB DC, DB becomes DB DD.
QByteArray SlipEscape(const QByteArray& Data);

// The inverse of SlipEscape; nothing when Data holds a DB not followed by DC or DD.
std::optional<QByteArray> SlipDecode(const QByteArray& Data);

// From an unescaped packet to the bytes on the line: everything between the two frame
// bytes is escaped, the frame bytes are not.
QByteArray ReframeEscaped(const QByteArray& Packet);

// The READ_REG packet for Address, unescaped (14 bytes).
QByteArray BuildReadRegRequest(quint32 Address);

// The FLASH_BEGIN packet, escaped and framed. The block size announced is 1024.
QByteArray BuildFlashBeginRequest(quint32 EraseSize, quint16 BlockCount, quint32 Offset);

// The FLASH_DATA packet for one block (at most 1024 bytes, a multiple of 4), escaped and
// framed.
QByteArray BuildFlashDataRequest(const QByteArray& Block, quint32 Sequence);
