// What ferrule-cli leaves for a factory and shows its operator: the results log of stations and
// processes sharing one settings folder, the terminal's ticking, coloured and aligned table, and
// its version.

#include "tests/cli/CliTestSupport.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSysInfo>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <cstdlib>

namespace {

using CliRecordsTest = TCliTest;

const QStringList Columns{"time",   "host",     "version",        "port",   "firmware",
                          "image_sha256", "offset", "sta_mac", "ap_mac", "result",
                          "verified", "path", "loader_failure", "reason", "reason_text",
                          "seconds", "picture"};

QProcess* StartCli(QProcess& Program, const QStringList& Arguments) {
  Program.start(FERRULE_CLI, Arguments);
  Program.closeWriteChannel();
  return &Program;
}

// Two processes share one settings folder, one running three stations and one two; every run
// that met a module has its complete row in runs.csv under one heading, whatever the order in
// which the rows came, and RQ53MAC.txt keeps its four-line records.
TEST_F(CliRecordsTest, ResultsLogOfThreeStationsAndTwoProcessesSharingAFolder) {
  TSimModule& Plain = Module(0x56);
  TSimModule& Quoted = Module(0x57);
  TSimModule& FellBack = Module(0x58, {"--refuse-upload"});
  TSimModule& Other = Module(0x59);
  TSimModule& Refused = Module(0x5A, {"--refuse-upload", "--fail-command", "FLASH_DATA", "--fail-after", "100"});
  // A port name a CSV field must quote.
  const QString OddPort = Folder.filePath("jig \"7\", left");
  ASSERT_TRUE(QFile::link(Quoted.Port, OddPort));
  QProcess First, Second;
  StartCli(First, {"--firmware", "CORVEL", "--port", Plain.Port, "--port", OddPort, "--port",
                   FellBack.Port, "--config", Folder.path()});
  StartCli(Second, {"--firmware", "CORVEL", "--port", Other.Port, "--port", Refused.Port,
                    "--config", Folder.path()});
  ASSERT_TRUE(First.waitForFinished(120000) && Second.waitForFinished(120000));
  EXPECT_EQ(First.exitCode(), 0) << First.readAllStandardOutput().toStdString();
  EXPECT_EQ(Second.exitCode(), 1) << Second.readAllStandardOutput().toStdString();

  const QString Log = FileText("runs.csv");
  EXPECT_TRUE(Log.contains(",\"" + QString(OddPort).replace("\"", "\"\"") + "\",")) << Log.toStdString();
  const std::optional<QList<QStringList>> Rows = ParseCsv(Log);
  ASSERT_TRUE(Rows) << Log.toStdString();
  ASSERT_EQ(Rows->size(), 6) << Log.toStdString();
  EXPECT_EQ(Rows->first(), Columns);
  QMap<QString, QMap<QString, QString>> ByMAC;
  for (const QStringList& Row : Rows->mid(1)) {
    ASSERT_EQ(Row.size(), Columns.size()) << Row.join('|').toStdString();
    QMap<QString, QString> Fields;
    for (int i = 0; i < Row.size(); ++i) Fields[Columns[i]] = Row[i];
    ByMAC[Fields["sta_mac"]] = Fields;
  }
  const QString Hash = QCryptographicHash::hash(CorvelImage(), QCryptographicHash::Sha256).toHex();
  const QRegularExpression Time(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$)");
  const struct {
    TSimModule* Sim;
    QString Port, Result, Verified, Path, Reason;
  } Expected[] = {
      {&Plain, Plain.Port, "done", "true", "loader", ""},
      {&Quoted, OddPort, "done", "true", "loader", ""},
      {&FellBack, FellBack.Port, "done", "false", "boot-rom-after-loader", ""},
      {&Other, Other.Port, "done", "true", "loader", ""},
      {&Refused, Refused.Port, "failed", "false", "boot-rom-after-loader", "block-refused"},
  };
  for (const auto& Run : Expected) {
    SCOPED_TRACE(Run.Sim->STAMAC.toStdString());
    ASSERT_TRUE(ByMAC.contains(Run.Sim->STAMAC));
    const QMap<QString, QString>& Row = ByMAC[Run.Sim->STAMAC];
    EXPECT_TRUE(Time.match(Row["time"]).hasMatch()) << Row["time"].toStdString();
    EXPECT_EQ(Row["host"], QSysInfo::machineHostName());
    EXPECT_EQ(Row["version"], FERRULE_VERSION);
    EXPECT_EQ(Row["port"], Run.Port);
    EXPECT_EQ(Row["firmware"], "CORVEL");
    EXPECT_EQ(Row["image_sha256"], Hash);
    EXPECT_EQ(Row["offset"], "0x00000000");
    EXPECT_EQ(Row["ap_mac"], Run.Sim->APMAC);
    EXPECT_EQ(Row["result"], Run.Result);
    EXPECT_EQ(Row["verified"], Run.Verified);
    EXPECT_EQ(Row["path"], Run.Path);
    EXPECT_EQ(Row["loader_failure"].isEmpty(), Run.Path == "loader");
    EXPECT_EQ(Row["reason"], Run.Reason);
    EXPECT_EQ(Row["reason_text"].isEmpty(), Run.Reason.isEmpty());
    EXPECT_GT(Row["seconds"].toDouble(), 1);
    EXPECT_TRUE(QFileInfo(Folder.filePath(Row["picture"])).isFile()) << Row["picture"].toStdString();
  }
  const QRegularExpression Record(
      R"(^(\d{14}\r\n AP MAC:([0-9A-F]{2}-){5}[0-9A-F]{2}\r\nSTA MAC:([0-9A-F]{2}:){5}[0-9A-F]{2}\r\n\r\n){5}$)");
  EXPECT_TRUE(Record.match(Records()).hasMatch()) << Records().toStdString();
}

// Everything ferrule-cli draws on a terminal of the test's (a pseudo-terminal), run with
// Arguments and the environment variables Environment.
QString RunOnTerminal(const QStringList& Arguments, const QStringList& Environment = {}) {
  const int Master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_TRUE(Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0);
  QProcess Program;
  Program.setStandardOutputFile(QString::fromLatin1(ptsname(Master)));
  QProcessEnvironment Variables = QProcessEnvironment::systemEnvironment();
  Variables.remove("NO_COLOR");
  for (const QString& Variable : Environment)
    Variables.insert(Variable.section('=', 0, 0), Variable.section('=', 1));
  Program.setProcessEnvironment(Variables);
  Program.start(FERRULE_CLI, Arguments);
  QByteArray Drawn;
  const auto Drain = [&](int WaitMs) {
    pollfd Ready{Master, POLLIN, 0};
    char Bytes[4096];
    while (poll(&Ready, 1, WaitMs) > 0) {
      const ssize_t Count = read(Master, Bytes, sizeof Bytes);
      if (Count <= 0) break;
      Drawn.append(Bytes, Count);
    }
  };
  while (!Program.waitForFinished(10)) Drain(10);
  Drain(100);
  close(Master);
  EXPECT_EQ(Program.exitStatus(), QProcess::NormalExit);
  return QString::fromUtf8(Drawn).remove('\r');
}

QString WithoutEscapes(QString Text) {
  return Text.remove(QRegularExpression("\x1b\\[[0-9;]*[A-Za-z]"));
}

// On a terminal the seconds go on during the long erase stage (the module compares its sectors
// slowly), done shows green and failed red, and the columns fit the longest port name; NO_COLOR
// keeps the colours away.
TEST_F(CliRecordsTest, OnATerminalSecondsTickColoursShowAndColumnsFit) {
  TSimModule& Slow = Module(0x56, {"--digest-ms", "300"});
  Module(0x57, {"--no-reply", "-1"});
  const QString LongPort = Folder.filePath("jig-station-4-left-fixture");
  ASSERT_TRUE(QFile::link(Slow.Port, LongPort));
  const QString Drawn = RunOnTerminal({"--firmware", "CORVEL", "--port", LongPort, "--port",
                                       Modules.back()->Port, "--config", Folder.path()});
  EXPECT_TRUE(Drawn.contains("\x1b[32mdone\x1b[0m")) << Drawn.toStdString();
  EXPECT_TRUE(Drawn.contains("\x1b[31mfailed\x1b[0m")) << Drawn.toStdString();
  QSet<QString> EraseSeconds;
  const QRegularExpression Erasing(QRegularExpression::escape(LongPort) + R"( +erase .* (\d+\.\d)s)");
  for (auto Match = Erasing.globalMatch(Drawn); Match.hasNext();) EraseSeconds << Match.next().captured(1);
  EXPECT_GE(EraseSeconds.size(), 5) << Drawn.toStdString();

  const QStringList Lines = WithoutEscapes(Drawn).split('\n');
  const qsizetype Heading = Lines.indexOf(QRegularExpression("^PORT +RESULT +MAC +SECONDS +NOTE$"));
  ASSERT_GE(Heading, 0) << Drawn.toStdString();
  for (const QString& Row : Lines.mid(Heading + 1, 2)) {
    EXPECT_EQ(Row.indexOf(QRegularExpression(" (done|failed) ")) + 1, Lines[Heading].indexOf("RESULT"))
        << Row.toStdString();
    EXPECT_EQ(Row.indexOf(QRegularExpression(" (18:FE:[0-9A-F:]+|-) ")) + 1, Lines[Heading].indexOf("MAC"))
        << Row.toStdString();
  }

  const QString Plain = RunOnTerminal({"--firmware", "CORVEL", "--port", Modules.back()->Port,
                                       "--config", Folder.path()}, {"NO_COLOR=1"});
  EXPECT_TRUE(Plain.contains("\x1b[2K")) << "still drawn in place";
  EXPECT_TRUE(Plain.contains("failed"));
  EXPECT_FALSE(Plain.contains("\x1b[3")) << Plain.toStdString();
}

TEST_F(CliRecordsTest, TellsItsVersionAndTakesShortHelp) {
  const TCliResult Version = CliWithoutFolder({"--version"});
  EXPECT_EQ(Version.ExitCode, 0);
  EXPECT_EQ(Version.Out, QStringLiteral("ferrule-cli %1\n").arg(FERRULE_VERSION));
  const TCliResult Short = CliWithoutFolder({"-h"});
  EXPECT_EQ(Short.ExitCode, 0);
  EXPECT_EQ(Short.Out, CliWithoutFolder({"--help"}).Out);
  EXPECT_TRUE(Short.Out.contains("--results FILE")) << Short.Out.toStdString();
}

}  // namespace
