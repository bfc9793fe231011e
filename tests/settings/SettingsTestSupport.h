#pragma once
// Helpers shared by the settings tests: a default-locale guard and readable Qt values in
// GoogleTest's failure messages.

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QString>

#include <ostream>

// Sets the default locale for the life of a test and restores the previous one.
class TLocaleGuard {
 public:
  explicit TLocaleGuard(QLocale::Language Language) { QLocale::setDefault(QLocale(Language)); }
  ~TLocaleGuard() { QLocale::setDefault(FPrevious); }
  TLocaleGuard(const TLocaleGuard&) = delete;
  TLocaleGuard& operator=(const TLocaleGuard&) = delete;

 private:
  QLocale FPrevious;
};

inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

inline void PrintTo(const QJsonArray& Array, std::ostream* Out) {
  *Out << QJsonDocument(Array).toJson(QJsonDocument::Compact).toStdString();
}
