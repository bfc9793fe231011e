// The simulated module fed arbitrary bytes in arbitrary pieces, with misbehaviours, resets and line
// rates the input chooses. Checked: it keeps no more requests than its history, its flash keeps its
// size, and every request it takes is answered as told: with no garbage asked for, what it sends
// is exactly the reply frames of the requests it answered (eight for a SYNC that succeeded).

#include "tests/fuzz/FuzzSupport.h"
#include "tools/rq53sim/SimulatedModule.h"

namespace {

constexpr quint32 FlashSize = 0x20000;
constexpr quint32 Rates[] = {9600, 74880, 115200, 576000};

TSimRequestPick Pick(TFuzzInput& Input) {
  const quint8 Commands[] = {0, SimSync, SimReadReg, SimFlashBegin, SimFlashData};
  return {Commands[Input.Byte() % 5], Input.Number(-1, 3), Input.Number(0, 4)};
}

// Splits Bytes into SLIP frames and counts those that are replies: C0, direction 01, a command,
// data length 2, value, status, C0. False when anything else is in them.
bool CountReplies(const QByteArray& Bytes, int& Replies) {
  for (qsizetype Start = 0; Start < Bytes.size();) {
    const qsizetype End = Bytes.indexOf('\xC0', Start + 1);
    if (Bytes[Start] != '\xC0' || End < 0) return false;
    const QByteArray Body = Bytes.sliced(Start + 1, End - Start - 1);
    QByteArray Decoded = Body;
    Decoded.replace("\xDB\xDC", "\xC0").replace("\xDB\xDD", "\xDB");
    if (Decoded.size() != 10 || Decoded[0] != 0x01 || Decoded[2] != 0x02 || Decoded[3] != 0)
      return false;
    ++Replies;
    Start = End + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TFuzzInput Input(Data, Size);
  TSimulatedModule Module(FlashSize);
  const std::size_t History = Input.Byte() % 8;
  Module.SetRequestHistory(History);
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  const std::uint8_t Choice = Input.Byte();
  if (Choice & 1) Bad.NoReply = Pick(Input);
  if (Choice & 2) Bad.Fail = Pick(Input);
  if (Choice & 4) Bad.Unplug = Pick(Input);
  if (Choice & 8) Bad.SplitPieces = Input.Number(1, 5);
  const bool Garbled = Choice & 0x30;
  if (Choice & 0x10) Bad.GarbageBeforeReply = Input.Bytes(Input.Byte() % 4);
  if (Choice & 0x20) Bad.ReplyRate = Rates[Input.Byte() % 4];
  Bad.FailCode = Input.Byte();

  while (!Input.Empty()) {
    const std::uint8_t Step = Input.Byte();
    if (Step < 8) {
      FUZZ_CHECK(Module.Reset().size() == 1);
      continue;
    }
    if (Step < 16) {
      Module.SetLineRate(Rates[Step % 4]);
      continue;
    }
    const quint64 CountBefore = Module.RequestCount();
    std::vector<TSimRequest> Taken;
    const std::vector<TSimDelivery> Out = Module.Receive(Input.Bytes(Step), &Taken);
    FUZZ_CHECK(Module.RequestCount() == CountBefore + Taken.size());
    FUZZ_CHECK(Module.Requests().size() <= History);
    FUZZ_CHECK(Module.Flash().size() == qsizetype(FlashSize));
    int Expected = 0, Sent = 0;
    QByteArray Bytes;
    for (const TSimRequest& Request : Taken)
      if (Request.Replied)
        Expected += Request.Command == SimSync && Request.Status == 0 && !Request.Short ? 8 : 1;
    for (const TSimDelivery& Delivery : Out) Bytes += Delivery.Bytes;
    if (!Garbled) FUZZ_CHECK(CountReplies(Bytes, Sent) && Sent == Expected);
  }
  return 0;
}
