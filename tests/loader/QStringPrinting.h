#pragma once
// Texts in failure messages as text rather than as lists of 16-bit units. Every loader test that
// compares texts includes this, so that all of them print texts alike.

#include <QString>

#include <ostream>

inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}
