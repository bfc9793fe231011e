#pragma once
// Ferrule's loader program as the simulated module runs it once MEM_END has started it: it
// carries out the program's requests on the module's flash and says how long each keeps it busy.

#include "tools/rq53sim/SimulatedFrames.h"

#include <zlib.h>

#include <chrono>

class TSimulatedLoader {
 public:
  static constexpr quint32 Magic = 0x4C524546;  // "FERL", PING's value

  // StartDivisor: the UART divisor the ROM left behind.
  explicit TSimulatedLoader(quint32 StartDivisor);
  TSimulatedLoader(const TSimulatedLoader& Other);
  TSimulatedLoader& operator=(const TSimulatedLoader& Other);
  ~TSimulatedLoader();

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

 private:
  int Begin(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing);
  int Data(TSimRequest& Request, QByteArray& Flash, const TSimTiming& Timing, quint32 LineRate,
           qsizetype FrameSize);
  int Finish(TSimRequest& Request, const QByteArray& Flash, const TSimTiming& Timing);
  int SetRate(TSimRequest& Request);

  quint32 FDivisor = 0;
  quint32 FNextDivisor = 0;  // set once the RATE reply is out
  quint32 FDivisorBefore = 0;  // of a rate change no PING confirmed yet
  std::chrono::steady_clock::time_point FSwitchedAt;
  bool FGreeting = true;
  bool FBegun = false, FEnded = false;
  quint8 FError = 0;  // a fault met while inflating or writing, told by the next reply
  quint32 FOffset = 0, FSize = 0, FWritten = 0, FNextSequence = 0;
  double FBacklogMs = 0;  // work left on the last block when the next one starts to arrive
  z_stream FStream{};
};
