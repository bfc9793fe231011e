#include "loader/ReplyRecognition.h"

#include "loader/LoaderCodec.h"

#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <utility>

// A complete reply frame as received, SLIP-decoded.
struct TReplyRecognizer::TReplyFrame {
  QByteArray Bytes;   // ReplyLength bytes, frame bytes included
  qsizetype End = 0;  // position of its closing frame byte in the received bytes

  bool Is(const QByteArray& Template) const {
    return Bytes.startsWith(Template.first(ReplyPrefixLength));
  }
  // The first status byte alone tells success (00) from failure. The second keeps the last
  // error code the module met, so a success can end in 00 05 as well as in 00 00.
  bool Failed() const { return Bytes[ReplyStatusPos] != 0; }
};

namespace {

constexpr char FrameByte = '\xC0';

quint8 ByteOf(quint32 Value, int Shift) { return static_cast<quint8>(Value >> Shift); }

// Upper-case hexadecimal, at least two digits, joined by Separator. AddToFirst is added
// to the first byte's value (the soft-AP address is the station's with its first byte + 2).
QString MACText(const std::array<quint8, 6>& MAC, int AddToFirst, const QString& Separator) {
  QStringList parts;
  for (std::size_t i = 0; i < MAC.size(); ++i) {
    const int value = MAC[i] + (i == 0 ? AddToFirst : 0);
    parts << QString::number(value, 16).toUpper().rightJustified(2, u'0');
  }
  return parts.join(Separator);
}

}  // namespace

TReplyRecognizer::TReplyRecognizer(TRunRecord& Record, TLogSink Log)
    : Record(Record), Log(std::move(Log)) {}

void TReplyRecognizer::CommReceiveData(QObject* Sender, const quint8* Buffer,
                                       quint16 BufferLength) {
  Q_UNUSED(Sender);
  QByteArray& received = Record.SerailBufferA;
  received.append(reinterpret_cast<const char*>(Buffer), BufferLength);
  if (Record.TalkToLoader) {
    Record.LoaderReplies.Put(TakeReplyFrames(received));
    return;
  }
  const std::vector<TReplyFrame> replies = CompleteReplies(received);

  const auto syncAcknowledged = [](const TReplyFrame& Reply) {
    return Reply.Bytes.first(ReplyErrorPos) == SyncReplyTemplate.first(ReplyErrorPos);
  };
  // The module answers a SYNC with 8 frames, which can come in more than one delivery: the
  // handshake is acknowledged once.
  if (Record.RunState != StateBurn &&
      std::any_of(replies.begin(), replies.end(), syncAcknowledged)) {
    Log(QStringLiteral("Note: RQ53 ACK success."));
    Record.RunState = StateBurn;
  }
  if (Judge(replies, FlashBeginReplyTemplate, "set base address",
            QStringLiteral("Note: Set base address success.")))
    Record.LastOperationSuccess = true;
  if (Judge(replies, FlashDataReplyTemplate, "flash data",
            QStringLiteral("Note: Program flash success.")))
    Record.LastOperationSuccess = true;
  if (Judge(replies, ReadRegReplyTemplate, "register read", QString())) {
    ParseRegisterReply(received);
    Record.LastOperationSuccess = true;
  }
  KeepReplyStart(received, replies.empty() ? -1 : replies.back().End);
}

// Every complete frame in Data that decodes to one of the four replies' length and prefix. A
// frame's body is what stands between two frame bytes (inside a frame 0xC0 only ever comes
// escaped); bytes before the first frame byte have lost their frame start. The module opens
// every frame with a frame byte of its own, so the byte that closed a reply opens nothing.
std::vector<TReplyRecognizer::TReplyFrame> TReplyRecognizer::CompleteReplies(
    const QByteArray& Data) {
  std::vector<TReplyFrame> replies;
  qsizetype start = Data.indexOf(FrameByte);
  while (start >= 0) {
    const qsizetype end = Data.indexOf(FrameByte, start + 1);
    if (end < 0) break;
    // A body too long or too short for a reply is not decoded at all.
    const qsizetype length = end - start - 1;
    const auto body = length >= ReplyLength - 2 && length < ReplyHoldLimit
                          ? SlipDecode(Data.sliced(start + 1, length))
                          : std::nullopt;
    const bool reply = body && body->size() == ReplyLength - 2 && CouldStartReply(*body);
    if (reply) replies.push_back({FrameByte + *body + FrameByte, end});
    start = reply ? Data.indexOf(FrameByte, end + 1) : end;
  }
  return replies;
}

// True when Tail, the bytes after a frame byte, can still grow into one of the four replies.
bool TReplyRecognizer::CouldStartReply(const QByteArray& Tail) {
  if (Tail.size() >= ReplyHoldLimit) return false;
  const qsizetype known = std::min(Tail.size(), ReplyPrefixLength - 1);
  for (const QByteArray* reply : {&SyncReplyTemplate, &FlashBeginReplyTemplate,
                                  &FlashDataReplyTemplate, &ReadRegReplyTemplate})
    if (reply->sliced(1, known) == Tail.first(known)) return true;
  return false;
}

// Keeps the start of a reply still arriving: the bytes from the last frame byte on, when they
// can still grow into a reply. The frame byte that closed the last reply opens nothing; any
// other may open the next frame.
void TReplyRecognizer::KeepReplyStart(QByteArray& Received, qsizetype EndOfLastReply) {
  const qsizetype start = Received.lastIndexOf(FrameByte);
  if (start < 0 || start == EndOfLastReply || !CouldStartReply(Received.sliced(start + 1)))
    Received.clear();
  else
    Received.remove(0, start);
}

// Judges every reply of Template's kind in the order received. A failure status is logged
// with the module's error code and recorded, so the waiting job can end the run at once.
// True when at least one came with a success status; Note, if any, is logged once for them.
bool TReplyRecognizer::Judge(const std::vector<TReplyFrame>& Replies, const QByteArray& Template,
                             const char* Request, const QString& Note) {
  bool succeeded = false;
  for (const TReplyFrame& reply : Replies) {
    if (!reply.Is(Template)) continue;
    if (reply.Failed()) {
      const auto code = static_cast<quint8>(reply.Bytes[ReplyErrorPos]);
      Log(QString::asprintf("Error: RQ53 rejected %s (error 0x%02X).", Request, code));
      Record.LastErrorCode = code;
      Record.LastOperationFailed = true;
    } else if (!succeeded) {
      succeeded = true;
      if (!Note.isEmpty()) Log(Note);
    }
  }
  return succeeded;
}

void TReplyRecognizer::ParseRegisterReply(const QByteArray& Data) {
  const std::vector<TReplyFrame> replies = CompleteReplies(Data);
  const auto reply = std::find_if(replies.begin(), replies.end(), [](const TReplyFrame& Reply) {
    return Reply.Is(ReadRegReplyTemplate) && !Reply.Failed();
  });
  if (reply == replies.end()) return;
  const auto value = qFromLittleEndian<quint32>(reply->Bytes.constData() + ReplyValuePos);

  switch (Record.CurrentAddress) {
    case MACRegisterAddresses[0]:
      Record.MACReg0 = value;
      Record.APMACStr.clear();
      Record.STAMACStr.clear();
      break;
    case MACRegisterAddresses[1]:
      Record.MACReg1 = value;
      Record.MACFlag = ByteOf(value, 16);
      break;
    case MACRegisterAddresses[2]:
      Record.MACReg2 = value;
      Record.BitFlag = (value >> 12) & 1;
      break;
    case MACRegisterAddresses[3]:
      Record.MACReg3 = value;
      DeriveMACAddress();
      break;
    default:
      break;
  }
}

void TReplyRecognizer::DeriveMACAddress() {
  const quint32 reg3 = Record.MACReg3;
  std::array<quint8, 3> vendor{0x18, 0xFE, 0x34};
  if (Record.BitFlag != 0) {
    vendor = {ByteOf(reg3, 16), ByteOf(reg3, 8), ByteOf(reg3, 0)};
  } else if (Record.MACFlag != 0) {
    vendor = {0xAC, 0xD0, 0x74};
  }
  // The module's last MAC byte is bits 24-31 of the first word, whichever the vendor
  // prefix; bits 16-23 hold a check byte that is no part of the address.
  Record.MACAddr = {vendor[0],
                    vendor[1],
                    vendor[2],
                    ByteOf(Record.MACReg1, 8),
                    ByteOf(Record.MACReg1, 0),
                    ByteOf(Record.MACReg0, 24)};

  Record.APMACStr = MACText(Record.MACAddr, 2, QStringLiteral("-"));
  Record.STAMACStr = MACText(Record.MACAddr, 0, QStringLiteral(":"));
}
