#include "loader/ReplyRecognition.h"

#include "loader/LoaderCodec.h"

#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <utility>

// Where a reply begins in the received bytes, and what it holds once decoded.
struct TReplyRecognizer::TReplyFrame {
  enum TState { Absent, Incomplete, Malformed, Complete };
  TState State = Absent;
  qsizetype Start = -1;  // position of the prefix in the received bytes
  QByteArray Bytes;      // the decoded reply, ReplyLength bytes, when Complete

  bool Failed() const { return State == Complete && Bytes[ReplyStatusPos] != 0; }
};

namespace {

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

// The first reply in Data that starts with Template's prefix. It ends at the next 0xC0:
// inside a frame that byte only ever appears escaped.
TReplyRecognizer::TReplyFrame TReplyRecognizer::FindReplyFrame(const QByteArray& Data,
                                                               const QByteArray& Template) {
  TReplyFrame frame;
  frame.Start = Data.indexOf(Template.first(ReplyPrefixLength));
  if (frame.Start < 0) return frame;
  const qsizetype end = Data.indexOf('\xC0', frame.Start + ReplyPrefixLength);
  if (end < 0) {
    frame.State = TReplyFrame::Incomplete;
    return frame;
  }
  const auto body = SlipDecode(Data.sliced(frame.Start + 1, end - frame.Start - 1));
  if (!body || body->size() != ReplyLength - 2) {
    frame.State = TReplyFrame::Malformed;
    return frame;
  }
  frame.Bytes = '\xC0' + *body + '\xC0';
  frame.State = TReplyFrame::Complete;
  return frame;
}

void TReplyRecognizer::CommReceiveData(QObject* Sender, const quint8* Buffer,
                                       quint16 BufferLength) {
  Q_UNUSED(Sender);
  QByteArray& received = Record.SerailBufferA;
  received.append(reinterpret_cast<const char*>(Buffer), BufferLength);

  const TReplyFrame begin = FindReplyFrame(received, FlashBeginReplyTemplate);
  const TReplyFrame data = FindReplyFrame(received, FlashDataReplyTemplate);
  const TReplyFrame reg = FindReplyFrame(received, ReadRegReplyTemplate);
  // A successful reply ends in 00 C0; a failed one ends in its error code and C0.
  if (!received.contains(ReplyEndMarker) && !begin.Failed() && !data.Failed() && !reg.Failed())
    return;

  // The module answers a SYNC with 8 frames, which can come in more than one delivery: the
  // handshake is acknowledged once.
  if (Record.RunState != StateBurn && received.contains(SyncReplyTemplate)) {
    Log(QStringLiteral("Note: RQ53 ACK success."));
    Record.RunState = StateBurn;
  }
  if (Accepted(begin, "set base address")) {
    Log(QStringLiteral("Note: Set base address success."));
    Record.LastOperationSuccess = true;
  }
  if (Accepted(data, "flash data")) {
    Log(QStringLiteral("Note: Program flash success."));
    Record.LastOperationSuccess = true;
  }
  if (Accepted(reg, "register read")) {
    ParseRegisterReply(received);
    Record.LastOperationSuccess = true;
  }

  // A reply still arriving keeps its bytes for the next delivery; the rest is done with.
  qsizetype keep = StartOfCutPrefix(received);
  for (const TReplyFrame* frame : {&begin, &data, &reg})
    if (frame->State == TReplyFrame::Incomplete) keep = std::min(keep, frame->Start);
  received.remove(0, keep);
}

// Where the buffer ends in the first bytes of a reply prefix that a delivery cut off (the
// 00 C0 that set off the examination can be a stray 00 right before such a reply's C0);
// the buffer's size when it does not. A lone C0 at the end is taken for the close of the
// frame before it: on its own it cannot be told from the start of the next one.
qsizetype TReplyRecognizer::StartOfCutPrefix(const QByteArray& Data) {
  const qsizetype start = Data.lastIndexOf('\xC0');
  const qsizetype length = Data.size() - start;
  if (start < 0 || length < 2 || length >= ReplyPrefixLength) return Data.size();
  const QByteArray tail = Data.sliced(start);
  for (const QByteArray* reply :
       {&FlashBeginReplyTemplate, &FlashDataReplyTemplate, &ReadRegReplyTemplate})
    if (reply->startsWith(tail)) return start;
  return Data.size();
}

// True for a complete reply with a success status. A failure status is logged with the
// module's error code and recorded, so the waiting job can end the run at once.
bool TReplyRecognizer::Accepted(const TReplyFrame& Frame, const char* Request) {
  if (Frame.State != TReplyFrame::Complete) return false;
  if (!Frame.Failed()) return true;
  const auto code = static_cast<quint8>(Frame.Bytes[ReplyErrorPos]);
  Log(QString::asprintf("Error: RQ53 rejected %s (error 0x%02X).", Request, code));
  Record.LastOperationFailed = true;
  return false;
}

void TReplyRecognizer::ParseRegisterReply(const QByteArray& Data) {
  const TReplyFrame reply = FindReplyFrame(Data, ReadRegReplyTemplate);
  if (reply.State != TReplyFrame::Complete) return;
  const auto value = qFromLittleEndian<quint32>(reply.Bytes.constData() + ReplyValuePos);

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
