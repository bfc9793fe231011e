#include "settings/DataChest.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

struct TChestStore {
  std::vector<std::unique_ptr<TChestElement>> Elements;
  bool Sorted = false;  // clear while appended elements may stand unsorted at the end
};

TChestStore Store;

char16_t UpCaseLetter(char16_t C) {
  return (C >= u'a' && C <= u'z') ? char16_t(C - u'a' + u'A') : C;
}

void ChestSort() {
  if (Store.Sorted) return;
  std::sort(Store.Elements.begin(), Store.Elements.end(),
            [](const auto& A, const auto& B) { return ChestCompareNames(A->Name, B->Name) < 0; });
  Store.Sorted = true;
}

struct TFindResult {
  bool Found = false;
  int Index = 0;  // position of the match, or where the name would be inserted
};

// Binary search; the list must be sorted.
TFindResult ChestFind(const QString& Name) {
  TFindResult Result;
  int Low = 0;
  int High = int(Store.Elements.size()) - 1;
  while (Low <= High) {
    const int Middle = (Low + High) / 2;
    const int Order = ChestCompareNames(Store.Elements[Middle]->Name, Name);
    if (Order < 0) {
      Low = Middle + 1;
    } else {
      High = Middle - 1;
      if (Order == 0) {
        Result.Found = true;
        Low = Middle;
      }
    }
  }
  Result.Index = Low;
  return Result;
}

const TChestElement* ChestLookup(const QString& Name) {
  ChestSort();
  const TFindResult Found = ChestFind(Name);
  return Found.Found ? Store.Elements[Found.Index].get() : nullptr;
}

// Replaces the value and type of an existing variable (keeping the spelling of its name)
// or appends a new element, which stays at the end until the next sort.
void ChestPut(const QString& Name, TChestValue Value, TChestType Type) {
  ChestSort();
  const TFindResult Found = ChestFind(Name);
  if (Found.Found) {
    TChestElement& Element = *Store.Elements[Found.Index];
    Element.Value = std::move(Value);
    Element.ChestType = Type;
    return;
  }
  Store.Elements.push_back(
      std::make_unique<TChestElement>(TChestElement{Type, std::move(Value), Name}));
  Store.Sorted = false;
}

// Reads "." as the decimal separator and, failing that, the current locale's one.
// Group separators are refused so that "1,500" is never read as 1500.
bool ParseReal(const QString& Text, double& Value) {
  for (QLocale Locale : {QLocale::c(), QLocale()}) {
    Locale.setNumberOptions(QLocale::RejectGroupSeparator);
    bool Ok = false;
    Value = Locale.toDouble(Text, &Ok);
    if (Ok) return true;
  }
  return false;
}

// Digits (no trailing zeros) of d.ddd x 10^Exponent in fixed notation.
QString FixedText(const QString& Digits, int Exponent) {
  if (Exponent < 0) return QStringLiteral("0.") + QString(-Exponent - 1, u'0') + Digits;
  const qsizetype IntegerDigits = Exponent + 1;
  if (Digits.size() <= IntegerDigits) return Digits + QString(IntegerDigits - Digits.size(), u'0');
  return Digits.left(IntegerDigits) + u'.' + Digits.mid(IntegerDigits);
}

QString ScientificText(const QString& Digits, int Exponent) {
  QString Text = Digits.left(1);
  if (Digits.size() > 1) Text += u'.' + Digits.mid(1);
  return Text + u'E' + QString::number(Exponent);
}

}  // namespace

int ChestCompareNames(const QString& A, const QString& B) {
  const qsizetype Common = std::min(A.size(), B.size());
  for (qsizetype I = 0; I < Common; ++I) {
    const char16_t CharA = UpCaseLetter(A[I].unicode());
    const char16_t CharB = UpCaseLetter(B[I].unicode());
    if (CharA != CharB) return CharA < CharB ? -1 : 1;
  }
  return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

void ChestSetInteger(const QString& Name, std::int32_t Value) {
  ChestPut(Name, Value, ChestTypeInteger);
}

void ChestSetReal(const QString& Name, double Value) { ChestPut(Name, Value, ChestTypeReal); }

void ChestSetBoolean(const QString& Name, bool Value) { ChestPut(Name, Value, ChestTypeBoolean); }

void ChestSetString(const QString& Name, const QString& Value) {
  ChestPut(Name, TChestString{Value}, ChestTypeString);
}

void ChestSetIntegerText(const QString& Name, const QString& Text) {
  bool Ok = false;
  const int Value = Text.toInt(&Ok, 10);
  if (!Ok)
    throw EConvertError(
        QStringLiteral("'%1' is not a valid integer value").arg(Text).toStdString());
  ChestSetInteger(Name, Value);
}

void ChestSetRealText(const QString& Name, const QString& Text) {
  double Value = 0;
  if (!ParseReal(Text, Value))
    throw EConvertError(
        QStringLiteral("'%1' is not a valid floating point value").arg(Text).toStdString());
  ChestSetReal(Name, Value);
}

void ChestSetBooleanText(const QString& Name, const QString& Text) {
  if (ChestCompareNames(Text, QStringLiteral("TRUE")) == 0)
    ChestSetBoolean(Name, true);
  else if (ChestCompareNames(Text, QStringLiteral("FALSE")) == 0)
    ChestSetBoolean(Name, false);
}

std::int32_t ChestGetInteger(const QString& Name) {
  const TChestElement* Element = ChestLookup(Name);
  return Element && Element->ChestType == ChestTypeInteger ? std::get<std::int32_t>(Element->Value)
                                                           : 0;
}

QString ChestGetString(const QString& Name) {
  const TChestElement* Element = ChestLookup(Name);
  return Element && Element->ChestType == ChestTypeString
             ? std::get<TChestString>(Element->Value).Value
             : QString();
}

int ChestCount() { return int(Store.Elements.size()); }

const TChestElement& ChestElementAt(int Index) { return *Store.Elements.at(std::size_t(Index)); }

void ChestReset() {
  ChestRelease();
  ChestPublisherInfo.clear();
}

void ChestRelease() {
  while (!Store.Elements.empty()) Store.Elements.pop_back();
  Store.Elements.shrink_to_fit();
  Store.Sorted = false;
}

QString ChestRealToText(double Value) {
  if (std::isnan(Value)) return QStringLiteral("NAN");
  if (std::isinf(Value)) return Value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
  if (Value == 0) return QStringLiteral("0");
  // The fewest digits that read back as the same double, as "d.ddde+x": at most 15 for
  // nearly every value, 16 or 17 only where 15 would change the value.
  const QString Scientific = QString::number(std::fabs(Value), 'e', QLocale::FloatingPointShortest);
  const qsizetype ExponentAt = Scientific.indexOf(u'e');
  const int Exponent = Scientific.mid(ExponentAt + 1).toInt();
  QString Digits = Scientific.left(ExponentAt).remove(u'.');
  while (Digits.endsWith(u'0')) Digits.chop(1);
  const QString Sign = Value < 0 ? QStringLiteral("-") : QString();
  // Fixed for magnitudes from 0.00001 up to 15 digits before the separator.
  if (Exponent >= -5 && Exponent < 15) return Sign + FixedText(Digits, Exponent);
  return Sign + ScientificText(Digits, Exponent);
}
