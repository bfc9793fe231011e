#include "loader/DeviceIdentity.h"

#include <qrencode.h>

#include <QDir>
#include <QFile>
#include <QImageWriter>

#include "loader/IdentityFiles.h"

#include <QStringList>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace {

quint8 ByteOf(quint32 Value, int Shift) { return static_cast<quint8>(Value >> Shift); }

// Upper-case hexadecimal, two digits a byte, joined by Separator; AddToFirst is added to the
// first byte.
QString MACText(const std::array<quint8, 6>& MAC, int AddToFirst, QLatin1Char Separator) {
  QStringList Parts;
  for (std::size_t i = 0; i < MAC.size(); ++i)
    Parts << QString::number(MAC[i] + (i == 0 ? AddToFirst : 0), 16).toUpper().rightJustified(2, u'0');
  return Parts.join(Separator);
}

constexpr int QuietZone = 4;

[[noreturn]] void ThrowFileError(const QString& FileName, QString Reason) {
  if (Reason.endsWith('.')) Reason.chop(1);
  const QString Message =
      QString("Cannot write %1: %2.").arg(QDir::toNativeSeparators(FileName), Reason);
  throw EIdentityFileError(Message.toStdString());
}

// More pictures than this in one second are not taken for real modules: something else fills
// the folder with names of this form.
constexpr int PictureNameLimit = 1000;

// Creates a picture file that no other file has the name of: Base + ".png", or Base + "-1.png",
// "-2.png", ... when records of the same second (another process's, or a clock set back) have
// taken the names before. Each name is created exclusively, so that two processes never take the
// same one and no picture is ever replaced. Returns the descriptor, or -1 with errno set;
// FileName is the name created or the last one tried.
int CreatePictureFile(const QString& Base, QString& FileName) {
  for (int Suffix = 0; Suffix < PictureNameLimit; ++Suffix) {
    FileName = Base + (Suffix == 0 ? QString() : QString("-%1").arg(Suffix)) + ".png";
    const int Fd = IdentityFiles::CreateNew(FileName);
    if (Fd >= 0 || errno != EEXIST) return Fd;
  }
  return -1;  // errno is EEXIST
}

// Writes Picture as a PNG into the open file Fd and closes it. Returns the empty text or the reason
// of the failure.
QString WritePicture(const QImage& Picture, int Fd) {
  QString Error;
  {
    QFile File;
    if (!File.open(Fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
      Error = File.errorString();
    QImageWriter Writer(&File, "png");
    if (Error.isEmpty() && !Writer.write(Picture)) Error = Writer.errorString();
    if (Error.isEmpty() && !File.flush()) Error = File.errorString();
  }
  const int CloseError = IdentityFiles::Close(Fd);
  if (CloseError != 0 && Error.isEmpty()) Error = qt_error_string(CloseError);
  return Error;
}

// Saves Picture under a new name beginning with Base (see CreatePictureFile). A failed save
// removes the file it created, so no truncated picture stays. Returns the file's name.
QString SavePicture(const QImage& Picture, const QString& Base) {
  QString FileName;
  const int Fd = CreatePictureFile(Base, FileName);
  if (Fd < 0) ThrowFileError(FileName, qt_error_string(errno));
  const QString Error = WritePicture(Picture, Fd);
  if (Error.isEmpty()) return FileName;
  QFile::remove(FileName);
  ThrowFileError(FileName, Error);
}

}  // namespace

// The vendor prefix is the maker's own (bits 16-23 of the fourth word) when bit 12 of the third
// word says so, 18:FE:34 by default and AC:D0:74 when bits 16-23 of the second word are set. The
// last byte is bits 24-31 of the first word; its bits 16-23 hold a check byte.
TModuleMAC DeriveModuleMAC(const std::array<quint32, 4>& Words) {
  const bool OwnVendor = (Words[2] >> 12) & 1;
  const bool SecondVendor = ByteOf(Words[1], 16) != 0;
  std::array<quint8, 3> Vendor{0x18, 0xFE, 0x34};
  if (OwnVendor)
    Vendor = {ByteOf(Words[3], 16), ByteOf(Words[3], 8), ByteOf(Words[3], 0)};
  else if (SecondVendor)
    Vendor = {0xAC, 0xD0, 0x74};
  const std::array<quint8, 6> MAC{Vendor[0],           Vendor[1],          Vendor[2],
                                  ByteOf(Words[1], 8), ByteOf(Words[1], 0), ByteOf(Words[0], 24)};
  return {MACText(MAC, 0, QLatin1Char(':')), MACText(MAC, 2, QLatin1Char('-'))};
}

QString IdentityQRText(const QString& APMACStr, const QString& STAMACStr) {
  return " AP MAC:" + APMACStr + "\r\nSTA MAC:" + STAMACStr;
}

QImage EncodeQRCode(const QString& Text) {
  // Version 0 lets the encoder take the smallest symbol; with case sensitivity on, it splits the
  // text into numeric, alphanumeric and byte runs as fits it best. Bit 0 of each module is dark.
  const std::unique_ptr<QRcode, decltype(&QRcode_free)> Symbol(
      QRcode_encodeString(Text.toUtf8().constData(), 0, QR_ECLEVEL_L, QR_MODE_8, 1), QRcode_free);
  if (!Symbol) throw std::invalid_argument("no QR symbol holds this text");
  const int Width = Symbol->width;
  QImage Picture(Width + 2 * QuietZone, Width + 2 * QuietZone, QImage::Format_Mono);
  Picture.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
  Picture.fill(0);
  for (int Row = 0; Row < Width; ++Row)
    for (int Column = 0; Column < Width; ++Column)
      if (Symbol->data[Row * Width + Column] & 1)
        Picture.setPixel(Column + QuietZone, Row + QuietZone, 1);
  return Picture;
}

QString IdentityStamp(const QDateTime& Time) {
  return Time.toLocalTime().toString("yyyyMMddHHmmss");
}

void AppendLineToFile(const QString& Text, const QString& FileName, const QString& Header) {
  const QByteArray HeaderLine = Header.isEmpty() ? QByteArray() : (Header + "\r\n").toUtf8();
  const int Error = IdentityFiles::AppendLocked(FileName, (Text + "\r\n").toUtf8(), HeaderLine);
  if (Error != 0) ThrowFileError(FileName, qt_error_string(Error));
}

QString RecordDeviceIdentity(const QString& ConfigDir, const QString& APMACStr,
                             const QString& STAMACStr, const QImage& Picture,
                             const QDateTime& Time) {
  const QString Stamp = IdentityStamp(Time);
  AppendLineToFile(Stamp + "\r\n" + IdentityQRText(APMACStr, STAMACStr) + "\r\n",
                   ConfigDir + "RQ53MAC.txt");
  return SavePicture(Picture, ConfigDir + Stamp);
}
