// The flashing job on its worker thread against the simulated module's model: requests go
// straight into the model, its answers reach the reply recognition on this thread's event loop.
// Small test images are built-in resources of this test program ("_X_T1000" is 1000 bytes).

#include "loader/FlashJob.h"

#include "loader/FlashErase.h"
#include "firmware/ImageHeader.h"

#include "firmware/ResourceCatalogue.h"
#include "loader/ReplyRecognition.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <algorithm>

#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

quint32 Le32(const QByteArray& Data, int At) {
  return qFromLittleEndian<quint32>(Data.constData() + At);
}

class TFlashJobTest : public ::testing::Test {
 protected:
  TFlashJobTest() { Reset(); }

  void Reset() {
    Inputs = TFlashJobInputs();
    Inputs.SPIMode = "DIO";
    Inputs.FlashSize = "4MByte";
    Inputs.FlashSpeed = "40MHz";
    Firmware = "T1000";
    Offset = "0x00000";
  }

  // Runs one whole job and processes its UI steps until it has ended.
  void Run() {
    TFlashJobSteps Steps;
    Steps.Log = [this](const QString& Line) { Lines << Line; };
    Steps.ShowStatusNo = [this] { Lines << "[NO]"; };
    Steps.SetLabelStatus = [this](const QString& Text) { Lines << "[status] " + Text; };
    Steps.EnterStage = [this](TRunStage Stage) { Stages << StageName(Stage); };
    Steps.SetProgress = [this](int Position) { Progress << Position; };
    Steps.ShowDeviceIdentity = [this](const TModuleMAC& MAC) {
      Lines << "[identity]";
      Met = MAC;
      if (IdentityFails) throw std::runtime_error("Cannot write RQ53MAC.txt: Permission denied.");
      return QString("20261211120000.png");
    };
    Steps.RunAfterFlash = [this] { Lines << "[run]"; };
    Steps.SetLineRate = [this](quint32 Rate) { return Lines << QString("[rate] %1").arg(Rate), true; };
    Steps.BootPulse = [this] { Lines << "[pulse]"; };
    Steps.Finished = [this](const TRunOutcome& Ended) {
      Outcome = Ended;
      Lines << QString("[outcome] %1 %2%3 %4/%5")
                   .arg(Ended.Firmware, Ended.Result == TRunResult::Failed ? Ended.ReasonText : "",
                        Ended.Result == TRunResult::Stopped ? "stopped" : "")
                   .arg(Ended.BlocksWritten)
                   .arg(Ended.BlockCount);
    };
    Record.Replies.Open();
    Record.RunState = StateJobRunning;
    Stages.clear();
    // As the run control does when a run starts: the images read once.
    Inputs.FirmwareName = Firmware;
    Inputs.Images = {{Firmware, Offset}};
    Inputs.Regions.clear();
    Inputs.ReadError.clear();
    ReadJobImages(Inputs);
    const TFrameLink Link{[this](const QByteArray& Packet) { return Send(Packet); },
                          [this](int TimeoutMs) { return Record.Replies.Next(TimeoutMs); },
                          [this] { return Record.Replies.Stopped(); }};
    TFlashJob Job(&Ui, Link, Steps, Inputs);
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

  // The module's answer, reaching the recognition on the UI thread. The block of sequence
  // number RefusalWithBlock gets a refusal behind its success reply, in the same delivery.
  bool Send(const QByteArray& Packet) {
    std::vector<TSimDelivery> Out;
    std::vector<TSimRequest> Taken;
    {
      std::lock_guard Lock(SimLock);
      Out = Sim.Receive(Packet, &Taken);
    }
    for (const TSimRequest& Request : Taken)
      if (Request.Command == SimFlashData && Request.Sequence == RefusalWithBlock)
        Out.back().Bytes += QByteArray::fromHex("c001030200000000000105c0");
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
  quint32 RefusalWithBlock = ~0u;
  TReplyRecognizer Recognizer{Record, [this](const QString& Line) { Lines << Line; }};
  TFlashJobInputs Inputs;
  QString Firmware, Offset;  // the image chosen and where it goes
  TRunOutcome Outcome;
  TModuleMAC Met;
  QStringList Stages;
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
                                "Note: Erasing 8 KiB.", "Note: Set base address success.",
                                "Note: Program flash success.",
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
  EXPECT_EQ(Progress.last(), 100);
  // The outcome says what the run did, and the stages came in their order.
  EXPECT_EQ(Outcome.Result, TRunResult::Done);
  EXPECT_EQ(Outcome.Path, TFlashPath::BootRom);
  EXPECT_FALSE(Outcome.Verified);
  EXPECT_EQ(Outcome.StationMAC, Met.Station);
  EXPECT_EQ(Outcome.StationMAC, "18:FE:34:12:34:59");
  EXPECT_EQ(Outcome.AccessPointMAC, "1A-FE-34-12-34-59");
  EXPECT_EQ(Outcome.PictureFile, "20261211120000.png");
  EXPECT_EQ(Outcome.ImageSha256.toHex(),
            QCryptographicHash::hash(Image("T1000"), QCryptographicHash::Sha256).toHex());
  EXPECT_EQ(Stages, QStringList({"mac", "erase", "write", "run"}));
}

TEST_F(TFlashJobTest, PadsTheLastBlockToAMultipleOfFour) {
  Firmware = "T2049";
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

  Firmware = "T1023";
  Sim = TSimulatedModule();
  Run();
  EXPECT_EQ(Le32(Requests(SimFlashBegin)[0].Data, 0), 1024u);
  EXPECT_EQ(Blocks().value(0).right(1), QByteArray(1, '\xFF'));
  EXPECT_EQ(Blocks().value(0).size(), 1024);
}

TEST_F(TFlashJobTest, SendsAnImageAtAnotherOffsetUnchanged) {
  Firmware = "T1000";
  Offset = "10000h";
  Run();
  EXPECT_EQ(Le32(Requests(SimFlashBegin)[0].Data, 12), 0x10000u);
  EXPECT_EQ(Blocks(), QList<QByteArray>{Image("T1000")});
}

// An image under 100 bytes moves the bar after each block instead of dividing by zero.
TEST_F(TFlashJobTest, ShowsProgressOfATinyImage) {
  Firmware = "T60";
  Run();
  EXPECT_EQ(Progress, QList<int>({100, 100}));
  EXPECT_EQ(Blocks().value(0).size(), 60);
}

// Refused after the MAC was read and before anything is erased. A box without a choice is what
// an index out of range in a hand-edited settings file leaves.
TEST_F(TFlashJobTest, RefusesWhatItCannotProgram) {
  const QString NotChosen = "Error: No %1 chosen; its value in Config.xml is out of range.";
  const struct {
    const char* FilePath;
    const char* Offset;
    QString Error;
    const char* Size = "4MByte";
    const char* Speed = "40MHz";
    const char* Mode = "DIO";
  } Cases[] = {
      {"NOSUCH", "0x00000", "Error: Firmware image not available."},
      {"", "0x00000", "Error: Firmware image not available."},
      {"T1000", "0X1000", "Error: Invalid flash offset 0X1000."},
      {"T1000", "", "Error: Invalid flash offset ."},
      {"T3", "0x00000", "Error: Firmware image of 3 bytes is too short for its header."},
      {"T1000", "0x1800", "Error: Flash offset 0x1800 is not on a 4 KiB sector boundary."},
      {"T1000", "0x10", "Error: Flash offset 0x10 is not on a 4 KiB sector boundary."},
      {"T2049", "0x40000", "Error: Firmware image of 2049 bytes at 0x40000 does not fit in "
                           "256kByte flash.", "256kByte"},
      {"T1000", "0x3FF000", "Error: Firmware image of 1000 bytes at 0x3FF000 does not fit in "
                            "2MByte flash.", "2MByte"},
      {"T1000", "0x00000", NotChosen.arg("flash size"), ""},
      {"T1000", "0x00000", NotChosen.arg("flash speed"), "4MByte", ""},
      {"T1000", "0x00000", NotChosen.arg("SPI mode"), "4MByte", "40MHz", ""},
  };
  for (const auto& Case : Cases) {
    Lines.clear();
    Firmware = Case.FilePath;
    Offset = Case.Offset;
    Inputs.FlashSize = Case.Size;
    Inputs.FlashSpeed = Case.Speed;
    Inputs.SPIMode = Case.Mode;
    Run();
    // The outcome names what went wrong in the error line's words.
    QString Said = Case.Error.mid(7).chopped(1);
    Said[0] = Said[0].toLower();
    EXPECT_EQ(Lines, QStringList({"[identity]", Case.Error, "[NO]", "[run]", "[status] Ready ",
                                  QString("[outcome] %1 %2 0/0").arg(Case.FilePath, Said)}))
        << Case.FilePath;
    EXPECT_EQ(Outcome.Reason,
              Case.Error.contains("available") ? TRunReason::ImageMissing : TRunReason::BadSettings);
  }
  EXPECT_TRUE(Requests(SimFlashBegin).empty());
  EXPECT_TRUE(Requests(SimFlashData).empty());
  // At the last sector of the chip the image still fits.
  Reset();
  Offset = "0x3FF000";
  Sim = TSimulatedModule();
  Run();
  EXPECT_EQ(Outcome.Result, TRunResult::Done);
  EXPECT_EQ(Blocks().size(), 1);
}

TEST_F(TFlashJobTest, ARecordThatCannotBeWrittenEndsTheRunCleanly) {
  IdentityFails = true;
  Inputs.PostRun = false;
  Run();
  EXPECT_EQ(Lines, QStringList({"[identity]", "Error: Cannot write RQ53MAC.txt: Permission denied.",
                                "[NO]", "[status] Ready ", "[outcome] T1000 module not recorded 0/0"}));
  EXPECT_TRUE(Requests(SimFlashBegin).empty());
  EXPECT_EQ(Outcome.Reason, TRunReason::NotRecorded);
}

// Both built-in images from the first sector, one sector in, just below 512 KiB and ending on a
// 64 KiB boundary: the module erases the image's sectors and nothing else, and the blocks
// announced and sent are those of the image.
TEST_F(TFlashJobTest, ErasesJustTheImagesSectors) {
  QByteArray Before(4 << 20, 0);
  for (qsizetype i = 0; i < Before.size(); ++i) Before[i] = char(0x5A ^ (i >> 12) ^ (i & 7));
  for (const char* Name : {"CORVEL", "UPYTHON"}) {
    const QByteArray Source = Image(Name);
    const auto Sectors = quint32((Source.size() + 4095) / 4096);
    for (const quint32 At : {0x0u, 0x1000u, 0x7F000u, 0x100000u - Sectors * 4096}) {
      SCOPED_TRACE(testing::Message() << Name << " at 0x" << std::hex << At);
      Sim = TSimulatedModule();
      Sim.PresetFlash(0, Before);
      Lines.clear();
      Firmware = Name;
      Offset = "0x" + QString::number(At, 16);
      Run();
      ASSERT_EQ(Outcome.Result, TRunResult::Done) << Lines.join('\n').toStdString();
      EXPECT_EQ(Lines.filter("Erasing"),
                QStringList{QString("Note: Erasing %1 KiB.").arg(Sectors * 4)});
      const auto Blocks = quint32((Source.size() + 1023) / 1024);
      EXPECT_EQ(Le32(Requests(SimFlashBegin).at(0).Data, 4), Blocks);
      EXPECT_EQ(quint32(Requests(SimFlashData).size()), Blocks);

      QByteArray Expected = Before;
      Expected.replace(At, Sectors * 4096, QByteArray(Sectors * 4096, '\xFF'));
      QByteArray Written = Source;
      if (At == 0) Written.replace(2, 2, "\x02\x40");
      Expected.replace(At, Written.size(), Written);
      std::lock_guard Lock(SimLock);
      const auto Differ = std::mismatch(Expected.begin(), Expected.end(), Sim.Flash().begin());
      EXPECT_EQ(Differ.first - Expected.begin(), Expected.size()) << "first byte that differs";
    }
  }
}

// For a first sector anywhere in a 64 KiB block and images of 1 to 40 sectors, by the module's
// own formula: the size sent erases the image's sectors, or one more where no size can (an odd
// count that ends before the block does); it never exceeds the image.
TEST(FlashEraseSize, ErasesTheImagesSectorsByTheModulesFormula) {
  for (quint32 First = 0; First < 32; ++First)
    for (quint32 Sectors = 1; Sectors <= 40; ++Sectors) {
      const quint32 Offset = First * 4096, ImageSize = Sectors * 4096 - 100;
      const quint32 Size = FlashBeginSize(Offset, ImageSize);
      const bool Exact = Sectors % 2 == 0 || Sectors > 2 * (16 - First % 16);
      const quint32 Erased = Sectors + (Exact ? 0 : 1);
      EXPECT_EQ(TSimulatedModule::SectorsErased(Offset, Size), Erased) << First << " " << Sectors;
      EXPECT_EQ(SectorsErasedBy(Offset, Size), Erased) << First << " " << Sectors;
      EXPECT_LE(Size, ImageSize);
    }
  // Worst-case waits: the images at 0 (9 blocks and 3 sectors, 7 blocks and 6 sectors), and
  // the larger one a sector in (15 sectors, 8 blocks, 4 sectors).
  EXPECT_EQ(FlashBeginWaitMs(0, 147, 5000), 24200);
  EXPECT_EQ(FlashBeginWaitMs(0, 118, 5000), 21400);
  EXPECT_EQ(FlashBeginWaitMs(0x1000, 147, 5000), 28600);
}

// A refusal in one delivery with a block's success ends the run there: after a middle block
// nothing more is sent, and after the last one the run does not end as done.
TEST_F(TFlashJobTest, ARefusalBesideASuccessEndsTheRun) {
  Firmware = "T2049";
  for (const quint32 Block : {1u, 2u}) {
    SCOPED_TRACE(Block);
    Sim = TSimulatedModule();
    Lines.clear();
    RefusalWithBlock = Block;
    Run();
    EXPECT_EQ(Outcome.Reason, TRunReason::BlockRefused);
    EXPECT_EQ(Lines.mid(Lines.size() - 6),
              QStringList({"Note: Program flash success.",
                           "Error: RQ53 rejected flash data (error 0x05).", "[NO]", "[run]",
                           "[status] Ready ",
                           QString("[outcome] T2049 block %1 of 3 refused (invalid message) %2/3")
                               .arg(Block + 1)
                               .arg(Block)}));
    EXPECT_EQ(Blocks().size(), Block + 1);
  }
}

}  // namespace
