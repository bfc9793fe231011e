#pragma once
// Ferrule's loader program as the simulated module runs it once MEM_END has started it: it
// checks each request's CRC over all its bytes, carries out the program's requests on the
// module's flash and says how long each keeps it busy. BEGIN compares the image's sectors with the
// CRCs it is given and answers with the sectors it leaves as they are; each sector to write is
// erased just before its first bytes (a whole 64 KiB block where all of it is written), while the
// line goes on bringing DATA.

#include "tools/rq53sim/SimulatedFrames.h"

#include <zlib.h>

#include <vector>
#include <chrono>

class TSimulatedLoader {
 public:
  static constexpr quint32 Magic = 0x4C524546;  // "FERL", PING's value
  static constexpr quint32 Room = 4;            // DATA requests it has room for

  // StartDivisor: the UART divisor the ROM left behind.
  explicit TSimulatedLoader(quint32 StartDivisor) : FDivisor(StartDivisor) {}

  // Carries out a well-formed request on Flash; returns the time it keeps the program busy.
  // FrameSize is the request's size on the line, LineRate the rate it came at.
  int Execute(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing, quint32 LineRate,
              qsizetype FrameSize);
  // True once, right after the program starts: its PING reply goes out unasked.
  bool TakeGreeting();
  // Sets the divisor a RATE asked for, once its reply is out; true when it did. Until a PING
  // confirms it, GiveUpUnconfirmedRate goes back to the divisor before once RateConfirmMs passed.
  bool TakeRateSwitch();
  void GiveUpUnconfirmedRate();
  static constexpr int RateConfirmMs = 500;
  // The rate the program's UART runs at, for a UART clock.
  quint32 Rate(quint32 UartClock) const;
  // The JEDEC ID of a GigaDevice chip of FlashSize bytes (a power of two): C8 40 16 for 4 MiB.
  static quint32 ChipId(qsizetype FlashSize);

 private:
  // A raw inflate stream that copies along with the program.
  class TInflater {
   public:
    TInflater() { inflateInit2(&Stream, -15); }
    TInflater(const TInflater& Other) { inflateCopy(&Stream, const_cast<z_stream*>(&Other.Stream)); }
    TInflater& operator=(const TInflater& Other);
    ~TInflater() { inflateEnd(&Stream); }
    z_stream Stream{};
  };

  int Begin(TSimRequest& Request, const QByteArray& Flash, const TSimTiming& Timing);
  int Data(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing, quint32 LineRate,
           qsizetype FrameSize);
  int Finish(TSimRequest& Request, const QByteArray& Flash, const TSimTiming& Timing);
  int SetRate(TSimRequest& Request);
  // Writes inflated bytes at the cursor, erasing first where nothing was erased yet; returns the
  // chip's time for it.
  double Write(const char* Bytes, quint32 Count, QByteArray& Flash, const TSimTiming& Timing);
  double EraseAtCursor(QByteArray& Flash, const TSimTiming& Timing);
  void SkipUnchanged();
  int Read(TSimRequest& Request, const QByteArray& Flash, const TSimTiming& Timing);
  int Digest(TSimRequest& Request, const QByteArray& Flash, const TSimTiming& Timing);
  int Erase(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing);
  int EraseChip(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing);

  quint32 FDivisor = 0;
  quint32 FNextDivisor = 0;  // set once the RATE reply is out
  quint32 FDivisorBefore = 0;  // of a rate change no PING confirmed yet
  std::chrono::steady_clock::time_point FSwitchedAt;
  bool FGreeting = true;
  bool FBegun = false, FEnded = false;
  quint8 FError = 0;  // a fault met while inflating or writing, told by the next reply
  quint32 FOffset = 0, FSize = 0, FEnd = 0;  // FEnd: the end of the image's last sector
  quint32 FCursor = 0, FErasedTo = 0;        // where the next byte goes, the last erase's end
  quint32 FWritten = 0, FStreamSize = 0, FNextSequence = 0;
  std::vector<bool> FUnchanged;  // per sector of the image
  double FBacklogMs = 0;  // chip work on the last block, from the moment its reply went out
  double FLastDelayMs = 0;
  TInflater FInflater;
};
