// The flash offset parser with arbitrary texts, against a reference written from the rule: every
// lower-case "0x" removed, one trailing "h" or "H" dropped, the rest a non-empty hexadecimal number
// that fits in 32 bits. A refused text leaves the caller's address as it was.

#include "firmware/FirmwareImage.h"
#include "tests/fuzz/FuzzSupport.h"

#include <optional>

namespace {

std::optional<quint32> ReferenceAddress(QString Text) {
  Text.remove(QStringLiteral("0x"));
  if (Text.endsWith(u'h') || Text.endsWith(u'H')) Text.chop(1);
  if (Text.isEmpty()) return std::nullopt;
  quint64 Value = 0;
  for (const QChar Char : Text) {
    const int Digit = QStringLiteral("0123456789abcdef").indexOf(Char.toLower());
    if (Digit < 0 || Char.unicode() > 0x7F) return std::nullopt;
    Value = Value * 16 + quint64(Digit);
    if (Value > 0xFFFFFFFFu) return std::nullopt;
  }
  return quint32(Value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const QString Text =
      QString::fromUtf8(reinterpret_cast<const char*>(Data), qsizetype(Size));
  constexpr quint32 Untouched = 0xA5A5A5A5;
  quint32 Address = Untouched;
  const bool Valid = GetBaseAddress(Text, Address);
  const std::optional<quint32> Expected = ReferenceAddress(Text);
  FUZZ_CHECK(Valid == Expected.has_value());
  FUZZ_CHECK(Valid ? Address == *Expected : Address == Untouched);
  // The conversion underneath never fails, whatever the text.
  HexTextToInt64(Text);
  return 0;
}
