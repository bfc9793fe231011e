#pragma once
// The tool's side of its own loader program (loader/onchip): the program as carried in the
// resources, the boot-ROM requests that upload and start it, the requests of the program's
// protocol (loader/onchip/protocol.h), and the compressed pieces and digest of an image.

#include "loader/FrameCodec.h"
#include "loader/onchip/protocol.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

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

// Every boot-ROM request of the upload, in order: per segment MEM_BEGIN and its blocks, then MEM_END.
std::vector<QByteArray> BuildUploadRequests(const TOnChipProgram& Program);

// Requests of the loader program's protocol, escaped and framed, each with its check: the CRC-32
// of its direction, command, length and data.
quint32 OnChipRequestCheck(quint8 Command, const QByteArray& Data);
QByteArray EncodeOnChipRequest(quint8 Command, const QByteArray& Data);
QByteArray BuildOnChipPing();
// SectorCrcs: none, or one per 4 KiB sector of the image (OnChipSectorCrcs).
QByteArray BuildOnChipBegin(quint32 Offset, quint32 Size,
                            const std::vector<quint32>& SectorCrcs = {});
QByteArray BuildOnChipData(const QByteArray& Piece, quint32 Sequence);
QByteArray BuildOnChipFinish();
QByteArray BuildOnChipRate(quint32 NewRate, quint32 CurrentRate);
QByteArray BuildOnChipChipId();
// DIGEST, READ or ERASE of Size bytes from Offset.
QByteArray BuildOnChipRange(quint8 Command, quint32 Offset, quint32 Size);
QByteArray BuildOnChipEraseChip();

// The flash chip as its JEDEC ID tells it: "C8 40 16" (manufacturer, memory type, capacity), and
// its size, 2 to the power of the capacity byte (4 MiB for 0x16); nothing for a capacity byte no
// chip of these modules has.
QString ChipIdText(quint32 ChipId);
std::optional<quint64> ChipBytes(quint32 ChipId);
// A chip's size in words: "4 MByte", "512 KByte".
QString ChipSizeText(quint64 Bytes);

// The CRC-32 of each 4 KiB sector of Image (of its bytes in the last one); none for an image of
// more sectors than one BEGIN carries.
std::vector<quint32> OnChipSectorCrcs(const QByteArray& Image);

// BEGIN's answer: what the program is about to write, how many DATA requests may be unanswered
// at once, and which of the image's sectors it leaves as they are.
struct TOnChipBegun {
  quint32 Offset = 0, Size = 0, Room = 0;
  std::vector<bool> Unchanged;  // one per sector; all false when no CRCs were sent
};
// Nothing when the answer does not hold one for an image of Sectors sectors.
std::optional<TOnChipBegun> ParseOnChipBegun(const TReplyFrame& Reply, quint32 Sectors);
// The bytes of Image's sectors that are not Unchanged, in order: what the stream carries.
QByteArray SectorsToWrite(const QByteArray& Image, const std::vector<bool>& Unchanged);

// The image as the program takes it: a raw deflate stream (level 9, 32 KiB window) cut into pieces
// of at most OC_MAX_DATA bytes, none standing for more than 32 KiB of the image.
std::vector<QByteArray> CompressForOnChip(const QByteArray& Image);
// The pieces joined: the whole stream.
QByteArray RawDeflate(const QByteArray& Image);
// The digest the program answers FINISH with: zlib's CRC-32 of the image.
quint32 OnChipDigest(const QByteArray& Image);
