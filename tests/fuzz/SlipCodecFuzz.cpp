// SLIP escaping and the request codec with arbitrary bytes. Decoding undoes escaping; a request
// frame holds 0xC0 only as its two frame bytes. A FLASH_DATA block cut from the input as the
// flashing job cuts it is written by the simulated module (which shares no code with the codec)
// exactly where FLASH_BEGIN placed it, and a register value from the input comes back through the
// module's escaped reply and the reply recognition unchanged.

#include "loader/LoaderCodec.h"
#include "loader/ReplyRecognition.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <QtEndian>

namespace {

constexpr quint32 FlashSize = 0x10000;

void CheckEscaping(const QByteArray& Bytes) {
  const QByteArray Escaped = SlipEscape(Bytes);
  FUZZ_CHECK(!Escaped.contains('\xC0'));
  FUZZ_CHECK(SlipDecode(Escaped) == Bytes);
  const auto Decoded = SlipDecode(Bytes);
  if (Decoded && !Bytes.contains('\xC0')) FUZZ_CHECK(SlipEscape(*Decoded) == Bytes);
  const QByteArray Framed = EncodeRequest(0x42, Bytes, 0xC0DBC0DB);
  FUZZ_CHECK(Framed.startsWith('\xC0') && Framed.endsWith('\xC0') && Framed.count('\xC0') == 2);
  const auto Body = SlipDecode(Framed.sliced(1, Framed.size() - 2));
  FUZZ_CHECK(Body && Body->sliced(8) == Bytes);
}

// Hands Packet to the module and its answers to a recognizer; the reply the worker would take.
std::optional<TReplyFrame> Answer(TSimulatedModule& Module, const QByteArray& Packet) {
  TRunRecord Record;
  Record.RunState = StateJobRunning;
  TReplyRecognizer Recognizer(Record, [](const QString&) {});
  for (const TSimDelivery& Delivery : Module.Receive(Packet))
    Recognizer.CommReceiveData(nullptr, reinterpret_cast<const quint8*>(Delivery.Bytes.constData()),
                               quint16(Delivery.Bytes.size()));
  return Record.Replies.Next(0);
}

bool Succeeded(TSimulatedModule& Module, const QByteArray& Packet) {
  const std::optional<TReplyFrame> Reply = Answer(Module, Packet);
  return Reply && Reply->Success();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TFuzzInput Input(Data, Size);
  const quint32 Offset =
      Input.Byte() % (FlashSize / TSimulatedModule::SectorSize) * TSimulatedModule::SectorSize;
  const auto Value = qFromLittleEndian<quint32>(Input.Bytes(4).leftJustified(4, '\0').data());
  const QByteArray Bytes = Input.Rest();
  CheckEscaping(Bytes);

  QByteArray Block = Bytes.left(1024);
  Block.append((4 - Block.size() % 4) % 4, '\xFF');
  TSimulatedModule Module(FlashSize);
  FUZZ_CHECK(Succeeded(Module, BuildFlashBeginRequest(quint32(Block.size()), 1, Offset)));
  FUZZ_CHECK(Succeeded(Module, BuildFlashDataRequest(Block, 0)));
  FUZZ_CHECK(Module.Flash().mid(Offset, Block.size()) == Block);

  constexpr quint32 Register = 0x3FF00054;
  Module.SetRegister(Register, Value);
  const std::optional<TReplyFrame> Read = Answer(Module, BuildReadRegRequest(Register));
  FUZZ_CHECK(Read && Read->Success() && Read->Value == Value);
  return 0;
}
