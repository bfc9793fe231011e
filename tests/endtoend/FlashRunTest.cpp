// Whole flash runs through the real window, the serial component with its threads and the
// simulated module on a pseudo-terminal paced like a real line, on a real event loop.

#include "tests/window/WindowTestSupport.h"

#include "app/FlashRunControl.h"
#include "firmware/ResourceCatalogue.h"
#include "firmware/UnitFrameConfigLine.h"
#include "serial/SPComm.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>

namespace {

// eFuse words of a module whose station address is 18:FE:34:12:34:56.
constexpr std::array<quint32, 4> EfuseWords{0x56400000, 0x00001234, 0x00000000, 0x00000000};
const QString STAMAC = QStringLiteral("18:FE:34:12:34:56");
const QString APMAC = QStringLiteral("1A-FE-34-12-34-56");

TSimulatedModule Module() {
  TSimulatedModule Module;
  Module.SetEfuseWords(EfuseWords);
  return Module;
}

QByteArray BuiltInImage(const QString& Name) {
  return ResourceCatalogue::Load(QStringLiteral("BIN"), QStringLiteral("_X_") + Name).value();
}

// What an independent QR decoder reads in the picture, scaled up so that it finds the symbol.
QString DecodeQRPicture(const QString& Path, const QString& Folder) {
  const QImage Picture(Path);
  const QString Scaled = Folder + "/scaled.png";
  Picture.scaled(Picture.size() * 8, Qt::IgnoreAspectRatio, Qt::FastTransformation).save(Scaled);
  QProcess Decoder;
  Decoder.start(QStringLiteral("zbarimg"), {"--raw", "-q", Scaled});
  Decoder.waitForFinished(10000);
  QString Text = QString::fromLatin1(Decoder.readAllStandardOutput());
  if (Text.endsWith('\n')) Text.chop(1);
  return Text;
}

class TFlashRun : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    Form->ComboBoxSerialPortA->setEditText(Port.SlavePath());
  }

  void Flash(const QString& Firmware) {
    ChooseFirmware(Firmware);
    PressFlash();
    ASSERT_TRUE(Form->Comm()->PortOpen());
  }

  // A run ends when its port is closed or, after a failure, when the state machine has stopped
  // and the worker has finished.
  bool RunEnded(int TimeoutMs = 60000) {
    return WaitUntil(
        [&] {
          return !Form->Comm()->PortOpen() || (!Form->TimerStateMachine->isActive() &&
                                               !Form->RunControl().WorkerRunning());
        },
        TimeoutMs);
  }

  void WithModule(const std::function<void(TSimulatedModule&)>& Fn) { Port.WithModule(Fn); }

  int Requests(quint8 Command) {
    int Count = 0;
    WithModule([&](TSimulatedModule& Sim) {
      for (const TSimRequest& Request : Sim.Requests()) Count += Request.Command == Command;
    });
    return Count;
  }

  int Count(const QString& Line) const { return int(Log().count(Line)); }
  QString ConfigFile(const QString& Name) const { return Form->ConfigDir() + Name; }
  QStringList Pictures() const {
    return QDir(Form->ConfigDir()).entryList({"*.png"}, QDir::Files, QDir::Name);
  }

  // A failed run: its error line, the NO picture, the port left open for the user to stop.
  void ExpectFailure(const QString& Error) {
    EXPECT_EQ(Count(Error), 1) << Log().join('\n').toStdString();
    EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
    EXPECT_FALSE(Form->TimerStateMachine->isActive());
    EXPECT_EQ(Form->ButtonBurn->text(), "Stop(&S)");
    EXPECT_EQ(Form->LabelStatus->text(), "Ready ");
  }

  // A finished run of the CORVEL image: every reply recognised once, the image in flash with the
  // Advanced page's header codes, the YES picture and the port closed.
  void ExpectCorvelFlashed() {
    const QByteArray Image = BuiltInImage("CORVEL");
    ASSERT_EQ(Image.size(), 480096);
    const QStringList Lines = Log();
    EXPECT_EQ(Lines.mid(0, 3), QStringList({"Note: Serial port connected.",
                                            "Note: Begin find RQ53.", "Note: RQ53 ACK success."}));
    EXPECT_EQ(Count("Note: RQ53 ACK success."), 1);
    EXPECT_EQ(Count("Note: Set base address success."), 1);
    EXPECT_EQ(Count("Note: Program flash success."), 469);
    EXPECT_EQ(Lines.filter(QRegularExpression("^(Warning|Error)")), QStringList());
    EXPECT_EQ(Lines[Lines.size() - 1], "Note: Serial port disconnected.");

    QByteArray Expected = Image;
    Expected[2] = 0x02;  // DIO
    Expected[3] = 0x40;  // 4 MByte, 40 MHz
    WithModule([&](TSimulatedModule& Sim) { EXPECT_TRUE(Sim.Flash().startsWith(Expected)); });
    EXPECT_EQ(Requests(SimFlashData), 469);
    EXPECT_EQ(Form->ProgressBarStatus->value(), 100);
    EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES"));
    EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
    EXPECT_EQ(Form->RunRecord().RunState, StateFinished);
  }

  TSimulatedPort Port{Module(), 576000};
};

TEST_F(TFlashRun, FlashesAndRecordsAModule) {
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded());
  ExpectCorvelFlashed();

  EXPECT_EQ(Form->LabeledEditSTAMAC->text(), STAMAC);
  EXPECT_EQ(Form->LabeledEditAPMAC->text(), APMAC);
  QFile Record(ConfigFile("RQ53MAC.txt"));
  ASSERT_TRUE(Record.open(QIODevice::ReadOnly));
  const QStringList Fields = QString::fromLatin1(Record.readAll()).split("\r\n");
  ASSERT_EQ(Fields.size(), 5);
  EXPECT_EQ(Fields.mid(1), QStringList({" AP MAC:" + APMAC, "STA MAC:" + STAMAC, "", ""}));
  EXPECT_EQ(Pictures(), QStringList{Fields[0] + ".png"});
  EXPECT_EQ(DecodeQRPicture(ConfigFile(Fields[0] + ".png"), AppDir.path()),
            " AP MAC:" + APMAC + "\r\nSTA MAC:" + STAMAC);

  EXPECT_EQ(Form->LabelStatus->text(), "Ready ");
}

// The reset banner comes as garbage before the first reply, and every reply (the 8 SYNC frames
// as one) in three pieces 2 ms apart, each read on its own: the run goes as with a module that
// answers in one piece.
TEST_F(TFlashRun, RecognisesRepliesAfterTheBannerAndInPieces) {
  WithModule([](TSimulatedModule& Sim) {
    Sim.Misbehaviour().BannerBeforeFirstReply = true;
    Sim.Misbehaviour().SplitPieces = 3;
    Sim.Misbehaviour().SplitGapMs = 2;
  });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded());
  ExpectCorvelFlashed();
  EXPECT_EQ(Form->LabeledEditSTAMAC->text(), STAMAC);
  EXPECT_EQ(Form->LabeledEditAPMAC->text(), APMAC);
}

TEST_F(TFlashRun, SendsAnImageAtAnotherOffsetUnchanged) {
  Form->FrameConfigLine1->SetOffset("0x10000");
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES"));
  WithModule([&](TSimulatedModule& Sim) {
    EXPECT_EQ(Sim.Flash().mid(0x10000, 480096), BuiltInImage("CORVEL"));
  });
}

TEST_F(TFlashRun, ARegisterReadTimeOutRecordsNothing) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimReadReg, -1}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(15000));
  ExpectFailure("Error: Read RQ53 register timeout.");
  EXPECT_EQ(Requests(SimFlashBegin), 0);
  EXPECT_FALSE(QFile::exists(ConfigFile("RQ53MAC.txt")));
  EXPECT_TRUE(Pictures().isEmpty());
  EXPECT_EQ(Form->LabeledEditSTAMAC->text(), "Waiting MAC");
}

TEST_F(TFlashRun, AnAddressTimeOutSendsNoBlock) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimFlashBegin, -1}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(15000));
  ExpectFailure("Error: Set RQ53 Address timeout.");
  EXPECT_EQ(Requests(SimFlashData), 0);
  EXPECT_TRUE(QFile::exists(ConfigFile("RQ53MAC.txt")));
}

TEST_F(TFlashRun, ABlockTimeOutEndsTheRun) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().NoReply = {SimFlashData, -1}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(15000));
  ExpectFailure("Error: Write flash timeout.");
  EXPECT_EQ(Requests(SimFlashData), 1);
  PressFlash();
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_EQ(Count("Warning: Serial port closed by user."), 1);
}

// A refused block is never taken for a success: the run ends at once and sends nothing more.
TEST_F(TFlashRun, AFailureStatusEndsTheRunAtOnce) {
  WithModule([](TSimulatedModule& Sim) { Sim.Misbehaviour().Fail = {SimFlashData, 1}; });
  Flash("CORVEL");
  ASSERT_TRUE(RunEnded(4000));
  ExpectFailure("Error: RQ53 rejected flash data (error 0x05).");
  EXPECT_EQ(Count("Note: Program flash success."), 0);
  Settle(200);
  EXPECT_EQ(Requests(SimFlashData), 1);
}

TEST_F(TFlashRun, AUserStopDuringProgrammingSendsNoFurtherBlock) {
  Flash("CORVEL");
  ASSERT_TRUE(WaitUntil([&] { return Form->ProgressBarStatus->value() >= 10; }));
  PressFlash();
  EXPECT_FALSE(Form->Comm()->PortOpen());
  ASSERT_TRUE(WaitUntil([&] { return !Form->RunControl().WorkerRunning(); }, 2000));
  const int Sent = Requests(SimFlashData);
  Settle(200);
  EXPECT_EQ(Requests(SimFlashData), Sent);
  EXPECT_LT(Sent, 469);
  EXPECT_EQ(Log().filter("timeout"), QStringList());
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
}

TEST_F(TFlashRun, ClosingTheWindowMidRunEndsItCleanly) {
  Flash("CORVEL");
  ASSERT_TRUE(WaitUntil([&] { return Form->ProgressBarStatus->value() >= 10; }));
  Form->close();
  Form.reset();
  const int Sent = Requests(SimFlashData);
  Settle(200);
  EXPECT_EQ(Requests(SimFlashData), Sent);
}

}  // namespace
