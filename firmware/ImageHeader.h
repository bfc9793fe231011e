#pragma once
// The ESP8266 image header as the tool reads and patches it: byte 0 the magic 0xE9, byte 1 the
// number of segments, byte 2 the SPI flash mode, byte 3 the flash size (high four bits) and
// frequency (low four bits), bytes 4-7 the entry; then each segment's address, length and bytes.
// The mode, size and speed come from the texts of the Advanced page's boxes.

#include <QByteArray>
#include <QString>

#include <optional>

inline constexpr char ImageMagic = '\xE9';

// The header codes chosen by the boxes' exact texts (0 for any other text).
quint8 SPIModeCode(const QString& Text);
quint8 FlashSizeSpeedCode(const QString& SizeText, const QString& SpeedText);

// The flash's size in bytes for a size text of the Advanced page; nothing for another text.
std::optional<quint64> FlashSizeBytes(const QString& SizeText);

// Why the Advanced page's texts cannot be written into a header (a box without a choice, as an
// index out of range in a hand-edited settings file leaves it), in the outcome's words; empty
// when they can.
QString FlashSettingsRefusal(const QString& Mode, const QString& Size, const QString& Speed);

// Bytes 2 and 3 of Image (at least 4 bytes long) set to the codes of the texts.
void PatchImageHeader(QByteArray& Image, const QString& Mode, const QString& Size,
                      const QString& Speed);

// Why the module would not boot from Image at offset 0: no 0xE9 magic, no segment, or segments
// that do not fit the file; empty when its header is sound.
QString BootHeaderProblem(const QByteArray& Image);
