// ferrule-cli as a production line runs it: a real process flashing simulated
// modules, each an rq53sim process on a pseudo-terminal paced like a real line,
// with a real QR decoder reading the pictures it saves.

#include "serial/SerialPlatform.h"
#include "tests/loader/QStringPrinting.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

#include <memory>

namespace {

// Longer than the watch takes to look at its ports again.
constexpr int WatchPause = 1500;

// A simulated module whose station address ends in LastByte; its flash is
// dumped when it ends.
struct TSimModule {
  TSimModule(const QString& Folder, int LastByte, const QStringList& Misbehaviour = {})
      : Dump(QStringLiteral("%1/flash-%2.bin").arg(Folder).arg(LastByte)),
        STAMAC(QStringLiteral("18:FE:34:12:34:%1").arg(LastByte, 2, 16, QChar('0')).toUpper()),
        APMAC(QStringLiteral("1A-FE-34-12-34-%1").arg(LastByte, 2, 16, QChar('0')).toUpper()) {
    const QString Efuse = QString::number(quint32(LastByte) << 24 | 0x400000, 16) + ",1234,0,0";
    Process.start(RQ53SIM_PROGRAM,
                  QStringList{"--stdin", "--efuse", Efuse, "--dump", Dump, "-v"} + Misbehaviour);
    if (Process.waitForReadyRead(10000)) Port = QString::fromLatin1(Process.readLine()).trimmed();
  }
  ~TSimModule() { Flash(); }

  // Ends the simulator (its standard input closes) and gives the flash it
  // holds.
  QByteArray Flash() {
    if (Process.state() != QProcess::NotRunning) {
      Process.closeWriteChannel();
      Process.waitForFinished(10000);
    }
    QFile File(Dump);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
  }
  // The requests the module took in, one line each.
  QString Requests() {
    Flash();
    return QString::fromLatin1(Process.readAllStandardError());
  }
  QString QRText() const { return " AP MAC:" + APMAC + "\r\nSTA MAC:" + STAMAC; }

  QProcess Process;
  QString Port;
  const QString Dump;
  const QString STAMAC;
  const QString APMAC;
};

struct TCliResult {
  int ExitCode = -1;
  QString Out;
  QString Err;
};

class CliTest : public ::testing::Test {
 protected:
  TCliResult Cli(const QStringList& Arguments) {
    QProcess Program;
    Program.start(FERRULE_CLI, Arguments + QStringList{"--config", Folder.path()});
    Program.closeWriteChannel();
    EXPECT_TRUE(Program.waitForFinished(180000));
    return {Program.exitStatus() == QProcess::NormalExit ? Program.exitCode() : -1,
            QString::fromUtf8(Program.readAllStandardOutput()),
            QString::fromUtf8(Program.readAllStandardError())};
  }

  TSimModule& Module(int LastByte, const QStringList& Misbehaviour = {}) {
    Modules.push_back(std::make_unique<TSimModule>(Folder.path(), LastByte, Misbehaviour));
    EXPECT_FALSE(Modules.back()->Port.isEmpty());
    return *Modules.back();
  }

  QStringList PortArguments() const {
    QStringList Arguments{"--firmware", "CORVEL"};
    for (const auto& Sim : Modules) Arguments << "--port" << Sim->Port;
    return Arguments;
  }

  // The CORVEL image as the default settings program it: DIO, 4 MByte, 40 MHz.
  static QByteArray ExpectedFlash() {
    QFile File(CORVEL_IMAGE);
    EXPECT_TRUE(File.open(QIODevice::ReadOnly));
    QByteArray Image = File.readAll();
    Image[2] = 0x02;
    Image[3] = 0x40;
    return Image;
  }

  QString Records() const {
    QFile File(Folder.filePath("RQ53MAC.txt"));
    return File.open(QIODevice::ReadOnly) ? QString::fromLatin1(File.readAll()) : QString();
  }

  // What zbarimg reads in each saved picture (scaled up so that it finds the
  // symbol).
  QSet<QString> DecodedPictures() const {
    QSet<QString> Texts;
    for (const QString& Name : QDir(Folder.path()).entryList({"*.png"}, QDir::Files)) {
      const QString Scaled = Folder.filePath("scaled.bmp");
      const QImage Picture(Folder.filePath(Name));
      Picture.scaled(Picture.size() * 8, Qt::IgnoreAspectRatio, Qt::FastTransformation)
          .save(Scaled);
      QProcess Decoder;
      Decoder.start("zbarimg", {"--raw", "-q", Scaled});
      Decoder.waitForFinished(10000);
      Texts << QString::fromLatin1(Decoder.readAllStandardOutput()).chopped(1);
      QFile::remove(Scaled);
    }
    return Texts;
  }

  QTemporaryDir Folder;
  std::vector<std::unique_ptr<TSimModule>> Modules;
};

// Three modules at once: each flash holds the image, each module is recorded
// with its picture, and the summary names every port done.
TEST_F(CliTest, ThreeModulesAreFlashedAtOnce) {
  for (int LastByte : {0x56, 0x57, 0x58}) Module(LastByte);
  const TCliResult Result = Cli(PortArguments());
  EXPECT_EQ(Result.ExitCode, 0) << Result.Out.toStdString() << Result.Err.toStdString();
  EXPECT_EQ(Result.Err, "");

  QSet<QString> ExpectedQR;
  for (const auto& Sim : Modules) {
    EXPECT_TRUE(Sim->Flash().startsWith(ExpectedFlash())) << Sim->Port.toStdString();
    EXPECT_EQ(Records().count("STA MAC:" + Sim->STAMAC + "\r\n"), 1) << Records().toStdString();
    const QRegularExpression Row(
        "^" + QRegularExpression::escape(Sim->Port) + " +done +" + Sim->STAMAC + " +\\d+\\.\\d$",
        QRegularExpression::MultilineOption);
    EXPECT_TRUE(Row.match(Result.Out).hasMatch()) << Result.Out.toStdString();
    ExpectedQR << Sim->QRText();
  }
  EXPECT_EQ(Records().count("STA MAC:"), 3);
  EXPECT_EQ(DecodedPictures(), ExpectedQR);
  EXPECT_TRUE(Result.Out.endsWith("3 done, 0 failed.\n")) << Result.Out.toStdString();
}

// One module refuses a block (its boot ROM loads no loader program, so the run takes the ROM path)
// and one never answers: the other two end done, each failed one is
// reported with its reason, and every line of --json output is a JSON object, each port's events
// ending in its one result event.
TEST_F(CliTest, OneFailingModuleFailsAloneAndJsonEndsWithResults) {
  Module(0x56);
  TSimModule& Failing = Module(0x57, {"--refuse-upload", "--fail-command", "FLASH_DATA", "--fail-after", "100"});
  Module(0x58);
  TSimModule& Silent = Module(0x59, {"--no-reply", "-1"});
  const TCliResult Result = Cli(PortArguments() << "--json");
  EXPECT_EQ(Result.ExitCode, 1) << Result.Out.toStdString() << Result.Err.toStdString();

  QList<QJsonObject> Events;
  for (const QString& Line : Result.Out.split('\n', Qt::SkipEmptyParts)) {
    QJsonParseError Error;
    const QJsonDocument Document = QJsonDocument::fromJson(Line.toUtf8(), &Error);
    ASSERT_EQ(Error.error, QJsonParseError::NoError) << Line.toStdString();
    ASSERT_TRUE(Document.isObject()) << Line.toStdString();
    Events << Document.object();
  }
  // Each port's last event is its one result event.
  QMap<QString, QJsonObject> Results;
  for (const QJsonObject& Event : Events) {
    for (const char* Key : {"port", "event", "percent", "mac", "error", "seconds"})
      EXPECT_TRUE(Event.contains(Key)) << Key;
    const QString Port = Event["port"].toString();
    EXPECT_FALSE(Results.contains(Port)) << "an event after the result of " << Port.toStdString();
    if (Event["event"].toString() == "result") Results[Port] = Event;
  }
  ASSERT_EQ(Results.size(), 4);
  for (const auto& Sim : Modules) {
    const QJsonObject Event = Results[Sim->Port];
    if (Sim.get() == &Silent) {
      EXPECT_EQ(Event["result"].toString(), "failed");
      EXPECT_EQ(Event["error"].toString(),
                "No answer from RQ53 yet; is it connected to this port?");
      EXPECT_TRUE(Event["mac"].isNull());
      continue;
    }
    EXPECT_EQ(Event["mac"].toString(), Sim->STAMAC);
    if (Sim.get() == &Failing) {
      EXPECT_EQ(Event["result"].toString(), "failed");
      EXPECT_EQ(Event["error"].toString(), "block 101 of 469 refused (invalid message)");
      EXPECT_LT(Event["percent"].toInt(), 100);
    } else {
      EXPECT_EQ(Event["result"].toString(), "done");
      EXPECT_TRUE(Event["error"].isNull());
      EXPECT_EQ(Event["percent"].toInt(), 100);
      EXPECT_TRUE(Sim->Flash().startsWith(ExpectedFlash()));
    }
  }
  // The refused block was the last one sent to that module.
  EXPECT_EQ(Failing.Requests().count("FLASH_DATA"), 101);
  const QString Handshake = Silent.Requests();
  EXPECT_GT(Handshake.count("SYNC"), 50);
  EXPECT_EQ(Handshake.count("SYNC"), Handshake.count('\n'));
  EXPECT_EQ(Records().count("STA MAC:"), 3);
}

// The jig: a module that appears on the watched port is flashed, the next one
// only after the first was unplugged, and Ctrl+C during a run lets it end
// before the summary.
TEST_F(CliTest, WatchFlashesEachModuleThatAppearsAndCtrlCLetsTheRunEnd) {
  const QString Jig = Folder.filePath("jig");
  TSimModule& First = Module(0x56);
  ASSERT_TRUE(QFile::link(First.Port, Jig));
  QProcess Program;
  Program.start(FERRULE_CLI, {"--firmware", "CORVEL", "--port", Jig, "--watch", "--json",
                              "--config", Folder.path()});
  QList<QJsonObject> Events;
  // Reads events until one satisfies Wanted.
  const auto WaitFor = [&](const std::function<bool(const QJsonObject&)>& Wanted) {
    for (;;) {
      while (!Program.canReadLine())
        if (!Program.waitForReadyRead(60000)) return false;
      Events << QJsonDocument::fromJson(Program.readLine()).object();
      if (Wanted(Events.back())) return true;
    }
  };
  const auto Event = [](const char* Name) {
    return [Name](const QJsonObject& Event) { return Event["event"].toString() == Name; };
  };
  ASSERT_TRUE(WaitFor(Event("result")));
  EXPECT_EQ(Events.back()["result"].toString(), "done");
  EXPECT_EQ(Events.back()["mac"].toString(), First.STAMAC);

  // The flashed module stays on the jig: it is not flashed again until it was
  // unplugged.
  QThread::msleep(WatchPause);
  Program.waitForReadyRead(0);
  while (Program.canReadLine())
    EXPECT_FALSE(Event("open")(QJsonDocument::fromJson(Program.readLine()).object()));
  First.Process.write("unplug\n");
  First.Process.waitForBytesWritten();
  for (int Wait = 0; Wait < 100 && QFileInfo::exists(Jig); ++Wait) QThread::msleep(50);
  ASSERT_FALSE(QFileInfo::exists(Jig));
  QThread::msleep(WatchPause);
  ASSERT_TRUE(QFile::remove(Jig));
  TSimModule& Second = Module(0x57);
  ASSERT_TRUE(QFile::link(Second.Port, Jig));
  ASSERT_TRUE(WaitFor([](const QJsonObject& Event) { return Event["percent"].toInt() >= 10; }));
  kill(pid_t(Program.processId()), SIGINT);
  ASSERT_TRUE(Program.waitForFinished(60000));
  EXPECT_EQ(Program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(Program.exitCode(), 0);
  while (Program.canReadLine()) Events << QJsonDocument::fromJson(Program.readLine()).object();
  QStringList Results;
  for (const QJsonObject& Event : Events)
    if (Event["event"].toString() == "result")
      Results << Event["result"].toString() + " " + Event["mac"].toString();
  EXPECT_EQ(Results, QStringList({"done " + First.STAMAC, "done " + Second.STAMAC}));
  EXPECT_TRUE(Second.Flash().startsWith(ExpectedFlash()));
  EXPECT_EQ(Records().count("STA MAC:"), 2);
}

// Arguments that cannot be carried out: one line on standard error, exit status
// 2, and not one byte sent to the module.
TEST_F(CliTest, BadArgumentsFlashNothing) {
  TSimModule& Sim = Module(0x56);
  QTemporaryDir Links;
  const QString Link = Links.filePath("jig0");
  ASSERT_TRUE(QFile::link(Sim.Port, Link));
  const QString Missing = Links.filePath("ttyUSB9");
  const struct {
    QStringList Arguments;
    QString Error;
  } Cases[] = {
      {{"--firmware", "ESPRESSO", "--port", Sim.Port}, "Unknown firmware \"ESPRESSO\""},
      {{"--port", Sim.Port}, "No firmware given"},
      {{"--firmware", "CORVEL"}, "No port given"},
      {{"--firmware", "CORVEL", "--port", Sim.Port, "--port", Link}, "is given twice"},
      {{"--firmware", "CORVEL", "--port", Sim.Port, "--offset", "0x1G000"},
       "Offset \"0x1G000\" is no hexadecimal flash address."},
      {{"--firmware", "CORVEL", "--port", Missing}, Missing + " does not exist"},
      {{"--firmware", "CORVEL", "--port", Sim.Port, "--fast"}, "Unknown option 'fast'"},
  };
  for (const auto& Case : Cases) {
    const TCliResult Result = Cli(Case.Arguments);
    EXPECT_EQ(Result.ExitCode, 2) << Case.Arguments.join(' ').toStdString();
    EXPECT_TRUE(Result.Err.startsWith("ferrule-cli: ")) << Result.Err.toStdString();
    EXPECT_TRUE(Result.Err.contains(Case.Error)) << Result.Err.toStdString();
    EXPECT_EQ(Result.Err.count('\n'), 1) << Result.Err.toStdString();
    EXPECT_EQ(Result.Out, "");
  }
  {
    // A port held by another program.
    const auto Held = SerialPlatform::OpenSerialDevice(Sim.Port);
    ASSERT_TRUE(Held);
    const TCliResult Result = Cli({"--firmware", "CORVEL", "--port", Sim.Port});
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_EQ(Result.Err, "ferrule-cli: " + Sim.Port + " is in use by another program.\n");
  }
  EXPECT_EQ(Sim.Requests(), "");
  EXPECT_EQ(Records(), "");
}

}  // namespace
