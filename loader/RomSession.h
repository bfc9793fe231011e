#pragma once
// A conversation with the module as requests and their replies: each request is sent and the
// reply to its command waited for. The boot ROM's requests (READ_REG, FLASH_BEGIN, FLASH_DATA,
// SYNC and the upload of a program with MEM_*) go through TRomSession; the loader program's
// through TOnChipFlasher, over the same link.

#include "loader/FrameCodec.h"
#include "loader/OnChipCodec.h"

#include <QByteArray>

#include <functional>
#include <optional>

// How a conversation reaches the module: the port of a run, or the simulated module in tests.
struct TFrameLink {
  // Hands a finished request to the line; false when it cannot be sent.
  std::function<bool(const QByteArray& Request)> Send;
  // The next reply frame, waited for at most TimeoutMs; nothing on a time-out or a stop.
  std::function<std::optional<TReplyFrame>(int TimeoutMs)> NextReply;
  // The run was stopped from outside: no reply will come.
  std::function<bool()> Stopped;
};

// Sends Request and waits up to TimeoutMs for the reply to Command; replies to other commands are
// skipped. Nothing when no reply came.
std::optional<TReplyFrame> Ask(const TFrameLink& Link, const QByteArray& Request, quint8 Command,
                               int TimeoutMs);

class TRomSession {
 public:
  // How long the boot ROM may take to answer a request (FLASH_BEGIN adds its erase time).
  static constexpr int ReplyWaitMs = 5000;
  static constexpr int SyncIntervalMs = 50;
  static constexpr int SyncsPerBootPulse = 10;

  explicit TRomSession(TFrameLink Link) : Link(std::move(Link)) {}

  std::optional<TReplyFrame> ReadReg(quint32 Address);
  std::optional<TReplyFrame> FlashBegin(quint32 EraseSize, quint16 BlockCount, quint32 Offset,
                                        int WaitMs);
  // Request is a FLASH_DATA request as BuildFlashDataRequest makes it.
  std::optional<TReplyFrame> FlashData(const QByteArray& Request);
  // Loads Program into RAM and starts it: every MEM_BEGIN and MEM_DATA reply a success, then
  // MEM_END's. The first reply that is no success, or nothing when one did not come.
  std::optional<TReplyFrame> Upload(const TOnChipProgram& Program);
  // Sends SYNC every SyncIntervalMs until the boot ROM answers or WaitMs have passed; before the
  // first and then every SyncsPerBootPulse-th, BootPulse resets the module into its boot loader
  // (it returns once the pulse is over). True when it answered.
  bool Resync(int WaitMs, const std::function<void()>& BootPulse);

 private:
  // Ask, where a refusal that came together with a success wins: no request may follow a refused
  // one.
  std::optional<TReplyFrame> AskRom(const QByteArray& Request, quint8 Command, int TimeoutMs);

  TFrameLink Link;
};
