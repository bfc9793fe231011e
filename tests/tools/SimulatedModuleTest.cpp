// The simulated boot ROM, fed with request frames written out byte by byte from the packet tables.

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

class SimulatedModuleTest : public ::testing::Test {
 protected:
  QByteArray Send(const QByteArray& Bytes) { return Joined(Module.Receive(Bytes)); }

  TSimulatedModule Module;
};

TEST_F(SimulatedModuleTest, SyncIsAnsweredWithEightIdenticalFrames) {
  const std::vector<TSimDelivery> Out = Module.Receive(SyncRequest);
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].DelayMs, 0);
  EXPECT_EQ(Out[0].Bytes, SyncReply.repeated(8));
  ASSERT_EQ(Module.Requests().size(), 1u);
  EXPECT_EQ(Module.Requests()[0].Command, SimSync);
  EXPECT_EQ(Module.Requests()[0].Status, 0);
}

TEST_F(SimulatedModuleTest, SyncWithAWrongPatternFailsOnce) {
  QByteArray Bad = SyncRequest;
  Bad[20] = 0x54;
  EXPECT_EQ(Send(Bad), Hex("C0 01 08 02 00 07 07 12 20 01 05 C0"));
}

TEST_F(SimulatedModuleTest, ReadRegAnswersTheConfiguredEfuseWords) {
  Module.SetEfuseWords({0x11223344, 0x55667788, 0x99AABBCC, 0xA1B2C3D4});
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 5C 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 D4 C3 B2 A1 00 00 C0"));
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 50 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 44 33 22 11 00 00 C0"));
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 00 00 00 60 C0")),
            Hex("C0 01 0A 02 00 00 00 00 00 00 00 C0"));
  EXPECT_EQ(Send(Hex("C0 00 0A 05 00 07 07 12 20 50 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 00 00 00 00 01 05 C0"))
      << "a data length that disagrees with the data is an invalid message";
}

TEST_F(SimulatedModuleTest, FlashBeginRepeatsTheLastReadRegValueEscaped) {
  const QByteArray Begin =
      Hex("C0 00 02 10 00 78 01 3A 00 E8 03 00 00 01 00 00 00 00 04 00 00 00 00 00 00 C0");
  EXPECT_EQ(Send(Begin), Hex("C0 01 02 02 00 07 07 12 20 00 00 C0"));
  Module.SetRegister(0x3FF0005C, 0x00C0DB01);
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 5C 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 01 DB DD DB DC 00 00 00 C0"));
  EXPECT_EQ(Send(Begin), Hex("C0 01 02 02 00 01 DB DD DB DC 00 00 00 C0"));
  EXPECT_EQ(Send(FlashDataFrame(Hex("01020304"), 0)),
            Hex("C0 01 03 02 00 01 DB DD DB DC 00 00 00 C0"));
}

TEST_F(SimulatedModuleTest, FlashBeginErasesWholeSectorsAndOneMore) {
  Module.PresetFlash(0, QByteArray(0x5000, 0x00));
  Module.Timing().EraseMsPerSector = 30;
  const std::vector<TSimDelivery> Out = Module.Receive(
      Hex("C0 00 02 10 00 78 01 3A 00 E8 03 00 00 01 00 00 00 00 04 00 00 00 00 00 00 C0"));
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].DelayMs, 60) << "two sectors erased before the reply";
  EXPECT_EQ(Module.Flash().left(0x2000), QByteArray(0x2000, char(0xFF)));
  EXPECT_EQ(Module.Flash().mid(0x2000, 0x3000), QByteArray(0x3000, 0x00));

  Module.SetExtraEraseSectors(0);
  Module.PresetFlash(0, QByteArray(0x5000, 0x00));
  // 0x1001 bytes at 0x2FFF touch the sectors at 0x2000 and 0x3000 only.
  Send(Hex("C0 00 02 10 00 78 01 3A 00 01 10 00 00 05 00 00 00 00 04 00 00 FF 2F 00 00 C0"));
  EXPECT_EQ(Module.Flash().left(0x2000), QByteArray(0x2000, 0x00));
  EXPECT_EQ(Module.Flash().mid(0x2000, 0x2000), QByteArray(0x2000, char(0xFF)));
  EXPECT_EQ(Module.Flash().mid(0x4000, 0x1000), QByteArray(0x1000, 0x00));
}

TEST_F(SimulatedModuleTest, FlashBeginBeyondTheFlashIsRefused) {
  TSimulatedModule Small(0x10000);
  Small.PresetFlash(0xF000, QByteArray(0x1000, 0x00));
  EXPECT_EQ(Joined(Small.Receive(Hex(
                "C0 00 02 10 00 78 01 3A 00 01 10 00 00 05 00 00 00 00 04 00 00 00 F0 00 00 C0"))),
            Hex("C0 01 02 02 00 07 07 12 20 01 05 C0"));
  EXPECT_EQ(Small.Flash().mid(0xF000), QByteArray(0x1000, 0x00)) << "nothing erased";
  // The last sector exactly: the extra sector would lie past the end and is left out.
  EXPECT_EQ(Joined(Small.Receive(Hex(
                "C0 00 02 10 00 78 01 3A 00 00 10 00 00 04 00 00 00 00 04 00 00 00 F0 00 00 C0"))),
            Hex("C0 01 02 02 00 07 07 12 20 00 00 C0"));
  EXPECT_EQ(Small.Flash().mid(0xF000), QByteArray(0x1000, char(0xFF)));
  EXPECT_EQ(Small.Flash().size(), 0x10000);
}

class FlashDataTest : public SimulatedModuleTest {
 protected:
  void SetUp() override {
    // 4 bytes in one block at 0x1000
    ASSERT_EQ(
        Send(Hex("C0 00 02 10 00 78 01 3A 00 04 00 00 00 01 00 00 00 00 04 00 00 00 10 00 00 C0")),
        Hex("C0 01 02 02 00 07 07 12 20 00 00 C0"));
  }
  const QByteArray Ok = Hex("C0 01 03 02 00 07 07 12 20 00 00 C0");
  const QByteArray Invalid = Hex("C0 01 03 02 00 07 07 12 20 01 05 C0");
};

TEST_F(FlashDataTest, ABlockIsWrittenAtItsPlace) {
  Module.Timing().WriteMsPerBlock = 4;
  const std::vector<TSimDelivery> Out = Module.Receive(Hex(
      "C0 00 03 14 00 CD 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 DE AD BE EF C0"));
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Bytes, Ok);
  EXPECT_EQ(Out[0].DelayMs, 4);
  EXPECT_EQ(Module.Flash().mid(0x0FFF, 6), Hex("FF DE AD BE EF FF"));
  EXPECT_EQ(Module.Requests().back().Sequence, 0u);
}

TEST_F(FlashDataTest, AWrongChecksumIsRefusedAndNothingWritten) {
  EXPECT_EQ(Send(Hex("C0 00 03 14 00 CE 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                     "DE AD BE EF C0")),
            Hex("C0 01 03 02 00 07 07 12 20 01 07 C0"));
  EXPECT_EQ(Module.Flash().mid(0x1000, 4), Hex("FF FF FF FF"));
  EXPECT_EQ(Module.Requests().back().Error, SimErrorBadChecksum);
  EXPECT_EQ(Send(FlashDataFrame(Hex("DEADBEEF"), 0)), Ok) << "the same block may come again";
}

TEST_F(FlashDataTest, EscapedBytesAreDecoded) {
  // Block C0 DB 00 11 (checksum E5) escaped in the data; then a checksum byte of C0 escaped in the
  // header.
  EXPECT_EQ(Send(Hex("C0 00 03 14 00 E5 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                     "DB DC DB DD 00 11 C0")),
            Ok);
  EXPECT_EQ(Module.Flash().mid(0x1000, 4), Hex("C0 DB 00 11"));
  Send(Hex("C0 00 02 10 00 78 01 3A 00 04 00 00 00 01 00 00 00 00 04 00 00 00 10 00 00 C0"));
  EXPECT_EQ(
      Send(Hex("C0 00 03 14 00 DB DC 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
               "2F 00 00 00 C0")),
      Ok);
  EXPECT_EQ(Module.Flash().mid(0x1000, 4), Hex("2F 00 00 00"));
}

TEST_F(FlashDataTest, InvalidBlocksAreRefusedWithCode05) {
  EXPECT_EQ(Send(FlashDataFrame(Hex("01020304"), 1)), Invalid) << "sequence 1 where 0 is due";
  QByteArray LengthField = FlashDataFrame(Hex("01020304"), 0);
  LengthField[9] = 8;
  EXPECT_EQ(Send(LengthField), Invalid) << "block length field disagrees with the block";
  QByteArray HeaderLength = FlashDataFrame(Hex("01020304"), 0);
  HeaderLength[3] = 0x15;
  EXPECT_EQ(Send(HeaderLength), Invalid) << "header length disagrees with the data";
  EXPECT_EQ(Module.Flash().mid(0x1000, 4), Hex("FF FF FF FF"));
  EXPECT_EQ(Send(FlashDataFrame(Hex("01020304"), 0)), Ok);
  EXPECT_EQ(Send(FlashDataFrame(Hex("05060708"), 1)), Invalid)
      << "a block beyond the one announced";
  EXPECT_EQ(Module.Flash().mid(0x1000, 0x404), Hex("01020304") + QByteArray(0x400, char(0xFF)));
  EXPECT_EQ(Module.Requests().back().Error, SimErrorInvalidMessage);
}

TEST_F(SimulatedModuleTest, FlashDataWithoutFlashBeginIsRefused) {
  EXPECT_EQ(Send(FlashDataFrame(Hex("01020304"), 0)), Hex("C0 01 03 02 00 07 07 12 20 01 05 C0"));
  EXPECT_EQ(Module.Flash().left(4), Hex("FF FF FF FF"));
}

TEST_F(SimulatedModuleTest, AWholeImageEndsUpInFlash) {
  QByteArray Image;
  for (int i = 0; i < 2052; ++i)
    Image.append(char((i * 7 + i / 256) & 0xFF));  // holds C0 and DB bytes too
  // 2052 bytes in 3 blocks at 0x10000
  ASSERT_EQ(
      Send(Hex("C0 00 02 10 00 78 01 3A 00 04 08 00 00 03 00 00 00 00 04 00 00 00 00 01 00 C0")),
      Hex("C0 01 02 02 00 07 07 12 20 00 00 C0"));
  for (quint32 Sequence = 0; Sequence < 3; ++Sequence)
    ASSERT_EQ(Send(FlashDataFrame(Image.mid(Sequence * 1024, 1024), Sequence)),
              Hex("C0 01 03 02 00 07 07 12 20 00 00 C0"));
  EXPECT_EQ(Module.Flash().mid(0x10000, Image.size()), Image);
  EXPECT_EQ(Module.Flash().mid(0x10000 + Image.size(), 0x2000), QByteArray(0x2000, char(0xFF)));
  std::vector<quint32> Sequences;
  for (const TSimRequest& Request : Module.Requests())
    if (Request.Command == SimFlashData && Request.Status == 0)
      Sequences.push_back(Request.Sequence);
  EXPECT_EQ(Sequences, (std::vector<quint32>{0, 1, 2}));
}

TEST_F(SimulatedModuleTest, WritingOverUnerasedFlashOnlyClearsBits) {
  Module.SetExtraEraseSectors(0);
  Module.PresetFlash(0x3000, Hex("0F 0F 0F 0F"));
  // 4 bytes at 0x2C00 in 2 blocks of 1024: only the sector at 0x2000 is erased
  Send(Hex("C0 00 02 10 00 78 01 3A 00 04 00 00 00 02 00 00 00 00 04 00 00 00 2C 00 00 C0"));
  Send(FlashDataFrame(QByteArray(1024, char(0xFF)), 0));
  EXPECT_EQ(Send(FlashDataFrame(Hex("F3 F3 F3 F3"), 1)),
            Hex("C0 01 03 02 00 07 07 12 20 00 00 C0"));
  EXPECT_EQ(Module.Flash().mid(0x3000, 4), Hex("03 03 03 03"));
}

TEST_F(SimulatedModuleTest, FramesMayComeInPiecesAmidNoise) {
  for (int i = 0; i < SyncRequest.size() - 1; ++i)
    EXPECT_TRUE(Module.Receive(SyncRequest.mid(i, 1)).empty());
  EXPECT_EQ(Send(SyncRequest.right(1)), SyncReply.repeated(8));

  EXPECT_EQ(Send(Hex("12 34 55") + SyncRequest + Hex("56 00 0A")), SyncReply.repeated(8));
  EXPECT_EQ(Send(SyncRequest + SyncRequest), SyncReply.repeated(16)) << "frames back to back";
  EXPECT_EQ(Send(Hex("C0") + SyncRequest), SyncReply.repeated(8)) << "two frame bytes in a row";
}

TEST_F(SimulatedModuleTest, WhatIsNoRequestGetsNoAnswer) {
  EXPECT_TRUE(Send(SyncReply).isEmpty()) << "a reply frame";
  EXPECT_TRUE(Send(Hex("C0 00 08 24 00 C0")).isEmpty()) << "a frame shorter than a header";
  EXPECT_TRUE(Send(Hex("C0 00 0A 04 00 07 07 12 20 50 DB 00 F0 3F C0")).isEmpty())
      << "a broken escape";
  EXPECT_TRUE(Module.Requests().empty());
  EXPECT_EQ(Send(Hex("C0 00 04 00 00 00 00 00 00 C0")), Hex("C0 01 04 02 00 07 07 12 20 01 05 C0"))
      << "an unknown command is an invalid message";
}

TEST_F(SimulatedModuleTest, NoReplyForPickedRequests) {
  Module.Misbehaviour().NoReply = {0, 1};
  EXPECT_TRUE(Send(SyncRequest).isEmpty());
  EXPECT_FALSE(Module.Requests().back().Replied);
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8));

  Module.Misbehaviour().NoReply = {SimReadReg, -1};
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(Send(Hex("C0 00 0A 04 00 07 07 12 20 50 00 F0 3F C0")).isEmpty());
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8));
}

TEST_F(SimulatedModuleTest, FailureStatusWithAChosenCode) {
  Module.Misbehaviour().Fail = {SimReadReg, 1};
  Module.Misbehaviour().FailCode = 0x09;
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8));
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 50 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 07 07 12 20 01 09 C0"));
  EXPECT_EQ(Send(Hex("C0 00 0A 04 00 07 07 12 20 50 00 F0 3F C0")),
            Hex("C0 01 0A 02 00 00 00 A3 59 00 00 C0"));
}

TEST_F(SimulatedModuleTest, SplitDelayedAndGarbledReplies) {
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.SplitPieces = 3;
  Bad.SplitGapMs = 20;
  Bad.ReplyDelayMs = 100;
  Bad.GarbageBeforeReply = Hex("AA BB CC");
  const std::vector<TSimDelivery> Out =
      Module.Receive(Hex("C0 00 0A 04 00 07 07 12 20 5C 00 F0 3F C0"));
  ASSERT_EQ(Out.size(), 3u);
  EXPECT_EQ(Out[0].DelayMs, 100);
  EXPECT_EQ(Out[1].DelayMs, 20);
  EXPECT_EQ(Out[2].DelayMs, 20);
  EXPECT_EQ(Joined(Out), Hex("AA BB CC C0 01 0A 02 00 00 00 00 00 00 00 C0"));
  EXPECT_EQ(Out[0].Bytes.size() + Out[1].Bytes.size(), 10);
}

TEST_F(SimulatedModuleTest, BannerComesBeforeTheFirstReplyOnly) {
  Module.Misbehaviour().BannerBeforeFirstReply = true;
  Module.SetLineRate(74880);
  EXPECT_EQ(Send(SyncRequest), TSimulatedModule::BannerText() + SyncReply.repeated(8));
  EXPECT_EQ(Send(SyncRequest), SyncReply.repeated(8));
}

TEST_F(SimulatedModuleTest, ResetForgetsTheFlashJobAndSendsTheBanner) {
  Module.SetLineRate(115200);
  Send(Hex("C0 00 0A 04 00 07 07 12 20 50 00 F0 3F C0"));
  Send(Hex("C0 00 02 10 00 78 01 3A 00 04 00 00 00 01 00 00 00 00 04 00 00 00 10 00 00 C0"));
  const std::vector<TSimDelivery> Banner = Module.Reset();
  ASSERT_EQ(Banner.size(), 1u);
  EXPECT_EQ(Banner[0].Bytes, SimMisreadAtRate(TSimulatedModule::BannerText(), 74880, 115200));
  EXPECT_EQ(Send(FlashDataFrame(Hex("01020304"), 0)), Hex("C0 01 03 02 00 07 07 12 20 01 05 C0"));
}

TEST(SimMisreadAtRate, SampledAtTheSendingRateTheTextComesThrough) {
  EXPECT_EQ(SimMisreadAtRate(TSimulatedModule::BannerText(), 74880, 74880),
            TSimulatedModule::BannerText());
}

TEST(SimMisreadAtRate, AFasterReceiverSeesGarbage) {
  // 0x00 sent at 1000 bit/s is low for 9 ms; at 3000 bit/s that is two bytes whose stop bit reads
  // low (framing errors, passed on as 00) and then 0x80 ending in the sender's stop bit.
  EXPECT_EQ(SimMisreadAtRate(Hex("00"), 1000, 3000), Hex("00 00 80"));
  const QByteArray Seen = SimMisreadAtRate(TSimulatedModule::BannerText(), 74880, 115200);
  EXPECT_FALSE(Seen.isEmpty());
  EXPECT_NE(Seen, TSimulatedModule::BannerText());
}

}  // namespace
