// The reply recognition fed arbitrary received bytes, delivered twice: in chunks of the sizes the
// input chooses, and one byte at a time. Checked after every delivery: the receive buffer holds at
// most the start of one reply, and one byte (which completes at most one frame) never both
// accepts and refuses a reply. Checked at the end: the refusals logged, the SYNC acknowledgement
// and the bytes left waiting are the same however the bytes were split (one delivery logs its
// refusals in the order of the four tests, not of arrival, so only their order may differ).

#include "loader/ReplyRecognition.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QStringList>

namespace {

struct TFeed {
  explicit TFeed(quint32 Address) {
    Record.RunState = StateHandshake;
    Record.CurrentAddress = Address;
  }

  // A delivery as the flashing job awaits it: both reply flags cleared first.
  void Deliver(const QByteArray& Bytes) {
    Record.LastOperationSuccess = false;
    Record.LastOperationFailed = false;
    Recognizer.CommReceiveData(nullptr, reinterpret_cast<const quint8*>(Bytes.constData()),
                               quint16(Bytes.size()));
    const QByteArray& Held = Record.SerailBufferA;
    FUZZ_CHECK(Held.size() <= ReplyHoldLimit);
    FUZZ_CHECK(Held.isEmpty() || (Held.startsWith('\xC0') && Held.count('\xC0') == 1));
    Successes += Record.LastOperationSuccess ? 1 : 0;
  }

  QStringList Refusals() const {
    QStringList Lines = Log.filter(QStringLiteral("Error: "));
    Lines.sort();
    return Lines;
  }

  TRunRecord Record;
  QStringList Log;
  TReplyRecognizer Recognizer{Record, [this](const QString& Line) { Log << Line; }};
  int Successes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TFuzzInput Input(Data, Size);
  const quint32 Address = MACRegisterAddresses[Input.Byte() % MACRegisterAddresses.size()];
  TFeed Chunked(Address), Bytewise(Address);
  QByteArray Stream;
  while (!Input.Empty()) {
    const QByteArray Chunk = Input.Bytes(std::size_t(Input.Number(1, 600)));
    Chunked.Deliver(Chunk);
    Stream += Chunk;
  }
  for (const char Byte : Stream) {
    Bytewise.Deliver(QByteArray(1, Byte));
    FUZZ_CHECK(!(Bytewise.Record.LastOperationSuccess && Bytewise.Record.LastOperationFailed));
  }
  FUZZ_CHECK(Chunked.Refusals() == Bytewise.Refusals());
  FUZZ_CHECK(Chunked.Record.RunState == Bytewise.Record.RunState);
  FUZZ_CHECK(Chunked.Record.SerailBufferA == Bytewise.Record.SerailBufferA);
  FUZZ_CHECK(Chunked.Successes <= Bytewise.Successes);
  return 0;
}
