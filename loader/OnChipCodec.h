#pragma once
// The tool's side of its own loader program (loader/onchip): the program as carried in the
// resources, the boot-ROM requests that upload and start it (MEM_BEGIN, MEM_DATA, MEM_END), the
// requests of the program's protocol (loader/onchip/protocol.h), its replies, and the compressed
// pieces and digest of an image.

#include "loader/onchip/protocol.h"

#include <QByteArray>
#include <QtGlobal>

#include <optional>
#include <vector>

// Boot-ROM commands that load a program into RAM and start it.
inline constexpr quint8 MemEndCommand = 0x06;
inline constexpr quint8 MemBeginCommand = 0x05;
inline constexpr quint8 MemDataCommand = 0x07;
// MEM_DATA blocks of the upload: the ROM takes at most 0x1800 bytes.
inline constexpr int MemBlockSize = 0x1000;

struct TOnChipSegment {
  quint32 Address = 0;
  QByteArray Bytes;
};

struct TOnChipProgram {
  quint32 Entry = 0;
  std::vector<TOnChipSegment> Segments;
};

// The program in its packed form: entry, segment count, then address, length and bytes (padded to
// 4) per segment, little-endian. Nothing when the bytes do not hold one.
std::optional<TOnChipProgram> ParseOnChipProgram(const QByteArray& Packed);
// The program built into the tool (resource :/BIN/ONCHIP).
std::optional<TOnChipProgram> BuiltInOnChipProgram();

// ROM requests, escaped and framed. MEM_BEGIN announces Size bytes in Blocks blocks of BlockSize
// for Address; MEM_DATA carries one block; MEM_END with Start starts the program at Entry after
// its reply.
QByteArray BuildMemBeginRequest(quint32 Size, quint32 Blocks, quint32 BlockSize, quint32 Address);
QByteArray BuildMemDataRequest(const QByteArray& Block, quint32 Sequence);
QByteArray BuildMemEndRequest(bool Start, quint32 Entry);
// Every request of the upload, in order: per segment MEM_BEGIN and its blocks, then MEM_END.
std::vector<QByteArray> BuildUploadRequests(const TOnChipProgram& Program);

// Requests of the loader program's protocol, escaped and framed.
QByteArray BuildOnChipPing();
QByteArray BuildOnChipBegin(quint32 Offset, quint32 Size);
QByteArray BuildOnChipData(const QByteArray& Piece, quint32 Sequence);
QByteArray BuildOnChipFinish();
QByteArray BuildOnChipRate(quint32 NewRate, quint32 CurrentRate);

// A reply frame of the ROM or the program: the same layout.
struct TReplyFrame {
  quint8 Command = 0;
  quint32 Value = 0;
  quint8 Status = 0;
  quint8 Error = 0;
  bool Success() const { return Status == 0; }
};

// Takes every complete, well-formed reply out of Received, in order; bytes of no reply are
// dropped, and the start of a reply not yet complete is kept for the next delivery.
std::vector<TReplyFrame> TakeReplyFrames(QByteArray& Received);

// A raw deflate stream of Image (level 9, 32 KiB window), as the program inflates it.
QByteArray RawDeflate(const QByteArray& Image);
// The image as the program takes it: a raw deflate stream (level 9, 32 KiB window) cut into pieces
// of at most OC_MAX_DATA bytes.
std::vector<QByteArray> CompressForOnChip(const QByteArray& Image);
// The digest the program answers FINISH with: zlib's CRC-32 of the image.
quint32 OnChipDigest(const QByteArray& Image);
