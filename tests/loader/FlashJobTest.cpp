// The flashing job on its worker thread against the simulated module's model: requests go
// straight into the model, its answers reach the reply recognition on this thread's event loop.
// Small test images are built-in resources of this test program ("_X_T1000" is 1000 bytes).

#include "loader/FlashJob.h"

#include "firmware/ResourceCatalogue.h"
#include "loader/ReplyRecognition.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <QtEndian>

#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

quint32 Le32(const QByteArray& Data, int At) {
  return qFromLittleEndian<quint32>(Data.constData() + At);
}

class TFlashJobTest : public ::testing::Test {
 protected:
  TFlashJobTest() { Inputs = {"T1000", "0x00000", "DIO", "4MByte", "40MHz", true, 100}; }

  // Runs one whole job and processes its UI steps until it has ended.
  void Run() {
    TFlashJobSteps Steps{[this](const QString& Line) { Lines << Line; },
                         [this] { Lines << "[NO]"; },
                         [this](const QString& Text) { Lines << "[status] " + Text; },
                         [this](int Position) { Progress << Position; },
                         [this] {
                           Lines << "[identity]";
                           if (IdentityFails) throw std::runtime_error("Cannot write RQ53MAC.txt: Permission denied.");
                         },
                         [this] { Lines << "[run]"; },
                         [this](const TFlashOutcome& Outcome) {
                           Lines << QString("[outcome] %1 %2%3 %4/%5")
                                        .arg(Outcome.Firmware, Outcome.Failure,
                                             Outcome.Stopped ? "stopped" : "")
                                        .arg(Outcome.BlocksWritten)
                                        .arg(Outcome.BlockCount);
                         }};
    TFlashJob Job(Record, &Ui, [this](const QByteArray& Packet) { return Send(Packet); }, Steps,
                  Inputs);
    std::atomic<bool> Done{false};
    std::thread Worker([&] {
      Job.FlashImage();
      Done = true;
    });
    const bool Ended = WaitUntil([&] { return Done.load(); }, 20000);
    Worker.join();
    ASSERT_TRUE(Ended);
    QCoreApplication::processEvents();
  }

  bool Send(const QByteArray& Packet) {
    std::vector<TSimDelivery> Out;
    {
      std::lock_guard Lock(SimLock);
      Out = Sim.Receive(Packet);
    }
    QMetaObject::invokeMethod(&Ui, [this, Out] {
      for (const TSimDelivery& Delivery : Out)
        Recognizer.CommReceiveData(nullptr, reinterpret_cast<const quint8*>(Delivery.Bytes.constData()),
                                   quint16(Delivery.Bytes.size()));
    });
    return true;
  }

  std::vector<TSimRequest> Requests(quint8 Command) {
    std::lock_guard Lock(SimLock);
    std::vector<TSimRequest> Picked;
    for (const TSimRequest& Request : Sim.Requests())
      if (Request.Command == Command) Picked.push_back(Request);
    return Picked;
  }

  // The blocks sent, without their 16-byte prefix.
  QList<QByteArray> Blocks() {
    QList<QByteArray> List;
    for (const TSimRequest& Request : Requests(SimFlashData)) List << Request.Data.mid(16);
    return List;
  }

  static QByteArray Image(const QString& Name) {
    return ResourceCatalogue::Load("BIN", "_X_" + Name).value();
  }

  QObject Ui;
  TRunRecord Record;
  std::mutex SimLock;
  TSimulatedModule Sim;
  QStringList Lines;
  QList<int> Progress;
  bool IdentityFails = false;
  TReplyRecognizer Recognizer{Record, [this](const QString& Line) { Lines << Line; }};
  TFlashJobInputs Inputs;
};

TEST(FlashHeaderCodes, FollowTheAdvancedPageTexts) {
  const struct {
    const char* Mode;
    quint8 ModeCode;
    const char* Size;
    const char* Speed;
    quint8 SizeSpeed;
  } Cases[] = {
      {"QIO", 0, "512kByte", "40MHz", 0x00},   {"QOUT", 1, "256kByte", "26.7MHz", 0x11},
      {"DIO", 2, "4MByte", "40MHz", 0x40},     {"DOUT", 3, "1MByte", "80MHz", 0x2F},
      {"dio", 0, "16MByte", "40MHz", 0x90},    {"", 0, "8MByte", "20MHz", 0x82},
      {"QIO", 0, "2MByte-C1", "80MHz", 0x5F},  {"QIO", 0, "4MByte-C1", "?", 0x60},
      {"QIO", 0, "2MByte", "", 0x30},          {"QIO", 0, "4mbyte", "40MHz", 0x00},
  };
  for (const auto& Case : Cases) {
    EXPECT_EQ(SPIModeCode(Case.Mode), Case.ModeCode) << Case.Mode;
    EXPECT_EQ(FlashSizeSpeedCode(Case.Size, Case.Speed), Case.SizeSpeed) << Case.Size << Case.Speed;
  }
}

TEST_F(TFlashJobTest, ReadsTheMACThenProgramsAndHandsTheRunBack) {
  Run();
  EXPECT_EQ(Requests(SimReadReg).size(), 4u);
  EXPECT_EQ(Lines, QStringList({"[identity]", "[status] Size: 1000 Bytes ",
                                "Note: Set base address success.", "Note: Program flash success.",
                                "[run]", "[status] Ready ", "[outcome] T1000  1/1"}));
  const auto Begin = Requests(SimFlashBegin);
  ASSERT_EQ(Begin.size(), 1u);
  EXPECT_EQ(Le32(Begin[0].Data, 0), 1000u);  // erase size
  EXPECT_EQ(Le32(Begin[0].Data, 4), 1u);     // blocks
  EXPECT_EQ(Le32(Begin[0].Data, 8), 1024u);  // block size
  EXPECT_EQ(Le32(Begin[0].Data, 12), 0u);    // offset
  QByteArray Expected = Image("T1000");
  Expected[2] = 2;
  Expected[3] = 0x40;
  EXPECT_EQ(Blocks(), QList<QByteArray>{Expected});
  EXPECT_EQ(Requests(SimFlashData)[0].Sequence, 0u);
  EXPECT_EQ(Record.RunState, StateRun);
  EXPECT_FALSE(Record.IsThreadStarted);
  EXPECT_FALSE(Record.BurnOK);
  EXPECT_EQ(Progress.last(), 100);
}

TEST_F(TFlashJobTest, PadsTheLastBlockToAMultipleOfFour) {
  Inputs.FilePath = "T2049";
  Run();
  const QByteArray Source = Image("T2049");
  const auto Begin = Requests(SimFlashBegin);
  EXPECT_EQ(Le32(Begin[0].Data, 0), 2052u);
  EXPECT_EQ(Le32(Begin[0].Data, 4), 3u);
  const QList<QByteArray> Sent = Blocks();
  ASSERT_EQ(Sent.size(), 3);
  EXPECT_EQ(Sent[1], Source.mid(1024, 1024));
  EXPECT_EQ(Sent[2], Source.mid(2048) + QByteArray(3, '\xFF'));
  const auto Data = Requests(SimFlashData);
  EXPECT_EQ(Data[2].Sequence, 2u);
  // S div 100 is 20: the bar moves after every block, and the last update rounds up.
  EXPECT_EQ(Progress, QList<int>({50, 100, 100, 100}));

  Inputs.FilePath = "T1023";
  Sim = TSimulatedModule();
  Run();
  EXPECT_EQ(Le32(Requests(SimFlashBegin)[0].Data, 0), 1024u);
  EXPECT_EQ(Blocks().value(0).right(1), QByteArray(1, '\xFF'));
  EXPECT_EQ(Blocks().value(0).size(), 1024);
}

TEST_F(TFlashJobTest, SendsAnImageAtAnotherOffsetUnchanged) {
  Inputs.FilePath = "T1000";
  Inputs.Offset = "10000h";
  Run();
  EXPECT_EQ(Le32(Requests(SimFlashBegin)[0].Data, 12), 0x10000u);
  EXPECT_EQ(Blocks(), QList<QByteArray>{Image("T1000")});
}

// An image under 100 bytes moves the bar after each block instead of dividing by zero.
TEST_F(TFlashJobTest, ShowsProgressOfATinyImage) {
  Inputs.FilePath = "T60";
  Run();
  EXPECT_EQ(Progress, QList<int>({100, 100}));
  EXPECT_EQ(Blocks().value(0).size(), 60);
}

TEST_F(TFlashJobTest, RefusesWhatItCannotProgram) {
  const struct {
    const char* FilePath;
    const char* Offset;
    QString Error;
    QString Outcome;
  } Cases[] = {
      {"NOSUCH", "0x00000", "Error: Firmware image not available.", "NOSUCH image not available"},
      {"", "0x00000", "Error: Firmware image not available.", " image not available"},
      {"T1000", "0X1000", "Error: Invalid flash offset 0X1000.", "T1000 invalid flash offset"},
      {"T1000", "", "Error: Invalid flash offset .", "T1000 invalid flash offset"},
      {"T3", "0x00000", "Error: Firmware image of 3 bytes is too short for its header.",
       "T3 image too short"},
  };
  for (const auto& Case : Cases) {
    Lines.clear();
    Record.BurnOK = false;
    Inputs.FilePath = Case.FilePath;
    Inputs.Offset = Case.Offset;
    Run();
    EXPECT_EQ(Lines, QStringList({"[identity]", Case.Error, "[NO]", "[run]", "[status] Ready ",
                                  "[outcome] " + Case.Outcome + " 0/0"}))
        << Case.FilePath;
    EXPECT_TRUE(Record.BurnOK);
    EXPECT_EQ(Record.RunState, StateRun);
  }
  EXPECT_TRUE(Requests(SimFlashBegin).empty());
}

TEST_F(TFlashJobTest, ARecordThatCannotBeWrittenEndsTheRunCleanly) {
  IdentityFails = true;
  Inputs.PostRun = false;
  Run();
  EXPECT_EQ(Lines, QStringList({"[identity]", "Error: Cannot write RQ53MAC.txt: Permission denied.",
                                "[NO]", "[status] Ready ", "[outcome] T1000 module not recorded 0/0"}));
  EXPECT_TRUE(Requests(SimFlashBegin).empty());
  EXPECT_EQ(Record.RunState, StateRun);
  EXPECT_FALSE(Record.IsThreadStarted);
}

}  // namespace
