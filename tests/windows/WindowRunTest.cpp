// A whole flash run through the real window on Windows: the port watcher finds COM5 in the
// registry, the user picks CORVEL and presses Flash, and the simulated module that
// tools/test-windows.sh serves on COM5 is programmed. The script then decodes the saved QR
// picture with an independent reader and compares the module's flash with the image written
// here to FERRULE_EXPECTED_FLASH.

#include "app/UnitFormMain.h"
#include "firmware/ResourceCatalogue.h"
#include "serial/SPComm.h"
#include "tests/windows/WinTestSupport.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray ReadFile(const QString& Name) {
  QFile File(Name);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

}  // namespace

TEST(WindowRun, FlashesCorvelThroughTheWindowOnCom5) {
  QTemporaryDir AppDir;
  TFormMain Form(AppDir.path());
  Form.show();
  const auto Log = [&] { return Form.MemoOutput->toPlainText().split('\n'); };
  ASSERT_TRUE(WaitUntil([&] { return Form.ComboBoxSerialPortA->findText(SimPort) >= 0; }, 5000))
      << Log().join('\n').toStdString();
  Form.ComboBoxSerialPortA->setCurrentIndex(Form.ComboBoxSerialPortA->findText(SimPort));
  Form.ComboBoxPath->setCurrentIndex(Form.ComboBoxPath->findText("CORVEL"));
  Form.FrameConfigLineChange();
  Form.ButtonBurn->click();
  ASSERT_TRUE(Form.Comm()->PortOpen()) << Log().join('\n').toStdString();
  ASSERT_TRUE(WaitUntil([&] { return Form.FlashStation().FinishedRuns() == 1; }, 300000))
      << Log().join('\n').toStdString();
  const TRunOutcome& Outcome = *Form.FlashStation().LastOutcome();
  EXPECT_EQ(Outcome.Result, TRunResult::Done);
  EXPECT_EQ(Outcome.Path, TFlashPath::Loader);
  EXPECT_TRUE(Outcome.Verified);
  EXPECT_EQ(Outcome.LineRate, 921600u);
  EXPECT_EQ(Outcome.StationMAC, "18:FE:34:12:34:56");
  EXPECT_FALSE(Form.Comm()->PortOpen());

  const QStringList Lines = Log();
  // Wine runs 576000 as 38400 (a rate without a termios constant): the port keeps its rate, the
  // handshake and the upload go at it, and the loader program takes the image at 921600.
  const QStringList Warnings = Lines.filter(QRegularExpression("^(Warning|Error)"));
  ASSERT_EQ(Warnings.size(), 1) << Warnings.join('\n').toStdString();
  EXPECT_TRUE(
      QRegularExpression("^Warning: The port does not run at 576000 bit/s; it runs at \\d+\\.$")
          .match(Warnings[0])
          .hasMatch())
      << Warnings[0].toStdString();
  EXPECT_EQ(
      Lines.filter(QRegularExpression("^Note: Flash digest [0-9a-f]{8} equals the image's\\.$"))
          .size(),
      1);
  EXPECT_EQ(Lines.last(), "Note: Serial port disconnected.");
  EXPECT_EQ(Form.ButtonBurn->text(), "Flash(&F)");
  EXPECT_EQ(Form.ImageStatus->pixmap().toImage(), QPixmap(":/RCDATA/YES").toImage());
  EXPECT_EQ(Form.LabeledEditSTAMAC->text(), "18:FE:34:12:34:56");

  // The settings folder beside the program: its file in the Linux build's bytes, the record
  // and one picture.
  const QString Config = AppDir.filePath("Config/");
  const QByteArray Settings = ReadFile(Config + "Config.xml");
  EXPECT_TRUE(Settings.startsWith("\xEF\xBB\xBF<?xml")) << Settings.left(40).toStdString();
  EXPECT_EQ(Settings.count("\r\n"), Settings.count('\n'));
  const QByteArray Record = ReadFile(Config + "RQ53MAC.txt");
  EXPECT_TRUE(QRegularExpression("^\\d{14}\r\n AP MAC:1A-FE-34-12-34-56\r\nSTA MAC:"
                                 "18:FE:34:12:34:56\r\n\r\n$")
                  .match(QString::fromLatin1(Record))
                  .hasMatch())
      << Record.toStdString();
  const QStringList Pictures = QDir(Config).entryList({"*.png"}, QDir::Files);
  ASSERT_EQ(Pictures.size(), 1);
  EXPECT_EQ(QImage(Config + Pictures[0]).size(), QSize(37, 37));  // version 3 and the quiet zone

  // For the script: the picture and the image as the module's flash must hold it (the Advanced
  // page's defaults patched into the header: DIO, 4 MByte, 40 MHz).
  QByteArray Expected = ResourceCatalogue::Load("BIN", "_X_CORVEL").value();
  Expected[2] = 0x02;
  Expected[3] = 0x40;
  const QString Out = qEnvironmentVariable("FERRULE_RUN_OUTPUT");
  if (!Out.isEmpty()) {
    QFile Image(Out + "/expected-flash.bin");
    ASSERT_TRUE(Image.open(QIODevice::WriteOnly) && Image.write(Expected) == Expected.size());
    QFile::remove(Out + "/qr.png");
    ASSERT_TRUE(QFile::copy(Config + Pictures[0], Out + "/qr.png"));
  }
}
