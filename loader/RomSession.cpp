#include "loader/RomSession.h"

#include "loader/LoaderCodec.h"

#include <QElapsedTimer>

std::optional<TReplyFrame> Ask(const TFrameLink& Link, const QByteArray& Request, quint8 Command,
                               int TimeoutMs) {
  if (Link.Stopped() || !Link.Send(Request)) return std::nullopt;
  std::optional<TReplyFrame> Reply;
  while (!Reply || Reply->Command != Command) {
    Reply = Link.NextReply(TimeoutMs);
    if (!Reply) return std::nullopt;
  }
  return Reply;
}

// The boot ROM sends nothing unasked, so the replies already in behind the one awaited answer the
// same request: a refusal among them wins over a success.
std::optional<TReplyFrame> TRomSession::AskRom(const QByteArray& Request, quint8 Command,
                                               int TimeoutMs) {
  std::optional<TReplyFrame> Reply = Ask(Link, Request, Command, TimeoutMs);
  while (Reply && Reply->Success())
    if (const std::optional<TReplyFrame> Behind = Link.NextReply(0)) {
      if (Behind->Command == Command && !Behind->Success()) Reply = Behind;
    } else {
      break;
    }
  return Reply;
}

std::optional<TReplyFrame> TRomSession::ReadReg(quint32 Address) {
  return AskRom(BuildReadRegRequest(Address), RomReadReg, ReplyWaitMs);
}

std::optional<TReplyFrame> TRomSession::FlashBegin(quint32 EraseSize, quint16 BlockCount,
                                                   quint32 Offset, int WaitMs) {
  return AskRom(BuildFlashBeginRequest(EraseSize, BlockCount, Offset), RomFlashBegin, WaitMs);
}

std::optional<TReplyFrame> TRomSession::FlashData(const QByteArray& Request) {
  return AskRom(Request, RomFlashData, ReplyWaitMs);
}

std::optional<TReplyFrame> TRomSession::Upload(const TOnChipProgram& Program) {
  std::optional<TReplyFrame> Reply;
  for (const QByteArray& Request : BuildUploadRequests(Program)) {
    Reply = Ask(Link, Request, quint8(Request.at(2)), ReplyWaitMs);
    if (!Reply || !Reply->Success()) break;
  }
  return Reply;
}

bool TRomSession::Resync(int WaitMs, const std::function<void()>& BootPulse) {
  QElapsedTimer Waited;
  Waited.start();
  for (int Sent = 0; !Link.Stopped() && Waited.elapsed() < WaitMs; ++Sent) {
    if (Sent % SyncsPerBootPulse == 0) BootPulse();
    if (Ask(Link, SyncRequestTemplate, RomSync, SyncIntervalMs)) return true;
  }
  return false;
}
