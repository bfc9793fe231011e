#include "loader/DeviceIdentity.h"

#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace {

constexpr int QuietZone = 4;

[[noreturn]] void ThrowFileError(const QString& FileName, QString Reason) {
  if (Reason.endsWith('.')) Reason.chop(1);
  const QString Message =
      QString("Cannot write %1: %2.").arg(QDir::toNativeSeparators(FileName), Reason);
  throw EIdentityFileError(Message.toStdString());
}

// Repeats a system call that a signal interrupted.
template <class TCall>
auto RetryOnSignal(TCall Call) {
  decltype(Call()) Result;
  do Result = Call();
  while (Result < 0 && errno == EINTR);
  return Result;
}

// Appends Bytes at the end of the open file Fd under an exclusive advisory lock, so that records
// of processes appending at once never interleave. A write that stops part-way (disk full, file
// size limit) is cut back off again, so the file never keeps half a record. The lock lasts until
// Fd is closed. Returns 0 or errno.
int AppendLocked(int Fd, const QByteArray& Bytes) {
  if (RetryOnSignal([&] { return flock(Fd, LOCK_EX); }) != 0) return errno;
  struct stat Before {};
  int Error = fstat(Fd, &Before) == 0 ? 0 : errno;
  qsizetype Done = 0;
  while (Error == 0 && Done < Bytes.size()) {
    const ssize_t Written = RetryOnSignal(
        [&] { return write(Fd, Bytes.constData() + Done, size_t(Bytes.size() - Done)); });
    if (Written <= 0)
      Error = Written < 0 ? errno : ENOSPC;
    else
      Done += Written;
  }
  // The lock is held, so the end of the file is still where this record began.
  if (Error != 0 && Done > 0) {
    [[maybe_unused]] const int Cut = ftruncate(Fd, Before.st_size);
  }
  return Error;
}

// Writes the picture beside a temporary name and renames it over FileName, so that a failed save
// leaves neither a truncated picture nor a stray file.
void SavePicture(const QImage& Picture, const QString& FileName) {
  QSaveFile File(FileName);
  if (!File.open(QIODevice::WriteOnly)) ThrowFileError(FileName, File.errorString());
  QImageWriter Writer(&File, "png");
  if (!Writer.write(Picture)) ThrowFileError(FileName, Writer.errorString());
  if (!File.commit()) ThrowFileError(FileName, File.errorString());
}

}  // namespace

QString IdentityQRText(const QString& APMACStr, const QString& STAMACStr) {
  return " AP MAC:" + APMACStr + "\r\nSTA MAC:" + STAMACStr;
}

QImage EncodeQRCode(const QString& Text) {
  // Level 0 of the writer's 0..8 scale is error-correction level L. Without a margin and a size
  // the writer gives the bare symbol, one bit per module; the quiet zone is added here.
  ZXing::MultiFormatWriter Writer(ZXing::BarcodeFormat::QRCode);
  Writer.setEccLevel(0).setMargin(0);
  const ZXing::BitMatrix Modules = Writer.encode(Text.toStdWString(), 0, 0);
  QImage Picture(Modules.width() + 2 * QuietZone, Modules.height() + 2 * QuietZone,
                 QImage::Format_Mono);
  Picture.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
  Picture.fill(0);
  for (int Row = 0; Row < Modules.height(); ++Row)
    for (int Column = 0; Column < Modules.width(); ++Column)
      if (Modules.get(Column, Row)) Picture.setPixel(Column + QuietZone, Row + QuietZone, 1);
  return Picture;
}

QString IdentityStamp(const QDateTime& Time) {
  return Time.toLocalTime().toString("yyyyMMddHHmmss");
}

void AppendLineToFile(const QString& Text, const QString& FileName) {
  const QByteArray Bytes = (Text + "\r\n").toUtf8();
  const int Fd = RetryOnSignal([&] {
    return open(QFile::encodeName(FileName).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                0666);
  });
  if (Fd < 0) ThrowFileError(FileName, qt_error_string(errno));
  const int WriteError = AppendLocked(Fd, Bytes);
  const int CloseError = close(Fd) == 0 ? 0 : errno;
  if (WriteError != 0 || CloseError != 0)
    ThrowFileError(FileName, qt_error_string(WriteError != 0 ? WriteError : CloseError));
}

void RecordDeviceIdentity(const QString& ConfigDir, const QString& APMACStr,
                          const QString& STAMACStr, const QImage& Picture, const QDateTime& Time) {
  const QString Stamp = IdentityStamp(Time);
  AppendLineToFile(Stamp + "\r\n" + IdentityQRText(APMACStr, STAMACStr) + "\r\n",
                   ConfigDir + "RQ53MAC.txt");
  SavePicture(Picture, ConfigDir + Stamp + ".png");
}
