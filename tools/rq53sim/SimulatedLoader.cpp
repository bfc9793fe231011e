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

TSimulatedLoader::TInflater& TSimulatedLoader::TInflater::operator=(const TInflater& Other) {
  if (this == &Other) return *this;
  // The inflate state points back at its stream, so a copy is made in place, not moved in.
  this->~TInflater();
  new (this) TInflater(Other);
  return *this;
}

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
  QByteArray Header(1, '\0');
  Header.append(char(Request.Command)).append(char(Request.Data.size() & 0xFF));
  Header.append(char(Request.Data.size() >> 8));
  const QByteArray Checked = Header + Request.Data;
  const auto* Bytes = reinterpret_cast<const Bytef*>(Checked.constData());
  if (Request.Checksum != quint32(crc32(0, Bytes, uInt(Checked.size()))))
    return SimFailed(Request, SimErrorBadChecksum);
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

// Compares the image's sectors with the CRCs given (none: every sector is written); erases
// nothing yet. The offset must lie on a sector and the image within the flash.
int TSimulatedLoader::Begin(TSimRequest& Request, const QByteArray& Flash, const TSimTiming& Timing) {
  FBegun = false;
  const QByteArray& Data = Request.Data;
  const quint32 Offset = Data.size() >= 8 ? SimReadLe32(Data, 0) : 0;
  const quint32 Size = Data.size() >= 8 ? SimReadLe32(Data, 4) : 0;
  const quint32 Sectors = (Size + SectorSize - 1) / SectorSize;
  const bool Crcs = Data.size() > 8 && Data.size() == 8 + 4 * qsizetype(Sectors);
  if ((Data.size() != 8 && !Crcs) || Offset % SectorSize || Size == 0)
    return SimFailed(Request, SimErrorInvalidMessage);
  if (quint64(Offset) + quint64(Sectors) * SectorSize > quint64(Flash.size()))
    return SimFailed(Request, SimErrorFlash);
  FUnchanged.assign(Sectors, false);
  FStreamSize = 0;
  QByteArray Map(Crcs ? qsizetype(Sectors + 7) / 8 : 0, '\0');
  for (quint32 Sector = 0; Sector < Sectors; ++Sector) {
    const quint32 Bytes = std::min(SectorSize, Size - Sector * SectorSize);
    FUnchanged[Sector] = Crcs && Crc32(Flash, Offset + Sector * SectorSize, Bytes) ==
                                     SimReadLe32(Data, 8 + 4 * int(Sector));
    if (FUnchanged[Sector]) Map[Sector / 8] = char(Map[Sector / 8] | (1 << (Sector % 8)));
    if (!FUnchanged[Sector]) FStreamSize += Bytes;
  }
  FBegun = true;
  FEnded = false;
  FError = 0;
  FOffset = FCursor = FErasedTo = Offset;
  FSize = Size;
  FEnd = Offset + Sectors * SectorSize;
  FWritten = FNextSequence = 0;
  FBacklogMs = FLastDelayMs = 0;
  inflateReset(&FInflater.Stream);
  SkipUnchanged();
  Request.Value = (FStreamSize + SectorSize - 1) / SectorSize;
  Request.Answer.clear();
  for (const quint32 Word : {Offset, Size, Room}) SimAppendLe32(Request.Answer, Word);
  Request.Answer += Map;
  return Crcs ? int(std::ceil(Size / 65536.0 * Timing.DigestMsPer64KiB)) : 0;
}

void TSimulatedLoader::SkipUnchanged() {
  while (FCursor < FEnd && FCursor % SectorSize == 0 && FUnchanged[(FCursor - FOffset) / SectorSize])
    FCursor += SectorSize;
}

// A whole 64 KiB block where the cursor starts one and all of it is written, else a sector.
double TSimulatedLoader::EraseAtCursor(QByteArray& Flash, const TSimTiming& Timing) {
  const quint32 First = (FCursor - FOffset) / SectorSize;
  bool Block = FCursor % (SectorsPerBlock * SectorSize) == 0 && FEnd - FCursor >= SectorsPerBlock * SectorSize;
  for (quint32 i = 0; Block && i < SectorsPerBlock; ++i) Block = !FUnchanged[First + i];
  const quint32 Sector = FCursor / SectorSize, Count = Block ? SectorsPerBlock : 1;
  FErasedTo = FCursor + Count * SectorSize;
  return EraseExactly(Flash, Sector, Sector + Count, Timing);
}

double TSimulatedLoader::Write(const char* Bytes, quint32 Count, QByteArray& Flash,
                               const TSimTiming& Timing) {
  double Ms = Timing.WriteMs(Count);
  for (quint32 i = 0; i < Count; ++i) {
    if (FCursor >= FErasedTo) Ms += EraseAtCursor(Flash, Timing);
    char& Byte = Flash[qsizetype(FCursor)];
    Byte = char(Byte & Bytes[i]);  // NOR flash only clears bits
    ++FCursor;
    SkipUnchanged();
  }
  FWritten += Count;
  return Ms;
}

// A DATA block is answered once it has arrived and the block before has been written, counted
// from the moment that block's reply went out (the host keeps sending meanwhile). A fault met
// while inflating or writing is reported by the next reply.
int TSimulatedLoader::Data(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing,
                           quint32 LineRate, qsizetype FrameSize) {
  const QByteArray& Data = Request.Data;
  Request.Value = Request.Sequence;
  if (!FBegun || Data.size() < 4 || Data.size() - 4 > MaxData ||
      Request.Sequence != FNextSequence)
    return SimFailed(Request, SimErrorInvalidMessage);
  const QByteArray Piece = Data.mid(4);
  ++FNextSequence;
  const double LineMs = FrameSize * 10'000.0 / LineRate;
  FLastDelayMs = std::max(0.0, FBacklogMs - std::max(0.0, LineMs - FLastDelayMs));
  const int BusyMs = int(std::ceil(FLastDelayMs));
  if (FError) return SimFailed(Request, FError) + BusyMs;
  z_stream& Stream = FInflater.Stream;
  QByteArray Out(64 * 1024, '\0');
  Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Piece.constData()));
  Stream.avail_in = uInt(Piece.size());
  FBacklogMs = 0;
  while (!FError && (Stream.avail_in > 0 || Stream.avail_out == 0) && !FEnded) {
    Stream.next_out = reinterpret_cast<Bytef*>(Out.data());
    Stream.avail_out = uInt(Out.size());
    const int Result = inflate(&Stream, Z_NO_FLUSH);
    const auto Got = quint32(Out.size()) - Stream.avail_out;
    FEnded = Result == Z_STREAM_END;
    if ((Result != Z_OK && Result != Z_STREAM_END && Result != Z_BUF_ERROR) ||
        quint64(FWritten) + Got > FStreamSize) {
      FError = SimErrorStream;
      break;
    }
    FBacklogMs += Write(Out.constData(), Got, Flash, Timing);
    if (Result == Z_BUF_ERROR) break;
  }
  if (FEnded && Stream.avail_in > 0) FError = SimErrorStream;
  return BusyMs;
}

// The digest is zlib's CRC-32 of the flash over the image, read back once the last block is
// written; the reply fails when the stream did not end exactly at the sectors to write. Its answer
// is the offset and size the digest covers.
int TSimulatedLoader::Finish(TSimRequest& Request, const QByteArray& Flash,
                             const TSimTiming& Timing) {
  if (!FBegun) return SimFailed(Request, SimErrorInvalidMessage);
  Request.Value = Crc32(Flash, FOffset, FSize);
  Request.Answer.clear();
  SimAppendLe32(Request.Answer, FOffset);
  SimAppendLe32(Request.Answer, FSize);
  const int BusyMs = int(std::ceil(FBacklogMs + FSize / 65536.0 * Timing.DigestMsPer64KiB));
  FBegun = false;
  FBacklogMs = 0;
  const quint8 Error =
      FError ? FError : (!FEnded || FWritten != FStreamSize) ? SimErrorStream : 0;
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
