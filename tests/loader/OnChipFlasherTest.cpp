// Whole loader-path flashes against the simulated module, through a link that hands each request
// to the module and its deliveries back as reply frames, as a run's serial port and reply wait
// would: the program uploaded and started, the rate changed, both built-in images written and
// checked by their digest, and each way the program can fail.

#include "loader/OnChipFlasher.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

namespace {

constexpr quint32 RomRate = 576000, FastRate = 921600;

class OnChipFlasherTest : public ::testing::Test {
 protected:
  OnChipFlasherTest() { FreshModule(); }

  // A module just arrived, its flash full of 0x5A, the line undamaged.
  void FreshModule() {
    Module = TSimulatedModule(1 << 21);
    Module.SetLineRate(RomRate);
    Module.PresetFlash(0, QByteArray(1 << 21, '\x5A'));
    Received.clear();
    Replies.clear();
    DamageRequest = DamageReply = nullptr;
  }

  TOnChipLink Link() {
    TOnChipLink Made;
    Made.Frames.Send = [this](const QByteArray& Request) {
      QByteArray Bytes = Request;
      if (DamageRequest) DamageRequest(Bytes);
      for (const TSimDelivery& Delivery : Module.Receive(Bytes)) {
        QByteArray Reply = Delivery.Bytes;
        if (DamageReply) DamageReply(Reply);
        Received += Reply;
      }
      for (const TReplyFrame& Reply : TakeReplyFrames(Received)) Replies.push_back(Reply);
      return true;
    };
    Made.Frames.Stopped = [] { return false; };
    Made.Frames.NextReply = [this](int TimeoutMs) -> std::optional<TReplyFrame> {
      // Time passes for a reply that does not come (shortened): the program's waits are real.
      if (Replies.empty()) QThread::msleep(std::min(TimeoutMs, 100));
      if (Replies.empty()) return std::nullopt;
      const TReplyFrame Reply = Replies.front();
      Replies.pop_front();
      return Reply;
    };
    Made.SetLineRate = [this](quint32 Rate) {
      if (PortMaxRate != 0 && Rate > PortMaxRate) return false;
      Module.SetLineRate(Rate);
      return true;
    };
    Made.Progress = [this](qsizetype Done, qsizetype) { LastProgress = Done; };
    return Made;
  }

  static QByteArray Image(const char* Name) {
    QFile File(QString(":/BIN/_X_") + Name);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
  }

  TSimulatedModule Module{1 << 21};
  QByteArray Received;
  std::deque<TReplyFrame> Replies;
  qsizetype LastProgress = 0;
  // Changes a request's bytes on their way to the module, or a reply's on their way back.
  std::function<void(QByteArray&)> DamageRequest, DamageReply;
  quint32 PortMaxRate = 0;  // the port refuses rates above it (0: none)
};

// Flips bit Bit of the line bytes of every frame of Command that passes (C0 direction command..).
std::function<void(QByteArray&)> FlipBit(quint8 Command, int Bit) {
  return [Command, Bit](QByteArray& Bytes) {
    if (Bytes.size() > 2 && quint8(Bytes[2]) == Command && Bit / 8 < Bytes.size())
      Bytes[Bit / 8] = char(Bytes[Bit / 8] ^ (1 << (Bit % 8)));
  };
}

// The rates the module's loader program was asked for, in order, since its Since-th request.
std::vector<quint32> RatesAsked(const TSimulatedModule& Module, quint64 Since) {
  const std::vector<TSimRequest>& Requests = Module.Requests();
  std::vector<quint32> Rates;
  const auto First = Requests.end() - qsizetype(Module.RequestCount() - Since);
  for (auto It = First; It != Requests.end(); ++It)
    if (It->Command == OC_RATE) Rates.push_back(SimReadLe32(It->Data, 0));
  return Rates;
}

TEST_F(OnChipFlasherTest, BothImagesAreWrittenAtTheHigherRateAndTheirDigestsAgree) {
  TOnChipFlasher Flasher(Link(), RomRate, FastRate);
  const TOnChipResult Started = Flasher.Start(*BuiltInOnChipProgram());
  ASSERT_EQ(Started.Outcome, TOnChipOutcome::Written) << Started.Reason.toStdString();
  EXPECT_TRUE(Module.LoaderRunning());
  for (const char* Name : {"CORVEL", "UPYTHON"}) {
    SCOPED_TRACE(Name);
    const QByteArray Firmware = Image(Name);
    const TOnChipResult Done = Flasher.Flash(Firmware, 0);
    EXPECT_EQ(Done.Outcome, TOnChipOutcome::Written) << Done.Reason.toStdString();
    EXPECT_EQ(Done.Digest, OnChipDigest(Firmware));
    EXPECT_EQ(LastProgress, Firmware.size());
    const qsizetype End = (Firmware.size() + 4095) / 4096 * 4096;
    EXPECT_EQ(Module.Flash().left(Firmware.size()), Firmware);
    EXPECT_EQ(Module.Flash().mid(End), QByteArray(Module.Flash().size() - End, '\x5A'))
        << "every sector after the image untouched";
  }
  EXPECT_TRUE(Replies.empty());
}

// 2000000 bit/s is reached through 921600. A rate the port refuses is never asked of the program;
// one the module's line cannot carry leaves the program unheard, and it goes back on its own.
TEST_F(OnChipFlasherTest, AFastRateThePortOrTheModuleCannotRunEndsAt921600) {
  struct {
    const char* Case;
    quint32 PortMax, ModuleMax, Rate;
    std::vector<quint32> Asked;
    QString Warning;
  } Cases[] = {
      {"both run it", 0, 0, 2000000, {921600, 2000000}, ""},
      {"the port refuses it", 921600, 0, 921600, {921600},
       "the port does not run at 2000000 bit/s; the loader stays at 921600"},
      {"the module cannot", 0, 1500000, 921600, {921600, 2000000},
       "the loader did not answer at 2000000 bit/s; both sides went back to 921600"},
  };
  const QByteArray Firmware = Image("CORVEL");
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Case);
    Module.Reset();
    Module.Misbehaviour().MaxLoaderRate = Case.ModuleMax;
    Module.SetLineRate(RomRate);
    Replies.clear();
    PortMaxRate = Case.PortMax;
    const quint64 Since = Module.RequestCount();
    TOnChipFlasher Flasher(Link(), RomRate, 2000000);
    const TOnChipResult Started = Flasher.Start(*BuiltInOnChipProgram());
    ASSERT_EQ(Started.Outcome, TOnChipOutcome::Written) << Started.Reason.toStdString();
    EXPECT_EQ(Started.Rate, Case.Rate);
    EXPECT_EQ(Started.RateWarning, Case.Warning);
    EXPECT_EQ(RatesAsked(Module, Since), Case.Asked);
    const TOnChipResult Done = Flasher.Flash(Firmware, 0);
    EXPECT_EQ(Done.Outcome, TOnChipOutcome::Written) << Done.Reason.toStdString();
    EXPECT_EQ(Module.Flash().left(Firmware.size()), Firmware);
  }
}

// Two bits flipped in one place of two bytes pass an XOR of the bytes: the check over all bytes
// refuses the block.
TEST_F(OnChipFlasherTest, ABlockDamagedOnTheLineIsRefused) {
  TOnChipFlasher Flasher(Link(), RomRate, FastRate);
  ASSERT_EQ(Flasher.Start(*BuiltInOnChipProgram()).Outcome, TOnChipOutcome::Written);
  DamageRequest = [](QByteArray& Bytes) {
    if (quint8(Bytes.at(2)) != OC_DATA) return;
    Bytes[40] = char(Bytes[40] ^ 0x04);
    Bytes[41] = char(Bytes[41] ^ 0x04);
  };
  const TOnChipResult Damaged = Flasher.Flash(Image("CORVEL"), 0);
  EXPECT_EQ(Damaged.Outcome, TOnChipOutcome::Failed);
  EXPECT_EQ(Damaged.Reason, "a block refused (error 7)");
}

// Each bit of BEGIN and FINISH, and of their replies, flipped in turn on the line, each on a fresh
// module: no run ends written with the image anywhere but at 0x9000, and nothing outside the
// image's sectors ever changes.
TEST_F(OnChipFlasherTest, NoFlippedBitMovesTheImage) {
  const QByteArray Firmware = QByteArray("a small image of three sectors").repeated(400);
  const qsizetype Offset = 0x9000, End = Offset + 3 * 4096;
  int Written = 0, Failed = 0;
  for (const bool Reply : {false, true})
    for (const quint8 Command : {quint8(OC_BEGIN), quint8(OC_FINISH)})
      for (int Bit = 0; Bit < (Command == OC_BEGIN ? 8 * 30 : 8 * 20); ++Bit) {
        SCOPED_TRACE(testing::Message() << (Reply ? "reply " : "request ") << int(Command)
                                        << " bit " << Bit);
        FreshModule();
        TOnChipFlasher Flasher(Link(), RomRate, FastRate);
        ASSERT_EQ(Flasher.Start(*BuiltInOnChipProgram()).Outcome, TOnChipOutcome::Written);
        (Reply ? DamageReply : DamageRequest) = FlipBit(Command, Bit);
        const TOnChipResult Done = Flasher.Flash(Firmware, quint32(Offset));
        const QByteArray& Flash = Module.Flash();
        EXPECT_EQ(Flash.left(Offset), QByteArray(Offset, '\x5A'));
        EXPECT_EQ(Flash.mid(End), QByteArray(Flash.size() - End, '\x5A'));
        if (Done.Outcome == TOnChipOutcome::Written) {
          EXPECT_EQ(Flash.mid(Offset, Firmware.size()), Firmware);
          ++Written;
        } else {
          ++Failed;
        }
      }
  EXPECT_GT(Written, 0) << "a flipped status or room changes nothing";
  EXPECT_GT(Failed, 0);
}

TEST_F(OnChipFlasherTest, ProgramsThatFailLeaveTheFlashAlone) {
  struct {
    const char* Reason;
    TOnChipOutcome Outcome;
    std::function<void(TSimMisbehaviour&)> Setup;
  } Cases[] = {
      {"the loader could not be uploaded", TOnChipOutcome::NotUploaded,
       [](TSimMisbehaviour& Bad) {
         Bad.Fail = TSimRequestPick{SimMemData, 1, 1};
       }},
      {"the loader did not start", TOnChipOutcome::NotStarted,
       [](TSimMisbehaviour& Bad) { Bad.LoaderSilent = true; }},
      {"the loader did not answer at the new rate", TOnChipOutcome::NotStarted,
       [](TSimMisbehaviour& Bad) { Bad.LoaderSilentAfterRate = true; }},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Reason);
    Module.Reset();
    Module.Misbehaviour() = TSimMisbehaviour();
    Module.SetLineRate(RomRate);
    Case.Setup(Module.Misbehaviour());
    Replies.clear();
    TOnChipFlasher Flasher(Link(), RomRate, FastRate);
    const TOnChipResult Started = Flasher.Start(*BuiltInOnChipProgram());
    EXPECT_EQ(Started.Outcome, Case.Outcome);
    EXPECT_EQ(Started.Reason, Case.Reason);
    EXPECT_EQ(Module.Flash(), QByteArray(1 << 21, '\x5A'));
  }
}

}  // namespace
