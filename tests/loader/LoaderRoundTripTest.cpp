// Requests of the boot ROM's session go into the simulated module; its answers come back through
// the reply recognition, one delivery at a time, as the serial port would hand them over, and the
// session takes the reply to each request from the run's channel.

#include "loader/DeviceIdentity.h"
#include "loader/LoaderCodec.h"
#include "loader/RomSession.h"
#include "tests/loader/ReplyHarness.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <gtest/gtest.h>

namespace {

class LoaderRoundTrip : public ::testing::Test {
 protected:
  LoaderRoundTrip() { Harness.Record.RunState = StateJobRunning; }

  TFrameLink Link() {
    return {[this](const QByteArray& Packet) {
              for (const TSimDelivery& Delivery : Module.Receive(Packet))
                Harness.Deliver(Delivery.Bytes);
              return true;
            },
            [this](int) { return Harness.Record.Replies.Next(0); },
            [] { return false; }};
  }

  TModuleMAC ReadMAC() {
    std::array<quint32, 4> Words{};
    for (std::size_t i = 0; i < Words.size(); ++i) {
      const std::optional<TReplyFrame> Reply = Session.ReadReg(MACRegisterAddresses[i]);
      EXPECT_TRUE(Reply && Reply->Success()) << i;
      Words[i] = Reply ? Reply->Value : 0;
    }
    return DeriveModuleMAC(Words);
  }

  // FLASH_BEGIN and every block of Image at Offset, each acknowledged before the next.
  void Program(const QByteArray& Image, quint32 Offset) {
    const auto EraseSize = quint32((Image.size() + 3) / 4 * 4);
    const auto Blocks = quint16((EraseSize + 1023) / 1024);
    const std::optional<TReplyFrame> Begun = Session.FlashBegin(EraseSize, Blocks, Offset, 5000);
    ASSERT_TRUE(Begun && Begun->Success());
    for (quint32 Sequence = 0; Sequence < Blocks; ++Sequence) {
      QByteArray Block = Image.mid(Sequence * 1024, 1024);
      Block.append((4 - Block.size() % 4) % 4, '\xFF');
      const std::optional<TReplyFrame> Taken = Session.FlashData(BuildFlashDataRequest(Block, Sequence));
      ASSERT_TRUE(Taken && Taken->Success()) << "block " << Sequence;
    }
  }

  static QByteArray Image(int Size) {
    QByteArray Bytes(Size, '\0');
    for (int i = 0; i < Size; ++i) Bytes[i] = char((i * 131 + 7) % 256);  // holds C0 and DB
    return Bytes;
  }

  TSimulatedModule Module;
  TReplyHarness Harness;
  TRomSession Session{Link()};
};

TEST_F(LoaderRoundTrip, SyncMACAndAnImage) {
  EXPECT_TRUE(Session.Resync(1000, [] {}));
  // The check byte 0xA3 (bits 16-23 of the first word) is no part of the address.
  Module.SetEfuseWords({0x59A30000, 0x00001234, 0x00000000, 0x00000000});
  const TModuleMAC MAC = ReadMAC();
  EXPECT_EQ(MAC.Station, "18:FE:34:12:34:59");
  EXPECT_EQ(MAC.AccessPoint, "1A-FE-34-12-34-59");
  Program(Image(2049), 0x10000);
  EXPECT_EQ(Module.Flash().mid(0x10000, 2052), Image(2049) + QByteArray(3, '\xFF'));
  const QString Programmed = "Note: Program flash success.";
  EXPECT_EQ(Harness.Log, (QStringList{"Note: Set base address success.", Programmed, Programmed,
                                      Programmed}));
  EXPECT_EQ(Harness.Recognizer.HeldBytes(), 0);
}

// A refused block is the session's answer, also when a success came before it in the same
// delivery: no block may follow a refused one.
TEST_F(LoaderRoundTrip, ARefusedBlockIsTheAnswer) {
  Module.Misbehaviour().Fail = {SimFlashData, 1};
  Module.Misbehaviour().FailCode = SimErrorBadChecksum;
  ASSERT_TRUE(Session.FlashBegin(1024, 1, 0, 5000)->Success());
  const std::optional<TReplyFrame> Refused = Session.FlashData(BuildFlashDataRequest(Image(1024), 0));
  ASSERT_TRUE(Refused.has_value());
  EXPECT_FALSE(Refused->Success());
  EXPECT_EQ(Refused->Error, SimErrorBadChecksum);
  EXPECT_EQ(Harness.Log.last(), "Error: RQ53 rejected flash data (error 0x07).");
  EXPECT_EQ(Module.Flash().first(1024), QByteArray(1024, '\xFF'));
  // A success and a refusal in one delivery.
  TFrameLink Both = Link();
  Both.Send = [this](const QByteArray&) {
    Harness.Deliver(QByteArray::fromHex("c001030200000000000000c0c001030200000000000105c0"));
    return true;
  };
  const std::optional<TReplyFrame> Answer = TRomSession(Both).FlashData(QByteArray());
  ASSERT_TRUE(Answer.has_value());
  EXPECT_FALSE(Answer->Success());
}

TEST_F(LoaderRoundTrip, EscapedValuesInSplitRepliesAfterGarbageAndTheResetBanner) {
  TSimMisbehaviour& Bad = Module.Misbehaviour();
  Bad.SplitPieces = 3;
  Bad.GarbageBeforeReply = QByteArray::fromHex("FF F0 00");  // its 00 and the reply's C0 make 00 C0
  Bad.BannerBeforeFirstReply = true;
  EXPECT_TRUE(Session.Resync(1000, [] {}));
  // Bytes C0 and DB in the values travel escaped; the vendor prefix comes from the last word.
  Module.SetEfuseWords({0xDB000000, 0x0000C0DB, 0x00001000, 0x005CCF7F});
  const TModuleMAC MAC = ReadMAC();
  EXPECT_EQ(MAC.Station, "5C:CF:7F:C0:DB:DB");
  EXPECT_EQ(MAC.AccessPoint, "5E-CF-7F-C0-DB-DB");
  Program(Image(1500), 0);
  EXPECT_EQ(Module.Flash().first(1500), Image(1500));
}

}  // namespace
