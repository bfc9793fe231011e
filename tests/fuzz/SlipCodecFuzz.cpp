// SLIP escaping and the request codec with arbitrary bytes. Decoding undoes escaping; a framed
// packet holds 0xC0 only as its two frame bytes. A FLASH_DATA block cut from the input as the
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
  const QByteArray Framed = ReframeEscaped('\xC0' + Bytes + '\xC0');
  FUZZ_CHECK(Framed.startsWith('\xC0') && Framed.endsWith('\xC0') && Framed.count('\xC0') == 2);
  FUZZ_CHECK(SlipDecode(Framed.sliced(1, Framed.size() - 2)) == Bytes);
}

// Hands Packet to the module and its answers to a recognizer waiting on Address; true when the
// answer is recognised as a success.
bool Answered(TSimulatedModule& Module, const QByteArray& Packet, TRunRecord& Record,
              quint32 Address = 0) {
  TReplyRecognizer Recognizer(Record, [](const QString&) {});
  Record.LastOperationSuccess = false;
  Record.CurrentAddress = Address;
  for (const TSimDelivery& Delivery : Module.Receive(Packet))
    Recognizer.CommReceiveData(nullptr, reinterpret_cast<const quint8*>(Delivery.Bytes.constData()),
                               quint16(Delivery.Bytes.size()));
  return Record.LastOperationSuccess;
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
  TRunRecord Record;
  FUZZ_CHECK(Answered(Module, BuildFlashBeginRequest(quint32(Block.size()), 1, Offset), Record));
  FUZZ_CHECK(Answered(Module, BuildFlashDataRequest(Block, 0), Record));
  FUZZ_CHECK(Module.Flash().mid(Offset, Block.size()) == Block);

  const quint32 Register = MACRegisterAddresses[1];
  Module.SetRegister(Register, Value);
  FUZZ_CHECK(Answered(Module, BuildReadRegRequest(Register), Record, Register));
  FUZZ_CHECK(Record.MACReg1 == Value);
  return 0;
}
