#pragma once
// Sets the default locale for the life of a test and restores the previous one.

#include <QLocale>

class TLocaleGuard {
public:
  explicit TLocaleGuard(QLocale::Language Language) { QLocale::setDefault(QLocale(Language)); }
  ~TLocaleGuard() { QLocale::setDefault(FPrevious); }
  TLocaleGuard(const TLocaleGuard&) = delete;
  TLocaleGuard& operator=(const TLocaleGuard&) = delete;

private:
  QLocale FPrevious;
};
