#include "loader/ReplyRecognition.h"

#include "loader/LoaderCodec.h"

#include <algorithm>
#include <utility>

namespace {

// The boot ROM's answer to SYNC: its pattern as the value, success.
constexpr quint32 SyncValue = 0x20120707;

bool SyncAcknowledged(const TReplyFrame& Reply) {
  return Reply.Command == RomSync && Reply.Value == SyncValue && Reply.Success();
}

}  // namespace

TReplyRecognizer::TReplyRecognizer(TRunRecord& Record, TLogSink Log)
    : Record(Record), Log(std::move(Log)) {}

void TReplyRecognizer::CommReceiveData(QObject* Sender, const quint8* Buffer,
                                       quint16 BufferLength) {
  Q_UNUSED(Sender);
  ReceivedBytes.append(reinterpret_cast<const char*>(Buffer), BufferLength);
  const std::vector<TReplyFrame> Replies = TakeReplyFrames(ReceivedBytes);
  switch (Record.RunState) {
    case StateHandshake:
      // The module answers a SYNC with 8 frames, which can come in more than one delivery: the
      // handshake is acknowledged once.
      if (std::any_of(Replies.begin(), Replies.end(), SyncAcknowledged)) {
        Log(QStringLiteral("Note: RQ53 ACK success."));
        Record.RunState = StateJobRunning;
      }
      break;
    case StateJobRunning:
      for (const TReplyFrame& Reply : Replies) LogRomReply(Reply);
      Record.Replies.Put(Replies);
      break;
    case StateJobEnded:
    case StateFinished:
      break;
  }
}

// A refusal is logged with the module's error code; a success of a flashing request with its note.
void TReplyRecognizer::LogRomReply(const TReplyFrame& Reply) {
  const char* Request = Reply.Command == RomFlashBegin  ? "set base address"
                        : Reply.Command == RomFlashData ? "flash data"
                        : Reply.Command == RomReadReg   ? "register read"
                                                        : nullptr;
  if (!Request) return;
  if (!Reply.Success())
    Log(QString::asprintf("Error: RQ53 rejected %s (error 0x%02X).", Request, Reply.Error));
  else if (Reply.Command == RomFlashBegin)
    Log(QStringLiteral("Note: Set base address success."));
  else if (Reply.Command == RomFlashData)
    Log(QStringLiteral("Note: Program flash success."));
}
