// The tool's side of its loader program against the simulated module: the program built into the
// tool is uploaded through MEM_BEGIN/MEM_DATA/MEM_END, started, switched to a higher rate, and a
// built-in image goes through it compressed, each request's replies taken from the module's
// deliveries. Also the ways the program can fail, and the codec's own edges.

#include "loader/LoaderCodec.h"
#include "loader/OnChipCodec.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

constexpr quint32 RomRate = 576000, LoaderRate = 921600;

struct TAnswer {
  std::vector<TReplyFrame> Replies;
  int DelayMs = 0;  // the first delivery's delay
};

class OnChipRoundTrip : public ::testing::Test {
 protected:
  OnChipRoundTrip() : Module(1 << 21) { Module.SetLineRate(RomRate); }

  TAnswer Send(const QByteArray& Request) {
    TAnswer Answer;
    QByteArray Received;
    for (const TSimDelivery& Delivery : Module.Receive(Request)) {
      if (Received.isEmpty() && Answer.Replies.empty()) Answer.DelayMs = Delivery.DelayMs;
      Received += Delivery.Bytes;
      for (const TReplyFrame& Reply : TakeReplyFrames(Received)) Answer.Replies.push_back(Reply);
    }
    return Answer;
  }

  // One reply expected: it is returned (a failed one with command 0xFF when none came).
  TReplyFrame Ask(const QByteArray& Request) {
    const TAnswer Answer = Send(Request);
    return Answer.Replies.size() == 1 ? Answer.Replies[0] : TReplyFrame{0xFF, 0, {}, 1, 0};
  }

  // Uploads the built-in program; returns the replies to MEM_END (its own and the greeting).
  std::vector<TReplyFrame> Upload() {
    const std::optional<TOnChipProgram> Program = BuiltInOnChipProgram();
    EXPECT_TRUE(Program);
    if (!Program) return {};
    const std::vector<QByteArray> Requests = BuildUploadRequests(*Program);
    for (std::size_t i = 0; i + 1 < Requests.size(); ++i) {
      const TReplyFrame Reply = Ask(Requests[i]);
      EXPECT_TRUE(Reply.Success()) << "request " << i;
    }
    return Send(Requests.back()).Replies;
  }

  void SwitchRate() {
    const TReplyFrame Rate = Ask(BuildOnChipRate(LoaderRate, RomRate));
    ASSERT_TRUE(Rate.Command == OC_RATE && Rate.Success());
    EXPECT_EQ(Rate.Value, 87u) << "139 (80 MHz at 576000 bit/s) * 576000 / 921600";
    Module.SetLineRate(LoaderRate);
  }

  static QByteArray Image(const QString& Name) {
    QFile File(":/BIN/_X_" + Name);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
  }

  TSimulatedModule Module;
};

TEST_F(OnChipRoundTrip, UploadedProgramFlashesAnImageExactlyAndAnswersItsDigest) {
  const std::optional<TOnChipProgram> Program = BuiltInOnChipProgram();
  ASSERT_TRUE(Program);
  const std::vector<TReplyFrame> Started = Upload();
  ASSERT_EQ(Started.size(), 2u);
  EXPECT_TRUE(Started[0].Command == RomMemEnd && Started[0].Success());
  EXPECT_TRUE(Started[1].Command == OC_PING && Started[1].Value == OC_MAGIC);
  for (const TOnChipSegment& Segment : Program->Segments)
    EXPECT_EQ(Module.Ram(Segment.Address, quint32(Segment.Bytes.size())), Segment.Bytes);
  SwitchRate();
  EXPECT_EQ(Ask(BuildOnChipPing()).Value, OC_MAGIC);

  for (const char* Name : {"CORVEL", "UPYTHON"}) {
    SCOPED_TRACE(Name);
    const QByteArray Firmware = Image(Name);
    ASSERT_FALSE(Firmware.isEmpty());
    const quint32 Offset = 0x10000;
    const quint32 End = Offset + (quint32(Firmware.size()) + 4095) / 4096 * 4096;
    Module.PresetFlash(0, QByteArray(Module.Flash().size(), '\0'));
    const TAnswer Begun = Send(BuildOnChipBegin(Offset, quint32(Firmware.size())));
    ASSERT_EQ(Begun.Replies.size(), 1u);
    EXPECT_TRUE(Begun.Replies[0].Success());
    EXPECT_EQ(Begun.Replies[0].Value, (End - Offset) / 4096);
    const std::vector<QByteArray> Pieces = CompressForOnChip(Firmware);
    EXPECT_LT(RawDeflate(Firmware).size(), Firmware.size() * 3 / 4);
    for (std::size_t Sequence = 0; Sequence < Pieces.size(); ++Sequence) {
      const TReplyFrame Reply = Ask(BuildOnChipData(Pieces[Sequence], quint32(Sequence)));
      ASSERT_TRUE(Reply.Command == OC_DATA && Reply.Success() && Reply.Value == Sequence);
    }
    const TReplyFrame Finish = Ask(BuildOnChipFinish());
    EXPECT_TRUE(Finish.Command == OC_FINISH && Finish.Success());
    EXPECT_EQ(Finish.Value, OnChipDigest(Firmware));
    const QByteArray& Flash = Module.Flash();
    EXPECT_EQ(Flash.mid(Offset, Firmware.size()), Firmware);
    EXPECT_EQ(Flash.left(Offset), QByteArray(Offset, '\0'));
    EXPECT_EQ(Flash.mid(Offset + Firmware.size(), End - Offset - Firmware.size()),
              QByteArray(End - Offset - Firmware.size(), '\xFF'));
    EXPECT_EQ(Flash.mid(End), QByteArray(Flash.size() - End, '\0'));
  }
}

// BEGIN erases nothing; each sector is erased as the stream reaches it, whole blocks where they
// fit: 118 sectors at 0x3000 are 13 sectors, 6 blocks and 9 sectors. The replies wait for all of
// that work and the pages' but what the line hides.
TEST_F(OnChipRoundTrip, EraseAndWriteTimesFollowTheProgramsWork) {
  Upload();
  const QByteArray Firmware = Image("CORVEL");
  Module.PresetFlash(0, QByteArray(Module.Flash().size(), '\0'));
  const TAnswer Begun = Send(BuildOnChipBegin(0x3000, quint32(Firmware.size())));
  EXPECT_EQ(Begun.DelayMs, 0);
  EXPECT_EQ(Module.Flash().count('\xFF'), 0) << "nothing erased yet";
  double BusyMs = 0, LineMs = 0;
  const std::vector<QByteArray> Pieces = CompressForOnChip(Firmware);
  for (std::size_t Sequence = 0; Sequence < Pieces.size(); ++Sequence) {
    const QByteArray Request = BuildOnChipData(Pieces[Sequence], quint32(Sequence));
    BusyMs += Send(Request).DelayMs;
    LineMs += (Request.size() + 2) * 10'000.0 / RomRate;
  }
  BusyMs += Send(BuildOnChipFinish()).DelayMs;
  const TSimTiming Timing;
  const double ChipMs = 22 * Timing.EraseMsPerSector + 6 * Timing.EraseMsPerBlock +
                        Timing.WriteMs(Firmware.size());
  EXPECT_GT(BusyMs + LineMs, ChipMs);
  EXPECT_LT(BusyMs, ChipMs);
  EXPECT_EQ(Module.Flash().mid(0x3000, Firmware.size()), Firmware);
}

TEST_F(OnChipRoundTrip, RefusedBlocksAndBrokenStreamsAreReported) {
  Upload();
  const QByteArray Firmware = Image("CORVEL").left(100000);
  std::vector<QByteArray> Pieces = CompressForOnChip(Firmware);
  ASSERT_GT(Pieces.size(), 3u);
  EXPECT_EQ(Ask(BuildOnChipData(Pieces[0], 0)).Error, OC_ERR_INVALID) << "no BEGIN yet";
  EXPECT_EQ(Ask(BuildOnChipBegin(0x800, 10)).Error, OC_ERR_INVALID) << "not on a sector";
  ASSERT_TRUE(Ask(BuildOnChipBegin(0, quint32(Firmware.size()))).Success());
  QByteArray Bad = BuildOnChipData(Pieces[0], 0);
  Bad[Bad.size() - 2] = char(Bad[Bad.size() - 2] ^ 0x01);  // a data byte, not an escape
  EXPECT_EQ(Ask(Bad).Error, OC_ERR_CHECKSUM);
  EXPECT_EQ(Ask(BuildOnChipData(Pieces[1], 1)).Error, OC_ERR_INVALID) << "sequence 0 is due";
  EXPECT_TRUE(Ask(BuildOnChipData(Pieces[0], 0)).Success());
  EXPECT_TRUE(Ask(BuildOnChipData(Pieces[1], 1)).Success());
  const TReplyFrame Short = Ask(BuildOnChipFinish());
  EXPECT_EQ(Short.Error, OC_ERR_STREAM) << "the stream has not ended";
  EXPECT_FALSE(Short.Success());

  ASSERT_TRUE(Ask(BuildOnChipBegin(0, quint32(Firmware.size()))).Success());
  Pieces[1][100] = char(Pieces[1][100] ^ 0x5A);
  for (std::size_t i = 0; i < Pieces.size(); ++i) Ask(BuildOnChipData(Pieces[i], quint32(i)));
  const TReplyFrame Damaged = Ask(BuildOnChipFinish());
  EXPECT_TRUE(!Damaged.Success() || Damaged.Value != OnChipDigest(Firmware));
}

// The three ways the tool's fallback is for: the upload refused, a program that never answers,
// and one that falls silent at its new rate. And a tool that stays at the old rate hears garbage.
TEST_F(OnChipRoundTrip, ProgramsThatFailAnswerNothing) {
  Module.Misbehaviour().Fail = TSimRequestPick{RomMemBegin, 1, 0};
  const std::optional<TOnChipProgram> Program = BuiltInOnChipProgram();
  ASSERT_TRUE(Program);
  const TReplyFrame Refused = Ask(BuildUploadRequests(*Program).front());
  EXPECT_TRUE(Refused.Command == RomMemBegin && !Refused.Success());

  Module.Reset();
  Module.Misbehaviour().LoaderSilent = true;
  const std::vector<TReplyFrame> Started = Upload();
  ASSERT_EQ(Started.size(), 1u) << "MEM_END is answered, the program is not";
  EXPECT_TRUE(Send(BuildOnChipPing()).Replies.empty());
  EXPECT_TRUE(Module.Hung());

  Module.Reset();
  Module.Misbehaviour().LoaderSilent = false;
  ASSERT_EQ(Upload().size(), 2u);
  EXPECT_TRUE(Ask(BuildOnChipRate(LoaderRate, RomRate)).Success());
  EXPECT_TRUE(Send(BuildOnChipPing()).Replies.empty()) << "the tool still at 576000 bit/s";
  Module.SetLineRate(LoaderRate);
  EXPECT_EQ(Ask(BuildOnChipPing()).Value, OC_MAGIC);

  Module.Reset();
  Module.Misbehaviour().LoaderSilentAfterRate = true;
  ASSERT_EQ(Upload().size(), 2u);
  EXPECT_TRUE(Ask(BuildOnChipRate(LoaderRate, RomRate)).Success());
  Module.SetLineRate(LoaderRate);
  EXPECT_TRUE(Send(BuildOnChipPing()).Replies.empty());
  Module.Reset();
  EXPECT_FALSE(Module.LoaderRunning()) << "a reset brings the ROM back";
}

TEST(OnChipCodec, FramesAndProgramForm) {
  // DATA: header, sequence, the piece; the check is the CRC-32 of direction, command, length and
  // data; escaped.
  EXPECT_EQ(BuildOnChipData(QByteArray::fromHex("C0 01"), 0x0102),
            QByteArray::fromHex("C0 00 D2 06 00 2D 67 41 D3 02 01 00 00 DB DC 01 C0"));
  EXPECT_EQ(BuildMemEndRequest(true, 0x40100004),
            QByteArray::fromHex("C0 00 06 08 00 00 00 00 00 00 00 00 00 04 00 10 40 C0"));
  // Replies among noise, escaped, and one split over two deliveries.
  QByteArray Received = QByteArray::fromHex(
      "41 C0 42 C0 C0 01 D3 02 00 DB DC DB DD 00 00 00 00 C0"
      "C0 01 D0 02 00 46");
  std::vector<TReplyFrame> Replies = TakeReplyFrames(Received);
  ASSERT_EQ(Replies.size(), 1u);
  EXPECT_TRUE(Replies[0].Command == OC_FINISH && Replies[0].Value == 0x0000DBC0);
  Received += QByteArray::fromHex("45 52 4C 01 05 C0");
  Replies = TakeReplyFrames(Received);
  ASSERT_EQ(Replies.size(), 1u);
  EXPECT_TRUE(Replies[0].Value == OC_MAGIC && Replies[0].Status == 1 && Replies[0].Error == 5);
  EXPECT_TRUE(Received.isEmpty());
  // The packed program: entry, count, then address, length, bytes padded to 4.
  const QByteArray Packed =
      QByteArray::fromHex("04 00 10 40 01 00 00 00 00 00 10 40 03 00 00 00 AA BB CC 00");
  const std::optional<TOnChipProgram> Program = ParseOnChipProgram(Packed);
  ASSERT_TRUE(Program && Program->Segments.size() == 1);
  EXPECT_EQ(Program->Segments[0].Bytes, QByteArray::fromHex("AA BB CC"));
  EXPECT_FALSE(ParseOnChipProgram(Packed.left(Packed.size() - 1)));
}

}  // namespace
