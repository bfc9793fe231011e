#include "tools/rq53sim/SimulatedModule.h"

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
constexpr int LoaderStartMs = 1;
constexpr double RateTolerance = 0.03;  // a UART still reads bytes sent this much off its rate

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

}  // namespace

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
  if (FLoader) FLoader->GiveUpUnconfirmedRate();
  if (AboveMaxLoaderRate()) return Out;
  // A loader program that runs at another rate than the tool's reads what its UART samples.
  const bool Misread = LoaderRateDiffers();
  const QByteArray Taking =
      Misread ? SimMisreadAtRate(Bytes, FLineRate, FLoader->Rate(UartClock)) : Bytes;
  for (char c : Taking) TakeByte(quint8(c), Out);
  FTaken = nullptr;
  return Out;
}

std::vector<TSimDelivery> TSimulatedModule::Reset() {
  FJob = TFlashJob();
  FUpload = TMemUpload();
  FLoader.reset();
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
    Request.Checksum = SimReadLe32(Frame, 4);
    Request.Data = Frame.mid(HeaderSize);
    if ((Request.Command == SimFlashData || Request.Command == SimMemData) &&
        Request.Data.size() >= 8)
      Request.Sequence = SimReadLe32(Request.Data, 4);
    if (Request.Command == SimLoaderData && Request.Data.size() >= 4)
      Request.Sequence = SimReadLe32(Request.Data, 0);
  }
  TSimMisbehaviour& Bad = FMisbehaviour;
  const bool Unplug = Picked(Bad.Unplug, Request.Command);
  const bool NoReply = Picked(Bad.NoReply, Request.Command);
  const bool Fail = Picked(Bad.Fail, Request.Command);
  int BusyMs = 0;
  if (NoReply)
    Request.Replied = false;
  else if (Short)
    SimFailed(Request, SimErrorInvalidMessage);
  else if (Fail)
    SimFailed(Request, Bad.FailCode);
  else if (FLoader)
    BusyMs = FLoader->Execute(Request, FFlash, FTiming, FLineRate, Frame.size() + 2);
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
    FLoader.emplace(SimDivided(UartClock, FLineRate));
  FHung = FHung || FStarting == TStart::Silent;
  FStarting = TStart::None;
  if (FLoader) AfterLoaderReply(Out);
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
      return SimFailed(Request, SimErrorInvalidMessage);
  }
}

// The block size is checked (at most 0x1800), the address, total size and block count are not.
int TSimulatedModule::MemBeginRequest(TSimRequest& Request) {
  if (Request.Data.size() < 16 || FMisbehaviour.RefuseUpload)
    return SimFailed(Request, SimErrorInvalidMessage);
  const quint32 BlockSize = SimReadLe32(Request.Data, 8);
  if (BlockSize > MaxMemBlock) return SimFailed(Request, SimErrorInvalidMessage);
  FUpload = TMemUpload{true, SimReadLe32(Request.Data, 12), BlockSize, 0};
  return 0;
}

// The bytes go to the address, which moves on by their length; memory that does not exist, or
// the ROM loader's own (from 0x3FFFA000), stops the ROM.
int TSimulatedModule::MemDataRequest(TSimRequest& Request) {
  const QByteArray& Data = Request.Data;
  if (Data.size() < 16) return SimFailed(Request, SimErrorInvalidMessage);
  const QByteArray Block = Data.mid(16);
  if (!FUpload.Active || Request.Sequence != FUpload.NextSequence ||
      SimReadLe32(Data, 0) != quint32(Block.size()) || quint32(Block.size()) > FUpload.BlockSize)
    return SimFailed(Request, SimErrorInvalidMessage);
  if (Request.Checksum != SimDataChecksum(Block)) return SimFailed(Request, SimErrorBadChecksum);
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
  if (Request.Data.size() < 8) return SimFailed(Request, SimErrorInvalidMessage);
  if (SimReadLe32(Request.Data, 0) != 0) return 0;
  const quint32 Entry = SimReadLe32(Request.Data, 4);
  const bool Loaded = Entry >= IramStart && Entry - IramStart < IramSize &&
                      FIram.mid(Entry - IramStart, 4) != QByteArray(4, '\0');
  FStarting = Loaded && !FMisbehaviour.LoaderSilent ? TStart::Loader : TStart::Silent;
  return 0;
}

bool TSimulatedModule::LoaderRateDiffers() const {
  if (!FLoader) return false;
  const double Rate = FLoader->Rate(UartClock);
  return std::abs(Rate - FLineRate) > RateTolerance * FLineRate;
}

bool TSimulatedModule::AboveMaxLoaderRate() const {
  const quint32 Max = FMisbehaviour.MaxLoaderRate;
  return FLoader && Max != 0 && (FLineRate > Max || FLoader->Rate(UartClock) > Max);
}

// After a reply of the loader program (or of the MEM_END that started it): its greeting, a
// rate change, or a silence.
void TSimulatedModule::AfterLoaderReply(std::vector<TSimDelivery>& Out) {
  if (FLoader->TakeGreeting()) {
    TSimRequest Ping;
    Ping.Command = SimLoaderPing;
    Ping.Value = TSimulatedLoader::Magic;
    FLastError = 0;
    Out.push_back(TSimDelivery{LoaderStartMs, ReplyFrame(Ping)});
  }
  if (FLoader->TakeRateSwitch()) FHung = FMisbehaviour.LoaderSilentAfterRate;
}

// The pattern after the SYNC command is not checked.
int TSimulatedModule::SyncRequest(TSimRequest&) { return 0; }

// A READ_REG reply sets the kept error code back to 0.
int TSimulatedModule::ReadRegRequest(TSimRequest& Request) {
  if (Request.Data.size() < 4) return SimFailed(Request, SimErrorInvalidMessage);
  const quint32 Address = SimReadLe32(Request.Data, 0);
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

// Erases whole sectors, more than asked (see SectorsErased), and only within the flash, by
// sectors and whole blocks. The block
// count and block size announced are not used: the blocks that follow are written one after the
// other, whatever their size and number.
int TSimulatedModule::FlashBeginRequest(TSimRequest& Request) {
  const QByteArray& Data = Request.Data;
  if (Data.size() < 16) return SimFailed(Request, SimErrorInvalidMessage);
  const quint32 Size = SimReadLe32(Data, 0);
  const quint32 Offset = SimReadLe32(Data, 12);
  if (quint64(Offset) + Size > quint64(FFlash.size()))
    return SimFailed(Request, SimErrorInvalidMessage);
  FJob = TFlashJob{true, Offset, 0, 0};
  const quint32 First = Offset / SectorSize;
  const quint32 Erased =
      std::min(SectorsErased(Offset, Size), quint32(FFlash.size()) / SectorSize - First);
  FFlash.replace(qsizetype(First) * SectorSize, qsizetype(Erased) * SectorSize,
                 QByteArray(qsizetype(Erased) * SectorSize, char(0xFF)));
  // Sectors up to a 64 KiB boundary, whole blocks after it, sectors again after the last block.
  const quint32 Head = std::min(Erased, (SectorsPerBlock - First % SectorsPerBlock) % SectorsPerBlock);
  const quint32 Blocks = (Erased - Head) / SectorsPerBlock;
  return int(Erased - Blocks * SectorsPerBlock) * FTiming.EraseMsPerSector +
         int(Blocks) * FTiming.EraseMsPerBlock;
}

// A block refused for its checksum uses up its sequence number: the next number is due, and its
// block lands where the refused one would have.
int TSimulatedModule::FlashDataRequest(TSimRequest& Request) {
  const QByteArray& Data = Request.Data;
  if (Data.size() < FlashDataPrefixSize) return SimFailed(Request, SimErrorInvalidMessage);
  const QByteArray Block = Data.mid(FlashDataPrefixSize);
  if (SimReadLe32(Data, 0) != quint32(Block.size())) return SimFailed(Request, SimErrorInvalidMessage);
  if (!FJob.Active || Request.Sequence != FJob.NextSequence)
    return SimFailed(Request, SimErrorInvalidMessage);
  ++FJob.NextSequence;
  if (Request.Checksum != SimDataChecksum(Block)) return SimFailed(Request, SimErrorBadChecksum);
  const quint64 Address = quint64(FJob.Offset) + FJob.Written;
  if (Address + quint64(Block.size()) > quint64(FFlash.size()))
    return SimFailed(Request, SimErrorInvalidMessage);
  // NOR flash only clears bits: writing over data that was not erased leaves both mixed.
  for (int i = 0; i < Block.size(); ++i)
    FFlash[qsizetype(Address) + i] = char(FFlash[qsizetype(Address) + i] & Block[i]);
  FJob.Written += quint32(Block.size());
  return int(std::ceil(FTiming.WriteMs(Block.size())));
}

// A short frame is answered as command 00, an unknown command as command 0A.
// The loader program echoes the command and sends its own value.
QByteArray TSimulatedModule::ReplyFrame(const TSimRequest& Request) const {
  quint8 Command = Request.Short ? 0x00 : SimReadReg;
  for (quint8 Known :
       {SimSync, SimReadReg, SimFlashBegin, SimFlashData, SimMemBegin, SimMemData, SimMemEnd})
    if (!Request.Short && Request.Command == Known) Command = Known;
  const bool Loader = FLoader && !Request.Short;
  QByteArray Body;
  const QByteArray Answer = Loader ? Request.Answer : QByteArray();
  Body.append(char(0x01)).append(char(Loader ? Request.Command : Command));
  Body.append(char((Answer.size() + 2) & 0xFF)).append(char((Answer.size() + 2) >> 8));
  SimAppendLe32(Body, Loader ? Request.Value : Request.Command == SimSync ? SyncValue : FLastValue);
  Body.append(Answer).append(char(Request.Status)).append(char(Request.Error));
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
  if (LoaderRateDiffers()) Rate = FLoader->Rate(UartClock);
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
