#pragma once
// The record of every module whose MAC registers were read: its two MAC address texts appended with
// a time stamp to "RQ53MAC.txt" in the settings folder, and drawn as a QR code saved beside it as a
// PNG picture named by the same time stamp.

#include <QDateTime>
#include <QImage>
#include <QString>

#include <array>
#include <stdexcept>

// The eFuse words that hold the MAC address, in the order they are read.
inline constexpr std::array<quint32, 4> MACRegisterAddresses{0x3FF00050, 0x3FF00054, 0x3FF00058,
                                                             0x3FF0005C};

// A module's two MAC address texts: the station's, bytes in upper-case hexadecimal joined by ":",
// and the soft access point's (the station's with its first byte + 2) joined by "-".
struct TModuleMAC {
  QString Station;
  QString AccessPoint;
};

// The MAC address held in the four eFuse words, read in the order of MACRegisterAddresses.
TModuleMAC DeriveModuleMAC(const std::array<quint32, 4>& Words);

// A record file or picture that cannot be written; the message says which file and why, in words a
// user can act on (e.g. "Cannot write RQ53MAC.txt: Permission denied.").
class EIdentityFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// " AP MAC:" AP CR LF "STA MAC:" STA.
QString IdentityQRText(const QString& APMACStr, const QString& STAMACStr);

// The QR symbol of Text (error-correction level L, automatic mode, a quiet zone of 4 modules), one
// pixel per module, dark modules black and every other pixel white. Throws std::invalid_argument
// for an empty Text or one too long for any QR symbol.
QImage EncodeQRCode(const QString& Text);

// Local time as 14 digits, yyyyMMddhhmmss (hours 00 to 23).
QString IdentityStamp(const QDateTime& Time);

// Appends Text and CR LF to FileName, creating the file when missing, in one write under an
// exclusive lock so that two processes appending at once never interleave their records; a
// non-empty Header and CR LF go first into an empty file. A write cut short (disk full) is taken
// back off the file. Throws EIdentityFileError.
void AppendLineToFile(const QString& Text, const QString& FileName, const QString& Header = {});

// Appends the four-line record to ConfigDir + "RQ53MAC.txt", then saves Picture as ConfigDir +
// stamp + ".png", both stamped by the one reading Time. A picture never replaces another: when a
// record of the same second (from another process sharing the folder) has taken that name, the
// picture is saved as stamp + "-1.png", "-2.png", ..., the first name free; the record keeps the
// plain stamp. Returns the picture's file name. ConfigDir ends with a separator. Throws
// EIdentityFileError; when the record fails, no picture is saved.
QString RecordDeviceIdentity(const QString& ConfigDir, const QString& APMACStr,
                             const QString& STAMACStr, const QImage& Picture,
                             const QDateTime& Time);
