// ferrule-cli's workbench subcommands against simulated modules: the flash read whole into a file,
// files verified equal and with one byte changed, an exact erase, the chip told; and the
// arguments refused before any port is opened.

#include "tests/cli/CliTestSupport.h"

#include <QThread>

namespace {

using CliWorkbenchTest = TCliTest;

constexpr qsizetype ChipBytes = 4 * 1024 * 1024;

QByteArray Pattern() {
  QByteArray Bytes(ChipBytes, '\0');
  quint32 State = 12345;
  for (char& Byte : Bytes) Byte = char((State = State * 1103515245u + 12345u) >> 24);
  return Bytes;
}

QString WriteFile(const QString& Path, const QByteArray& Bytes) {
  QFile File(Path);
  EXPECT_TRUE(File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size());
  return Path;
}

QByteArray ReadAll(const QString& Path) {
  QFile File(Path);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

// A run leaves the module running the loader program; the simulated module cannot see the next
// run's boot pulse, so it is reset into its boot loader as the pulse would.
void Reset(TSimModule& Sim) {
  Sim.Process.write("reset\n");
  Sim.Process.waitForBytesWritten(1000);
  QThread::msleep(200);
}

QList<QJsonObject> Results(const QString& Out) {
  QList<QJsonObject> Found;
  for (const QJsonObject& Event : JsonEvents(Out))
    if (Event["event"] == "result") Found << Event;
  return Found;
}

TEST_F(CliWorkbenchTest, ReadVerifyEraseAndInfoAgainstTheModulesFlash) {
  const QByteArray Flash = Pattern();
  const QString Contents = WriteFile(Folder.filePath("contents.bin"), Flash);
  TSimModule& A = Module(0x56, {"--flash", Contents});
  TSimModule& B = Module(0x57, {"--flash", Contents});

  TCliResult Result = Cli({"info", "--port", A.Port, "--port", B.Port, "--json"});
  EXPECT_EQ(Result.ExitCode, 0) << Result.Err.toStdString();
  const QList<QJsonObject> Infos = Results(Result.Out);
  ASSERT_EQ(Infos.size(), 2);
  for (const QJsonObject& Info : Infos) {
    const TSimModule& Sim = Info["port"] == A.Port ? A : B;
    EXPECT_EQ(Info["operation"], "info");
    EXPECT_EQ(Info["result"], "done");
    EXPECT_EQ(Info["chip_id"], "C8 40 16");
    EXPECT_EQ(Info["chip_bytes"].toInteger(), ChipBytes);
    EXPECT_EQ(Info["sta_mac"], Sim.STAMAC);
    EXPECT_EQ(Info["ap_mac"], Sim.APMAC);
  }
  Reset(A);
  Result = Cli({"info", "--port", A.Port});
  EXPECT_TRUE(Result.Out.contains(
      QRegularExpression("\\n" + QRegularExpression::escape(A.Port) + " +done +" + A.STAMAC +
                         " +\\d+\\.\\d chip C8 40 16, 4 MByte, AP " + A.APMAC + "\\n")))
      << Result.Out.toStdString();

  Reset(A);
  const QString Backup = Folder.filePath("backup.bin");
  Result = Cli({"read", "--port", A.Port, "--offset", "0", "--size", "0x400000", Backup, "--json"});
  EXPECT_EQ(Result.ExitCode, 0) << Result.Err.toStdString();
  EXPECT_TRUE(ReadAll(Backup) == Flash);
  ASSERT_EQ(Results(Result.Out).size(), 1);
  EXPECT_EQ(Results(Result.Out)[0]["operation"], "read");
  EXPECT_EQ(Results(Result.Out)[0]["verified"], true);

  Reset(A);
  QByteArray Changed = Flash.mid(0x20000, 0x10000);
  Result = Cli({"verify", "--port", A.Port, Backup + "@0",
                WriteFile(Folder.filePath("piece.bin"), Changed) + "@0x20000"});
  EXPECT_EQ(Result.ExitCode, 0) << Result.Out.toStdString();
  Changed[0x1234] = char(Changed[0x1234] ^ 0x01);
  WriteFile(Folder.filePath("piece.bin"), Changed);
  Reset(A);
  Result = Cli({"verify", "--port", A.Port, Backup + "@0",
                Folder.filePath("piece.bin") + "@0x20000", "--json"});
  EXPECT_EQ(Result.ExitCode, 1);
  ASSERT_EQ(Results(Result.Out).size(), 1);
  EXPECT_EQ(Results(Result.Out)[0]["reason"], "digest-differs");
  EXPECT_EQ(Results(Result.Out)[0]["reason_text"], "piece.bin at 0x20000 differs from the flash");

  Reset(A);
  Result = Cli({"erase", "--port", A.Port, "--offset", "0x10000", "--size", "0x3000"});
  EXPECT_EQ(Result.ExitCode, 0) << Result.Out.toStdString();
  QByteArray Erased = Flash;
  Erased.replace(0x10000, 0x3000, QByteArray(0x3000, '\xFF'));
  EXPECT_TRUE(A.Flash() == Erased);
  Reset(B);
  Result = Cli({"erase", "--port", B.Port, "--all"});
  EXPECT_EQ(Result.ExitCode, 0) << Result.Out.toStdString();
  EXPECT_TRUE(B.Flash() == QByteArray(ChipBytes, '\xFF'));
  // Every run has its row in the results log, as a flash run has.
  const std::optional<QList<QStringList>> Rows = ParseCsv(FileText("runs.csv"));
  ASSERT_TRUE(Rows.has_value());
  EXPECT_EQ(Rows->size(), 1 + 8);
}

// Each refusal is one line and exit status 2, and nothing reaches the module.
TEST_F(CliWorkbenchTest, BadWorkbenchArgumentsSendNothing) {
  TSimModule& Sim = Module(0x56);
  const QString Existing = WriteFile(Folder.filePath("existing.bin"), "x");
  const QString New = Folder.filePath("new.bin");
  const QStringList On{"--port", Sim.Port};
  const struct {
    QStringList Arguments;
    QString Error;
  } Cases[] = {
      {QStringList{"read", "--offset", "0", "--size", "0", New} + On, "--size 0: nothing to do."},
      {QStringList{"read", "--offset", "0xFFF000", "--size", "0x2000", New} + On,
       "0xFFF000 to 0x1000FFF passes the end of the largest flash chip (16 MByte)."},
      {QStringList{"read", "--offset", "0", "--size", "16", Existing} + On,
       Existing + " exists; --force replaces it."},
      {QStringList{"read", "--offset", "0", "--size", "16", "/proc/ferrule/x.bin"} + On,
       "Cannot write /proc/ferrule/x.bin."},
      {QStringList{"read", "--offset", "0", New} + On, "read wants --offset N and --size N."},
      {QStringList{"erase", "--offset", "0x1800", "--size", "0x1000"} + On,
       "erase takes whole 4 KiB sectors: 0x1800 and 0x1000 are not multiples of 0x1000."},
      {QStringList{"erase", "--all", "--offset", "0", "--size", "0x1000"} + On,
       "Give either --all or --offset and --size, not both."},
      {QStringList{"verify"} + On, "verify wants a FILE."},
      {QStringList{"verify", Folder.filePath("none.bin")} + On, "none.bin does not exist."},
      {QStringList{"info", "--size", "4"} + On, "info takes no --offset, --size or --all."},
      {QStringList{"info"}, "No port given: --port PORT."},
  };
  for (const auto& Case : Cases) {
    const TCliResult Result = Cli(Case.Arguments);
    EXPECT_EQ(Result.ExitCode, 2) << Case.Arguments.join(' ').toStdString();
    EXPECT_EQ(Result.Err.count('\n'), 1) << Result.Err.toStdString();
    EXPECT_TRUE(Result.Err.startsWith("ferrule-cli: ") && Result.Err.contains(Case.Error))
        << Result.Err.toStdString();
    EXPECT_EQ(Result.Out, "");
  }
  EXPECT_FALSE(QFile::exists(New));
  EXPECT_EQ(Sim.Requests(), "");
}

}  // namespace
