// The reply recognition fed arbitrary received bytes, delivered twice: in chunks of the sizes the
// input chooses, and one byte at a time. Checked after every delivery: the bytes held are at most
// the start of one reply. Checked at the end: the frames handed to the worker, in order, the lines
// logged, the handshake's acknowledgement and the bytes left waiting are the same however the
// bytes were split.

#include "loader/ReplyRecognition.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QStringList>

namespace {

struct TFeed {
  explicit TFeed(TRunState State) { Record.RunState = State; }

  void Deliver(const QByteArray& Bytes) {
    Recognizer.CommReceiveData(nullptr, reinterpret_cast<const quint8*>(Bytes.constData()),
                               quint16(Bytes.size()));
    FUZZ_CHECK(Recognizer.HeldBytes() <= MaxReplyFrameBytes);
    while (const std::optional<TReplyFrame> Frame = Record.Replies.Next(0))
      Frames << QString::asprintf("%02X %08X %02X %02X ", Frame->Command, Frame->Value,
                                  Frame->Status, Frame->Error) +
                    QString::fromLatin1(Frame->Answer.toHex());
  }

  TRunRecord Record;
  QStringList Log;
  QStringList Frames;
  TReplyRecognizer Recognizer{Record, [this](const QString& Line) { Log << Line; }};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TFuzzInput Input(Data, Size);
  const TRunState State = Input.Byte() % 2 ? StateHandshake : StateJobRunning;
  TFeed Chunked(State), Bytewise(State);
  QByteArray Stream;
  while (!Input.Empty()) {
    const QByteArray Chunk = Input.Bytes(std::size_t(Input.Number(1, 600)));
    Chunked.Deliver(Chunk);
    Stream += Chunk;
  }
  for (const char Byte : Stream) Bytewise.Deliver(QByteArray(1, Byte));
  // A handshake answered in the middle of one chunk hands the rest of that chunk to nobody.
  if (State == StateJobRunning) {
    FUZZ_CHECK(Chunked.Frames == Bytewise.Frames);
    FUZZ_CHECK(Chunked.Log == Bytewise.Log);
  }
  FUZZ_CHECK(Chunked.Record.RunState == Bytewise.Record.RunState);
  FUZZ_CHECK(Chunked.Recognizer.HeldBytes() == Bytewise.Recognizer.HeldBytes());
  return 0;
}
