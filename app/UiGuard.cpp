#include "app/UiGuard.h"

#include <QMessageBox>

#include <exception>

void RunGuarded(QWidget* Window, const std::function<void()>& Step) {
  QString Error;
  try {
    Step();
    return;
  } catch (const std::exception& Exception) {
    Error = QString::fromUtf8(Exception.what());
  } catch (...) {
    Error = QStringLiteral("Unknown error.");
  }
  QMessageBox::critical(Window, Window ? Window->windowTitle() : QString(), Error);
}
