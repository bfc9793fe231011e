// The window used from the keyboard, on a shown and active window: page keys never open the File
// and Advanced pages, every control of the Flash page is reached by Tab, and each shortcut letter
// does its own thing.

#include "tests/window/WindowTestSupport.h"

#include "serial/SPComm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest/QTest>

namespace {

class TKeyboard : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    Form->show();
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  }
  // A key as the user types it: to the widget that has the focus.
  static void Type(int Key, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
    QWidget* Target = QApplication::focusWidget();
    ASSERT_NE(Target, nullptr);
    QTest::keyClick(Target, Qt::Key(Key), Modifiers);
  }
  QWidget* Page() const { return Form->PageControlMain->currentWidget(); }
  bool HiddenPageShown() const {
    return Page() == Form->TabSheetConfig || Page() == Form->TabSheetAdvanced;
  }
};

// Every page key, from every page the user can see and from the tab bar, a full round each way.
TEST_F(TKeyboard, PageKeysNeverOpenTheHiddenPages) {
  const QList<QPair<int, Qt::KeyboardModifiers>> Keys{
      {Qt::Key_Tab, Qt::ControlModifier},
      {Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier},
      {Qt::Key_Tab, Qt::ControlModifier | Qt::ShiftModifier},
      {Qt::Key_PageDown, Qt::ControlModifier},
      {Qt::Key_PageUp, Qt::ControlModifier},
      {Qt::Key_Left, Qt::NoModifier},
      {Qt::Key_Right, Qt::NoModifier},
      {Qt::Key_Home, Qt::NoModifier},
      {Qt::Key_End, Qt::NoModifier}};
  QTabBar* Bar = Form->PageControlMain->tabBar();
  for (const auto& [Key, Modifiers] : Keys) {
    for (QWidget* Start : {Form->TabSheetOperation, Form->TabSheetIntroduction, Form->TabSheetLog}) {
      for (const bool OnBar : {false, true}) {
        Form->PageControlMain->setCurrentWidget(Start);
        if (OnBar) Bar->setFocus();
        QSet<QWidget*> Seen;
        for (int i = 0; i < 6; ++i) {
          Type(Key, Modifiers);
          Seen << Page();
          ASSERT_FALSE(HiddenPageShown())
              << QKeySequence(Key | Modifiers).toString().toStdString() << " from "
              << Start->objectName().toStdString() << (OnBar ? " on the tab bar" : "");
        }
        if (Key == Qt::Key_Tab && Modifiers == Qt::ControlModifier) {
          EXPECT_EQ(Seen.size(), 3);  // the keys still move between the pages that show
        }
      }
    }
  }
  // The mouse wheel over the tab bar; no key has reached the rate box of the Advanced page.
  Form->PageControlMain->setCurrentWidget(Form->TabSheetLog);
  for (const int Delta : {120, 120, 120, -120, -120, -120, -120}) {
    QWheelEvent Wheel(QPointF(5, 5), Bar->mapToGlobal(QPointF(5, 5)), {}, {0, Delta},
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(Bar, &Wheel);
    ASSERT_FALSE(HiddenPageShown());
  }
  EXPECT_EQ(Form->ComboBoxFlashBaudrate->currentText(), "256000");
}

// A rate text that is no number is never written into the settings file; the last good one stays.
TEST_F(TKeyboard, ARateThatIsNoNumberIsNotSaved) {
  const QString File = Form->ConfigFileName();
  for (const QString& Text : QStringList{"256000f", "", "fast", "-9600", "115200"}) {
    Form->ComboBoxFlashBaudrate->setEditText(Text);
    Form->FrameConfigLineChange();
    QFile Config(File);
    ASSERT_TRUE(Config.open(QIODevice::ReadOnly));
    const QByteArray Saved = Config.readAll();
    const char* Expected = Text == "115200" ? "<Value>115200</Value>" : "<Value>256000</Value>";
    EXPECT_TRUE(Saved.contains(Expected)) << Text.toStdString();
    EXPECT_FALSE(Saved.contains("f</Value>") || Saved.contains("fast") || Saved.contains("-9600"));
  }
}

TEST_F(TKeyboard, TabReachesThePortBoxAfterTheFirmware) {
  Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
  Form->ComboBoxPath->setFocus();
  const QList<QWidget*> Order{Form->ComboBoxSerialPortA, Form->SafeFlash, Form->PostRun,
                              Form->ButtonBurn};
  for (QWidget* Next : Order) {
    Type(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), Next->objectName());
  }
  for (auto It = Order.rbegin() + 1; It != Order.rend(); ++It) {
    Type(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), (*It)->objectName());
  }
}

// The port box's label has a letter of its own; Alt+F and Alt+S still press the button.
TEST_F(TKeyboard, TheLabelLetterFocusesThePortBox) {
  EXPECT_EQ(Form->LabelDevA->text().remove('&'), "COM Port:");
  EXPECT_EQ(Form->LabelDevA->buddy(), Form->ComboBoxSerialPortA);
  const QString Letter = Form->LabelDevA->text().section('&', 1).left(1).toUpper();
  ASSERT_EQ(Letter.size(), 1);
  // No other caption of the Flash page, the tab bar or the button's two captions uses it.
  QStringList Captions{"Flash(&F)", "Stop(&S)"};
  for (const auto* Button : Form->findChildren<QAbstractButton*>()) Captions << Button->text();
  for (int i = 0; i < Form->PageControlMain->count(); ++i)
    Captions << Form->PageControlMain->tabText(i);
  for (const QString& Caption : Captions)
    EXPECT_FALSE(Caption.contains('&' + Letter, Qt::CaseInsensitive)) << Caption.toStdString();

  Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
  Form->ComboBoxPath->setFocus();
  QTest::keyClick(Form.get(), Qt::Key(Letter[0].unicode()), Qt::AltModifier);
  EXPECT_TRUE(Form->ComboBoxSerialPortA->hasFocus());
  QTest::keyClicks(QApplication::focusWidget(), "x");
  EXPECT_EQ(Form->ComboBoxSerialPortA->currentText(), "x");
}

// An Alt chord that is no accelerator of the window types nothing into the box that has the
// focus, idle or during a run, and so leaves the settings file's bytes as they were; Ctrl+Alt,
// which is AltGr on Windows, still types its character.
TEST_F(TKeyboard, AnAltChordNeverTypesIntoABox) {
  TPty Pty;
  const TMessageBoxAnswerer Answerer;
  Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
  Form->ComboBoxPath->setCurrentIndex(Form->ComboBoxPath->findText("CORVEL"));
  emit Form->ComboBoxPath->activated(Form->ComboBoxPath->currentIndex());
  Form->ComboBoxSerialPortA->setEditText(Pty.Path);
  QFile Config(Form->ConfigFileName());
  ASSERT_TRUE(Config.open(QIODevice::ReadOnly));
  const QByteArray Settings = Config.readAll();
  ASSERT_TRUE(Settings.contains("<Value>CORVEL</Value>"));
  // Every letter and digit but the accelerators, with and without Shift, into both boxes.
  const auto Chords = [&](const QString& Accelerators) {
    for (QComboBox* Box : {Form->ComboBoxPath, Form->ComboBoxSerialPortA}) {
      const QString Text = Box->currentText();
      for (const QChar Key : QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")) {
        if (Accelerators.contains(Key)) continue;
        Box->setFocus();
        for (const Qt::KeyboardModifiers Modifiers :
             {Qt::KeyboardModifiers(Qt::AltModifier), Qt::AltModifier | Qt::ShiftModifier}) {
          Type(Key.unicode(), Modifiers);
          ASSERT_EQ(Box->currentText(), Text)
              << Box->objectName().toStdString() << " Alt+" << QString(Key).toStdString();
        }
      }
    }
  };
  Chords("FP");
  if (HasFatalFailure()) return;
  Form->ButtonBurn->click();
  ASSERT_EQ(Form->ButtonBurn->text(), "Stop(&S)");
  Chords("SP");
  if (HasFatalFailure()) return;
  Form->ComboBoxSerialPortA->setFocus();
  Type(Qt::Key_F, Qt::AltModifier);
  Type(Qt::Key_F, Qt::AltModifier);
  EXPECT_TRUE(Form->Comm()->PortOpen());
  EXPECT_EQ(Form->Comm()->CommName(), Pty.Path);
  Config.seek(0);
  EXPECT_EQ(Config.readAll(), Settings);
  Form->ButtonBurn->click();
  EXPECT_EQ(Form->ComboBoxSerialPortA->currentText(), Pty.Path);

  QTest::sendKeyEvent(QTest::Click, QApplication::focusWidget(), Qt::Key_Backslash, '\\',
                      Qt::ControlModifier | Qt::AltModifier);
  EXPECT_EQ(Form->ComboBoxSerialPortA->currentText(), Pty.Path + '\\');
}

}  // namespace
