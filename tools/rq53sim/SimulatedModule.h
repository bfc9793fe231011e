#pragma once
// A model of the RQ53's ESP8266 ROM boot loader in UART download mode, as test equipment: bytes the
// tool sends go in, the bytes the module would answer come out. Pure: no threads, no I/O.
//
// It is written straight from the packet layout (SLIP frames around a little-endian header) and on
// purpose shares no code with the tool's own packet codec, so that a fault cannot hide in both.

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <map>
#include <vector>

// Command codes the ROM understands here.
enum : quint8 {
  SimFlashBegin = 0x02,
  SimFlashData = 0x03,
  SimSync = 0x08,
  SimReadReg = 0x0A,
};

// Error codes the ROM puts after the failure status byte 01.
enum : quint8 {
  SimErrorInvalidMessage = 0x05,
  SimErrorBadChecksum = 0x07,
};

// Bytes the module sends, after waiting DelayMs (counted from the end of the previous delivery, or
// from the moment the request was complete for the first one).
struct TSimDelivery {
  int DelayMs = 0;
  QByteArray Bytes;
};

// One request the module saw, with what it did about it.
struct TSimRequest {
  quint8 Command = 0;
  QByteArray Data;       // the data field, SLIP-decoded
  quint32 Checksum = 0;  // the header's checksum field
  quint32 Sequence = 0;  // FLASH_DATA only
  quint8 Status = 0;     // 0 success, 1 failure
  quint8 Error = 0;      // error code when Status is 1
  bool Replied = true;   // false when a misbehaviour swallowed the reply
};

// Picks requests for a misbehaviour: the next Count requests of Command (0: of any command).
// A negative Count picks every such request from now on.
struct TSimRequestPick {
  quint8 Command = 0;
  int Count = 0;
};

// The ways the module can be told to misbehave. All off by default.
struct TSimMisbehaviour {
  TSimRequestPick NoReply;  // the picked requests are dropped unanswered
  TSimRequestPick Fail;     // the picked requests fail with FailCode
  quint8 FailCode = SimErrorInvalidMessage;
  int SplitPieces = 1;                  // each reply goes out in this many deliveries
  int SplitGapMs = 0;                   // pause before each piece after the first
  int ReplyDelayMs = 0;                 // pause before each reply
  QByteArray GarbageBeforeReply;        // sent in front of each reply
  bool BannerBeforeFirstReply = false;  // the reset banner comes before the first reply
};

// Time the flash takes, turned into delivery delays.
struct TSimTiming {
  int EraseMsPerSector = 0;
  int WriteMsPerBlock = 0;
};

class TSimulatedModule {
 public:
  static constexpr quint32 SectorSize = 4096;
  static constexpr quint32 EfuseBase = 0x3FF00050;
  static constexpr quint32 SyncValue = 0x20120707;

  explicit TSimulatedModule(quint32 FlashSize = 4 * 1024 * 1024);

  // Feeds bytes as they come off the line, in pieces of any size; returns what the module sends.
  std::vector<TSimDelivery> Receive(const QByteArray& Bytes);

  // A reset into download mode: the flashing state is forgotten and the reset banner, as seen at
  // the line rate in use, is returned for sending.
  std::vector<TSimDelivery> Reset();

  void SetEfuseWords(const std::array<quint32, 4>& Words);
  void SetRegister(quint32 Address, quint32 Value);
  // The rate the tool's port is set to; the banner (sent at 74880 bit/s) is garbled accordingly.
  void SetLineRate(quint32 BitsPerSecond);
  // Sectors erased beyond those a FLASH_BEGIN asked for (the ROM erases more than asked).
  void SetExtraEraseSectors(quint32 Sectors);
  // Puts bytes into flash as they were before the module arrived (tests of erasing).
  void PresetFlash(quint32 Offset, const QByteArray& Bytes);

  TSimMisbehaviour& Misbehaviour() { return FMisbehaviour; }
  TSimTiming& Timing() { return FTiming; }

  const QByteArray& Flash() const { return FFlash; }
  const std::vector<TSimRequest>& Requests() const { return FRequests; }

  static QByteArray BannerText();

 private:
  struct TFlashJob {
    bool Active = false;
    quint32 Offset = 0;
    quint32 BlockCount = 0;
    quint32 BlockSize = 0;
    quint32 NextSequence = 0;
  };

  void TakeByte(quint8 Byte, std::vector<TSimDelivery>& Out);
  void HandleFrame(const QByteArray& Frame, std::vector<TSimDelivery>& Out);
  int Execute(TSimRequest& Request);
  int SyncRequest(TSimRequest& Request);
  int ReadRegRequest(TSimRequest& Request);
  int FlashBeginRequest(TSimRequest& Request);
  int FlashDataRequest(TSimRequest& Request);
  QByteArray ReplyFrame(const TSimRequest& Request) const;
  void QueueReply(const TSimRequest& Request, int BusyMs, std::vector<TSimDelivery>& Out);
  void Erase(quint32 Offset, quint32 Size);

  QByteArray FFlash;
  std::map<quint32, quint32> FRegisters;
  quint32 FLastValue = SyncValue;
  quint32 FLineRate = 115200;
  quint32 FExtraEraseSectors = 1;
  TFlashJob FJob;
  TSimMisbehaviour FMisbehaviour;
  TSimTiming FTiming;
  bool FBannerShown = false;
  std::vector<TSimRequest> FRequests;

  // SLIP receiver state
  bool FInFrame = false;
  bool FEscaped = false;
  bool FFrameBroken = false;
  QByteArray FFrame;
};

// What a receiver at ReceiveRate makes of Text sent at SendRate (8N1 on both sides): the bytes its
// UART samples, as a module printing at the wrong rate shows up at the tool.
QByteArray SimMisreadAtRate(const QByteArray& Text, quint32 SendRate, quint32 ReceiveRate);
