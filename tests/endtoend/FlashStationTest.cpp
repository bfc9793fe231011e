// Flash runs without any widget, as a console front end makes them: two stations in one process,
// each with its own simulated module on a pseudo-terminal, on one real event loop.

#include "app/FlashStation.h"
#include "serial/SPComm.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace {

// Records what a front end would show.
class TConsoleView : public TFlashRunView {
 public:
  explicit TConsoleView(QString Port) : Port(std::move(Port)) {}
  QString Port;
  QStringList Lines;
  QList<TRunStatus> Statuses;
  QString Caption, Status, APMACStr, STAMACStr;
  int Progress = -1;
  QImage Picture;

  bool FirmwareSelected() const override { return true; }
  QString SerialPortText() const override { return Port; }
  bool SafeFlashChecked() const override { return false; }
  TFlashJobInputs FlashJobInputs() const override {
    return {"CORVEL", "0x00000", "DIO", "4MByte", "40MHz", true, 100};
  }
  void ShowMessage(const QString& Text) override { Lines << "Message: " + Text; }
  void Log(const QString& Text) override { Lines << Text.split(u'\n'); }
  void SetBurnCaption(const QString& Text) override { Caption = Text; }
  void SetLabelStatus(const QString& Text) override { Status = Text; }
  void ResetProgress() override { Progress = 0; }
  void SetProgress(int Position) override { Progress = Position; }
  void ShowStatus(TRunStatus Shown) override { Statuses << Shown; }
  void ShowMACTexts(const QString& AP, const QString& STA) override {
    APMACStr = AP;
    STAMACStr = STA;
  }
  void ShowQRPicture(const QImage& Shown) override { Picture = Shown; }
};

TSimulatedModule ModuleWithStationMAC(quint32 FirstWord) {
  TSimulatedModule Module;
  Module.SetEfuseWords(std::array<quint32, 4>{FirstWord, 0x00001234, 0, 0});
  return Module;
}

TEST(FlashStation, TwoPortsAreFlashedAtOnceWithoutWidgets) {
  QTemporaryDir Folder;
  const QString ConfigDir = Folder.path() + "/";
  TSimulatedPort PortA(ModuleWithStationMAC(0x56400000));
  TSimulatedPort PortB(ModuleWithStationMAC(0x57400000));
  TConsoleView ViewA(PortA.SlavePath()), ViewB(PortB.SlavePath());
  QStringList Errors;
  auto Guard = [&](const std::function<void()>& Step) {
    try {
      Step();
    } catch (const std::exception& Error) {
      Errors << QString::fromUtf8(Error.what());
    }
  };
  TFlashStation StationA(ViewA, [&] { return ConfigDir; }, Guard);
  TFlashStation StationB(ViewB, [&] { return ConfigDir; }, Guard);

  StationA.ActionBurnExecute(TBurnSender::User);
  StationB.ActionBurnExecute(TBurnSender::User);
  ASSERT_TRUE(StationA.Comm().PortOpen());
  ASSERT_TRUE(StationB.Comm().PortOpen());
  const QDeadlineTimer Deadline(60000);
  while ((StationA.Comm().PortOpen() || StationB.Comm().PortOpen()) && !Deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

  EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'\n').toStdString();
  for (TConsoleView* View : {&ViewA, &ViewB}) {
    EXPECT_EQ(View->Statuses, QList<TRunStatus>({TRunStatus::Wait, TRunStatus::Yes}));
    EXPECT_EQ(View->Caption, "Flash(&F)");
    EXPECT_EQ(View->Status, "Ready ");
    EXPECT_EQ(View->Progress, 100);
    EXPECT_FALSE(View->Picture.isNull());
    EXPECT_EQ(View->Lines.mid(0, 2),
              QStringList({"Note: Serial port connected.", "Note: Begin find RQ53."}));
    EXPECT_EQ(View->Lines.last(), "Note: Serial port disconnected.");
  }
  EXPECT_EQ(ViewA.STAMACStr, "18:FE:34:12:34:56");
  EXPECT_EQ(ViewB.STAMACStr, "18:FE:34:12:34:57");
  QFile Record(ConfigDir + "RQ53MAC.txt");
  ASSERT_TRUE(Record.open(QIODevice::ReadOnly));
  const QString Text = QString::fromLatin1(Record.readAll());
  EXPECT_TRUE(Text.contains("STA MAC:18:FE:34:12:34:56\r\n"));
  EXPECT_TRUE(Text.contains("STA MAC:18:FE:34:12:34:57\r\n"));
  EXPECT_EQ(QDir(ConfigDir).entryList({"*.png"}).size(), 2);
}

}  // namespace
