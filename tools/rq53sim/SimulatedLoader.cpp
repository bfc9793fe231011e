#include "tools/rq53sim/SimulatedLoader.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace {

constexpr quint32 SectorSize = 4096;
constexpr quint32 SectorsPerBlock = 16;  // sectors of one 64 KiB flash block
constexpr int MaxData = 4096;

}  // namespace

TSimulatedLoader::TSimulatedLoader(quint32 StartDivisor) : FDivisor(StartDivisor) {
  inflateInit2(&FStream, -15);
}

TSimulatedLoader::TSimulatedLoader(const TSimulatedLoader& Other)
    : FDivisor(Other.FDivisor),
      FNextDivisor(Other.FNextDivisor),
      FDivisorBefore(Other.FDivisorBefore),
      FSwitchedAt(Other.FSwitchedAt),
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
  FDivisorBefore = std::exchange(FDivisor, std::exchange(FNextDivisor, 0));
  FSwitchedAt = std::chrono::steady_clock::now();
  return true;
}

void TSimulatedLoader::GiveUpUnconfirmedRate() {
  if (FDivisorBefore &&
      std::chrono::steady_clock::now() - FSwitchedAt >= std::chrono::milliseconds(RateConfirmMs))
    FDivisor = std::exchange(FDivisorBefore, 0);
}

quint32 TSimulatedLoader::Rate(quint32 UartClock) const { return UartClock / FDivisor; }

int TSimulatedLoader::Execute(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing,
                              quint32 LineRate, qsizetype FrameSize) {
  switch (Request.Command) {
    case SimLoaderPing:
      FDivisorBefore = 0;
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
  int BusyMs = 0;
  for (quint32 Sector = First; Sector < End;) {
    const bool Block = Sector % SectorsPerBlock == 0 && End - Sector >= SectorsPerBlock;
    const quint32 Count = Block ? SectorsPerBlock : 1;
    Flash.replace(qsizetype(Sector) * SectorSize, qsizetype(Count) * SectorSize,
                   QByteArray(qsizetype(Count) * SectorSize, char(0xFF)));
    BusyMs += Block ? Timing.EraseMsPerBlock : Timing.EraseMsPerSector;
    Sector += Count;
  }
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
  const auto* Bytes = reinterpret_cast<const Bytef*>(Flash.constData() + FOffset);
  Request.Value = quint32(crc32(crc32(0, nullptr, 0), Bytes, uInt(FSize)));
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

