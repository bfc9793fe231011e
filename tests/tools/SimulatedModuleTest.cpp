// The simulated boot ROM, fed with request frames written out from the packet tables.

#include "tools/rq53sim/SimulatedModule.h"

#include "tests/tools/SimFrames.h"

#include <gtest/gtest.h>

namespace {

using namespace SimFrames;

QByteArray Joined(const std::vector<TSimDelivery>& Deliveries) {
  QByteArray All;
  for (const TSimDelivery& Delivery : Deliveries) All += Delivery.Bytes;
  return All;
}

QByteArray Failure(quint8 Command, quint8 Error) { return Reply(Command, 0x20120707, 1, Error); }

class SimulatedModuleTest : public ::testing::Test {
 protected:
  QByteArray Send(const QByteArray& Bytes) { return Joined(Module.Receive(Bytes)); }

  TSimulatedModule Module;
};

TEST_F(SimulatedModuleTest, SyncAndRegisterReads) {
  const std::vector<TSimDelivery> Out = Module.Receive(SyncRequest);
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].DelayMs, 0);
  EXPECT_EQ(Out[0].Bytes, SyncReply.repeated(8));
  QByteArray BadSync = SyncRequest;
  BadSync[20] = 0x54;
  EXPECT_EQ(Send(BadSync), Hex("C0 01 08 02 00 07 07 12 20 01 05 C0")) << "one frame only";

  Module.SetEfuseWords({0x11223344, 0x55667788, 0x99AABBCC, 0xA1B2C3D4});
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 5C 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 D4 C3 B2 A1 00 00 C0"));
  EXPECT_EQ(Send(ReadReg(0x60000000)), Reply(0x0A, 0)) << "a register never set";
  QByteArray Long = ReadReg(0x3FF00050);
  Long[3] = 5;
  EXPECT_EQ(Send(Long), Reply(0x0A, 0, 1, SimErrorInvalidMessage))
      << "a data length that disagrees with the data";
}

TEST_F(SimulatedModuleTest, FlashRepliesRepeatTheLastRegisterValueEscaped) {
  const QByteArray Begin =
      Hex("C0 00 02 10 00 78 01 3A 00 E8 03 00 00 01 00 00 00 00 04 00 00 00 00 00 00 C0");
  EXPECT_EQ(Send(Begin), Hex("C0 01 02 02 00 07 07 12 20 00 00 C0"));
  Module.SetRegister(0x3FF0005C, 0x00C0DB01);
  EXPECT_EQ(Send(ReadReg(0x3FF0005C)), Hex("C0 01 0A 02 00 01 DB DD DB DC 00 00 00 C0"));
  EXPECT_EQ(Send(Begin), Hex("C0 01 02 02 00 01 DB DD DB DC 00 00 00 C0"));
  EXPECT_EQ(Send(FlashData(Hex("01020304"), 0)), Reply(0x03, 0x00C0DB01));
}

TEST_F(SimulatedModuleTest, FlashBeginErasesWholeSectorsAndMoreWithinTheFlash) {
  const QByteArray Erased(0x1000, char(0xFF)), Kept(0x1000, 0x00);
  Module.PresetFlash(0, Kept.repeated(5));
  Module.Timing().EraseMsPerSector = 30;
  const std::vector<TSimDelivery> Out = Module.Receive(FlashBegin(1000, 1, 0));
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].DelayMs, 60) << "two sectors erased before the reply";
  EXPECT_EQ(Module.Flash().left(0x5000), Erased.repeated(2) + Kept.repeated(3));

  Module.SetExtraEraseSectors(0);
  Module.PresetFlash(0, Kept.repeated(5));
  Send(FlashBegin(0x1001, 5, 0x2FFF));  // touches the sectors at 0x2000 and 0x3000 only
  EXPECT_EQ(Module.Flash().left(0x5000), Kept.repeated(2) + Erased.repeated(2) + Kept);

  TSimulatedModule Small(0x10000);
  Small.PresetFlash(0xF000, Kept);
  EXPECT_EQ(Joined(Small.Receive(FlashBegin(0x1001, 5, 0xF000))), Failure(0x02, 5));
  EXPECT_EQ(Small.Flash().mid(0xF000), Kept) << "nothing erased";
  EXPECT_EQ(Joined(Small.Receive(FlashBegin(0x1000, 4, 0xF000))), Reply(0x02));
  EXPECT_EQ(Small.Flash().mid(0xF000), Erased) << "the extra sector past the end is left out";
  EXPECT_EQ(Small.Flash().size(), 0x10000);
}

class FlashDataTest : public SimulatedModuleTest {
 protected:
  void SetUp() override { ASSERT_EQ(Send(FlashBegin(4, 1, 0x1000)), Reply(0x02)); }
  QByteArray Written() const { return Module.Flash().mid(0x1000, 4); }
};

TEST_F(FlashDataTest, BlocksAreCheckedBeforeTheyAreWritten) {
  const QByteArray Good = Hex(
      "C0 00 03 14 00 CD 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 DE AD BE EF C0");
  QByteArray BadSum = Good, LengthField = Good, HeaderLength = Good;
  BadSum[5] = char(0xCE);
  LengthField[9] = 8;
  HeaderLength[3] = 0x15;
  const struct {
    const char* What;
    QByteArray Frame;
    QByteArray Expected;
  } Cases[] = {
      {"checksum", BadSum, Hex("C0 01 03 02 00 07 07 12 20 01 07 C0")},
      {"sequence 1 where 0 is due", FlashData(Hex("DEADBEEF"), 1), Failure(0x03, 5)},
      {"block length field", LengthField, Failure(0x03, 5)},
      {"header length", HeaderLength, Failure(0x03, 5)},
  };
  for (const auto& Case : Cases) {
    EXPECT_EQ(Send(Case.Frame), Case.Expected) << Case.What;
    EXPECT_EQ(Written(), Hex("FFFFFFFF")) << Case.What;
  }
  Module.Timing().WriteMsPerBlock = 4;
  const std::vector<TSimDelivery> Out = Module.Receive(Good);
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Bytes, Reply(0x03));
  EXPECT_EQ(Out[0].DelayMs, 4);
  EXPECT_EQ(Send(FlashData(Hex("05060708"), 1)), Failure(0x03, 5)) << "beyond the one announced";
  EXPECT_EQ(Module.Flash().mid(0x0FFF, 0x406), Hex("FF DEADBEEF") + QByteArray(0x401, char(0xFF)));
}

TEST_F(FlashDataTest, EscapedBytesAreDecoded) {
  // Block C0 DB 00 11 (checksum E5), escaped in the data.
  EXPECT_EQ(Send(Hex("C0 00 03 14 00 E5 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                     "DB DC DB DD 00 11 C0")),
            Reply(0x03));
  EXPECT_EQ(Written(), Hex("C0 DB 00 11"));
  Send(FlashBegin(4, 1, 0x1000));
  EXPECT_EQ(Send(FlashData(Hex("2F 00 00 00"), 0)), Reply(0x03)) << "checksum C0, escaped";
  EXPECT_EQ(Written(), Hex("2F 00 00 00"));
}

TEST_F(FlashDataTest, ResetForgetsTheFlashJobAndSendsTheBanner) {
  Module.SetLineRate(115200);
  Send(ReadReg(0x3FF00050));
  const std::vector<TSimDelivery> Banner = Module.Reset();
  ASSERT_EQ(Banner.size(), 1u);
  EXPECT_EQ(Banner[0].Bytes, SimMisreadAtRate(TSimulatedModule::BannerText(), 74880, 115200));
  EXPECT_EQ(Send(FlashData(Hex("01020304"), 0)), Failure(0x03, 5)) << "nor the value last read";
  EXPECT_EQ(Joined(TSimulatedModule().Receive(FlashData(Hex("01020304"), 0))), Failure(0x03, 5))
      << "nor is FLASH_DATA taken before any FLASH_BEGIN";
}

TEST_F(SimulatedModuleTest, WritingOverUnerasedFlashOnlyClearsBits) {
  Module.SetExtraEraseSectors(0);
  Module.PresetFlash(0x3000, Hex("0F 0F 0F 0F"));
  Send(FlashBegin(4, 2, 0x2C00));  // erases the sector at 0x2000 only
  Send(FlashData(QByteArray(1024, char(0xFF)), 0));
  EXPECT_EQ(Send(FlashData(Hex("F3 F3 F3 F3"), 1)), Reply(0x03));
  EXPECT_EQ(Module.Flash().mid(0x3000, 4), Hex("03 03 03 03"));
}

TEST_F(SimulatedModuleTest, FramingNoiseAndWhatIsNoRequest) {
  for (int i = 0; i < SyncRequest.size() - 1; ++i)
    EXPECT_TRUE(Module.Receive(SyncRequest.mid(i, 1)).empty());
  EXPECT_EQ(Send(SyncRequest.right(1)), SyncReply.repeated(8));
  EXPECT_EQ(Send(Hex("12 34 55") + SyncRequest + Hex("56 00 0A")), SyncReply.repeated(8));
  EXPECT_EQ(Send(SyncRequest + SyncRequest), SyncReply.repeated(16)) << "frames back to back";
  EXPECT_EQ(Send(Hex("C0") + SyncRequest), SyncReply.repeated(8)) << "two frame bytes in a row";
  EXPECT_EQ(Send(Hex("C0 00 0A DB 00 12 C0 55") + SyncRequest), SyncReply.repeated(8))
      << "a broken escape drops its frame only";

  const std::size_t Taken = Module.Requests().size();
  EXPECT_TRUE(Send(SyncReply).isEmpty()) << "a reply frame";
  EXPECT_TRUE(Send(Hex("C0 00 08 24 00 C0")).isEmpty()) << "a frame shorter than a header";
  EXPECT_TRUE(Send(Slip(QByteArray(0x4001, 0))).isEmpty()) << "a frame too long for the ROM";
  EXPECT_EQ(Module.Requests().size(), Taken);
  EXPECT_EQ(Send(Hex("C0 00 04 00 00 00 00 00 00 C0")), Failure(0x04, 5)) << "an unknown command";
}

TEST_F(SimulatedModuleTest, PickedRequestsGetNoReplyOrFail) {
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.NoReply = {0, 1};
  EXPECT_TRUE(Send(SyncRequest).isEmpty());
  EXPECT_FALSE(Module.Requests().back().Replied);
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8)) << "only the next request of any command";

  Bad.NoReply = {SimReadReg, -1};
  Bad.Fail = {SimFlashBegin, 1};
  Bad.FailCode = 0x09;
  Module.PresetFlash(0, Hex("00"));
  EXPECT_TRUE(Send(ReadReg(0x3FF00050)).isEmpty());
  EXPECT_TRUE(Send(ReadReg(0x3FF00050)).isEmpty());
  EXPECT_EQ(Send(FlashBegin(4, 1, 0)), Failure(0x02, 0x09));
  EXPECT_EQ(Module.Flash().left(1), Hex("00")) << "a failed request does nothing";
  EXPECT_EQ(Send(FlashBegin(4, 1, 0)), Reply(0x02));
}

TEST_F(SimulatedModuleTest, SplitDelayedAndGarbledReplies) {
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.SplitPieces = 3;
  Bad.SplitGapMs = 20;
  Bad.ReplyDelayMs = 100;
  Bad.GarbageBeforeReply = Hex("AA BB CC");
  const std::vector<TSimDelivery> Out = Module.Receive(ReadReg(0x3FF0005C));
  ASSERT_EQ(Out.size(), 3u);
  EXPECT_EQ(Out[0].DelayMs, 100);
  EXPECT_EQ(Out[1].DelayMs, 20);
  EXPECT_EQ(Out[2].DelayMs, 20);
  EXPECT_EQ(Out[0].Bytes.size() + Out[1].Bytes.size(), 10);
  EXPECT_EQ(Joined(Out), Hex("AA BB CC C0 01 0A 02 00 00 00 00 00 00 00 C0"));

  Module.Misbehaviour() = TSimMisbehaviour{};
  Module.Misbehaviour().BannerBeforeFirstReply = true;
  Module.SetLineRate(74880);
  EXPECT_EQ(Send(SyncRequest), TSimulatedModule::BannerText() + SyncReply.repeated(8));
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8)) << "before the first reply only";
}

TEST(SimMisreadAtRate, TheSendingRateReadsTheTextAFasterOneGarbage) {
  const QByteArray Banner = TSimulatedModule::BannerText();
  EXPECT_EQ(SimMisreadAtRate(Banner, 74880, 74880), Banner);
  // 0x00 sent at 1000 bit/s is low for 9 ms; at 3000 bit/s that is two bytes whose stop bit reads
  // low (framing errors, passed on as 00) and then 0x80 ending in the sender's stop bit.
  EXPECT_EQ(SimMisreadAtRate(Hex("00"), 1000, 3000), Hex("00 00 80"));
}

}  // namespace
