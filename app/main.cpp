#include "app/UnitFormMain.h"
#include "app/VisualStyle.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

int main(int argc, char* argv[]) {
  QApplication Application(argc, argv);
  Application.setApplicationName(QStringLiteral("Ferrule"));
  Application.setWindowIcon(QIcon(QStringLiteral(":/RCDATA/ICON")));
  const QString StyleError = ApplyVisualStyle(Application);
  if (!StyleError.isEmpty()) QMessageBox::warning(nullptr, QStringLiteral("Ferrule"), StyleError);
  TFormMain FormMain(QCoreApplication::applicationDirPath());
  FormMain.show();
  return Application.exec();
}
