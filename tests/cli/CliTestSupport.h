#pragma once
// ferrule-cli as a production line runs it: a real process flashing simulated modules, each an
// rq53sim process on a pseudo-terminal paced like a real line, its records read back from real
// files (the QR pictures by a real decoder).

#include "tests/loader/QStringPrinting.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <vector>

// A simulated module whose station address ends in LastByte; its flash is dumped when it ends.
// It takes commands on standard input and stops when that closes.
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

  // Ends the simulator (its standard input closes) and gives the flash it holds.
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

// The rows of an RFC 4180 text (fields split at commas, quoted fields with doubled quotes, each
// row ending CR LF); nothing when the text breaks the format.
inline std::optional<QList<QStringList>> ParseCsv(const QString& Text) {
  QList<QStringList> Rows;
  QStringList Row;
  QString Field;
  bool InQuotes = false;
  for (qsizetype i = 0; i < Text.size(); ++i) {
    const QChar C = Text[i];
    const QChar Next = i + 1 < Text.size() ? Text[i + 1] : QChar();
    if (InQuotes && C == u'"' && Next == u'"') {
      Field += C;
      ++i;
    } else if (InQuotes) {
      InQuotes = C != u'"';
      if (InQuotes) Field += C;
    } else if (C == u'"' && Field.isEmpty()) {
      InQuotes = true;
    } else if (C == u',' || (C == u'\r' && Next == u'\n')) {
      Row << std::exchange(Field, QString());
      if (C == u'\r') {
        Rows << std::exchange(Row, QStringList());
        ++i;
      }
    } else if (C == u'"' || C == u'\r' || C == u'\n') {
      return std::nullopt;
    } else {
      Field += C;
    }
  }
  if (InQuotes || !Row.isEmpty() || !Field.isEmpty()) return std::nullopt;
  return Rows;
}

// Every line of Out as a JSON object; a line that is none fails the test.
inline QList<QJsonObject> JsonEvents(const QString& Out) {
  QList<QJsonObject> Events;
  for (const QString& Line : Out.split('\n', Qt::SkipEmptyParts)) {
    QJsonParseError Error;
    const QJsonDocument Document = QJsonDocument::fromJson(Line.toUtf8(), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << Line.toStdString();
    EXPECT_TRUE(Document.isObject()) << Line.toStdString();
    Events << Document.object();
  }
  return Events;
}

class TCliTest : public ::testing::Test {
 protected:
  // ferrule-cli with Arguments, its settings folder the test's own.
  TCliResult Cli(const QStringList& Arguments) {
    return CliWithoutFolder(Arguments + QStringList{"--config", Folder.path()});
  }
  TCliResult CliWithoutFolder(const QStringList& Arguments) {
    QProcess Program;
    Program.start(FERRULE_CLI, Arguments);
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

  static QByteArray CorvelImage() {
    QFile File(CORVEL_IMAGE);
    EXPECT_TRUE(File.open(QIODevice::ReadOnly));
    return File.readAll();
  }

  // The CORVEL image as the default settings program it: DIO, 4 MByte, 40 MHz.
  static QByteArray ExpectedFlash() {
    QByteArray Image = CorvelImage();
    Image[2] = 0x02;
    Image[3] = 0x40;
    return Image;
  }

  QString FileText(const QString& Name) const {
    QFile File(Folder.filePath(Name));
    return File.open(QIODevice::ReadOnly) ? QString::fromUtf8(File.readAll()) : QString();
  }
  QString Records() const { return FileText("RQ53MAC.txt"); }

  // What zbarimg reads in each saved picture (scaled up so that it finds the symbol).
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
