// The window used from the keyboard as Windows delivers keys: SendInput puts them into the
// system's input queue, so an Alt chord reaches the window as WM_SYSKEYDOWN and WM_SYSCHAR, as a
// user's does. An Alt chord that is no accelerator types nothing into a box, idle or during a
// run, and leaves the settings file's bytes as they were; the accelerators still work. Needs the
// windows platform on a display, and a module on COM5 that does not answer (tools/test-windows.sh).

#include "app/UnitFormMain.h"
#include "serial/SPComm.h"
#include "tests/windows/WinTestSupport.h"

#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

namespace {

// Presses Key (a virtual key: a capital letter or a digit) with the given modifier keys held.
void Press(WORD Key, std::initializer_list<WORD> Modifiers = {}) {
  std::vector<INPUT> Inputs;
  const auto Add = [&](WORD VirtualKey, bool Up) {
    INPUT Input{};
    Input.type = INPUT_KEYBOARD;
    Input.ki.wVk = VirtualKey;
    Input.ki.wScan = WORD(MapVirtualKeyW(VirtualKey, MAPVK_VK_TO_VSC));
    Input.ki.dwFlags = Up ? KEYEVENTF_KEYUP : 0;
    Inputs.push_back(Input);
  };
  for (const WORD Modifier : Modifiers) Add(Modifier, false);
  Add(Key, false);
  Add(Key, true);
  for (auto It = std::rbegin(Modifiers); It != std::rend(Modifiers); ++It) Add(*It, true);
  ASSERT_EQ(SendInput(UINT(Inputs.size()), Inputs.data(), sizeof(INPUT)), Inputs.size());
}

QByteArray ReadFile(const QString& Name) {
  QFile File(Name);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

class TWindowKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    Form.PageControlMain->setCurrentWidget(Form.TabSheetOperation);
    Form.show();
    SetForegroundWindow(HWND(Form.winId()));
    ASSERT_TRUE(WaitUntil([&] { return Form.isActiveWindow(); }, 5000));
  }

  // Every letter and digit but the accelerators, with Alt and with Alt and Shift, into Box; then
  // a plain x, which shows that the keys before it have all been handled.
  void Chords(QComboBox* Box, const QString& Accelerators) {
    Box->setFocus();
    ASSERT_TRUE(WaitUntil([&] { return Box->hasFocus(); }, 2000));
    const QString Text = Box->currentText();
    for (const QChar Key : QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")) {
      if (Accelerators.contains(Key)) continue;
      Press(Key.unicode(), {VK_MENU});
      Press(Key.unicode(), {VK_MENU, VK_SHIFT});
    }
    Press('X');
    EXPECT_TRUE(WaitUntil([&] { return Box->currentText() == Text + "x"; }, 10000))
        << Box->objectName().toStdString() << ": " << Box->currentText().toStdString();
    Press(VK_BACK);
    EXPECT_TRUE(WaitUntil([&] { return Box->currentText() == Text; }, 2000));
  }

  QTemporaryDir AppDir;
  TFormMain Form{AppDir.path()};
};

TEST_F(TWindowKeys, AnAltChordNeverTypesIntoABox) {
  Form.ComboBoxPath->setCurrentIndex(Form.ComboBoxPath->findText("CORVEL"));
  emit Form.ComboBoxPath->activated(Form.ComboBoxPath->currentIndex());
  // The port watcher has found COM5 in the registry and chosen it.
  ASSERT_TRUE(WaitUntil([&] { return Form.ComboBoxSerialPortA->currentText() == SimPort; }, 5000));
  const QByteArray Settings = ReadFile(Form.ConfigFileName());
  ASSERT_TRUE(Settings.contains("<Value>CORVEL</Value>"));

  Chords(Form.ComboBoxPath, "FP");
  Chords(Form.ComboBoxSerialPortA, "FP");
  Press('F', {VK_MENU});
  ASSERT_TRUE(WaitUntil([&] { return Form.Comm()->PortOpen(); }, 5000));
  EXPECT_EQ(Form.ButtonBurn->text(), "Stop(&S)");
  Chords(Form.ComboBoxPath, "SP");
  Chords(Form.ComboBoxSerialPortA, "SP");
  Press('F', {VK_MENU});
  Press('F', {VK_MENU});
  EXPECT_EQ(ReadFile(Form.ConfigFileName()), Settings);
  Press('S', {VK_MENU});
  EXPECT_TRUE(WaitUntil([&] { return !Form.Comm()->PortOpen(); }, 5000));
  EXPECT_EQ(Form.ComboBoxSerialPortA->currentText(), SimPort);
  EXPECT_EQ(Form.Comm()->CommName(), SimPort);
}

}  // namespace
