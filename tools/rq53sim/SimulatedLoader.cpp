#include "tools/rq53sim/SimulatedLoader.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace {

constexpr quint32 SectorSize = 4096;
constexpr quint32 SectorsPerBlock = 16;  // sectors of one 64 KiB flash block
constexpr int MaxData = 4096;
constexpr quint32 MaxRead = 4096;

quint32 Crc32(const QByteArray& Flash, quint32 Offset, quint32 Size) {
  const auto* Bytes = reinterpret_cast<const Bytef*>(Flash.constData() + Offset);
  return quint32(crc32(crc32(0, nullptr, 0), Bytes, uInt(Size)));
}

// Erases the sectors from First up to End: whole 64 KiB blocks where they fit, single sectors
// elsewhere; returns the time it takes.
int EraseExactly(QByteArray& Flash, quint32 First, quint32 End, const TSimTiming& Timing) {
  int BusyMs = 0;
  for (quint32 Sector = First; Sector < End;) {
    const bool Block = Sector % SectorsPerBlock == 0 && End - Sector >= SectorsPerBlock;
    const quint32 Count = Block ? SectorsPerBlock : 1;
    Flash.replace(qsizetype(Sector) * SectorSize, qsizetype(Count) * SectorSize,
                  QByteArray(qsizetype(Count) * SectorSize, char(0xFF)));
    BusyMs += Block ? Timing.EraseMsPerBlock : Timing.EraseMsPerSector;
    Sector += Count;
  }
  return BusyMs;
}

// A range request's offset and size, when they lie on the flash and the offset is a multiple of
// Align.
bool TakeRange(const TSimRequest& Request, const QByteArray& Flash, quint32 Align,
               quint32& Offset, quint32& Size) {
  if (Request.Data.size() != 8) return false;
  Offset = SimReadLe32(Request.Data, 0);
  Size = SimReadLe32(Request.Data, 4);
  return Offset % Align == 0 && quint64(Offset) + Size <= quint64(Flash.size());
}

}  // namespace

TSimulatedLoader::TSimulatedLoader(quint32 StartDivisor) : FDivisor(StartDivisor) {
  inflateInit2(&FStream, -15);
}

TSimulatedLoader::TSimulatedLoader(const TSimulatedLoader& Other)
    : FDivisor(Other.FDivisor),
      FNextDivisor(Other.FNextDivisor),
      FGreeting(Other.FGreeting),
      FBegun(Other.FBegun),
      FEnded(Other.FEnded),
      FError(Other.FError),
      FOffset(Other.FOffset),
      FSize(Other.FSize),
      FWritten(Other.FWritten),
      FNextSequence(Other.FNextSequence),
      FBacklogMs(Other.FBacklogMs) {
  inflateCopy(&FStream, const_cast<z_stream*>(&Other.FStream));
}

TSimulatedLoader& TSimulatedLoader::operator=(const TSimulatedLoader& Other) {
  if (this == &Other) return *this;
  // The inflate state points back at its stream, so a copy is made in place, not moved in.
  this->~TSimulatedLoader();
  new (this) TSimulatedLoader(Other);
  return *this;
}

TSimulatedLoader::~TSimulatedLoader() { inflateEnd(&FStream); }

bool TSimulatedLoader::TakeGreeting() { return std::exchange(FGreeting, false); }

bool TSimulatedLoader::TakeRateSwitch() {
  if (!FNextDivisor) return false;
  FDivisor = std::exchange(FNextDivisor, 0);
  return true;
}

quint32 TSimulatedLoader::Rate(quint32 UartClock) const { return UartClock / FDivisor; }

int TSimulatedLoader::Execute(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing,
                              quint32 LineRate, qsizetype FrameSize) {
  switch (Request.Command) {
    case SimLoaderPing:
      Request.Value = Magic;
      return 0;
    case SimLoaderBegin:
      return Begin(Request, Flash, Timing);
    case SimLoaderData:
      return Data(Request, Flash, Timing, LineRate, FrameSize);
    case SimLoaderFinish:
      return Finish(Request, Flash, Timing);
    case SimLoaderRate:
      return SetRate(Request);
    case SimLoaderChipId:
      Request.Value = ChipId(Flash.size());
      return 0;
    case SimLoaderDigest:
      return Digest(Request, Flash, Timing);
    case SimLoaderRead:
      return Read(Request, Flash, Timing);
    case SimLoaderErase:
      return Erase(Request, Flash, Timing);
    case SimLoaderEraseChip:
      return EraseChip(Request, Flash, Timing);
    default:
      return SimFailed(Request, SimErrorInvalidMessage);
  }
}

// Erases exactly the sectors the image covers: whole 64 KiB blocks where they fit, single sectors
// elsewhere. The offset must lie on a sector.
int TSimulatedLoader::Begin(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing) {
  if (Request.Data.size() != 8) return SimFailed(Request, SimErrorInvalidMessage);
  const quint32 Offset = SimReadLe32(Request.Data, 0), Size = SimReadLe32(Request.Data, 4);
  if (Offset % SectorSize) return SimFailed(Request, SimErrorInvalidMessage);
  FBegun = false;
  const quint32 First = Offset / SectorSize;
  const auto End = quint32((quint64(Offset) + Size + SectorSize - 1) / SectorSize);
  if (quint64(End) * SectorSize > quint64(Flash.size())) return SimFailed(Request, SimErrorFlash);
  const int BusyMs = EraseExactly(Flash, First, End, Timing);
  FBegun = true;
  FEnded = false;
  FError = 0;
  FOffset = Offset;
  FSize = Size;
  FWritten = FNextSequence = 0;
  FBacklogMs = 0;
  inflateReset(&FStream);
  Request.Value = End - First;
  return BusyMs;
}

// A DATA block is answered once it has arrived and the one before has been written: the program
// inflates and writes a block while the next one comes over the line. A fault met while
// inflating or writing is reported by the next reply.
int TSimulatedLoader::Data(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing,
                           quint32 LineRate, qsizetype FrameSize) {
  const QByteArray& Data = Request.Data;
  Request.Value = Request.Sequence;
  if (!FBegun || Data.size() < 4 || Data.size() - 4 > MaxData ||
      Request.Sequence != FNextSequence)
    return SimFailed(Request, SimErrorInvalidMessage);
  const QByteArray Piece = Data.mid(4);
  if (Request.Checksum != SimDataChecksum(Piece)) return SimFailed(Request, SimErrorBadChecksum);
  ++FNextSequence;
  const double LineMs = FrameSize * 10'000.0 / LineRate;
  const int BusyMs = int(std::ceil(std::max(0.0, FBacklogMs - LineMs)));
  if (FError) return SimFailed(Request, FError) + BusyMs;
  QByteArray Out(64 * 1024, '\0');
  FStream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Piece.constData()));
  FStream.avail_in = uInt(Piece.size());
  quint32 Produced = 0;
  while (!FError && (FStream.avail_in > 0 || FStream.avail_out == 0) && !FEnded) {
    FStream.next_out = reinterpret_cast<Bytef*>(Out.data());
    FStream.avail_out = uInt(Out.size());
    const int Result = inflate(&FStream, Z_NO_FLUSH);
    const auto Got = quint32(Out.size()) - FStream.avail_out;
    FEnded = Result == Z_STREAM_END;
    if ((Result != Z_OK && Result != Z_STREAM_END && Result != Z_BUF_ERROR) ||
        quint64(FWritten) + Got > FSize) {
      FError = SimErrorStream;
      break;
    }
    for (quint32 i = 0; i < Got; ++i) {
      char& Byte = Flash[qsizetype(FOffset + FWritten + i)];
      Byte = char(Byte & Out[i]);  // NOR flash only clears bits
    }
    FWritten += Got;
    Produced += Got;
    if (Result == Z_BUF_ERROR) break;
  }
  if (FEnded && FStream.avail_in > 0) FError = SimErrorStream;
  FBacklogMs = Produced / 1024.0 * Timing.WriteMsPerBlock;
  return BusyMs;
}

// The digest is zlib's CRC-32 of the flash over the image, read back once the last block is
// written; the reply fails when the stream did not end exactly at the image's size.
int TSimulatedLoader::Finish(TSimRequest& Request, const QByteArray& Flash,
                             const TSimTiming& Timing) {
  if (!FBegun) return SimFailed(Request, SimErrorInvalidMessage);
  Request.Value = Crc32(Flash, FOffset, FSize);
  const int BusyMs = int(std::ceil(FBacklogMs + FSize / 65536.0 * Timing.DigestMsPer64KiB));
  FBegun = false;
  FBacklogMs = 0;
  const quint8 Error = FError ? FError : (!FEnded || FWritten != FSize) ? SimErrorStream : 0;
  if (Error) SimFailed(Request, Error);
  return BusyMs;
}

// The new divisor follows from the one in use and the two rates; it is set after the reply.
int TSimulatedLoader::SetRate(TSimRequest& Request) {
  if (Request.Data.size() != 8) return SimFailed(Request, SimErrorInvalidMessage);
  const quint32 Rate = SimReadLe32(Request.Data, 0), Current = SimReadLe32(Request.Data, 4);
  const quint32 Divisor = SimDivided(quint64(FDivisor) * Current, Rate);
  if (Divisor == 0 || Divisor > 0xFFFFF) return SimFailed(Request, SimErrorInvalidMessage);
  FNextDivisor = Request.Value = Divisor;
  return 0;
}


quint32 TSimulatedLoader::ChipId(qsizetype FlashSize) {
  quint32 Capacity = 0;
  while ((qsizetype(1) << (Capacity + 1)) <= FlashSize) ++Capacity;
  return 0xC8 | 0x40 << 8 | Capacity << 16;
}

int TSimulatedLoader::Digest(TSimRequest& Request, const QByteArray& Flash,
                             const TSimTiming& Timing) {
  quint32 Offset = 0, Size = 0;
  if (!TakeRange(Request, Flash, 4, Offset, Size)) return SimFailed(Request, SimErrorInvalidMessage);
  Request.Value = Crc32(Flash, Offset, Size);
  return int(std::ceil(Size / 65536.0 * Timing.DigestMsPer64KiB));
}

// The bytes go out in the reply; its value is the offset.
int TSimulatedLoader::Read(TSimRequest& Request, const QByteArray& Flash,
                           const TSimTiming& Timing) {
  quint32 Offset = 0, Size = 0;
  if (!TakeRange(Request, Flash, 4, Offset, Size) || Size == 0 || Size > MaxRead)
    return SimFailed(Request, SimErrorInvalidMessage);
  Request.Value = Offset;
  Request.Answer = Flash.mid(Offset, Size);
  return int(std::ceil(Size / 65536.0 * Timing.DigestMsPer64KiB));
}

int TSimulatedLoader::Erase(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing) {
  quint32 Offset = 0, Size = 0;
  if (!TakeRange(Request, Flash, SectorSize, Offset, Size) || Size == 0 || Size % SectorSize)
    return SimFailed(Request, SimErrorInvalidMessage);
  Request.Value = Size / SectorSize;
  return EraseExactly(Flash, Offset / SectorSize, (Offset + Size) / SectorSize, Timing);
}

// A whole chip erases in about the time of its 64 KiB blocks.
int TSimulatedLoader::EraseChip(TSimRequest& Request, QByteArray& Flash,
                                const TSimTiming& Timing) {
  Request.Value = 0;
  Flash.fill(char(0xFF));
  return int(Flash.size() / (SectorSize * SectorsPerBlock)) * Timing.EraseMsPerBlock;
}
