// Replies are fed through the receive callback as the serial component would deliver
// them, in one or several pieces.

#include "tests/loader/ReplyHarness.h"

#include <gtest/gtest.h>

namespace {

const QByteArray SyncReply = TReplyHarness::Hex("C0 01 08 02 00 07 07 12 20 00 00 C0");
const QByteArray FlashBeginReply = TReplyHarness::Hex("C0 01 02 02 00 07 07 12 20 00 00 C0");
const QByteArray FlashDataReply = TReplyHarness::Hex("C0 01 03 02 00 07 07 12 20 00 00 C0");

class ReplyRecognition : public ::testing::Test, public TReplyHarness {
 protected:
  void ExpectNothingRecognised() {
    EXPECT_TRUE(Log.isEmpty()) << Log.join('\n').toStdString();
    EXPECT_EQ(Record.RunState, StateFinished);
    EXPECT_FALSE(Record.LastOperationSuccess);
    EXPECT_FALSE(Record.LastOperationFailed);
  }
};

TEST_F(ReplyRecognition, SyncAcknowledgementStartsTheBurnState) {
  Record.RunState = StateHandshake;
  Deliver(SyncReply.repeated(8));
  EXPECT_EQ(Log, QStringList{"Note: RQ53 ACK success."});
  EXPECT_EQ(Record.RunState, StateBurn);
  EXPECT_FALSE(Record.LastOperationSuccess);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, FlashRepliesAreAcknowledgedAndLogged) {
  Deliver(FlashBeginReply);
  EXPECT_EQ(Log, QStringList{"Note: Set base address success."});
  EXPECT_TRUE(Record.LastOperationSuccess);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());

  Record.LastOperationSuccess = false;
  // The value field repeats the last register read and may hold an escaped C0.
  Deliver(Hex("C0 01 03 02 00 DB DC 00 F0 3F 00 00 C0"));
  EXPECT_EQ(Log.last(), "Note: Program flash success.");
  EXPECT_TRUE(Record.LastOperationSuccess);
  EXPECT_FALSE(Record.LastOperationFailed);
  EXPECT_EQ(Record.RunState, StateFinished);
}

TEST_F(ReplyRecognition, EveryBlockAcknowledgementAddsOneLine) {
  for (int block = 0; block < 469; ++block) {
    Record.LastOperationSuccess = false;
    Deliver(FlashDataReply);
    ASSERT_TRUE(Record.LastOperationSuccess) << "block " << block;
  }
  EXPECT_EQ(Log.size(), 469);
  EXPECT_EQ(Log.count("Note: Program flash success."), 469);
}

TEST_F(ReplyRecognition, ReplySplitOverTwoDeliveriesCountsOnTheSecond) {
  Record.RunState = StateHandshake;
  Deliver(SyncReply.first(7));
  EXPECT_TRUE(Log.isEmpty());
  EXPECT_EQ(Record.RunState, StateHandshake);
  EXPECT_EQ(Record.SerailBufferA, SyncReply.first(7));

  Deliver(SyncReply.sliced(7));
  EXPECT_EQ(Record.RunState, StateBurn);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, BootBannerWaitsInTheBufferAndIsDroppedWithTheReply) {
  const QByteArray banner = Hex("7E 02 11 83 65 F2 1C 8C 0E 0C");
  Deliver(banner);
  EXPECT_EQ(Record.SerailBufferA, banner);
  Deliver(FlashBeginReply);
  EXPECT_TRUE(Record.LastOperationSuccess);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, TwoRepliesInOneDeliveryAreBothRecognisedInOrder) {
  Record.RunState = StateHandshake;
  Deliver(FlashDataReply + SyncReply);
  EXPECT_EQ(Log, (QStringList{"Note: RQ53 ACK success.", "Note: Program flash success."}));
  EXPECT_EQ(Record.RunState, StateBurn);
  EXPECT_TRUE(Record.LastOperationSuccess);
}

TEST_F(ReplyRecognition, OnlyTheFirstOfTwoRegisterRepliesIsDecoded) {
  Record.CurrentAddress = 0x3FF00054;
  Deliver(RegisterReply(0x00AA1234) + RegisterReply(0x00BB5678));
  EXPECT_EQ(Record.MACReg1, 0x00AA1234u);
  EXPECT_EQ(Record.MACFlag, 0xAA);
  EXPECT_TRUE(Record.LastOperationSuccess);
  EXPECT_TRUE(Log.isEmpty());
}

TEST_F(ReplyRecognition, BytesAfterTheExaminedReplyAreThrownAway) {
  Deliver(FlashDataReply + FlashDataReply.first(6));
  EXPECT_EQ(Log.size(), 1);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());

  Deliver(SyncReply + SyncReply.first(9));
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, EndMarkerWithoutAReplyEmptiesTheBufferOnly) {
  Deliver(Hex("12 34 00 C0 56"));
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
  // The SYNC reply must match in all twelve bytes.
  Deliver(Hex("C0 01 08 02 00 07 07 12 21 00 00 C0"));
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
  ExpectNothingRecognised();
}

TEST_F(ReplyRecognition, RegisterReplyForAnotherAddressOnlyAcknowledges) {
  Record.CurrentAddress = 0x60000078;
  Deliver(RegisterReply(0x11223344));
  EXPECT_TRUE(Record.LastOperationSuccess);
  EXPECT_EQ(Record.MACReg0 | Record.MACReg1 | Record.MACReg2 | Record.MACReg3, 0u);
  EXPECT_TRUE(Log.isEmpty());
}

TEST_F(ReplyRecognition, EscapedRegisterValueIsDecodedBeforeItIsRead) {
  Record.CurrentAddress = 0x3FF00050;
  // 0x3FDBC012, little-endian 12 C0 DB 3F, escaped.
  Deliver(Hex("C0 01 0A 02 00 12 DB DC DB DD 3F 00 00 C0"));
  EXPECT_EQ(Record.MACReg0, 0x3FDBC012u);
  EXPECT_TRUE(Record.LastOperationSuccess);
}

TEST_F(ReplyRecognition, FrameTooShortForAReplyIsNotCounted) {
  Record.CurrentAddress = 0x3FF00050;
  Record.MACReg0 = 0x01020304;
  Deliver(Hex("C0 01 0A 02 00 00 C0"));
  ExpectNothingRecognised();
  EXPECT_EQ(Record.MACReg0, 0x01020304u);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

// A reply prefix after an early 00 C0 (garbage ending in 00 before the reply's opening
// C0) must wait for the rest of its frame instead of counting with a value never read.
TEST_F(ReplyRecognition, UnfinishedRegisterReplyWaitsForItsValue) {
  Record.CurrentAddress = 0x3FF00054;
  Record.MACReg1 = 0x00FF0000;
  Deliver(Hex("55 12 00 C0 01 0A 02 00 78 56"));
  ExpectNothingRecognised();
  EXPECT_EQ(Record.MACReg1, 0x00FF0000u);
  EXPECT_EQ(Record.SerailBufferA, Hex("C0 01 0A 02 00 78 56"));

  Deliver(Hex("34 12 00 00 C0"));
  EXPECT_TRUE(Record.LastOperationSuccess);
  EXPECT_EQ(Record.MACReg1, 0x12345678u);
  EXPECT_EQ(Record.MACFlag, 0x34);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, UnfinishedFlashReplyWaitsForItsStatus) {
  Deliver(Hex("00 C0 01 03 02 00 07 07"));
  ExpectNothingRecognised();
  Deliver(Hex("12 20 01 07 C0"));
  EXPECT_EQ(Log, QStringList{"Error: RQ53 rejected flash data (error 0x07)."});
  EXPECT_TRUE(Record.LastOperationFailed);
  EXPECT_FALSE(Record.LastOperationSuccess);
}

TEST_F(ReplyRecognition, ReplyCutWithinItsPrefixWaitsForTheRest) {
  Record.CurrentAddress = 0x3FF00058;
  Deliver(Hex("F0 00 C0 01 0A"));
  ExpectNothingRecognised();
  EXPECT_EQ(Record.SerailBufferA, Hex("C0 01 0A"));
  Deliver(Hex("02 00 00 10 00 00 00 00 C0"));
  EXPECT_TRUE(Record.LastOperationSuccess);
  EXPECT_EQ(Record.BitFlag, 1);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, TailThatStartsNoAwaitedReplyIsThrownAway) {
  Deliver(Hex("C0 01 08 02 00 07 07 12 20 00 00 C0 C0 01 08"));
  EXPECT_EQ(Record.RunState, StateBurn);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, FailureStatusIsReportedNeverCountedAsSuccess) {
  const struct {
    const char* Reply;
    const char* Line;
  } cases[] = {
      {"C0 01 02 02 00 07 07 12 20 01 05 C0",
       "Error: RQ53 rejected set base address (error 0x05)."},
      {"C0 01 03 02 00 07 07 12 20 01 07 C0", "Error: RQ53 rejected flash data (error 0x07)."},
      {"C0 01 0A 02 00 44 33 22 11 01 0A C0", "Error: RQ53 rejected register read (error 0x0A)."},
      // Ends in 00 C0 like a success, but its status says otherwise.
      {"C0 01 03 02 00 07 07 12 20 01 00 C0", "Error: RQ53 rejected flash data (error 0x00)."},
  };
  Record.CurrentAddress = 0x3FF0005C;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Reply);
    Log.clear();
    Record.LastOperationFailed = false;
    Deliver(Hex(c.Reply));
    EXPECT_EQ(Log, QStringList{c.Line});
    EXPECT_TRUE(Record.LastOperationFailed);
    EXPECT_FALSE(Record.LastOperationSuccess);
    EXPECT_TRUE(Record.SerailBufferA.isEmpty());
  }
  EXPECT_EQ(Record.MACReg3, 0u);  // the failed register read stored nothing
}

TEST_F(ReplyRecognition, FailureReplySplitOverTwoDeliveries) {
  Deliver(Hex("C0 01 03 02 00 07 07 12 20 01"));
  ExpectNothingRecognised();
  Deliver(Hex("07 C0"));
  EXPECT_TRUE(Record.LastOperationFailed);
  EXPECT_TRUE(Record.SerailBufferA.isEmpty());
}

TEST_F(ReplyRecognition, MACFromFixedVendorPrefixes) {
  // Bits 16-23 of the first word (0x40) are a check byte, not part of the address.
  ReadMACRegisters(0x56400000, 0x00001234, 0x00000000, 0x00000000);
  EXPECT_EQ(Record.MACFlag, 0);
  EXPECT_EQ(Record.BitFlag, 0);
  EXPECT_EQ(Record.MACAddr, (std::array<quint8, 6>{0x18, 0xFE, 0x34, 0x12, 0x34, 0x56}));
  EXPECT_EQ(Record.STAMACStr, "18:FE:34:12:34:56");
  EXPECT_EQ(Record.APMACStr, "1A-FE-34-12-34-56");

  ReadMACRegisters(0x0A7F0000, 0x0001A0B1, 0x00000000, 0x00000000);
  EXPECT_EQ(Record.MACFlag, 0x01);
  EXPECT_EQ(Record.STAMACStr, "AC:D0:74:A0:B1:0A");
  EXPECT_EQ(Record.APMACStr, "AE-D0-74-A0-B1-0A");
}

TEST_F(ReplyRecognition, MACVendorPrefixFromTheLastWord) {
  ReadMACRegisters(0xAB7F0000, 0x00000102, 0x00001000, 0x005CCF7F);
  EXPECT_EQ(Record.BitFlag, 1);
  EXPECT_EQ(Record.MACReg2, 0x00001000u);
  EXPECT_EQ(Record.MACReg3, 0x005CCF7Fu);
  EXPECT_EQ(Record.STAMACStr, "5C:CF:7F:01:02:AB");
  EXPECT_EQ(Record.APMACStr, "5E-CF-7F-01-02-AB");

  // Adding 2 to a first byte of 0xFE or 0xFF gives three digits.
  ReadMACRegisters(0x05000000, 0x00000607, 0xFFFFFFFF, 0x00FF0102);
  EXPECT_EQ(Record.STAMACStr, "FF:01:02:06:07:05");
  EXPECT_EQ(Record.APMACStr, "101-01-02-06-07-05");
}

}  // namespace
