// Requests built by the codec go into the simulated module; its answers come back through
// the reply recognition, one delivery at a time, as the serial port would hand them over.

#include "loader/LoaderCodec.h"
#include "tests/loader/ReplyHarness.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <gtest/gtest.h>

namespace {

class LoaderRoundTrip : public ::testing::Test {
 protected:
  // Sends one request, the way the flashing job does: both reply flags cleared first.
  void Request(const QByteArray& Packet, quint32 Address = 0) {
    Harness.Record.LastOperationSuccess = false;
    Harness.Record.LastOperationFailed = false;
    Harness.Record.CurrentAddress = Address;
    for (const TSimDelivery& Delivery : Module.Receive(Packet)) Harness.Deliver(Delivery.Bytes);
  }

  void ReadMACRegisters() {
    for (const quint32 Address : MACRegisterAddresses) {
      Request(BuildReadRegRequest(Address), Address);
      ASSERT_TRUE(Harness.Record.LastOperationSuccess) << std::hex << Address;
    }
  }

  // FLASH_BEGIN and every block of Image at Offset, each acknowledged before the next.
  void Program(const QByteArray& Image, quint32 Offset) {
    const auto eraseSize = quint32((Image.size() + 3) / 4 * 4);
    const auto blocks = quint16((eraseSize + 1023) / 1024);
    Request(BuildFlashBeginRequest(eraseSize, blocks, Offset));
    ASSERT_TRUE(Harness.Record.LastOperationSuccess);
    for (quint32 sequence = 0; sequence < blocks; ++sequence) {
      QByteArray block = Image.mid(sequence * 1024, 1024);
      block.append((4 - block.size() % 4) % 4, '\xFF');
      Request(BuildFlashDataRequest(block, sequence));
      ASSERT_TRUE(Harness.Record.LastOperationSuccess) << "block " << sequence;
    }
  }

  static QByteArray Image(int Size) {
    QByteArray image(Size, '\0');
    for (int i = 0; i < Size; ++i) image[i] = char((i * 131 + 7) % 256);  // holds C0 and DB
    return image;
  }

  TSimulatedModule Module;
  TReplyHarness Harness;
};

TEST_F(LoaderRoundTrip, SyncMACAndAnImage) {
  Request(SyncRequestTemplate);
  EXPECT_EQ(Harness.Record.RunState, StateBurn);
  // The check byte 0xA3 (bits 16-23 of the first word) is no part of the address.
  Module.SetEfuseWords({0x59A30000, 0x00001234, 0x00000000, 0x00000000});
  ReadMACRegisters();
  EXPECT_EQ(Harness.Record.STAMACStr, "18:FE:34:12:34:59");
  EXPECT_EQ(Harness.Record.APMACStr, "1A-FE-34-12-34-59");
  Program(Image(2049), 0x10000);
  EXPECT_EQ(Module.Flash().mid(0x10000, 2052), Image(2049) + QByteArray(3, '\xFF'));
  const QString Programmed = "Note: Program flash success.";
  EXPECT_EQ(Harness.Log, (QStringList{"Note: RQ53 ACK success.", "Note: Set base address success.",
                                      Programmed, Programmed, Programmed}));
  EXPECT_TRUE(Harness.Record.SerailBufferA.isEmpty());
}

TEST_F(LoaderRoundTrip, RejectedBlockIsRecordedAsAFailure) {
  Module.Misbehaviour().Fail = {SimFlashData, 1};
  Module.Misbehaviour().FailCode = SimErrorBadChecksum;
  Request(BuildFlashBeginRequest(1024, 1, 0));
  Request(BuildFlashDataRequest(Image(1024), 0));
  EXPECT_TRUE(Harness.Record.LastOperationFailed);
  EXPECT_FALSE(Harness.Record.LastOperationSuccess);
  EXPECT_EQ(Harness.Log.last(), "Error: RQ53 rejected flash data (error 0x07).");
  EXPECT_EQ(Module.Flash().first(1024), QByteArray(1024, '\xFF'));
}

TEST_F(LoaderRoundTrip, EscapedValuesInSplitRepliesAfterGarbageAndTheResetBanner) {
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.SplitPieces = 3;
  Bad.GarbageBeforeReply = QByteArray::fromHex("FF F0 00");  // its 00 and the reply's C0 make 00 C0
  Bad.BannerBeforeFirstReply = true;
  Request(SyncRequestTemplate);
  EXPECT_EQ(Harness.Record.RunState, StateBurn);
  // Bytes C0 and DB in the values travel escaped; the vendor prefix comes from the last word.
  Module.SetEfuseWords({0xDB000000, 0x0000C0DB, 0x00001000, 0x005CCF7F});
  ReadMACRegisters();
  EXPECT_EQ(Harness.Record.STAMACStr, "5C:CF:7F:C0:DB:DB");
  EXPECT_EQ(Harness.Record.APMACStr, "5E-CF-7F-C0-DB-DB");
  Program(Image(1500), 0);
  EXPECT_EQ(Module.Flash().first(1500), Image(1500));
}

}  // namespace
