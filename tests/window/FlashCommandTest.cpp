// The Flash command and the handshake state machine on a real pseudo-terminal with no module
// behind it, the control lines recorded where the component meets the platform.

#include "tests/window/RecordingDevice.h"
#include "tests/window/WindowTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleHints>
#include <QTabWidget>
#include <QtTest/QTest>

namespace {

const TLineEvent Sync{TLineEvent::Sync, 0};
TLineEvent Lines(bool Dtr, bool Rts) { return {TLineEvent::Lines, 0, Dtr, Rts}; }

class TFlashCommand : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    Recorder.Attach(*Form->Comm());
    Form->ComboBoxSerialPortA->setEditText(Pty.Path);
  }
  void StartRun() {
    ChooseFirmware("CORVEL");
    PressFlash();
    ASSERT_TRUE(Form->Comm()->PortOpen());
  }
  // The recorded events from the Index-th line change on.
  std::vector<TLineEvent> EventsFrom(std::size_t Index) {
    const auto All = Recorder.Taken();
    return {All.begin() + std::min(Index, All.size()), All.end()};
  }

  TPty Pty;
  TLineRecorder Recorder;
  TMessageBoxAnswerer Answerer;
};

TEST_F(TFlashCommand, AsksForAFirmwareBeforeARunStarts) {
  PressFlash();
  EXPECT_EQ(Answerer.Texts, QStringList{"Select Firmware first!"});
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_EQ(Log(), QStringList{""});
}

// Stopping never depends on the firmware box: a box edited during a run still stops it.
TEST_F(TFlashCommand, StopsARunWhateverTheFirmwareBoxHolds) {
  StartRun();
  QTest::keyClicks(Form->ComboBoxPath->lineEdit(), "x");
  PressFlash();
  EXPECT_TRUE(Answerer.Texts.isEmpty());
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
}

TEST_F(TFlashCommand, NeedsAPortName) {
  Form->ComboBoxSerialPortA->setEditText("");
  ChooseFirmware("CORVEL");
  PressFlash();
  EXPECT_EQ(Log().first(), "Error: Serial port not exist.");
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_FALSE(Form->TimerStateMachine->isActive());
}

TEST_F(TFlashCommand, SaysWhyAPortCannotBeOpened) {
  struct TCase {
    QString Port;
    QString Note;
  };
  TComm Holder;
  Holder.SetCommName(Pty.Path);
  Holder.StartComm();
  ASSERT_TRUE(Holder.PortOpen());
  ChooseFirmware("CORVEL");
  for (const TCase& Case :
       {TCase{"/dev/ferrule-no-such-port", "Note: /dev/ferrule-no-such-port does not exist; is the adapter plugged in?"},
        TCase{Pty.Path, "Note: " + Pty.Path + " is in use by another program."},
        TCase{AppDir.path(), "Note: " + AppDir.path() + " is no serial port."}}) {
    Form->MemoOutput->clear();
    Form->ShowStatusYes();
    Form->ComboBoxSerialPortA->setEditText(Case.Port);
    PressFlash();
    EXPECT_EQ(Log(), QStringList({"Error: Serial port connect failed, please check it.", Case.Note}));
    EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
    EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
    EXPECT_FALSE(Form->Comm()->PortOpen());
    EXPECT_EQ(Form->RunRecord().RunState, StateFinished);
    EXPECT_FALSE(Form->TimerStateMachine->isActive());
  }
}

// The component refuses a device that is no terminal with an exception; the guard of the button's
// callback shows its text, the log says which port and why, and the command stops there.
TEST_F(TFlashCommand, ShowsAnEscapingErrorInAMessageBoxAndTheLog) {
  Form->ComboBoxSerialPortA->setEditText("/dev/null");
  ChooseFirmware("CORVEL");
  PressFlash();
  EXPECT_EQ(Answerer.Texts, QStringList{"Cannot setup comm buffer"});
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_EQ(Log(), QStringList{"Error: Cannot setup comm buffer: /dev/null is no serial port."});
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
  EXPECT_FALSE(Form->TimerStateMachine->isActive());
}

TEST_F(TFlashCommand, OpensThePortAtTheFlashRateAndBeginsTheHandshake) {
  for (const bool Safe : {false, true}) {
    Form->MemoOutput->clear();
    Form->ProgressBarStatus->setValue(40);
    Form->SafeFlash->setChecked(Safe);
    StartRun();
    TComm& Comm = *Form->Comm();
    EXPECT_EQ(Comm.BaudRate(), Safe ? 115200u : 576000u);
    EXPECT_EQ(Comm.ByteSize(), TByteSize::_8);
    EXPECT_EQ(Comm.Parity(), TParity::None);
    EXPECT_EQ(Comm.StopBits(), TStopBits::_1);
    EXPECT_EQ(Comm.InputLen(), 255);
    EXPECT_EQ(Comm.CommName(), Pty.Path);
    EXPECT_EQ(Log().mid(0, 2), QStringList({"Note: Serial port connected.", "Note: Begin find RQ53."}));
    EXPECT_EQ(Form->ProgressBarStatus->value(), 0);
    EXPECT_EQ(Form->ButtonBurn->text(), "Stop(&S)");
    EXPECT_TRUE(Form->TimerStateMachine->isActive());
    EXPECT_EQ(Form->ImageStatus->movie()->fileName().toUpper(), ":/BIN/WAIT");
    EXPECT_FALSE(Form->RunRecord().Replies.Stopped());
    PressFlash();
  }
}

TEST_F(TFlashCommand, AUserStopClosesThePortWithAWarningAndTheNoPicture) {
  StartRun();
  Form->MemoOutput->clear();
  PressFlash();
  EXPECT_EQ(Log(), QStringList({"Note: Serial port disconnected.", "Warning: Serial port closed by user."}));
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
  EXPECT_FALSE(Form->TimerStateMachine->isActive());
  EXPECT_TRUE(Form->RunRecord().Replies.Stopped());
  EXPECT_EQ(Form->RunRecord().RunState, StateFinished);
  EXPECT_EQ(Form->Comm()->DtrControl(), TDtrControl::DtrEnable);
  EXPECT_EQ(Form->Comm()->RtsControl(), TRtsControl::RtsEnable);
}

TEST_F(TFlashCommand, TheAcceleratorPressesFlash) {
  ChooseFirmware("CORVEL");
  Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
  Form->show();
  Form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  // A mnemonic presses the button with its short animation.
  QTest::keyClick(Form.get(), Qt::Key_F, Qt::AltModifier);
  EXPECT_TRUE(WaitUntil([&] { return Form->Comm()->PortOpen(); }, 2000));
  QTest::keyClick(Form.get(), Qt::Key_S, Qt::AltModifier);
  EXPECT_TRUE(WaitUntil([&] { return !Form->Comm()->PortOpen(); }, 2000));
}

// A double click on Flash is one press, as the platform tells a double click (the second press
// within its double-click interval): the run it starts goes on, and a double click on Stop starts
// no new run. Two clicks further apart are two presses.
TEST_F(TFlashCommand, ADoubleClickIsOnePress) {
  ChooseFirmware("CORVEL");
  Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  const int Interval = QGuiApplication::styleHints()->mouseDoubleClickInterval();
  ASSERT_GT(Interval, 150);
  QWindow* Window = Form->windowHandle();
  const QPointF Where = Form->ButtonBurn->mapTo(Form.get(), Form->ButtonBurn->rect().center());
  int Clock = 10000000;  // the window system's time of the clicks, in ms
  const auto ClickAt = [&](int Ms) {
    for (const auto Type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
      qt_handleMouseEvent(Window, Where, Window->mapToGlobal(Where),
                          Type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::LeftButton, Type, Qt::NoModifier,
                          Clock + Ms + (Type == QEvent::MouseButtonRelease) * 30);
    QCoreApplication::processEvents();
  };
  const auto Starts = [&] { return int(Log().count("Note: Serial port connected.")); };
  const auto Stops = [&] { return int(Log().count("Warning: Serial port closed by user.")); };

  // Two clicks Gap ms apart, and how the runs stand then.
  const auto Twice = [&](int Gap, bool Open, int Started, int Stopped) {
    ClickAt(0);
    ClickAt(Gap);
    Clock += 10000;
    EXPECT_EQ(Form->Comm()->PortOpen(), Open) << Gap;
    EXPECT_EQ(Starts(), Started) << Gap;
    EXPECT_EQ(Stops(), Stopped) << Gap;
  };
  Twice(120, true, 1, 0);
  Twice(120, false, 1, 1);
  Twice(Interval + 50, false, 2, 2);
}

// The start-up pulse, SYNC on every tick and the boot pulse on every tenth handshake tick, as the
// lines see them. The first run after program start pulses on its tenth tick; a second run goes on
// counting, so its first pulse comes when the count next reaches a multiple of ten.
TEST_F(TFlashCommand, PulsesTheModuleIntoItsBootLoader) {
  StartRun();
  ASSERT_TRUE(WaitUntil([&] {
    const auto Events = Recorder.Taken();
    return std::count(Events.begin(), Events.end(), Sync) >= 13;
  }));
  PressFlash();
  auto First = Recorder.Taken();
  std::vector<TLineEvent> Expected{Lines(false, false), Lines(false, true), Lines(true, true)};
  Expected.insert(Expected.end(), 9, Sync);
  Expected.insert(Expected.end(), {Lines(false, true), Lines(true, false), Sync});
  ASSERT_GE(First.size(), Expected.size());
  EXPECT_EQ(std::vector(First.begin(), First.begin() + Expected.size()), Expected);
  EXPECT_GE(First[1].Ms - First[0].Ms, 100);  // both lines off for 100 ms
  EXPECT_GE(First[3].Ms - First[2].Ms, 100);  // the second sleep of the start-up pulse
  EXPECT_GE(First[12].Ms - First[11].Ms, 10);
  EXPECT_GE(First[13].Ms - First[12].Ms, 10);  // DTR off for 10 ms
  EXPECT_GE(First[14].Ms - First[13].Ms, 50);  // then 50 ms before SYNC
  const int Count = Form->RunControl().HandshakeTickCount();
  ASSERT_GE(Count, 13);

  const std::size_t Start = First.size();
  StartRun();
  const int UntilPulse = 10 - Count % 10;
  ASSERT_TRUE(WaitUntil([&] {
    const auto Second = EventsFrom(Start);
    return std::count(Second.begin(), Second.end(), Sync) > UntilPulse;
  }));
  PressFlash();
  const auto Second = EventsFrom(Start);
  std::vector<TLineEvent> Again{Lines(true, true), Lines(true, false), Lines(false, false),
                                Lines(false, true), Lines(true, true)};
  Again.insert(Again.end(), UntilPulse - 1, Sync);
  Again.insert(Again.end(), {Lines(false, true), Lines(true, false), Sync});
  EXPECT_GE(Second[3].Ms - Second[2].Ms, 100);  // both lines off for 100 ms
  EXPECT_EQ(std::vector(Second.begin(), Second.begin() + Again.size()), Again);
}

// The handshake goes on without an answer, and the log says so once.
TEST_F(TFlashCommand, SaysWhenTheModuleDoesNotAnswer) {
  const QString Silent = "Warning: No answer from RQ53 yet; is it connected to this port?";
  StartRun();
  ASSERT_TRUE(WaitUntil([&] { return Log().contains(Silent); }, 8000));
  Settle(300);
  EXPECT_EQ(Log().count(Silent), 1);
  EXPECT_TRUE(Form->TimerStateMachine->isActive());
  EXPECT_EQ(Form->RunRecord().RunState, StateHandshake);
}

TEST_F(TFlashCommand, AFinishedRunStopsTheTimerOnItsNextTick) {
  StartRun();
  PressFlash();
  Form->TimerStateMachine->start();
  Form->TimerStateMachineTimer();
  EXPECT_FALSE(Form->TimerStateMachine->isActive());
  EXPECT_EQ(Form->RunRecord().RunState, StateFinished);
}

}  // namespace
