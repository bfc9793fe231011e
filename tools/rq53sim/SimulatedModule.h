#pragma once
// A model of the RQ53's ESP8266 ROM boot loader in UART download mode, as test equipment: bytes the
// tool sends go in, the bytes the module would answer come out. Pure: no threads, no I/O.
//
// It is written straight from the packet layout (SLIP frames around a little-endian header) and on
// purpose shares no code with the tool's own packet codec, so that a fault cannot hide in both.

#include "tools/rq53sim/SimulatedLoader.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <map>
#include <optional>
#include <vector>

// Bytes the module sends, after waiting DelayMs (counted from the end of the previous delivery, or
// from the moment the request was complete for the first one).
struct TSimDelivery {
  int DelayMs = 0;
  QByteArray Bytes;
  bool Unplug = false;  // the line goes away once these bytes are out (the adapter is pulled)
};

// Picks requests for a misbehaviour: of the requests of Command (0: of any command), the first Skip
// are let through, then the next Count are picked; a negative Count picks every one after them.
// Every pick counts every request, whichever misbehaviour acts on it.
struct TSimRequestPick {
  quint8 Command = 0;
  int Count = 0;
  int Skip = 0;
};

// The ways the module can be told to misbehave. All off by default. When NoReply and Fail pick the
// same request, NoReply wins.
struct TSimMisbehaviour {
  TSimRequestPick Unplug;   // the adapter is pulled once the answer to the picked request is out
  TSimRequestPick NoReply;  // the picked requests are dropped unanswered
  TSimRequestPick Fail;     // the picked requests fail with FailCode
  quint8 FailCode = SimErrorInvalidMessage;
  quint32 ReplyRate = 0;  // replies go out at this rate (0: the line's), so arrive as garbage
  int SplitPieces = 1;    // each reply goes out in this many deliveries
  int SplitGapMs = 0;     // pause before each piece after the first
  int ReplyDelayMs = 0;   // pause before each reply
  QByteArray GarbageBeforeReply;        // sent in front of each reply
  bool BannerBeforeFirstReply = false;  // the reset banner comes before the first reply
  bool LoaderSilent = false;            // a program started by MEM_END never answers
  bool LoaderSilentAfterRate = false;   // the loader program answers nothing after a rate change
  // The module's line carries no rate above this one (0: any): bytes at a higher rate are lost
  // both ways, so the loader program gives such a rate up.
  quint32 MaxLoaderRate = 0;
  bool RefuseUpload = false;            // every MEM_BEGIN fails: the ROM loads no program
};

class TSimulatedModule {
 public:
  static constexpr quint32 SectorSize = 4096;
  static constexpr quint32 EfuseBase = 0x3FF00050;
  static constexpr quint32 SyncValue = 0x20120707;
  static constexpr std::size_t DefaultRequestHistory = 1024;

  explicit TSimulatedModule(quint32 FlashSize = 4 * 1024 * 1024);

  // Feeds bytes as they come off the line, in pieces of any size; returns what the module sends.
  // Taken, when given, gets every request taken in meanwhile, whatever the history keeps.
  std::vector<TSimDelivery> Receive(const QByteArray& Bytes,
                                    std::vector<TSimRequest>* Taken = nullptr);

  // A reset into download mode: the flashing state, the kept error code and a hang are forgotten,
  // and the reset banner, as received at the line rate in use, is returned for sending. (Bytes
  // misread at another rate keep roughly the banner's time on the line when paced at that rate.)
  std::vector<TSimDelivery> Reset();

  void SetEfuseWords(const std::array<quint32, 4>& Words);
  void SetRegister(quint32 Address, quint32 Value);
  // The rate the tool's port is set to; the banner (sent at 74880 bit/s) is garbled accordingly.
  void SetLineRate(quint32 BitsPerSecond);
  // Puts bytes into flash as they were before the module arrived (tests of erasing).
  void PresetFlash(quint32 Offset, const QByteArray& Bytes);

  TSimMisbehaviour& Misbehaviour() { return FMisbehaviour; }
  TSimTiming& Timing() { return FTiming; }

  const QByteArray& Flash() const { return FFlash; }
  // The last requests taken in, oldest first: at most RequestHistory() of them.
  const std::vector<TSimRequest>& Requests() const { return FRequests; }
  // How many requests were taken in since the module was made.
  quint64 RequestCount() const { return FRequestCount; }
  std::size_t RequestHistory() const { return FHistory; }
  void SetRequestHistory(std::size_t Requests);
  // A READ_REG of an address that is no multiple of 4 hangs the ROM: it takes nothing in until
  // the next reset. So does a MEM_DATA block for memory that does not exist, or a started
  // program that does not answer.
  bool Hung() const { return FHung; }
  // Whether a program loaded with MEM_BEGIN/MEM_DATA and started with MEM_END runs as Ferrule's
  // loader program (until the next reset).
  bool LoaderRunning() const { return FLoader.has_value(); }
  // Bytes of RAM as loaded with MEM_DATA (zero where nothing was loaded); instruction RAM
  // 0x40100000-0x40107FFF and data RAM 0x3FFE8000-0x3FFF9FFF.
  QByteArray Ram(quint32 Address, quint32 Length) const;
  // The UART's clock, whose divisor for a rate the ROM sets when it synchronises.
  static constexpr quint32 UartClock = 80'000'000;

  static QByteArray BannerText();
  // Bytes of printable console text, in lines, as a module running its firmware prints them.
  static QByteArray ConsoleText(qsizetype Bytes);
  // How many 4 KiB sectors a FLASH_BEGIN of Size bytes at Offset erases, from the sector holding
  // Offset on: with n the sectors the
  // range touches and s the first, n + min(n, 16 - s mod 16).
  static quint32 SectorsErased(quint32 Offset, quint32 Size);

 private:
  struct TFlashJob {
    bool Active = false;
    quint32 Offset = 0;
    quint32 Written = 0;  // bytes written since FLASH_BEGIN: the next block goes after them
    quint32 NextSequence = 0;
  };

  void TakeByte(quint8 Byte, std::vector<TSimDelivery>& Out);
  void HandleFrame(const QByteArray& Frame, std::vector<TSimDelivery>& Out);
  void Remember(TSimRequest Request);
  int Execute(TSimRequest& Request);
  int SyncRequest(TSimRequest& Request);
  int ReadRegRequest(TSimRequest& Request);
  int FlashBeginRequest(TSimRequest& Request);
  int FlashDataRequest(TSimRequest& Request);
  int MemBeginRequest(TSimRequest& Request);
  int MemDataRequest(TSimRequest& Request);
  int MemEndRequest(TSimRequest& Request);
  void AfterLoaderReply(std::vector<TSimDelivery>& Out);
  bool LoaderRateDiffers() const;
  // The loader program or the tool runs above MaxLoaderRate: nothing reaches the other side.
  bool AboveMaxLoaderRate() const;
  QByteArray ReplyFrame(const TSimRequest& Request) const;
  void QueueReply(const TSimRequest& Request, int BusyMs, std::vector<TSimDelivery>& Out);

  // The upload of a program by MEM_BEGIN / MEM_DATA.
  struct TMemUpload {
    bool Active = false;
    quint32 Address = 0;
    quint32 BlockSize = 0;
    quint32 NextSequence = 0;
  };
  QByteArray FFlash;
  QByteArray FIram;
  QByteArray FDram;
  TMemUpload FUpload;
  std::optional<TSimulatedLoader> FLoader;  // Ferrule's loader program while it runs
  std::map<quint32, quint32> FRegisters;
  quint32 FLastValue = SyncValue;
  quint32 FLineRate = 115200;
  quint8 FLastError = 0;  // the second status byte of successful replies
  bool FHung = false;
  // What MEM_END starts once its reply is out: the loader program, or one that answers nothing.
  enum class TStart { None, Loader, Silent };
  TStart FStarting = TStart::None;
  TFlashJob FJob;
  TSimMisbehaviour FMisbehaviour;
  TSimTiming FTiming;
  bool FBannerShown = false;
  std::vector<TSimRequest> FRequests;
  std::size_t FHistory = DefaultRequestHistory;
  quint64 FRequestCount = 0;
  std::vector<TSimRequest>* FTaken = nullptr;  // where Receive hands out the requests it takes

  // SLIP receiver state
  bool FInFrame = false;
  bool FEscaped = false;
  bool FFrameBroken = false;
  QByteArray FFrame;
};
