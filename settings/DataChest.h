#pragma once
// The settings store: one process-wide table of named, typed variables.
// Names are compared with only the letters a-z mapped to A-Z. The element list is kept
// sorted lazily: new elements stay at its end until the next lookup sorts it, so that
// a name is found by binary search. All functions run on the UI thread only.

#include <QString>

#include <cstdint>
#include <stdexcept>
#include <variant>

// Compares two names code unit by code unit with only a-z mapped to A-Z; a prefix is
// smaller. Returns <0, 0 or >0; 0 means "the same name".
int ChestCompareNames(const QString& A, const QString& B);

// A text that does not convert to the number asked for.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Type codes of the variables; they also select the type word in the settings file.
enum TChestType : std::uint16_t {
  ChestTypeNone = 0,
  ChestTypeInteger = 1,
  ChestTypeReal = 2,
  ChestTypeBoolean = 3,
  ChestTypeString = 4,
};

struct TChestString {
  QString Value;
};

// The value cell of an element; the alternative held always matches the element's ChestType.
using TChestValue = std::variant<std::int32_t, double, bool, TChestString>;

struct TChestElement {
  std::uint16_t ChestType = ChestTypeNone;
  TChestValue Value;
  QString Name;  // spelled as when the element was created
};

// The publisher text written into the settings file; empty at program start.
inline QString ChestPublisherInfo;

void ChestSetInteger(const QString& Name, std::int32_t Value);
void ChestSetReal(const QString& Name, double Value);
void ChestSetBoolean(const QString& Name, bool Value);
void ChestSetString(const QString& Name, const QString& Value);

// Convert the text and set the variable; raise EConvertError (and set nothing) on bad text.
// An Integer is an optional sign and decimal digits within 32 bits; a Real is a signed decimal
// number with an optional exponent (or INF, NAN), its separator '.' or the current locale's,
// no group separators. Both allow white space around the number, as a hand-edited file may
// hold; hexadecimal and non-ASCII digits are refused.
void ChestSetIntegerText(const QString& Name, const QString& Text);
void ChestSetRealText(const QString& Name, const QString& Text);
// "TRUE" or "FALSE" in any letter case set the variable; any other text does nothing.
void ChestSetBooleanText(const QString& Name, const QString& Text);

// The value when the variable exists with that type, else 0 or the empty text.
// A getter never creates a variable.
std::int32_t ChestGetInteger(const QString& Name);
QString ChestGetString(const QString& Name);

int ChestCount();
// The element at a position of the element list in its current order (0 <= Index < ChestCount()).
const TChestElement& ChestElementAt(int Index);

// Empty the store (program start; each test's start) and release it (program end).
void ChestReset();
void ChestRelease();

// The text form of a Real value: the fewest significant digits that read back as the same
// value (15 at most unless more are needed), no trailing zeros, '.' as the decimal separator
// whatever the locale; scientific with a capital E and no plus sign when the magnitude is
// below 0.00001 or has more than 15 digits before the separator (1E20, 1E-6).
QString ChestRealToText(double Value);
