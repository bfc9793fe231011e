#include "loader/FrameCodec.h"

#include <QtEndian>

namespace {

constexpr char Escape = '\xDB';
constexpr char EscapedFrameEnd = '\xDC';
constexpr char EscapedEscape = '\xDD';
constexpr char RequestDirection = 0x00;
constexpr char ReplyDirection = 0x01;
constexpr qsizetype HeaderSize = 8;  // direction, command, length, checksum or value
constexpr qsizetype StatusSize = 2;

template <typename T>
void AppendLE(QByteArray& Bytes, T Value) {
  char Le[sizeof(T)];
  qToLittleEndian<T>(Value, Le);
  Bytes.append(Le, sizeof(T));
}

// A decoded frame body (between the frame bytes) that is a reply: its header, data length and
// status bytes agree.
std::optional<TReplyFrame> ParseReply(const QByteArray& Body) {
  if (Body.size() < HeaderSize + StatusSize || Body[0] != ReplyDirection) return std::nullopt;
  const auto Length = qFromLittleEndian<quint16>(Body.constData() + 2);
  if (Length != Body.size() - HeaderSize || Length < StatusSize) return std::nullopt;
  TReplyFrame Reply;
  Reply.Command = quint8(Body[1]);
  Reply.Value = qFromLittleEndian<quint32>(Body.constData() + 4);
  Reply.Answer = Body.sliced(HeaderSize, Length - StatusSize);
  Reply.Status = quint8(Body[Body.size() - 2]);
  Reply.Error = quint8(Body[Body.size() - 1]);
  return Reply;
}

}  // namespace

QByteArray SlipEscape(const QByteArray& Data) {
  QByteArray Out;
  Out.reserve(Data.size() + Data.count(SlipFrameEnd) + Data.count(Escape));
  for (const char Byte : Data) {
    if (Byte == SlipFrameEnd)
      Out.append(Escape).append(EscapedFrameEnd);
    else if (Byte == Escape)
      Out.append(Escape).append(EscapedEscape);
    else
      Out.append(Byte);
  }
  return Out;
}

std::optional<QByteArray> SlipDecode(const QByteArray& Data) {
  QByteArray Out;
  Out.reserve(Data.size());
  for (qsizetype i = 0; i < Data.size(); ++i) {
    if (Data[i] != Escape) {
      Out.append(Data[i]);
      continue;
    }
    const char Next = i + 1 < Data.size() ? Data[++i] : '\0';
    if (Next == EscapedFrameEnd)
      Out.append(SlipFrameEnd);
    else if (Next == EscapedEscape)
      Out.append(Escape);
    else
      return std::nullopt;
  }
  return Out;
}

QByteArray LittleEndianWords(std::initializer_list<quint32> Values) {
  QByteArray Bytes;
  for (const quint32 Value : Values) AppendLE<quint32>(Bytes, Value);
  return Bytes;
}

quint8 LoaderChecksum(const QByteArray& Data) {
  quint8 Sum = 0xEF;
  for (const char Byte : Data) Sum ^= static_cast<quint8>(Byte);
  return Sum;
}

QByteArray EncodeRequest(quint8 Command, const QByteArray& Data, quint32 Checksum) {
  QByteArray Body;
  Body.reserve(HeaderSize + Data.size());
  Body.append(RequestDirection).append(char(Command));
  AppendLE<quint16>(Body, quint16(Data.size()));
  AppendLE<quint32>(Body, Checksum);
  Body.append(Data);
  return SlipFrameEnd + SlipEscape(Body) + SlipFrameEnd;
}

std::vector<TReplyFrame> TakeReplyFrames(QByteArray& Received) {
  std::vector<TReplyFrame> Replies;
  qsizetype Start = Received.indexOf(SlipFrameEnd);
  while (Start >= 0) {
    const qsizetype End = Received.indexOf(SlipFrameEnd, Start + 1);
    if (End < 0) break;
    const qsizetype Length = End - Start - 1;
    const std::optional<QByteArray> Body =
        Length <= MaxReplyFrameBytes ? SlipDecode(Received.sliced(Start + 1, Length))
                                     : std::nullopt;
    const std::optional<TReplyFrame> Reply = Body ? ParseReply(*Body) : std::nullopt;
    if (Reply) Replies.push_back(*Reply);
    // The module opens every frame with a frame byte of its own: the one that closed a reply
    // opens nothing, the one that closed noise may open the next reply.
    Start = Reply ? Received.indexOf(SlipFrameEnd, End + 1) : End;
  }
  if (Start < 0 || Received.size() - Start > MaxReplyFrameBytes)
    Received.clear();
  else
    Received.remove(0, Start);
  return Replies;
}
