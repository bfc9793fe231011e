#include "tools/rq53sim/SimulatedModule.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr quint8 SlipEnd = 0xC0;
constexpr quint8 SlipEsc = 0xDB;
constexpr quint8 SlipEscEnd = 0xDC;
constexpr quint8 SlipEscEsc = 0xDD;
constexpr int HeaderSize = 8;            // direction, command, length (2), checksum (4)
constexpr int FlashDataPrefixSize = 16;  // block length, sequence, 8 zero bytes
constexpr int MaxFrameSize = 0x4000;     // longer frames overflow the ROM's buffer
constexpr int SyncCopies = 8;
constexpr quint32 BannerRate = 74880;
constexpr quint32 SectorsPerBlock = 16;  // sectors of one 64 KiB flash block
constexpr quint32 MaxMemBlock = 0x1800;
constexpr quint32 IramStart = 0x40100000, IramSize = 0x8000;
constexpr quint32 DramStart = 0x3FFE8000, DramSize = 0x12000;
constexpr quint32 LoaderMagic = 0x4C524546;  // "FERL"
constexpr int LoaderMaxData = 4096;
constexpr int LoaderStartMs = 1;
constexpr double RateTolerance = 0.03;  // a UART still reads bytes sent this much off its rate

quint32 ReadLe32(const QByteArray& Bytes, int At) {
  quint32 Value = 0;
  for (int i = 3; i >= 0; --i) Value = (Value << 8) | quint8(Bytes[At + i]);
  return Value;
}

void AppendLe32(QByteArray& Bytes, quint32 Value) {
  for (int i = 0; i < 4; ++i) Bytes.append(char((Value >> (8 * i)) & 0xFF));
}

QByteArray SlipFrame(const QByteArray& Body) {
  QByteArray Out(1, char(SlipEnd));
  for (char c : Body) {
    if (quint8(c) == SlipEnd)
      Out.append(char(SlipEsc)).append(char(SlipEscEnd));
    else if (quint8(c) == SlipEsc)
      Out.append(char(SlipEsc)).append(char(SlipEscEsc));
    else
      Out.append(c);
  }
  return Out.append(char(SlipEnd));
}

quint8 DataChecksum(const QByteArray& Block) {
  quint8 Sum = 0xEF;
  for (char c : Block) Sum ^= quint8(c);
  return Sum;
}

// Counts a request against a pick; true when the pick takes it.
bool Picked(TSimRequestPick& Pick, quint8 Command) {
  if (Pick.Count == 0 || (Pick.Command != 0 && Pick.Command != Command)) return false;
  if (Pick.Skip > 0) {
    --Pick.Skip;
    return false;
  }
  if (Pick.Count > 0) --Pick.Count;
  return true;
}

int Failed(TSimRequest& Request, quint8 Error) {
  Request.Status = 1;
  Request.Error = Error;
  return 0;
}

quint32 Divided(quint64 Dividend, quint32 Divisor) {
  return Divisor == 0 ? 0 : quint32((Dividend + Divisor / 2) / Divisor);
}

}  // namespace

// The loader program's state: the UART divisor it runs at and the image it is writing.
struct TSimLoaderState {
  quint32 Divisor = 0;
  quint32 NextDivisor = 0;  // set once the RATE reply is out
  bool Greeting = true;     // its PING reply, sent unasked when it starts
  bool Begun = false, Ended = false;
  quint8 Error = 0;
  quint32 Offset = 0, Size = 0, Written = 0, NextSequence = 0;
  double BacklogMs = 0;  // work left on the last block when the next one starts to arrive
};

struct TSimulatedModule::TLoader : TSimLoaderState {
  z_stream Stream{};

  explicit TLoader(quint32 StartDivisor) {
    Divisor = StartDivisor;
    inflateInit2(&Stream, -15);
  }
  TLoader(const TLoader& Other) : TSimLoaderState(Other) {
    inflateCopy(&Stream, const_cast<z_stream*>(&Other.Stream));
  }
  TLoader& operator=(const TLoader&) = delete;
  ~TLoader() { inflateEnd(&Stream); }
};

TSimulatedModule::TLoaderCopy::TLoaderCopy(const TLoaderCopy& Other)
    : Loader(Other.Loader ? std::make_unique<TLoader>(*Other.Loader) : nullptr) {}

TSimulatedModule::TLoaderCopy& TSimulatedModule::TLoaderCopy::operator=(const TLoaderCopy& Other) {
  if (this != &Other) Loader = Other.Loader ? std::make_unique<TLoader>(*Other.Loader) : nullptr;
  return *this;
}

TSimulatedModule::TLoaderCopy::TLoaderCopy(TLoaderCopy&&) noexcept = default;
TSimulatedModule::TLoaderCopy& TSimulatedModule::TLoaderCopy::operator=(TLoaderCopy&&) noexcept =
    default;
TSimulatedModule::TLoaderCopy::~TLoaderCopy() = default;

TSimulatedModule::TSimulatedModule(quint32 FlashSize)
    : FFlash(qsizetype(FlashSize), char(0xFF)), FIram(IramSize, '\0'), FDram(DramSize, '\0') {
  // Words of a module whose station MAC address is 18:FE:34:12:34:59: the last byte in bits
  // 24-31 of the first word, a check byte (0xA3) in its bits 16-23.
  SetEfuseWords({0x59A30000, 0x00001234, 0x00000000, 0x00000000});
}

std::vector<TSimDelivery> TSimulatedModule::Receive(const QByteArray& Bytes,
                                                    std::vector<TSimRequest>* Taken) {
  std::vector<TSimDelivery> Out;
  FTaken = Taken;
  // A loader program that runs at another rate than the tool's reads what its UART samples.
  const bool Misread = FLoader != nullptr && LoaderRateDiffers();
  const QByteArray Taking =
      Misread ? SimMisreadAtRate(Bytes, FLineRate, UartClock / FLoader->Divisor) : Bytes;
  for (char c : Taking) TakeByte(quint8(c), Out);
  FTaken = nullptr;
  return Out;
}

std::vector<TSimDelivery> TSimulatedModule::Reset() {
  FJob = TFlashJob();
  FUpload = TMemUpload();
  FLoader = TLoaderCopy();
  FStarting = TStart::None;
  FLastValue = SyncValue;
  FLastError = 0;
  FHung = false;
  FInFrame = FEscaped = FFrameBroken = false;
  FFrame.clear();
  FBannerShown = true;
  return {TSimDelivery{0, SimMisreadAtRate(BannerText(), BannerRate, FLineRate)}};
}

void TSimulatedModule::SetEfuseWords(const std::array<quint32, 4>& Words) {
  for (quint32 i = 0; i < Words.size(); ++i) SetRegister(EfuseBase + 4 * i, Words[i]);
}

void TSimulatedModule::SetRegister(quint32 Address, quint32 Value) { FRegisters[Address] = Value; }

void TSimulatedModule::SetLineRate(quint32 BitsPerSecond) { FLineRate = BitsPerSecond; }

void TSimulatedModule::SetRequestHistory(std::size_t Requests) {
  FHistory = Requests;
  if (FRequests.size() > FHistory) FRequests.erase(FRequests.begin(), FRequests.end() - FHistory);
}

QByteArray TSimulatedModule::Ram(quint32 Address, quint32 Length) const {
  if (Address >= IramStart && Length <= IramSize && Address - IramStart <= IramSize - Length)
    return FIram.mid(Address - IramStart, Length);
  if (Address >= DramStart && Length <= DramSize && Address - DramStart <= DramSize - Length)
    return FDram.mid(Address - DramStart, Length);
  return QByteArray();
}

void TSimulatedModule::PresetFlash(quint32 Offset, const QByteArray& Bytes) {
  if (Offset >= quint32(FFlash.size())) return;
  const QByteArray Fits = Bytes.left(FFlash.size() - Offset);
  FFlash.replace(qsizetype(Offset), Fits.size(), Fits);
}

QByteArray TSimulatedModule::BannerText() {
  return QByteArray("\r\n ets Jan  8 2013,rst cause:1, boot mode:(1,0)\r\n\r\n");
}

QByteArray TSimulatedModule::ConsoleText(qsizetype Bytes) {
  QByteArray Text;
  Text.reserve(Bytes + 64);
  for (int Line = 0; Text.size() < Bytes; ++Line)
    Text += "I (" + QByteArray::number(Line * 17) + ") rq53: heap " +
            QByteArray::number(40000 - Line % 997) + ", wifi scan: 3 found\r\n";
  Text.truncate(Bytes);
  return Text;
}

quint32 TSimulatedModule::SectorsErased(quint32 Offset, quint32 Size) {
  if (Size == 0) return 0;
  const quint32 First = Offset / SectorSize;
  const auto End = quint32((quint64(Offset) + Size + SectorSize - 1) / SectorSize);
  const quint32 Touched = End - First;
  return Touched + std::min(Touched, SectorsPerBlock - First % SectorsPerBlock);
}

// SLIP receiver: bytes outside a frame are noise and are skipped; a frame with a bad escape or
// one too long for the ROM's buffer is dropped whole.
void TSimulatedModule::TakeByte(quint8 Byte, std::vector<TSimDelivery>& Out) {
  if (FHung) return;
  if (Byte == SlipEnd) {
    if (FInFrame && (!FFrame.isEmpty() || FFrameBroken)) {
      if (!FFrameBroken && !FEscaped) HandleFrame(FFrame, Out);
      FInFrame = false;
    } else {
      FInFrame = true;  // an opening byte, or the second of two in a row
    }
    FFrame.clear();
    FEscaped = FFrameBroken = false;
    return;
  }
  if (!FInFrame || FFrameBroken) return;  // a dropped frame is not kept growing
  if (FEscaped) {
    FEscaped = false;
    if (Byte == SlipEscEnd || Byte == SlipEscEsc)
      FFrame.append(char(Byte == SlipEscEnd ? SlipEnd : SlipEsc));
    else
      FFrameBroken = true;
  } else if (Byte == SlipEsc) {
    FEscaped = true;
  } else {
    FFrame.append(char(Byte));
  }
  if (FFrame.size() > MaxFrameSize) FFrameBroken = true;
}

// A frame too short for a header is answered as a command 00 of an invalid message; the length
// field of one that holds a header is not checked.
void TSimulatedModule::HandleFrame(const QByteArray& Frame, std::vector<TSimDelivery>& Out) {
  const bool Short = Frame.size() < HeaderSize;
  if (!Short && Frame[0] != 0x00) return;  // not a request: the ROM stays silent
  TSimRequest Request;
  if (Short) {
    Request.Short = true;
    Request.Data = Frame;
  } else {
    Request.Command = quint8(Frame[1]);
    Request.Checksum = ReadLe32(Frame, 4);
    Request.Data = Frame.mid(HeaderSize);
    if ((Request.Command == SimFlashData || Request.Command == SimMemData) &&
        Request.Data.size() >= 8)
      Request.Sequence = ReadLe32(Request.Data, 4);
    if (Request.Command == SimLoaderData && Request.Data.size() >= 4)
      Request.Sequence = ReadLe32(Request.Data, 0);
  }
  TSimMisbehaviour& Bad = FMisbehaviour;
  const bool Unplug = Picked(Bad.Unplug, Request.Command);
  const bool NoReply = Picked(Bad.NoReply, Request.Command);
  const bool Fail = Picked(Bad.Fail, Request.Command);
  int BusyMs = 0;
  if (NoReply)
    Request.Replied = false;
  else if (Short)
    Failed(Request, SimErrorInvalidMessage);
  else if (Fail)
    Failed(Request, Bad.FailCode);
  else if (FLoader != nullptr)
    BusyMs = Request.Command == SimLoaderData ? LoaderData(Request, Frame.size() + 2)
                                              : LoaderRequest(Request);
  else
    BusyMs = Execute(Request);
  if (Request.Replied) {
    if (Request.Status != 0)
      FLastError = Request.Error;
    else
      Request.Error = FLastError;
    QueueReply(Request, BusyMs, Out);
  }
  if (FStarting == TStart::Loader)
    FLoader.Loader = std::make_unique<TLoader>(Divided(UartClock, FLineRate));
  FHung = FHung || FStarting == TStart::Silent;
  FStarting = TStart::None;
  if (FLoader != nullptr) AfterLoaderReply(Out);
  if (Unplug) Out.push_back(TSimDelivery{0, QByteArray(), true});
  Remember(std::move(Request));
}

void TSimulatedModule::Remember(TSimRequest Request) {
  if (FTaken) FTaken->push_back(Request);
  ++FRequestCount;
  FRequests.push_back(std::move(Request));
  if (FRequests.size() > FHistory) FRequests.erase(FRequests.begin(), FRequests.end() - FHistory);
}

// Carries out a well-formed request; returns the time it keeps the module busy.
int TSimulatedModule::Execute(TSimRequest& Request) {
  switch (Request.Command) {
    case SimSync:
      return SyncRequest(Request);
    case SimReadReg:
      return ReadRegRequest(Request);
    case SimFlashBegin:
      return FlashBeginRequest(Request);
    case SimFlashData:
      return FlashDataRequest(Request);
    case SimMemBegin:
      return MemBeginRequest(Request);
    case SimMemData:
      return MemDataRequest(Request);
    case SimMemEnd:
      return MemEndRequest(Request);
    default:
      return Failed(Request, SimErrorInvalidMessage);
  }
}

// The block size is checked (at most 0x1800), the address, total size and block count are not.
int TSimulatedModule::MemBeginRequest(TSimRequest& Request) {
  if (Request.Data.size() < 16 || FMisbehaviour.RefuseUpload)
    return Failed(Request, SimErrorInvalidMessage);
  const quint32 BlockSize = ReadLe32(Request.Data, 8);
  if (BlockSize > MaxMemBlock) return Failed(Request, SimErrorInvalidMessage);
  FUpload = TMemUpload{true, ReadLe32(Request.Data, 12), BlockSize, 0};
  return 0;
}

// The bytes go to the address, which moves on by their length; memory that does not exist, or
// the ROM loader's own (from 0x3FFFA000), stops the ROM.
int TSimulatedModule::MemDataRequest(TSimRequest& Request) {
  const QByteArray& Data = Request.Data;
  if (Data.size() < 16) return Failed(Request, SimErrorInvalidMessage);
  const QByteArray Block = Data.mid(16);
  if (!FUpload.Active || Request.Sequence != FUpload.NextSequence ||
      ReadLe32(Data, 0) != quint32(Block.size()) || quint32(Block.size()) > FUpload.BlockSize)
    return Failed(Request, SimErrorInvalidMessage);
  if (Request.Checksum != DataChecksum(Block)) return Failed(Request, SimErrorBadChecksum);
  const quint32 Address = FUpload.Address;
  QByteArray* Memory = nullptr;
  if (Address >= IramStart && Address - IramStart <= IramSize - quint32(Block.size()))
    Memory = &FIram;
  else if (Address >= DramStart && Address - DramStart <= DramSize - quint32(Block.size()))
    Memory = &FDram;
  if (!Memory) {
    FHung = true;
    Request.Replied = false;
    return 0;
  }
  Memory->replace(Address - (Memory == &FIram ? IramStart : DramStart), Block.size(), Block);
  FUpload.Address += quint32(Block.size());
  ++FUpload.NextSequence;
  return 0;
}

// Flag 0 starts the program at the entry after the reply. It runs as Ferrule's loader program
// when the entry lies in instruction RAM that was loaded; otherwise it, or a program told to stay
// silent, answers nothing more.
int TSimulatedModule::MemEndRequest(TSimRequest& Request) {
  if (Request.Data.size() < 8) return Failed(Request, SimErrorInvalidMessage);
  if (ReadLe32(Request.Data, 0) != 0) return 0;
  const quint32 Entry = ReadLe32(Request.Data, 4);
  const bool Loaded = Entry >= IramStart && Entry - IramStart < IramSize &&
                      FIram.mid(Entry - IramStart, 4) != QByteArray(4, '\0');
  FStarting = Loaded && !FMisbehaviour.LoaderSilent ? TStart::Loader : TStart::Silent;
  return 0;
}

bool TSimulatedModule::LoaderRateDiffers() const {
  const double Rate = double(UartClock) / FLoader->Divisor;
  return std::abs(Rate - FLineRate) > RateTolerance * FLineRate;
}

// After a reply of the loader program (or of the MEM_END that started it): its greeting, a
// rate change, or a silence.
void TSimulatedModule::AfterLoaderReply(std::vector<TSimDelivery>& Out) {
  if (FLoader->Greeting) {
    FLoader->Greeting = false;
    TSimRequest Ping;
    Ping.Command = SimLoaderPing;
    Ping.Value = LoaderMagic;
    FLastError = 0;
    Out.push_back(TSimDelivery{LoaderStartMs, ReplyFrame(Ping)});
  }
  if (FLoader->NextDivisor) {
    FLoader->Divisor = FLoader->NextDivisor;
    FLoader->NextDivisor = 0;
    FHung = FMisbehaviour.LoaderSilentAfterRate;
  }
}

int TSimulatedModule::LoaderRequest(TSimRequest& Request) {
  switch (Request.Command) {
    case SimLoaderPing:
      Request.Value = LoaderMagic;
      return 0;
    case SimLoaderBegin:
      return LoaderBegin(Request);
    case SimLoaderFinish:
      return LoaderFinish(Request);
    case SimLoaderRate:
      return LoaderRate(Request);
    default:
      return Failed(Request, SimErrorInvalidMessage);
  }
}

// Erases exactly the sectors the image covers: whole 64 KiB blocks where they fit, single sectors
// elsewhere. The offset must lie on a sector.
int TSimulatedModule::LoaderBegin(TSimRequest& Request) {
  if (Request.Data.size() != 8) return Failed(Request, SimErrorInvalidMessage);
  const quint32 Offset = ReadLe32(Request.Data, 0), Size = ReadLe32(Request.Data, 4);
  if (Offset % SectorSize) return Failed(Request, SimErrorInvalidMessage);
  FLoader->Begun = false;
  const quint32 First = Offset / SectorSize;
  const auto End = quint32((quint64(Offset) + Size + SectorSize - 1) / SectorSize);
  if (quint64(End) * SectorSize > quint64(FFlash.size())) return Failed(Request, SimErrorFlash);
  int BusyMs = 0;
  for (quint32 Sector = First; Sector < End;) {
    const bool Block = Sector % SectorsPerBlock == 0 && End - Sector >= SectorsPerBlock;
    const quint32 Count = Block ? SectorsPerBlock : 1;
    FFlash.replace(qsizetype(Sector) * SectorSize, qsizetype(Count) * SectorSize,
                   QByteArray(qsizetype(Count) * SectorSize, char(0xFF)));
    BusyMs += Block ? FTiming.EraseMsPerBlock : FTiming.EraseMsPerSector;
    Sector += Count;
  }
  TLoader& L = *FLoader.Loader;
  L.Begun = true;
  L.Ended = false;
  L.Error = 0;
  L.Offset = Offset;
  L.Size = Size;
  L.Written = L.NextSequence = 0;
  L.BacklogMs = 0;
  inflateReset(&L.Stream);
  Request.Value = End - First;
  return BusyMs;
}

// A DATA block is answered once it has arrived and the one before has been written: the program
// inflates and writes a block while the next one comes over the line. A fault met while
// inflating or writing is reported by the next reply.
int TSimulatedModule::LoaderData(TSimRequest& Request, qsizetype FrameSize) {
  TLoader& L = *FLoader.Loader;
  const QByteArray& Data = Request.Data;
  Request.Value = Request.Sequence;
  if (!L.Begun || Data.size() < 4 || Data.size() - 4 > LoaderMaxData ||
      Request.Sequence != L.NextSequence)
    return Failed(Request, SimErrorInvalidMessage);
  const QByteArray Piece = Data.mid(4);
  if (Request.Checksum != DataChecksum(Piece)) return Failed(Request, SimErrorBadChecksum);
  ++L.NextSequence;
  const double LineMs = FrameSize * 10'000.0 / FLineRate;
  const int BusyMs = int(std::ceil(std::max(0.0, L.BacklogMs - LineMs)));
  if (L.Error) return Failed(Request, L.Error) + BusyMs;
  QByteArray Out(64 * 1024, '\0');
  L.Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Piece.constData()));
  L.Stream.avail_in = uInt(Piece.size());
  quint32 Produced = 0;
  while (!L.Error && (L.Stream.avail_in > 0 || L.Stream.avail_out == 0) && !L.Ended) {
    L.Stream.next_out = reinterpret_cast<Bytef*>(Out.data());
    L.Stream.avail_out = uInt(Out.size());
    const int Result = inflate(&L.Stream, Z_NO_FLUSH);
    const auto Got = quint32(Out.size()) - L.Stream.avail_out;
    L.Ended = Result == Z_STREAM_END;
    if ((Result != Z_OK && Result != Z_STREAM_END && Result != Z_BUF_ERROR) ||
        quint64(L.Written) + Got > L.Size) {
      L.Error = SimErrorStream;
      break;
    }
    for (quint32 i = 0; i < Got; ++i) {
      char& Byte = FFlash[qsizetype(L.Offset + L.Written + i)];
      Byte = char(Byte & Out[i]);  // NOR flash only clears bits
    }
    L.Written += Got;
    Produced += Got;
    if (Result == Z_BUF_ERROR) break;
  }
  if (L.Ended && L.Stream.avail_in > 0) L.Error = SimErrorStream;
  L.BacklogMs = Produced / 1024.0 * FTiming.WriteMsPerBlock;
  return BusyMs;
}

// The digest is zlib's CRC-32 of the flash over the image, read back once the last block is
// written; the reply fails when the stream did not end exactly at the image's size.
int TSimulatedModule::LoaderFinish(TSimRequest& Request) {
  TLoader& L = *FLoader.Loader;
  if (!L.Begun) return Failed(Request, SimErrorInvalidMessage);
  const auto* Bytes = reinterpret_cast<const Bytef*>(FFlash.constData() + L.Offset);
  Request.Value = quint32(crc32(crc32(0, nullptr, 0), Bytes, uInt(L.Size)));
  const int BusyMs = int(std::ceil(L.BacklogMs + L.Size / 65536.0 * FTiming.DigestMsPer64KiB));
  L.Begun = false;
  L.BacklogMs = 0;
  const quint8 Error = L.Error ? L.Error : (!L.Ended || L.Written != L.Size) ? SimErrorStream : 0;
  if (Error) Failed(Request, Error);
  return BusyMs;
}

// The new divisor follows from the one in use and the two rates; it is set after the reply.
int TSimulatedModule::LoaderRate(TSimRequest& Request) {
  if (Request.Data.size() != 8) return Failed(Request, SimErrorInvalidMessage);
  const quint32 Rate = ReadLe32(Request.Data, 0), Current = ReadLe32(Request.Data, 4);
  const quint32 Divisor = Divided(quint64(FLoader->Divisor) * Current, Rate);
  if (Divisor == 0 || Divisor > 0xFFFFF) return Failed(Request, SimErrorInvalidMessage);
  FLoader->NextDivisor = Request.Value = Divisor;
  return 0;
}

// The pattern after the SYNC command is not checked.
int TSimulatedModule::SyncRequest(TSimRequest&) { return 0; }

// A READ_REG reply sets the kept error code back to 0.
int TSimulatedModule::ReadRegRequest(TSimRequest& Request) {
  if (Request.Data.size() < 4) return Failed(Request, SimErrorInvalidMessage);
  const quint32 Address = ReadLe32(Request.Data, 0);
  if (Address % 4 != 0) {
    FHung = true;
    Request.Replied = false;
    return 0;
  }
  auto Found = FRegisters.find(Address);
  FLastValue = Found == FRegisters.end() ? 0 : Found->second;
  FLastError = 0;
  return 0;
}

// Erases whole sectors, more than asked (see SectorsErased), and only within the flash. The block
// count and block size announced are not used: the blocks that follow are written one after the
// other, whatever their size and number.
int TSimulatedModule::FlashBeginRequest(TSimRequest& Request) {
  const QByteArray& Data = Request.Data;
  if (Data.size() < 16) return Failed(Request, SimErrorInvalidMessage);
  const quint32 Size = ReadLe32(Data, 0);
  const quint32 Offset = ReadLe32(Data, 12);
  if (quint64(Offset) + Size > quint64(FFlash.size()))
    return Failed(Request, SimErrorInvalidMessage);
  FJob = TFlashJob{true, Offset, 0, 0};
  const quint32 First = Offset / SectorSize;
  const quint32 Erased =
      std::min(SectorsErased(Offset, Size), quint32(FFlash.size()) / SectorSize - First);
  FFlash.replace(qsizetype(First) * SectorSize, qsizetype(Erased) * SectorSize,
                 QByteArray(qsizetype(Erased) * SectorSize, char(0xFF)));
  return int(Erased) * FTiming.EraseMsPerSector;
}

// A block refused for its checksum uses up its sequence number: the next number is due, and its
// block lands where the refused one would have.
int TSimulatedModule::FlashDataRequest(TSimRequest& Request) {
  const QByteArray& Data = Request.Data;
  if (Data.size() < FlashDataPrefixSize) return Failed(Request, SimErrorInvalidMessage);
  const QByteArray Block = Data.mid(FlashDataPrefixSize);
  if (ReadLe32(Data, 0) != quint32(Block.size())) return Failed(Request, SimErrorInvalidMessage);
  if (!FJob.Active || Request.Sequence != FJob.NextSequence)
    return Failed(Request, SimErrorInvalidMessage);
  ++FJob.NextSequence;
  if (Request.Checksum != DataChecksum(Block)) return Failed(Request, SimErrorBadChecksum);
  const quint64 Address = quint64(FJob.Offset) + FJob.Written;
  if (Address + quint64(Block.size()) > quint64(FFlash.size()))
    return Failed(Request, SimErrorInvalidMessage);
  // NOR flash only clears bits: writing over data that was not erased leaves both mixed.
  for (int i = 0; i < Block.size(); ++i)
    FFlash[qsizetype(Address) + i] = char(FFlash[qsizetype(Address) + i] & Block[i]);
  FJob.Written += quint32(Block.size());
  return FTiming.WriteMsPerBlock;
}

// A short frame is answered as command 00, an unknown command as command 0A.
// The loader program echoes the command and sends its own value.
QByteArray TSimulatedModule::ReplyFrame(const TSimRequest& Request) const {
  quint8 Command = Request.Short ? 0x00 : SimReadReg;
  for (quint8 Known :
       {SimSync, SimReadReg, SimFlashBegin, SimFlashData, SimMemBegin, SimMemData, SimMemEnd})
    if (!Request.Short && Request.Command == Known) Command = Known;
  const bool Loader = FLoader != nullptr && !Request.Short;
  QByteArray Body;
  Body.append(char(0x01)).append(char(Loader ? Request.Command : Command));
  Body.append(char(0x02)).append(char(0x00));
  AppendLe32(Body, Loader ? Request.Value : Request.Command == SimSync ? SyncValue : FLastValue);
  Body.append(char(Request.Status)).append(char(Request.Error));
  return SlipFrame(Body);
}

void TSimulatedModule::QueueReply(const TSimRequest& Request, int BusyMs,
                                  std::vector<TSimDelivery>& Out) {
  QByteArray Bytes;
  if (FMisbehaviour.BannerBeforeFirstReply && !FBannerShown) {
    Bytes = SimMisreadAtRate(BannerText(), BannerRate, FLineRate);
    FBannerShown = true;
  }
  const int Copies = Request.Command == SimSync && Request.Status == 0 ? SyncCopies : 1;
  const QByteArray Reply = FMisbehaviour.GarbageBeforeReply + ReplyFrame(Request).repeated(Copies);
  quint32 Rate = FMisbehaviour.ReplyRate;
  if (FLoader != nullptr && LoaderRateDiffers()) Rate = UartClock / FLoader->Divisor;
  Bytes += Rate == 0 ? Reply : SimMisreadAtRate(Reply, Rate, FLineRate);

  const int Pieces = std::clamp(FMisbehaviour.SplitPieces, 1, int(Bytes.size()));
  int Taken = 0;
  for (int i = 0; i < Pieces; ++i) {
    const int Next = int((qint64(Bytes.size()) * (i + 1)) / Pieces);
    const int Delay = i == 0 ? BusyMs + FMisbehaviour.ReplyDelayMs : FMisbehaviour.SplitGapMs;
    Out.push_back(TSimDelivery{Delay, Bytes.mid(Taken, Next - Taken)});
    Taken = Next;
  }
}

QByteArray SimMisreadAtRate(const QByteArray& Text, quint32 SendRate, quint32 ReceiveRate) {
  // The sent line level at time T (seconds): 8N1 characters back to back, then idle (high).
  if (SendRate == 0 || ReceiveRate == 0) return QByteArray();
  const double SendBit = 1.0 / SendRate;
  const double End = 10.0 * SendBit * Text.size();
  auto Level = [&](double T) {
    if (T >= End) return 1;
    const int Index = int(T / (10.0 * SendBit));
    const int Bit = std::min(9, int((T - Index * 10.0 * SendBit) / SendBit));
    if (Bit == 0 || Bit == 9) return Bit == 9 ? 1 : 0;
    return (quint8(Text[Index]) >> (Bit - 1)) & 1;
  };
  // The receiving UART looks for a low level at 16 times its bit rate and samples each bit in its
  // middle. A character whose stop bit reads low is a framing error, which a Linux tty without
  // IGNPAR or PARMRK passes on as a zero byte.
  const double Bit = 1.0 / ReceiveRate;
  QByteArray Out;
  for (double T = 0; T < End;) {
    if (Level(T) == 1 || Level(T + Bit / 2) == 1) {
      T += Bit / 16;
      continue;
    }
    int Byte = 0;
    for (int i = 0; i < 8; ++i) Byte |= Level(T + (1.5 + i) * Bit) << i;
    const bool Framed = Level(T + 9.5 * Bit) == 1;
    Out.append(char(Framed ? Byte : 0));
    T += 9.5 * Bit;
  }
  return Out;
}
