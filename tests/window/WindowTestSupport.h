#pragma once
// The main window under test: a fresh program folder and an empty device tree for each window, the
// log read back line by line, and modal message boxes answered as a user would.

#include "app/UnitFormMain.h"
#include "tests/app/FakeSysfs.h"
#include "tests/serial/SerialTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QMovie>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

inline QStringList LogLines(const TFormMain& Form) {
  return Form.MemoOutput->toPlainText().split(QLatin1Char('\n'));
}

// A picture of the resources, as the status picture control holds it.
inline QImage ResourcePicture(const QString& Path) { return QPixmap(Path).toImage(); }

inline QImage ShownPicture(const TFormMain& Form) { return Form.ImageStatus->pixmap().toImage(); }

// Answers every modal message box that opens while it lives, keeping the texts they showed: with
// the button of the object name Press where the box has one, else as its OK would.
class TMessageBoxAnswerer {
 public:
  explicit TMessageBoxAnswerer(const QString& Press = {}) {
    Timer.setInterval(10);
    QObject::connect(&Timer, &QTimer::timeout, [this, Press] {
      if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Texts << Box->text();
        auto* Button = Press.isEmpty() ? nullptr : Box->findChild<QPushButton*>(Press);
        if (Button)
          Button->click();
        else
          Box->done(QMessageBox::Ok);
      }
    });
    Timer.start();
  }
  QStringList Texts;

 private:
  QTimer Timer;
};

class TWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { Form = NewWindow(); }
  void TearDown() override { Form.reset(); }

  std::unique_ptr<TFormMain> NewWindow() {
    auto Window = std::make_unique<TFormMain>(AppDir.path());
    Window->SetPortSource(Sysfs.Root());
    return Window;
  }

  // Presses Flash as the user does.
  void PressFlash() { Form->ButtonBurn->click(); }

  void ChooseFirmware(const QString& Name) {
    Form->ComboBoxPath->setCurrentIndex(Form->ComboBoxPath->findText(Name));
    Form->FrameConfigLineChange();
  }

  QStringList Log() const { return LogLines(*Form); }

  QTemporaryDir AppDir;
  TFakeSysfs Sysfs;
  std::unique_ptr<TFormMain> Form;
};
