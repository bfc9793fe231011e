#pragma once
// The built-in firmware images and what the flashing job makes of a chosen one: the image bytes
// and the base address of its flash offset. Firmware only ever comes from the images built into
// the program (resources of type "BIN" named "_X_" followed by the display name); no file is read
// from disk.

#include <QByteArray>
#include <QChar>
#include <QString>

#include <functional>

// The value of a hexadecimal digit, of either case; -1 for any other character.
int HexDigitValue(QChar C);
bool IsHexDigit(QChar C);

// Hexadecimal text to a number: upper-cased, one trailing "H" dropped, 64-bit arithmetic that
// wraps; any other character than 0-9 and A-F gives 0, and so does an empty text.
qint64 HexTextToInt64(const QString& Text);

// The same operations as the line's methods below, on texts the caller copied from the line (the
// flashing worker reads no widget).
bool IsFilePathValid(const QString& FilePath);
bool GetMemoryStream(const QString& FilePath, QByteArray* MemoryStream);
// False, leaving BaseAddress as it was, for an offset that is no hexadecimal number of at most 32
// bits once every "0x" is removed (one trailing "h" or "H" allowed): a wrong offset must not
// silently become 0, where the module's boot area lies.
bool GetBaseAddress(const QString& Offset, quint32& BaseAddress);

// Walks the program's resources in their stored order and hands the display name of every marked
// resource (a text name containing "_X_", of any type) to Append.
void EnumBuiltInImages(const std::function<void(const QString& DisplayName)>& Append);
