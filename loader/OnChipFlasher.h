#pragma once
// Flashing through Ferrule's loader program: uploads it through the boot ROM, starts it, moves both
// sides to a higher rate, and writes an image compressed, ending with the program's digest of the
// written flash compared with the image's own. It talks through a link the caller provides (the
// serial port and the reply wait of a run, or the simulated module in tests); the image's pieces
// go out while fewer than the program's room are unanswered, every other request alone.

#include "loader/OnChipCodec.h"
#include "loader/RomSession.h"
#include "loader/RunOutcome.h"

#include <QString>

#include <functional>
#include <optional>

struct TOnChipLink {
  TFrameLink Frames;
  // Sets the tool's side of the line to Rate; false when the port refuses it.
  std::function<bool(quint32 Rate)> SetLineRate;
  // The run's stage changes: writing once the erase is done, verifying at the digest.
  std::function<void(TRunStage Stage)> EnterStage;
  // Bytes of the image written so far, of Total.
  std::function<void(qsizetype Done, qsizetype Total)> Progress;
};

enum class TOnChipOutcome {
  Written,        // the digest equals the image's
  NotUploaded,    // the boot ROM refused the upload: it still answers, nothing was erased
  NotStarted,     // the upload went unanswered, the program did not start or fell silent at the
                  // new rate: nothing was erased; the ROM path can take over after a reset
  DigestDiffers,  // the flash holds something else than the image
  Failed,         // a request was refused or not answered while the image was written
};

struct TOnChipResult {
  TOnChipOutcome Outcome = TOnChipOutcome::Failed;
  QString Reason;  // what went wrong, for the log
  quint32 Expected = 0, Digest = 0;
  quint32 Sectors = 0, Unchanged = 0;  // the image's sectors, and those that held their bytes
  quint32 ChipId = 0;  // the flash chip's JEDEC ID, told once the program has started
  QByteArray Bytes;    // the flash read
  // Start: the rate both sides run at, and why it is not the one asked for (empty when it is).
  quint32 Rate = 0;
  QString RateWarning;
};

class TOnChipFlasher {
 public:
  // A reply a request waits for at most; the program's greeting, and its answer at the new rate,
  // come at once or not at all.
  static constexpr int ReplyWaitMs = 5000;
  static constexpr int GreetingWaitMs = 1000;
  // READ requests in flight at most: two wait in the receive FIFO (34 bytes each at most, of 128)
  // while a reply goes out. With two in flight the line fell idle between replies: the port's
  // reads end at a pause or a full buffer, so a reply's end may come in only with the next one's
  // bytes (1 MiB took 1.31 times its line-bound time, with three 1.05).
  static constexpr quint32 ReadWindow = 3;
  // DATA requests in flight at most, whatever room the program has. With several back to back,
  // Windows' serial port under Wine lost the port now and then (cause not found), so one goes
  // at a time: the program still erases and writes while the next one crosses the line.
  static constexpr quint32 MaxDataInFlight = 1;
  // The program's answer to a PING at its new rate; then, back at the rate before, the PINGs that
  // wait for the program to give the new rate up (OC_RATE_CONFIRM_MS) and answer at the old one.
  static constexpr int RatePingWaitMs = 200;
  static constexpr int FallbackPings = 10;
  // Rates above it are reached through it: a failed step leaves both sides there.
  static constexpr quint32 StepRate = 921600;

  // LineRate: the rate the port runs at while the boot ROM uploads the program.
  TOnChipFlasher(TOnChipLink Link, quint32 LineRate, quint32 FastRate);

  // Uploads and starts Program, then changes both sides' rate to FastRate (through StepRate when
  // it is higher) and asks for the flash chip's ID. Written on success (nothing is flashed yet),
  // NotUploaded or NotStarted otherwise. A rate the port refuses, or the program does not answer
  // at, is given up: both sides stay at the rate before, told by RateWarning.
  TOnChipResult Start(const TOnChipProgram& Program);
  // Writes Image (header bytes already patched) at Offset, a multiple of 4 KiB: sectors that
  // hold their bytes already are left as they are.
  TOnChipResult Flash(const QByteArray& Image, quint32 Offset);
  // The program's CRC-32 of Size bytes of flash from Offset (a multiple of 4), in Digest.
  TOnChipResult Digest(quint32 Offset, quint32 Size);
  // Size bytes of flash from Offset (a multiple of 4) into Bytes, in pieces of OC_MAX_READ
  // (progress after each), checked against the program's digest of the range.
  TOnChipResult Read(quint32 Offset, quint32 Size);
  // Exactly the sectors of Size bytes from Offset, both multiples of 4 KiB.
  TOnChipResult Erase(quint32 Offset, quint32 Size);
  // The whole chip, of ChipBytes.
  TOnChipResult EraseChip(quint64 ChipBytes);

 private:
  static TOnChipResult Result(TOnChipOutcome Outcome, const QString& Reason);
  static TOnChipResult Refused(const std::optional<TReplyFrame>& Reply, const char* Step);
  static TOnChipResult Misplaced(quint32 Offset, quint32 Size, quint32 AskedOffset,
                                 quint32 AskedSize);
  std::optional<TOnChipResult> SendStream(const QByteArray& Stream, quint32 Room,
                                          quint32 ImageSize);
  bool SendRead(quint32 Offset, quint32 Size, quint32 Piece);
  enum class TRateStep { Changed, Kept, Lost };
  // Moves both sides from Rate to To; Kept (with Started.RateWarning) when they stay at Rate.
  TRateStep ChangeRate(quint32 Rate, quint32 To, TOnChipResult& Started);
  bool Pinged(int WaitMs);

  TOnChipLink Link;
  const quint32 LineRate, FastRate;
};
