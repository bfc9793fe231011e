// ferrule-cli as a production line runs it: several modules at once, a failing one among them,
// the JSON events, the jig's watch and arguments refused before anything is sent.

#include "tests/cli/CliTestSupport.h"

#include "serial/SerialPlatform.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QThread>
#include <QtEndian>

#include <csignal>

namespace {

// Longer than the watch takes to look at its ports again.
constexpr int WatchPause = 1500;

using CliTest = TCliTest;

QByteArray ReadAll(const QString& Path) {
  QFile File(Path);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

// An ESP8266 boot image: magic, one segment of Length bytes.
QByteArray BootImage(quint32 Length) {
  QByteArray Image = QByteArray::fromHex("E9010000 00001040 00001040") + QByteArray(4, '\0');
  qToLittleEndian<quint32>(Length, Image.data() + 12);
  return Image + QByteArray(int(Length), '\x5A');
}

QString WriteFile(const QString& Path, const QByteArray& Bytes) {
  QFile File(Path);
  EXPECT_TRUE(File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size());
  return Path;
}

// Three modules at once: each flash holds the image, each module is recorded with its picture,
// and the summary names every port done and verified, without colour when piped.
TEST_F(CliTest, ThreeModulesAreFlashedAtOnce) {
  for (int LastByte : {0x56, 0x57, 0x58}) Module(LastByte);
  const TCliResult Result = Cli(PortArguments());
  EXPECT_EQ(Result.ExitCode, 0) << Result.Out.toStdString() << Result.Err.toStdString();
  EXPECT_EQ(Result.Err, "");
  EXPECT_FALSE(Result.Out.contains('\x1b')) << Result.Out.toStdString();

  QSet<QString> ExpectedQR;
  for (const auto& Sim : Modules) {
    EXPECT_TRUE(Sim->Flash().startsWith(ExpectedFlash())) << Sim->Port.toStdString();
    EXPECT_EQ(Records().count("STA MAC:" + Sim->STAMAC + "\r\n"), 1) << Records().toStdString();
    const QRegularExpression Row("^" + QRegularExpression::escape(Sim->Port) + " +done +" +
                                     Sim->STAMAC + " +\\d+\\.\\d verified \\(loader program\\)$",
                                 QRegularExpression::MultilineOption);
    EXPECT_TRUE(Row.match(Result.Out).hasMatch()) << Result.Out.toStdString();
    ExpectedQR << Sim->QRText();
  }
  EXPECT_EQ(Records().count("STA MAC:"), 3);
  EXPECT_EQ(DecodedPictures(), ExpectedQR);
  EXPECT_TRUE(Result.Out.endsWith("3 done, 0 failed.\n")) << Result.Out.toStdString();
}

// --rate 2000000: a module that runs it takes the image at it through the loader program; one whose
// line carries nothing above 1500000 is flashed at 921600 all the same, its result saying why.
TEST_F(CliTest, AFastRateIsTakenWhereTheModuleRunsItAndGivenUpWhereNot) {
  TSimModule& Fast = Module(0x56);
  TSimModule& Slow = Module(0x57, {"--max-rate", "1500000"});
  const TCliResult Result = Cli(PortArguments() + QStringList{"--rate", "2000000", "--json"});
  EXPECT_EQ(Result.ExitCode, 0) << Result.Out.toStdString() << Result.Err.toStdString();
  QMap<QString, QJsonObject> Results;
  for (const QJsonObject& Event : JsonEvents(Result.Out))
    if (Event["event"] == "result") Results[Event["port"].toString()] = Event;
  for (TSimModule* Sim : {&Fast, &Slow}) {
    SCOPED_TRACE(Sim->Port.toStdString());
    const QJsonObject Event = Results[Sim->Port];
    EXPECT_EQ(Event["result"], "done");
    EXPECT_EQ(Event["path"], "loader");
    EXPECT_TRUE(Event["verified"].toBool());
    EXPECT_EQ(Event["rate"].toInteger(), Sim == &Fast ? 2000000 : 921600);
    EXPECT_TRUE(Sim->Flash().startsWith(ExpectedFlash()));
  }
  EXPECT_TRUE(Results[Fast.Port]["rate_warning"].isNull());
  EXPECT_EQ(Results[Slow.Port]["rate_warning"],
            "the loader did not answer at 2000000 bit/s; both sides went back to 921600");
}

// No field of a port's events is null in one event and set in a later one.
void ExpectNoFieldNullThenSet(const QList<QJsonObject>& Events) {
  QMap<QString, QSet<QString>> NullSoFar;  // per port
  for (const QJsonObject& Event : Events) {
    QSet<QString>& Null = NullSoFar[Event["port"].toString()];
    for (auto Field = Event.begin(); Field != Event.end(); ++Field) {
      EXPECT_FALSE(!Field->isNull() && Null.contains(Field.key()))
          << Field.key().toStdString() << " set after null in " << Event["event"].toString().toStdString();
      if (Field->isNull()) Null << Field.key();
    }
  }
}

// Four modules: one flashed through the loader program; one whose boot ROM loads no program,
// flashed through the ROM after the loader failed; one whose ROM also refuses a block; one that
// never answers. The two last fail alone. Every --json line is an object with its time and port;
// the first is the start event, the last the summary; each port's events end in its one result
// event, which carries the whole outcome, the fallback's path and reason included.
TEST_F(CliTest, OneFailingModuleFailsAloneAndJsonCarriesTheWholeOutcome) {
  TSimModule& Flashed = Module(0x56);
  TSimModule& Failing = Module(0x57, {"--refuse-upload", "--fail-command", "FLASH_DATA", "--fail-after", "100"});
  TSimModule& FellBack = Module(0x58, {"--refuse-upload"});
  TSimModule& Silent = Module(0x59, {"--no-reply", "-1"});
  const TCliResult Result = Cli(PortArguments() << "--json");
  EXPECT_EQ(Result.ExitCode, 1) << Result.Out.toStdString() << Result.Err.toStdString();

  const QList<QJsonObject> Events = JsonEvents(Result.Out);
  ASSERT_GE(Events.size(), 2);
  const QRegularExpression Time(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)");
  for (const QJsonObject& Event : Events) {
    EXPECT_TRUE(Time.match(Event["time"].toString()).hasMatch()) << Event["time"].toString().toStdString();
    EXPECT_TRUE(Event.contains("port"));
  }
  ExpectNoFieldNullThenSet(Events);
  const QJsonObject Start = Events.first();
  EXPECT_EQ(Start["event"].toString(), "start");
  EXPECT_TRUE(Start["port"].isNull());
  const QString Hash = QCryptographicHash::hash(CorvelImage(), QCryptographicHash::Sha256).toHex();
  EXPECT_EQ(Start["firmware"].toString(), "CORVEL");
  EXPECT_EQ(Start["sha256"].toString(), Hash);
  EXPECT_EQ(Start["offset"].toInt(-1), 0);
  EXPECT_TRUE(QRegularExpression(R"(^\d+\.\d+$)").match(Start["version"].toString()).hasMatch());
  QStringList Ports;
  for (const auto& Sim : Modules) Ports << Sim->Port;
  EXPECT_EQ(Start["ports"].toVariant().toStringList(), Ports);
  const QJsonObject Summary = Events.last();
  EXPECT_EQ(Summary["event"].toString(), "summary");
  EXPECT_EQ(Summary["done"].toInt(), 2);
  EXPECT_EQ(Summary["failed"].toInt(), 2);
  EXPECT_GT(Summary["seconds"].toDouble(), 3);

  QMap<QString, QJsonObject> Results, MacEvents;
  for (const QJsonObject& Event : Events.mid(1, Events.size() - 2)) {
    const QString Port = Event["port"].toString();
    EXPECT_FALSE(Results.contains(Port)) << "an event after the result of " << Port.toStdString();
    if (Event["event"].toString() == "result") Results[Port] = Event;
    if (Event["event"].toString() == "mac") MacEvents[Port] = Event;
  }
  ASSERT_EQ(Results.size(), 4);
  for (const auto& Sim : Modules) {
    SCOPED_TRACE(Sim->Port.toStdString());
    const QJsonObject Event = Results[Sim->Port];
    EXPECT_EQ(Event["firmware"].toString(), "CORVEL");
    if (Sim.get() == &Silent) {
      EXPECT_EQ(Event["result"].toString(), "failed");
      EXPECT_EQ(Event["reason"].toString(), "no-answer");
      EXPECT_EQ(Event["reason_text"].toString(), "No answer from RQ53 yet; is it connected to this port?");
      EXPECT_EQ(Event["stage"].toString(), "sync");
      for (const char* Unknown : {"sta_mac", "ap_mac", "sha256", "offset", "picture", "loader_failure"})
        EXPECT_TRUE(Event[Unknown].isNull()) << Unknown;
      EXPECT_FALSE(MacEvents.contains(Sim->Port));
      continue;
    }
    EXPECT_EQ(Event["sta_mac"].toString(), Sim->STAMAC);
    EXPECT_EQ(Event["ap_mac"].toString(), Sim->APMAC);
    EXPECT_EQ(MacEvents[Sim->Port]["sta_mac"].toString(), Sim->STAMAC);
    EXPECT_EQ(MacEvents[Sim->Port]["ap_mac"].toString(), Sim->APMAC);
    EXPECT_EQ(Event["sha256"].toString(), Hash);
    EXPECT_EQ(Event["offset"].toInt(-1), 0);
    EXPECT_TRUE(QFileInfo::exists(Folder.filePath(Event["picture"].toString())));
    EXPECT_EQ(Event["block_count"].toInt(), 469);
    EXPECT_EQ(Event["path"].toString(), Sim.get() == &Flashed ? "loader" : "boot-rom-after-loader");
    EXPECT_EQ(Event["verified"].toBool(), Sim.get() == &Flashed);
    if (Sim.get() == &Flashed) EXPECT_TRUE(Event["loader_failure"].isNull());
    else EXPECT_FALSE(Event["loader_failure"].toString().isEmpty());
    if (Sim.get() == &Failing) {
      EXPECT_EQ(Event["result"].toString(), "failed");
      EXPECT_EQ(Event["reason"].toString(), "block-refused");
      EXPECT_EQ(Event["reason_text"].toString(), "block 101 of 469 refused (invalid message)");
      EXPECT_EQ(Event["blocks"].toInt(), 100);
    } else {
      EXPECT_EQ(Event["result"].toString(), "done");
      EXPECT_TRUE(Event["reason"].isNull());
      EXPECT_EQ(Event["blocks"].toInt(), 469);
      EXPECT_TRUE(Sim->Flash().startsWith(ExpectedFlash()));
    }
  }
  // The refused block was the last one sent to that module.
  EXPECT_EQ(Failing.Requests().count("FLASH_DATA"), 101);
  EXPECT_GT(FellBack.Requests().count("FLASH_DATA"), 468);
  const QString Handshake = Silent.Requests();
  EXPECT_GT(Handshake.count("SYNC"), 50);
  EXPECT_EQ(Handshake.count("SYNC"), Handshake.count('\n'));
  EXPECT_EQ(Records().count("STA MAC:"), 3);
}

// The jig: a module that appears on the watched port is flashed, the next one only after the
// first was unplugged; a slot whose module never answers stays free. Ctrl+C during a run lets it
// end before the summary; the free slot is no failure, and the program ends 0.
TEST_F(CliTest, WatchFlashesEachModuleThatAppearsAndAnEmptySlotIsNoFailure) {
  const QString Jig = Folder.filePath("jig");
  TSimModule& First = Module(0x56);
  TSimModule& Empty = Module(0x5F, {"--no-reply", "-1"});
  ASSERT_TRUE(QFile::link(First.Port, Jig));
  QProcess Program;
  Program.start(FERRULE_CLI, {"--firmware", "CORVEL", "--port", Jig, "--port", Empty.Port,
                              "--watch", "--json", "--config", Folder.path()});
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
  EXPECT_EQ(Events.back()["sta_mac"].toString(), First.STAMAC);

  // The flashed module stays on the jig: it is not flashed again until it was unplugged.
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
  QStringList Results, Free;
  for (const QJsonObject& Event : Events) {
    if (Event["event"].toString() == "result")
      Results << Event["result"].toString() + " " + Event["sta_mac"].toString();
    if (Event["event"].toString() == "free") Free << Event["port"].toString();
  }
  EXPECT_EQ(Results, QStringList({"done " + First.STAMAC, "done " + Second.STAMAC}));
  EXPECT_EQ(Free, QStringList{Empty.Port});
  EXPECT_EQ(Events.last()["event"].toString(), "summary");
  EXPECT_EQ(Events.last()["done"].toInt(), 2);
  EXPECT_EQ(Events.last()["failed"].toInt(), 0);
  EXPECT_TRUE(Second.Flash().startsWith(ExpectedFlash()));
  EXPECT_EQ(Records().count("STA MAC:"), 2);
  EXPECT_EQ(FileText("runs.csv").count("\r\n"), 3) << "the heading and the two modules flashed";
}

// Image files at their offsets, one module with one file and one with three (a boot image at 0,
// an application at 0x10000, data near the end): each module's flash holds each file at its
// offset (the boot image with the settings' header codes), and is erased nowhere else.
TEST_F(CliTest, ImageFilesAreFlashedAtTheirOffsets) {
  QTemporaryDir Files;
  QByteArray Data(70000, '\0');
  for (qsizetype i = 0; i < Data.size(); ++i) Data[i] = char(i * 7 % 253);
  const QString Boot = WriteFile(Files.filePath("boot.bin"), BootImage(3000));
  const QString App = WriteFile(Files.filePath("app.bin"), Data);
  const QString Init = WriteFile(Files.filePath("init.bin"), QByteArray(4096, '\xA5'));
  TSimModule& One = Module(0x56);
  TSimModule& Three = Module(0x57);
  const TCliResult Single =
      Cli({"--firmware", App, "--offset", "0x20000", "--port", One.Port, "--no-run"});
  EXPECT_EQ(Single.ExitCode, 0) << Single.Out.toStdString() << Single.Err.toStdString();
  const TCliResult Several = Cli({"--image", Boot + "@0", "--image", App + "@0x10000", "--image",
                                  Init + "@0x3FC000", "--port", Three.Port, "--json"});
  EXPECT_EQ(Several.ExitCode, 0) << Several.Out.toStdString() << Several.Err.toStdString();
  // The result names every image with its offset and its hash.
  const QList<QJsonObject> Events = JsonEvents(Several.Out);
  ASSERT_FALSE(Events.isEmpty());
  const QJsonArray Images = Events.last().value("event") == "summary"
                                ? Events[Events.size() - 2]["images"].toArray()
                                : Events.last()["images"].toArray();
  ASSERT_EQ(Images.size(), 3);
  EXPECT_EQ(Images[1].toObject()["name"].toString(), "app.bin");
  EXPECT_EQ(Images[1].toObject()["offset"].toInt(), 0x10000);
  EXPECT_EQ(Images[1].toObject()["sha256"].toString(),
            QString::fromLatin1(QCryptographicHash::hash(Data, QCryptographicHash::Sha256).toHex()));

  const auto Expect = [](const QByteArray& Flash,
                         const std::vector<std::pair<quint32, QByteArray>>& Regions) {
    QByteArray Expected(4 * 1024 * 1024, '\xFF');
    for (const auto& [Offset, Bytes] : Regions) Expected.replace(Offset, Bytes.size(), Bytes);
    ASSERT_EQ(Flash.size(), Expected.size());
    const auto Differ = std::mismatch(Expected.begin(), Expected.end(), Flash.begin());
    EXPECT_EQ(Differ.first - Expected.begin(), Expected.size()) << "first byte that differs";
  };
  Expect(One.Flash(), {{0x20000, Data}});
  QByteArray Patched = BootImage(3000);
  Patched[2] = 0x02;  // DIO
  Patched[3] = 0x40;  // 4 MByte, 40 MHz
  Expect(Three.Flash(), {{0, Patched}, {0x10000, Data}, {0x3FC000, QByteArray(4096, '\xA5')}});
}

// Arguments, images, settings and records that cannot be carried out: one line on standard error,
// exit status 2, not one byte sent to the module and no record written; everything is checked
// before a port is opened.
TEST_F(CliTest, BadArgumentsAndUnwritableRecordsFlashNothing) {
  TSimModule& Sim = Module(0x56);
  QTemporaryDir Links;
  const QString Link = Links.filePath("jig0");
  ASSERT_TRUE(QFile::link(Sim.Port, Link));
  const QString Missing = Links.filePath("ttyUSB9");
  const QString AFile = Links.filePath("a-file");
  QFile Plain(AFile);
  ASSERT_TRUE(Plain.open(QIODevice::WriteOnly));
  Plain.close();
  const QStringList Flash{"--firmware", "CORVEL", "--port", Sim.Port};
  const QString Here = Folder.path();
  const QStringList To{"--port", Sim.Port, "--config", Here};
  const QString Boot = WriteFile(Links.filePath("boot.bin"), BootImage(3000));
  const QString App = WriteFile(Links.filePath("app.bin"), QByteArray(70000, '\x11'));
  const QString Empty = WriteFile(Links.filePath("empty.bin"), {});
  const QString Zeros = WriteFile(Links.filePath("zeros.bin"), QByteArray(100, '\0'));
  const QString Cut = WriteFile(Links.filePath("cut.bin"), BootImage(3000).first(1000));
  const QString Large = Links.filePath("large.bin");
  {
    QFile File(Large);
    ASSERT_TRUE(File.open(QIODevice::WriteOnly) && File.resize(16 * 1024 * 1024 + 1));
  }
  const struct {
    QStringList Arguments;
    QString Error;
  } Cases[] = {
      {{"--firmware", "ESPRESSO", "--port", Sim.Port, "--config", Here}, "Unknown firmware \"ESPRESSO\""},
      {{"--port", Sim.Port, "--config", Here}, "No firmware given"},
      {{"--firmware", "CORVEL", "--config", Here}, "No port given"},
      {Flash + QStringList{"--port", Link, "--config", Here}, "is given twice"},
      {Flash + QStringList{"--offset", "0x1G000", "--config", Here},
       "Offset \"0x1G000\" is no number (0x for hexadecimal, else decimal)."},
      {{"--firmware", "CORVEL", "--port", Missing, "--config", Here}, Missing + " does not exist"},
      {Flash + QStringList{"--fast", "--config", Here}, "Unknown option 'fast'"},
      {Flash + QStringList{"--rate", "5000000", "--config", Here},
       "Rate 5000000 is outside 115200 to 4000000 bit/s."},
      {Flash + QStringList{"--rate", "2000000", "--safe", "--config", Here},
       "Give either --safe or --rate"},
      {Flash + QStringList{"--config", AFile}, "Cannot write the settings folder " + AFile + "/."},
      {Flash + QStringList{"--config", "/proc/ferrule"}, "Cannot write the settings folder /proc/ferrule/."},
      {Flash + QStringList{"--config", Here, "--results", Links.path()}, "Cannot write the results log " + Links.path() + "."},
      {Flash + QStringList{"--config", Here, "--results", AFile + "/runs.csv"},
       "Cannot write the results log " + AFile + "/runs.csv."},
      {QStringList{"--firmware", "CORVEL", "--image", App} + To, "either --firmware or --image"},
      {QStringList{"--image", Links.filePath("none.bin")} + To, "none.bin does not exist."},
      {QStringList{"--image", Links.path()} + To, " is a folder, not an image file."},
      {QStringList{"--image", Empty + "@0x10000"} + To, "Image file empty.bin is empty."},
      {QStringList{"--image", Large + "@0x10000"} + To, "Image file large.bin is larger than 16 MiB."},
      {QStringList{"--image", App + "@0x10x"} + To, "The offset of --image \"0x10x\" is no number"},
      {QStringList{"--image", Zeros + "@0"} + To,
       "Image file zeros.bin at 0x0: it does not start with an image header (0xE9)"},
      {QStringList{"--image", Cut + "@0"} + To,
       "Image file cut.bin at 0x0: its header names 1 segments, but the file of 1000 bytes ends "
       "within segment 1."},
      {QStringList{"--image", Boot + "@0", "--image", App + "@0x12345"} + To,
       "Flash offset 0x12345 of image file app.bin is not on a 4 KiB sector boundary."},
      {QStringList{"--image", Boot + "@0", "--image", App + "@0x3F0000"} + To,
       "Image file app.bin of 70000 bytes at 0x3F0000 does not fit in 4MByte flash."},
      {QStringList{"--image", App + "@65536", "--image", Boot + "@0x20000"} + To,
       "Images app.bin (0x10000 to 0x2116F) and boot.bin at 0x20000 overlap."},
      {QStringList{"--firmware", "CORVEL", "--offset", "0x1234"} + To,
       "Flash offset 0x1234 is not on a 4 KiB sector boundary."},
      {QStringList{"--firmware", "UPYTHON", "--offset", "4128768"} + To,
       "Firmware image of 598432 bytes at 0x3F0000 does not fit in 4MByte flash."},
  };
  for (const auto& Case : Cases) {
    const TCliResult Result = CliWithoutFolder(Case.Arguments);
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
  {
    // A flash size out of range in a hand-edited settings file.
    const QByteArray Settings = ReadAll(Folder.filePath("Config.xml"));
    WriteFile(Folder.filePath("Config.xml"),
              QByteArray(Settings).replace("<Value>4</Value>", "<Value>9</Value>"));
    const TCliResult Result = Cli({"--firmware", "CORVEL", "--port", Sim.Port});
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_EQ(Result.Err,
              "ferrule-cli: No flash size chosen; its value in Config.xml is out of range.\n");
  }
  EXPECT_EQ(Sim.Requests(), "");
  EXPECT_EQ(Records(), "");
  EXPECT_FALSE(QFile::exists(Folder.filePath("runs.csv")));
}

}  // namespace
