#include "app/VisualStyle.h"

#include "firmware/ResourceCatalogue.h"

#include <QApplication>

QString ApplyVisualStyle(QApplication& Application) {
  const auto Sheet = ResourceCatalogue::Load(QStringLiteral("STYLE"), QStringLiteral("CARBON"));
  if (!Sheet || Sheet->isEmpty()) return QStringLiteral("The visual style \"Carbon\" is missing.");
  Application.setStyleSheet(QString::fromUtf8(*Sheet));
  return {};
}
