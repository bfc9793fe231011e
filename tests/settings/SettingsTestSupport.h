#pragma once
// What the settings tests share: a dump of the store in the settings file's words, a
// fixture that starts each test with an empty store, and readable failure messages.

#include "settings/DataChest.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <ostream>

inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

// The message of the TError that Call raises, or the empty text when it raises nothing.
template <class TError, class TCall>
QString ErrorOf(TCall Call) {
  try {
    Call();
  } catch (const TError& Error) {
    return QString::fromUtf8(Error.what());
  }
  return QString();
}

template <class... TCall>
struct TOverload : TCall... {
  using TCall::operator()...;
};

// Every element as "name|type word|value" in the list's current order.
inline QStringList Dump() {
  static const char* const Words[] = {"None", "Integer", "Real", "Boolean", "String"};
  QStringList Lines;
  for (int I = 0; I < ChestCount(); ++I) {
    const TChestElement& Element = ChestElementAt(I);
    const QString Value = std::visit(TOverload{[](const TChestString& S) { return S.Value; },
                                               [](double D) { return ChestRealToText(D); },
                                               [](bool B) { return QString(B ? "True" : "False"); },
                                               [](std::int32_t N) { return QString::number(N); }},
                                     Element.Value);
    Lines << Element.Name + '|' + Words[Element.ChestType] + '|' + Value;
  }
  return Lines;
}

class TChestTest : public ::testing::Test {
 protected:
  void SetUp() override { ChestReset(); }
};
