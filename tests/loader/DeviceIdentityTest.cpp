// The identity record written into a real temporary folder: the record file's bytes, the QR
// picture read back from its PNG file and decoded by an independent reader (zbarimg), refused
// writes, and processes recording at once.

#include "loader/DeviceIdentity.h"
#include "tests/loader/QStringPrinting.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

const QString AP = "1A-FE-34-12-34-59";
const QString STA = "18:FE:34:12:34:59";
const QString OtherAP = "AE-D0-74-01-02-03";
const QString OtherSTA = "AC:D0:74:01:02:03";
const QDateTime Example(QDate(2018, 5, 17), QTime(9, 34, 12));
const QByteArray ExampleRecord =
    "20180517093412\r\n AP MAC:1A-FE-34-12-34-59\r\nSTA MAC:18:FE:34:12:34:59\r\n\r\n";
constexpr QRgb Black = 0xFF000000;
constexpr QRgb White = 0xFFFFFFFF;
constexpr int QuietZone = 4;

// The message of the EIdentityFileError that Call raises, or the empty text when it raises none.
QString ErrorOf(const std::function<void()>& Call) {
  try {
    Call();
  } catch (const EIdentityFileError& Error) {
    return QString::fromUtf8(Error.what());
  }
  return QString();
}

// A child process running Body, without root rights when asked (root ignores file permissions).
// Body's messages come back through a pipe.
class TChild {
 public:
  TChild(const std::function<QStringList()>& Body, bool WithoutRoot) {
    int Pipe[2];
    if (pipe(Pipe) != 0) throw std::runtime_error("pipe");
    FPid = fork();
    if (FPid == 0) {
      close(Pipe[0]);
      if (WithoutRoot && geteuid() == 0 &&
          (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(100);
      const QByteArray Out = Body().join('\n').toUtf8();
      _exit(write(Pipe[1], Out.constData(), size_t(Out.size())) == Out.size() ? 0 : 101);
    }
    close(Pipe[1]);
    FOutput = Pipe[0];
  }

  // The child's messages; a child that failed or died is a test failure.
  QStringList Wait() {
    QByteArray Out;
    char Buffer[4096];
    for (ssize_t N; (N = read(FOutput, Buffer, sizeof Buffer)) > 0;) Out.append(Buffer, N);
    close(FOutput);
    int Status = -1;
    EXPECT_EQ(waitpid(FPid, &Status, 0), FPid);
    EXPECT_EQ(Status, 0) << "child exit status " << Status;
    return Out.isEmpty() ? QStringList() : QString::fromUtf8(Out).split('\n');
  }

 private:
  pid_t FPid = -1;
  int FOutput = -1;
};

// What zbarimg reads from Picture drawn 8 pixels per module, its white border kept.
QString DecodeByZbar(const QImage& Picture) {
  QTemporaryDir Scratch;
  const QString File = Scratch.filePath("scaled.png");
  const QImage Large =
      Picture.convertToFormat(QImage::Format_Grayscale8)
          .scaled(Picture.size() * 8, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  EXPECT_TRUE(Large.save(File));
  QProcess Zbar;
  Zbar.start("zbarimg", {"--raw", "-q", File});
  if (!Zbar.waitForFinished(30000) || Zbar.exitStatus() != QProcess::NormalExit ||
      Zbar.exitCode() != 0)
    ADD_FAILURE() << "zbarimg: " << Zbar.errorString().toStdString() << ' '
                  << Zbar.readAllStandardError().toStdString();
  QByteArray Text = Zbar.readAllStandardOutput();
  if (Text.endsWith('\n')) Text.chop(1);  // --raw ends each symbol's text with a line break
  return QString::fromLatin1(Text);
}

// Checks Picture as a QR symbol of Size × Size pixels, quiet zone included: pure black and white,
// a white quiet zone of 4 modules, the three finder patterns right inside it, and format
// information that says error-correction level L.
void CheckQRPicture(const QImage& Picture, int Size) {
  ASSERT_EQ(Picture.size(), QSize(Size, Size));
  const auto Dark = [&](int X, int Y) {
    return Picture.pixel(X + QuietZone, Y + QuietZone) == Black;
  };
  const int Modules = Size - 2 * QuietZone;
  int Mixed = 0, DarkInZone = 0, WrongFinder = 0;
  for (int Y = 0; Y < Size; ++Y)
    for (int X = 0; X < Size; ++X) {
      const QRgb Pixel = Picture.pixel(X, Y);
      Mixed += Pixel != Black && Pixel != White;
      const bool InZone = std::min({X, Y, Size - 1 - X, Size - 1 - Y}) < QuietZone;
      DarkInZone += InZone && Pixel != White;
    }
  // Each finder: a dark 7 × 7 ring, a light ring, a dark 3 × 3 centre, then a light separator.
  for (const QPoint Corner : {QPoint(0, 0), QPoint(Modules - 7, 0), QPoint(0, Modules - 7)})
    for (int DY = -1; DY <= 7; ++DY)
      for (int DX = -1; DX <= 7; ++DX) {
        const QPoint Module = Corner + QPoint(DX, DY);
        if (Module.x() < 0 || Module.y() < 0 || Module.x() >= Modules || Module.y() >= Modules)
          continue;
        const int Ring = std::max(std::abs(DX - 3), std::abs(DY - 3));
        WrongFinder += Dark(Module.x(), Module.y()) != (Ring != 2 && Ring != 4);
      }
  EXPECT_EQ(Mixed, 0) << "pixels neither black nor white";
  EXPECT_EQ(DarkInZone, 0) << "pixels of the quiet zone not white";
  EXPECT_EQ(WrongFinder, 0) << "modules of the finder patterns wrong";
  // The first copy of the 15 format bits, most significant first, around the top-left finder.
  int Format = 0;
  const auto Take = [&](int X, int Y) { Format = Format << 1 | int(Dark(X, Y)); };
  for (int X = 0; X < 6; ++X) Take(X, 8);
  Take(7, 8);
  Take(8, 8);
  Take(8, 7);
  for (int Y = 5; Y >= 0; --Y) Take(8, Y);
  EXPECT_EQ((Format ^ 0x5412) >> 13, 1) << "error-correction level bits (01 is L)";
}

class DeviceIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FDir.isValid());
    ASSERT_EQ(chmod(QFile::encodeName(FDir.path()).constData(), 0755), 0);
  }

  // The settings folder as its property gives it: ending with a separator.
  QString Path(const QString& Name = QString()) const { return FDir.path() + '/' + Name; }

  QByteArray ReadFile(const QString& Name) const {
    QFile File(Path(Name));
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
  }

  void WriteFile(const QString& Name, const QByteArray& Bytes) const {
    QFile File(Path(Name));
    ASSERT_TRUE(File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size());
  }

  // The folder's entries in code-point order ("-" before ".").
  QStringList Entries(const QString& Folder = QString()) const {
    QStringList Names = QDir(Path(Folder)).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    Names.sort();
    return Names;
  }

  QTemporaryDir FDir;
};

TEST_F(DeviceIdentityTest, RecordsTheExampleModuleAndItsPicture) {
  const QString Text = IdentityQRText(AP, STA);
  EXPECT_EQ(Text, " AP MAC:1A-FE-34-12-34-59\r\nSTA MAC:18:FE:34:12:34:59");
  EXPECT_EQ(Text.size(), 52);
  const QImage Picture = EncodeQRCode(Text);
  RecordDeviceIdentity(Path(), AP, STA, Picture, Example);

  EXPECT_EQ(ReadFile("RQ53MAC.txt"), ExampleRecord);
  EXPECT_EQ(Entries(), (QStringList{"20180517093412.png", "RQ53MAC.txt"}));
  const QByteArray Png = ReadFile("20180517093412.png");
  EXPECT_TRUE(Png.startsWith("\x89PNG\r\n\x1A\n"));
  QImage Saved;
  ASSERT_TRUE(Saved.loadFromData(Png, "PNG"));
  EXPECT_EQ(Saved.convertToFormat(QImage::Format_RGB32),
            Picture.convertToFormat(QImage::Format_RGB32));
  CheckQRPicture(Saved, 29 + 2 * QuietZone);  // version 3 holds 53 bytes at level L
  EXPECT_EQ(DecodeByZbar(Saved), Text);
}

// A record of a second that already has a picture (another process's module, or the clock set
// back) keeps both: the later picture takes the next free suffix, the record the plain stamp.
TEST_F(DeviceIdentityTest, LaterRecordsAppendAndKeepEveryPicture) {
  const QImage Picture = EncodeQRCode(IdentityQRText(AP, STA));
  const QImage Other = EncodeQRCode(IdentityQRText(OtherAP, OtherSTA));
  const QStringList Saved{
      RecordDeviceIdentity(Path(), AP, STA, Picture, Example),
      RecordDeviceIdentity(Path(), OtherAP, OtherSTA, Other, Example),
      RecordDeviceIdentity(Path(), OtherAP, OtherSTA, Other, Example.addSecs(1)),
      RecordDeviceIdentity(Path(), AP, STA, Picture, Example),
  };

  const QByteArray OtherRecord = " AP MAC:AE-D0-74-01-02-03\r\nSTA MAC:AC:D0:74:01:02:03\r\n\r\n";
  EXPECT_EQ(ReadFile("RQ53MAC.txt"), ExampleRecord + "20180517093412\r\n" + OtherRecord +
                                         "20180517093413\r\n" + OtherRecord + ExampleRecord);
  const QStringList Names{"20180517093412.png", "20180517093412-1.png", "20180517093413.png",
                          "20180517093412-2.png"};
  for (int K = 0; K < Names.size(); ++K) EXPECT_EQ(Saved[K], Path(Names[K]));
  EXPECT_EQ(Entries(), (QStringList{"20180517093412-1.png", "20180517093412-2.png",
                                    "20180517093412.png", "20180517093413.png", "RQ53MAC.txt"}));
  const QImage Expected[] = {Picture, Other, Other, Picture};
  for (int K = 0; K < Names.size(); ++K)
    EXPECT_EQ(QImage(Path(Names[K])).convertToFormat(QImage::Format_RGB32),
              Expected[K].convertToFormat(QImage::Format_RGB32))
        << Names[K].toStdString();
}

// Sets the local time zone for its lifetime, restoring the one before.
class TLocalZone {
 public:
  explicit TLocalZone(const char* Zone)
      : FSaved(qgetenv("TZ")), FHadZone(qEnvironmentVariableIsSet("TZ")) {
    qputenv("TZ", Zone);
    tzset();
  }
  ~TLocalZone() {
    if (FHadZone)
      qputenv("TZ", FSaved);
    else
      qunsetenv("TZ");
    tzset();
  }

 private:
  QByteArray FSaved;
  bool FHadZone;
};

// In a zone 5:30 hours east of UTC, so that a time given in UTC must be turned into local time.
TEST(DeviceIdentityStamp, LocalTimeAsFourteenDigits) {
  const TLocalZone Zone("IST-5:30");
  const struct {
    QDateTime Time;
    QString Stamp;
  } Cases[] = {{Example, "20180517093412"},
               {QDateTime(QDate(2018, 12, 31), QTime(23, 59, 59)), "20181231235959"},
               {QDateTime(QDate(2019, 1, 1), QTime(0, 0, 0)), "20190101000000"},
               {QDateTime(QDate(2000, 2, 29), QTime(13, 5, 9, 999)), "20000229130509"}};
  for (const auto& Case : Cases) {
    EXPECT_EQ(IdentityStamp(Case.Time), Case.Stamp);
    EXPECT_EQ(IdentityStamp(Case.Time.toUTC()), Case.Stamp) << "the same time given in UTC";
  }
  EXPECT_EQ(IdentityStamp(QDateTime(QDate(2018, 5, 17), QTime(4, 4, 12), Qt::UTC)),
            QString("20180517093412"));
}

// Each text as the encoder's automatic mode choice must fit it: numeric and alphanumeric texts
// fill version 1 (21 modules) where byte mode would need a larger symbol.
TEST(DeviceIdentityQRCode, PicturesDecodeBackToTheirText) {
  const struct {
    const char* What;
    QString Text;
    int Size;
  } Cases[] = {
      {"41 digits, numeric mode", QString("12345678901234567890123456789012345678901"), 29},
      {"25 characters, alphanumeric mode", "STA MAC:18:FE:34:12:34:59", 29},
      {"two 17-character addresses, byte mode", IdentityQRText(AP, STA), 37},
      {"an 18-character AP address", IdentityQRText("100-FE-34-12-34-59", "FE:FE:34:12:34:59"), 37},
      {"54 bytes, version 4", QString(54, 'x'), 41},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const QImage Picture = EncodeQRCode(Case.Text);
    CheckQRPicture(Picture, Case.Size);
    EXPECT_EQ(DecodeByZbar(Picture), Case.Text);
  }
  EXPECT_THROW(EncodeQRCode(QString()), std::invalid_argument);
  EXPECT_THROW(EncodeQRCode(QString(3000, 'x')), std::invalid_argument);
}

// Recording into a read-only folder, onto a read-only record file and into a missing folder, as a
// process without root rights, is refused with the reason; nothing is written, no picture saved.
TEST_F(DeviceIdentityTest, RefusedRecordsThrowTheReasonAndWriteNothing) {
  ASSERT_TRUE(QDir(Path()).mkdir("ReadOnly") && QDir(Path()).mkdir("ReadOnlyFile"));
  WriteFile("ReadOnlyFile/RQ53MAC.txt", "kept\r\n");
  ASSERT_EQ(chmod(QFile::encodeName(Path("ReadOnly")).constData(), 0555), 0);
  ASSERT_EQ(chmod(QFile::encodeName(Path("ReadOnlyFile/RQ53MAC.txt")).constData(), 0444), 0);
  const QImage Picture = EncodeQRCode(IdentityQRText(AP, STA));
  TChild Child(
      [&] {
        QStringList Messages;
        for (const char* Folder : {"ReadOnly/", "ReadOnlyFile/", "Missing/"})
          Messages << ErrorOf(
              [&] { RecordDeviceIdentity(Path(Folder), AP, STA, Picture, Example); });
        return Messages;
      },
      true);
  EXPECT_EQ(Child.Wait(),
            (QStringList{
                "Cannot write " + Path("ReadOnly/RQ53MAC.txt") + ": Permission denied.",
                "Cannot write " + Path("ReadOnlyFile/RQ53MAC.txt") + ": Permission denied.",
                "Cannot write " + Path("Missing/RQ53MAC.txt") + ": No such file or directory.",
            }));
  EXPECT_EQ(Entries("ReadOnly"), QStringList());
  EXPECT_EQ(Entries("ReadOnlyFile"), QStringList{"RQ53MAC.txt"});
  EXPECT_EQ(ReadFile("ReadOnlyFile/RQ53MAC.txt"), "kept\r\n");
  EXPECT_FALSE(QFileInfo::exists(Path("Missing")));
}

// An append that the file size limit cuts short, as a full disk would, is reported and cut back
// off again: the file keeps its earlier records whole and no half record.
TEST_F(DeviceIdentityTest, AnAppendCutShortLeavesNoHalfRecord) {
  const QByteArray Earlier = ExampleRecord.repeated(60);
  WriteFile("RQ53MAC.txt", Earlier);
  TChild Child(
      [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit Limit{rlim_t(Earlier.size() + 20), RLIM_INFINITY};
        if (setrlimit(RLIMIT_FSIZE, &Limit) != 0) return QStringList{"setrlimit failed"};
        return QStringList{ErrorOf([&] {
          RecordDeviceIdentity(Path(), AP, STA, EncodeQRCode(IdentityQRText(AP, STA)), Example);
        })};
      },
      false);
  EXPECT_EQ(Child.Wait(), QStringList{"Cannot write " + Path("RQ53MAC.txt") + ": File too large."});
  EXPECT_EQ(ReadFile("RQ53MAC.txt"), Earlier);
  EXPECT_EQ(Entries(), QStringList{"RQ53MAC.txt"});
}

// A folder of the picture's name is passed by like a picture. A picture that cannot be saved (the
// folder refuses a new file to a process without root rights, or there is no picture) is reported
// after its record was appended, and leaves no stray file.
TEST_F(DeviceIdentityTest, AnUnsaveablePictureThrows) {
  const QImage Picture = EncodeQRCode(IdentityQRText(AP, STA));
  ASSERT_TRUE(QDir(Path()).mkdir("20180517093412.png") && QDir(Path()).mkdir("Locked"));
  EXPECT_EQ(RecordDeviceIdentity(Path(), AP, STA, Picture, Example), Path("20180517093412-1.png"));
  WriteFile("Locked/RQ53MAC.txt", "");
  ASSERT_EQ(chmod(QFile::encodeName(Path("Locked/RQ53MAC.txt")).constData(), 0666), 0);
  ASSERT_EQ(chmod(QFile::encodeName(Path("Locked")).constData(), 0555), 0);
  TChild Child(
      [&] {
        return QStringList{
            ErrorOf([&] { RecordDeviceIdentity(Path("Locked/"), AP, STA, Picture, Example); })};
      },
      true);
  const QString NoPicture =
      ErrorOf([&] { RecordDeviceIdentity(Path(), AP, STA, QImage(), Example.addSecs(1)); });

  EXPECT_EQ(Child.Wait(), QStringList{"Cannot write " + Path("Locked/20180517093412.png") +
                                      ": Permission denied."});
  EXPECT_TRUE(NoPicture.startsWith("Cannot write " + Path("20180517093413.png") + ": "))
      << NoPicture.toStdString();
  EXPECT_EQ(ReadFile("RQ53MAC.txt"),
            ExampleRecord + QByteArray(ExampleRecord).replace("093412", "093413"));
  EXPECT_EQ(ReadFile("Locked/RQ53MAC.txt"), ExampleRecord);
  EXPECT_EQ(Entries(),
            (QStringList{"20180517093412-1.png", "20180517093412.png", "Locked", "RQ53MAC.txt"}));
  EXPECT_EQ(Entries("Locked"), QStringList{"RQ53MAC.txt"});
  EXPECT_TRUE(QFileInfo(Path("20180517093412.png")).isDir());
}

// Two processes appending 2000 records each, started at the same moment: every record is whole
// and none interleaved with another, and each process's records keep their order.
TEST_F(DeviceIdentityTest, ProcessesAppendingAtOnceNeverInterleave) {
  constexpr int Count = 2000;
  const QString Texts[2] = {IdentityQRText(AP, STA), IdentityQRText(OtherAP, OtherSTA)};
  int Gate[2];
  ASSERT_EQ(pipe(Gate), 0);
  std::vector<std::unique_ptr<TChild>> Children;
  for (const QString& Text : Texts)
    Children.push_back(std::make_unique<TChild>(
        [&] {
          close(Gate[1]);
          char Start;
          if (read(Gate[0], &Start, 1) != 0) return QStringList{"gate"};
          QStringList Errors;
          for (int K = 0; K < Count; ++K) {
            const QString Stamp = IdentityStamp(Example.addSecs(K));
            const QString Error = ErrorOf(
                [&] { AppendLineToFile(Stamp + "\r\n" + Text + "\r\n", Path("RQ53MAC.txt")); });
            if (!Error.isEmpty()) Errors << Error;
          }
          return Errors;
        },
        false));
  close(Gate[1]);  // lets both go
  close(Gate[0]);
  for (auto& Child : Children) EXPECT_EQ(Child->Wait(), QStringList());

  QStringList Records = QString::fromLatin1(ReadFile("RQ53MAC.txt")).split("\r\n\r\n");
  EXPECT_EQ(Records.takeLast(), "");
  int Next[2] = {0, 0};
  for (const QString& Record : Records) {
    const int Writer = int(std::find(Texts, Texts + 2, Record.mid(16)) - Texts);
    ASSERT_LT(Writer, 2) << "broken record: " << Record.toStdString();
    EXPECT_EQ(Record.left(16), IdentityStamp(Example.addSecs(Next[Writer]++)) + "\r\n");
  }
  EXPECT_EQ(Next[0], Count);
  EXPECT_EQ(Next[1], Count);
}

// Two processes recording 25 modules each, all in the same second, started at the same moment:
// every picture is kept under a name of its own, and each is whole.
TEST_F(DeviceIdentityTest, ProcessesRecordingInTheSameSecondKeepEveryPicture) {
  constexpr int Count = 25;
  const QString Texts[2][2] = {{AP, STA}, {OtherAP, OtherSTA}};
  const QImage Pictures[2] = {EncodeQRCode(IdentityQRText(AP, STA)),
                              EncodeQRCode(IdentityQRText(OtherAP, OtherSTA))};
  int Gate[2];
  ASSERT_EQ(pipe(Gate), 0);
  std::vector<std::unique_ptr<TChild>> Children;
  for (int Writer = 0; Writer < 2; ++Writer)
    Children.push_back(std::make_unique<TChild>(
        [&, Writer] {
          close(Gate[1]);
          char Start;
          if (read(Gate[0], &Start, 1) != 0) return QStringList{"gate"};
          QStringList Errors;
          for (int K = 0; K < Count; ++K) {
            const QString Error = ErrorOf([&] {
              RecordDeviceIdentity(Path(), Texts[Writer][0], Texts[Writer][1], Pictures[Writer],
                                   Example);
            });
            if (!Error.isEmpty()) Errors << Error;
          }
          return Errors;
        },
        false));
  close(Gate[1]);
  close(Gate[0]);
  for (auto& Child : Children) EXPECT_EQ(Child->Wait(), QStringList());

  QStringList Expected{"RQ53MAC.txt", "20180517093412.png"};
  for (int K = 1; K < 2 * Count; ++K) Expected << QString("20180517093412-%1.png").arg(K);
  Expected.sort();
  EXPECT_EQ(Entries(), Expected);
  int Seen[2] = {0, 0};
  for (const QString& Name : Entries()) {
    if (!Name.endsWith(".png")) continue;
    const QImage Saved = QImage(Path(Name)).convertToFormat(QImage::Format_RGB32);
    const int Writer = Saved == Pictures[0].convertToFormat(QImage::Format_RGB32)   ? 0
                       : Saved == Pictures[1].convertToFormat(QImage::Format_RGB32) ? 1
                                                                                    : 2;
    ASSERT_LT(Writer, 2) << "not a whole picture: " << Name.toStdString();
    ++Seen[Writer];
  }
  EXPECT_EQ(Seen[0], Count);
  EXPECT_EQ(Seen[1], Count);
  EXPECT_EQ(ReadFile("RQ53MAC.txt").count("20180517093412\r\n"), 2 * Count);
}

}  // namespace
