#include "firmware/FirmwareImage.h"

#include "firmware/ResourceCatalogue.h"

#include <algorithm>

namespace {

const QString ImageType = QStringLiteral("BIN");
const QString ImageMarker = QStringLiteral("_X_");

// An offset is a number of at most eight significant hexadecimal digits, one trailing "h" or
// "H" allowed.
bool IsOffsetNumber(QString Digits) {
  if (Digits.endsWith(u'h') || Digits.endsWith(u'H')) Digits.chop(1);
  if (Digits.isEmpty() || !std::all_of(Digits.begin(), Digits.end(), IsHexDigit)) return false;
  const qsizetype Leading =
      std::find_if(Digits.begin(), Digits.end(), [](QChar C) { return C != u'0'; }) -
      Digits.begin();
  return Digits.size() - Leading <= 8;
}

// The walk's callbacks: every type, then every name of that type. A numbered name is skipped;
// a text name holding the marker is listed without it, whatever its type.
void BuiltInNameCallback(const TResourceId& Name,
                         const std::function<void(const QString&)>& Append) {
  if (Name.IsNumber() || !Name.Text.contains(ImageMarker)) return;
  Append(QString(Name.Text).remove(ImageMarker));
}

void BuiltInTypeCallback(const TResourceId& Type,
                         const std::function<void(const QString&)>& Append) {
  for (const TResourceId& Name : ResourceCatalogue::Names(Type)) BuiltInNameCallback(Name, Append);
}

}  // namespace

// The value of a hexadecimal digit, of either case; -1 for any other character.
int HexDigitValue(QChar C) {
  const char16_t U = C.unicode();
  if (U >= u'0' && U <= u'9') return U - u'0';
  if (U >= u'A' && U <= u'F') return U - u'A' + 10;
  if (U >= u'a' && U <= u'f') return U - u'a' + 10;
  return -1;
}

bool IsHexDigit(QChar C) { return HexDigitValue(C) >= 0; }


qint64 HexTextToInt64(const QString& Text) {
  QString Upper = Text;
  for (QChar& C : Upper)
    if (C >= u'a' && C <= u'z') C = QChar(C.unicode() - u'a' + u'A');
  if (Upper.endsWith(u'H')) Upper.chop(1);
  quint64 Value = 0;  // unsigned, so that the arithmetic wraps
  for (QChar C : Upper) {
    const int Digit = HexDigitValue(C);
    if (Digit < 0) return 0;
    Value = Value * 16 + quint64(Digit);
  }
  return qint64(Value);
}

bool IsFilePathValid(const QString& FilePath) {
  return !FilePath.isEmpty() &&
         !ResourceCatalogue::Path(ImageType, ImageMarker + FilePath).isEmpty();
}

bool GetMemoryStream(const QString& FilePath, QByteArray* MemoryStream) {
  if (!MemoryStream || FilePath.isEmpty()) return false;
  const QString Name = IsFilePathValid(FilePath) ? ImageMarker + FilePath : QString();
  const std::optional<QByteArray> Image = ResourceCatalogue::Load(ImageType, Name);
  if (!Image) return false;
  *MemoryStream = *Image;
  return true;
}

bool GetBaseAddress(const QString& Offset, quint32& BaseAddress) {
  const QString Digits = QString(Offset).remove(QStringLiteral("0x"));
  if (!IsOffsetNumber(Digits)) return false;
  BaseAddress = quint32(HexTextToInt64(Digits));
  return true;
}

void EnumBuiltInImages(const std::function<void(const QString& DisplayName)>& Append) {
  for (const TResourceId& Type : ResourceCatalogue::Types()) BuiltInTypeCallback(Type, Append);
}
