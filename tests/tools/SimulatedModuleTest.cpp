// The simulated boot ROM, fed with request frames written out from the packet tables.

#include "tools/rq53sim/SimulatedModule.h"

#include "tests/tools/SimFrames.h"

#include <gtest/gtest.h>

#include <algorithm>

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
  QByteArray OtherPattern = SyncRequest;
  OtherPattern[20] = 0x54;
  EXPECT_EQ(Send(OtherPattern), SyncReply.repeated(8)) << "the pattern is not checked";

  Module.SetEfuseWords({0x11223344, 0x55667788, 0x99AABBCC, 0xA1B2C3D4});
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 5C 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 D4 C3 B2 A1 00 00 C0"));
  EXPECT_EQ(Send(ReadReg(0x60000000)), Reply(0x0A, 0)) << "a register never set";
  QByteArray Long = ReadReg(0x3FF00050);
  Long[3] = 5;
  EXPECT_EQ(Send(Long), Reply(0x0A, 0x11223344)) << "the length field is not checked";
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

// With n the sectors a range touches and s the first, n + min(n, 16 - s mod 16) sectors are
// erased from s on, before the reply: whole 64 KiB blocks where they fit past a block boundary.
TEST_F(SimulatedModuleTest, FlashBeginErasesMoreThanAsked) {
  const struct {
    quint32 Size, Offset, FirstSector, Sectors, Blocks;
  } Cases[] = {
      {1000, 0, 0, 2, 0},
      {8192, 0, 0, 4, 0},
      {65536, 0, 0, 32, 2},
      {65537, 0, 0, 33, 2},
      {0, 0, 0, 0, 0},
      {0x1001, 0x2FFF, 2, 4, 0},
      {4096, 0xF000, 15, 2, 0},
      {8192, 0xE000, 14, 4, 0},
      {0x30000, 0xE000, 14, 50, 3},
      {598432, 0x00000, 0, 163, 10},  // the larger built-in image
  };
  const quint32 Sector = TSimulatedModule::SectorSize;
  for (const auto& Case : Cases) {
    SCOPED_TRACE(testing::Message() << Case.Size << " bytes at 0x" << std::hex << Case.Offset);
    TSimulatedModule Fresh(1 << 20);
    Fresh.PresetFlash(0, QByteArray(1 << 20, 0x00));
    const std::vector<TSimDelivery> Out = Fresh.Receive(FlashBegin(Case.Size, 1, Case.Offset));
    ASSERT_EQ(Out.size(), 1u);
    EXPECT_EQ(Out[0].Bytes, Reply(0x02));
    const TSimTiming& Chip = Fresh.Timing();
    EXPECT_EQ(Out[0].DelayMs, int(Case.Sectors - 16 * Case.Blocks) * Chip.EraseMsPerSector +
                                  int(Case.Blocks) * Chip.EraseMsPerBlock);
    const QByteArray Erased(qsizetype(Case.Sectors) * Sector, char(0xFF));
    EXPECT_EQ(Fresh.Flash().count(char(0xFF)), Erased.size());
    EXPECT_EQ(Fresh.Flash().mid(Case.FirstSector * Sector, Erased.size()), Erased);
  }

  const QByteArray Kept(0x1000, 0x00), Erased(0x1000, char(0xFF));
  TSimulatedModule Small(0x10000);
  Small.PresetFlash(0xF000, Kept);
  EXPECT_EQ(Send(FlashBegin(0, 0, 0)), Reply(0x02)) << "size 0";
  EXPECT_EQ(Joined(Small.Receive(FlashBegin(0x1001, 5, 0xF000))), Failure(0x02, 5));
  EXPECT_EQ(Small.Flash().mid(0xF000), Kept) << "nothing erased";
  EXPECT_EQ(Joined(Small.Receive(FlashBegin(0x1000, 4, 0xF000))), Reply(0x02, 0x20120707, 0, 5));
  EXPECT_EQ(Small.Flash().mid(0xF000), Erased) << "the sector past the end is left out";
  EXPECT_EQ(Small.Flash().size(), 0x10000);
}

class FlashDataTest : public SimulatedModuleTest {
 protected:
  void SetUp() override { ASSERT_EQ(Send(FlashBegin(4, 1, 0x1000)), Reply(0x02)); }
  QByteArray Written(int Size = 4) const { return Module.Flash().mid(0x1000, Size); }
};

TEST_F(FlashDataTest, BlocksFollowOneAnotherWhateverTheirSizeAndNumber) {
  Module.Timing().PageMs = 4;
  const std::vector<TSimDelivery> Out = Module.Receive(FlashData(Hex("DEADBEEF"), 0));
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Bytes, Reply(0x03));
  EXPECT_EQ(Out[0].DelayMs, 4) << "four bytes are one page";
  // One block was announced, of 1024 bytes: neither is held to.
  EXPECT_EQ(Send(FlashData(Hex("01020304 05060708"), 1)), Reply(0x03));
  EXPECT_EQ(Send(FlashData(Hex("AABBCCDD"), 2)), Reply(0x03));
  EXPECT_EQ(Module.Flash().mid(0x0FFF, 0x12),
            Hex("FF DEADBEEF 01020304 05060708 AABBCCDD") + QByteArray(1, char(0xFF)));

  QByteArray HeaderLength = FlashData(Hex("10203040"), 3);
  HeaderLength[3] = 0x15;
  EXPECT_EQ(Send(HeaderLength), Reply(0x03)) << "the header's length field is not checked";
  QByteArray LengthField = FlashData(Hex("50607080"), 4);
  LengthField[9] = 8;
  EXPECT_EQ(Send(LengthField), Failure(0x03, 5)) << "a block length field that is no block's";
  EXPECT_EQ(Send(FlashData(Hex("50607080"), 5)), Failure(0x03, 5)) << "sequence 4 is still due";
  EXPECT_EQ(Written(24), Hex("DEADBEEF 01020304 05060708 AABBCCDD 10203040 FFFFFFFF"));
}

// A block refused for its checksum uses up its sequence number; the next number's block lands
// where the refused one would have. Nothing is written for a refused block.
TEST_F(FlashDataTest, ARefusedChecksumUsesUpItsSequenceNumber) {
  QByteArray BadSum = FlashData(Hex("DEADBEEF"), 0);
  BadSum[5] = char(0xCE);
  EXPECT_EQ(Send(BadSum), Hex("C0 01 03 02 00 07 07 12 20 01 07 C0"));
  EXPECT_EQ(Send(FlashData(Hex("DEADBEEF"), 0)), Failure(0x03, 5)) << "the same block again";
  EXPECT_EQ(Written(), Hex("FFFFFFFF"));
  EXPECT_EQ(Send(FlashData(Hex("DEADBEEF"), 1)), Reply(0x03, 0x20120707, 0, 5));
  EXPECT_EQ(Written(8), Hex("DEADBEEF FFFFFFFF"));
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
  EXPECT_EQ(TSimulatedModule::BannerText(),
            "\r\n ets Jan  8 2013,rst cause:1, boot mode:(1,0)\r\n\r\n");
  Module.SetLineRate(115200);
  Send(ReadReg(0x3FF00050));
  const std::vector<TSimDelivery> Banner = Module.Reset();
  ASSERT_EQ(Banner.size(), 1u);
  EXPECT_EQ(Banner[0].Bytes, SimMisreadAtRate(TSimulatedModule::BannerText(), 74880, 115200));
  EXPECT_NE(Banner[0].Bytes, TSimulatedModule::BannerText()) << "garbage at another rate";
  EXPECT_EQ(Send(FlashData(Hex("01020304"), 0)), Failure(0x03, 5)) << "nor the value last read";
  EXPECT_EQ(Joined(TSimulatedModule().Receive(FlashData(Hex("01020304"), 0))), Failure(0x03, 5))
      << "nor is FLASH_DATA taken before any FLASH_BEGIN";
  Module.SetLineRate(74880);
  EXPECT_EQ(Joined(Module.Reset()), TSimulatedModule::BannerText()) << "at its own rate";
}

// After a refusal, successful replies carry its error code in their second status byte until a
// READ_REG reply clears it; a reset clears it as well.
TEST_F(SimulatedModuleTest, TheSecondStatusByteKeepsTheLastErrorCode) {
  QByteArray BadSum = FlashData(Hex("01020304"), 0);
  BadSum[5] = 0x10;
  Send(FlashBegin(8, 2, 0));
  EXPECT_EQ(Send(BadSum), Failure(0x03, 7));
  EXPECT_EQ(Send(FlashData(Hex("01020304"), 1)), Reply(0x03, 0x20120707, 0, 7));
  EXPECT_EQ(Send(SyncRequest), Reply(0x08, 0x20120707, 0, 7).repeated(8));
  EXPECT_EQ(Send(FlashData(Hex("01020304"), 1)), Failure(0x03, 5)) << "a newer error code";
  EXPECT_EQ(Send(FlashBegin(4, 1, 0)), Reply(0x02, 0x20120707, 0, 5));
  EXPECT_EQ(Send(ReadReg(0x3FF00054)), Reply(0x0A, 0x00001234));
  EXPECT_EQ(Send(FlashBegin(4, 1, 0)), Reply(0x02, 0x00001234));
  EXPECT_EQ(Send(Hex("C0 00 C0")), Reply(0x00, 0x00001234, 1, 5));
  Module.Reset();
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8));
}

TEST_F(SimulatedModuleTest, WritingOverUnerasedFlashOnlyClearsBits) {
  Send(FlashBegin(4, 1, 0x3000));
  Module.PresetFlash(0x3000, Hex("0F 0F 0F 0F"));
  EXPECT_EQ(Send(FlashData(Hex("F3 F3 F3 F3"), 0)), Reply(0x03));
  EXPECT_EQ(Module.Flash().mid(0x3000, 4), Hex("03 03 03 03"));
}

TEST_F(SimulatedModuleTest, FramingNoiseAndMalformedRequests) {
  for (int i = 0; i < SyncRequest.size() - 1; ++i)
    EXPECT_TRUE(Module.Receive(SyncRequest.mid(i, 1)).empty());
  EXPECT_EQ(Send(SyncRequest.right(1)), SyncReply.repeated(8));
  EXPECT_EQ(Send(Hex("12 34 55") + SyncRequest + Hex("56 00 0A")), SyncReply.repeated(8))
      << "noise outside frames";
  EXPECT_EQ(Send(SyncRequest + SyncRequest), SyncReply.repeated(16)) << "frames back to back";
  EXPECT_EQ(Send(Hex("C0") + SyncRequest), SyncReply.repeated(8)) << "two frame bytes in a row";
  EXPECT_EQ(Send(Hex("C0 00 0A DB 00 12 C0 55") + SyncRequest), SyncReply.repeated(8))
      << "a broken escape drops its frame only";

  const quint64 Taken = Module.RequestCount();
  EXPECT_TRUE(Send(SyncReply).isEmpty()) << "a reply frame";
  EXPECT_TRUE(Send(Slip(QByteArray(0x4001, 0))).isEmpty()) << "a frame too long for the ROM";
  EXPECT_EQ(Module.RequestCount(), Taken);

  const QByteArray Short = Failure(0x00, 5), Unknown = Failure(0x0A, 5);
  const std::pair<QByteArray, QByteArray> Answered[] = {
      {Hex("C0 00 08 24 00 C0"), Short},
      {Hex("C0 55 C0"), Short},
      {Hex("C0 00 04 00 00 00 00 00 00 C0"), Unknown},
      {Hex("C0 00 7F 04 00 00 00 00 00 01 02 03 04 C0"), Unknown},
  };
  for (const auto& [Frame, Expected] : Answered)
    EXPECT_EQ(Send(Frame), Expected) << Frame.toHex(' ').toStdString();
  EXPECT_TRUE(Module.Requests().back().Status == 1 && !Module.Requests().back().Short);
}

TEST_F(SimulatedModuleTest, AMisalignedRegisterReadHangsTheRomUntilReset) {
  EXPECT_TRUE(Send(ReadReg(0x3FF00052)).isEmpty());
  EXPECT_TRUE(Module.Hung());
  EXPECT_TRUE(Send(SyncRequest + ReadReg(0x3FF00050)).isEmpty());
  EXPECT_EQ(Module.RequestCount(), 1u);
  Module.Reset();
  EXPECT_FALSE(Module.Hung());
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8));
}

TEST_F(SimulatedModuleTest, RemembersTheLastRequestsAndCountsThemAll) {
  for (int i = 0; i < 1100; ++i) Send(SyncRequest);
  EXPECT_EQ(Module.Requests().size(), TSimulatedModule::DefaultRequestHistory);
  EXPECT_EQ(Module.RequestCount(), 1100u);
  Module.SetRequestHistory(3);
  Send(FlashBegin(12, 3, 0));
  for (quint32 Sequence = 0; Sequence < 3; ++Sequence) Send(FlashData(Hex("01020304"), Sequence));
  ASSERT_EQ(Module.Requests().size(), 3u);
  for (quint32 i = 0; i < 3; ++i) EXPECT_EQ(Module.Requests()[i].Sequence, i);
  EXPECT_EQ(Module.RequestCount(), 1104u);
}

TEST_F(SimulatedModuleTest, PickedRequestsGetNoReplyOrFailOrPullTheAdapter) {
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.NoReply = {0, 1};
  EXPECT_TRUE(Send(SyncRequest).isEmpty());
  EXPECT_FALSE(Module.Requests().back().Replied);
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8)) << "only the next request of any command";

  // Blocks 0 and 1 are answered, block 1 fails, and from block 3 on nothing is answered.
  Bad.NoReply = {SimFlashData, -1, 3};
  Bad.Fail = {SimFlashData, 1, 1};
  Bad.FailCode = 0x09;
  Send(FlashBegin(16, 4, 0));
  const QByteArray Block = Hex("01020304");
  EXPECT_EQ(Send(FlashData(Block, 0)), Reply(0x03));
  EXPECT_EQ(Send(FlashData(Block, 1)), Failure(0x03, 0x09));
  EXPECT_EQ(Send(FlashData(Block, 1)), Reply(0x03, 0x20120707, 0, 0x09)) << "not carried out";
  EXPECT_TRUE(Send(FlashData(Block, 2)).isEmpty());
  EXPECT_TRUE(Send(SyncRequest + FlashData(Block, 2)).size() == 96) << "other commands answered";
  EXPECT_EQ(Module.Flash().left(12), Block + Block + Hex("FFFFFFFF"));

  Bad = TSimMisbehaviour{};
  Bad.Unplug = {SimReadReg, 1, 1};
  EXPECT_EQ(Send(ReadReg(0x3FF00050)), Reply(0x0A, 0x59A30000));
  const std::vector<TSimDelivery> Out = Module.Receive(ReadReg(0x3FF00054));
  ASSERT_EQ(Out.size(), 2u);
  EXPECT_EQ(Out[0].Bytes, Reply(0x0A, 0x00001234));
  EXPECT_FALSE(Out[0].Unplug);
  EXPECT_TRUE(Out[1].Unplug && Out[1].Bytes.isEmpty()) << "once the answer is out";
}

TEST_F(SimulatedModuleTest, SplitDelayedGarbledAndMisreadReplies) {
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

  Module.Misbehaviour() = TSimMisbehaviour{};
  Module.Misbehaviour().ReplyRate = 115200;
  Module.SetLineRate(576000);
  const QByteArray Misread = Send(SyncRequest);
  EXPECT_EQ(Misread, SimMisreadAtRate(SyncReply.repeated(8), 115200, 576000));
  EXPECT_FALSE(Misread.contains(SyncReply));
}

TEST(SimulatedModuleText, ConsoleTextIsPrintableLines) {
  const QByteArray Text = TSimulatedModule::ConsoleText(100000);
  EXPECT_EQ(Text.size(), 100000);
  EXPECT_TRUE(std::all_of(Text.begin(), Text.end(), [](char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n';
  }));
  EXPECT_GT(Text.count('\n'), 1000);
}

TEST(SimMisreadAtRate, TheSendingRateReadsTheTextAFasterOneGarbage) {
  const QByteArray Banner = TSimulatedModule::BannerText();
  EXPECT_EQ(SimMisreadAtRate(Banner, 74880, 74880), Banner);
  // 0x00 sent at 1000 bit/s is low for 9 ms; at 3000 bit/s that is two bytes whose stop bit reads
  // low (framing errors, passed on as 00) and then 0x80 ending in the sender's stop bit.
  EXPECT_EQ(SimMisreadAtRate(Hex("00"), 1000, 3000), Hex("00 00 80"));
}

}  // namespace
