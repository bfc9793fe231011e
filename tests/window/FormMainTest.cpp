// The window as it starts and ends: pages, controls, pictures, the settings folder.

#include "tests/window/WindowTestSupport.h"

#include "firmware/UnitFrameConfigLine.h"
#include "serial/SPComm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QScrollBar>
#include <QTextBrowser>
#include <QtTest/QTest>

namespace {

QStringList Items(const QComboBox* Box) {
  QStringList List;
  for (int i = 0; i < Box->count(); ++i) List << Box->itemText(i);
  return List;
}

int ThreadCount() { return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

using TFormStart = TWindowTest;

TEST_F(TFormStart, ShowsTheAboutPageWithFileAndAdvancedTabsHidden) {
  EXPECT_EQ(Form->windowTitle(), "Ferrule v1.316 Pre-release");
  QTabWidget* Pages = Form->PageControlMain;
  EXPECT_EQ(Pages->currentWidget(), Form->TabSheetIntroduction);
  const QStringList Captions{"Flash", "File", "Advanced", "About", "Log"};
  const QList<bool> Shown{true, false, false, true, true};
  ASSERT_EQ(Pages->count(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Pages->tabText(i), Captions[i]);
    EXPECT_EQ(Pages->isTabVisible(i), Shown[i]) << Captions[i].toStdString();
  }
}

// Where they sit, for the font they are given, is TLayout's (LayoutTest.cpp).
TEST_F(TFormStart, ShowsTheFlashPageControls) {
  EXPECT_EQ(Form->PanelQRCode->size(), QSize(100, 100));
  EXPECT_EQ(Form->LabelDevA->text(), "COM &Port:");
  EXPECT_EQ(Form->SafeFlash->text(), "Safe Flash");
  EXPECT_FALSE(Form->SafeFlash->isChecked());
  EXPECT_EQ(Form->PostRun->text(), "Run after Flash");
  EXPECT_TRUE(Form->PostRun->isChecked());
  EXPECT_EQ(Form->ButtonBurn->text(), "Flash(&F)");
  EXPECT_EQ(Form->ComboBoxPath->lineEdit()->placeholderText(), "Choose firmware.");
  EXPECT_EQ(Form->ComboBoxSerialPortA->lineEdit()->placeholderText(), "Select port");
  EXPECT_EQ(Form->ProgressBarStatus->minimum(), 0);
  EXPECT_EQ(Form->ProgressBarStatus->maximum(), 100);
  EXPECT_TRUE(Form->PanelQRCode->isHidden());
  EXPECT_TRUE(Form->LabeledEditAPMAC->isHidden());
  EXPECT_FALSE(Form->LabeledEditSTAMAC->isHidden());
  for (QLineEdit* Edit : {Form->LabeledEditAPMAC, Form->LabeledEditSTAMAC}) {
    EXPECT_EQ(Edit->text(), "Waiting MAC");
    EXPECT_TRUE(Edit->isReadOnly());
    EXPECT_EQ(Edit->placeholderText(), "When flashing starts, the MAC address becomes visible.");
  }
  EXPECT_EQ(Form->findChild<QLabel*>("LabeledEditSTAMACLabel")->text(), "MAC Address: ");
  EXPECT_EQ(Form->findChild<QLabel*>("LabeledEditAPMACLabel")->text(), "AP MAC");
}

// Stretching controls keep their right edge at the same distance from the window's right edge.
TEST_F(TFormStart, StretchesControlsWithTheWindow) {
  Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
  Form->show();
  auto Margins = [&] {
    QList<int> Right;
    for (QWidget* Control : {static_cast<QWidget*>(Form->ButtonBurn),
                             static_cast<QWidget*>(Form->ProgressBarStatus),
                             static_cast<QWidget*>(Form->LabeledEditSTAMAC)})
      Right << Form->width() - Control->mapTo(Form.get(), QPoint(Control->width(), 0)).x();
    return Right;
  };
  const QList<int> Before = Margins();
  const int ButtonWidth = Form->ButtonBurn->width();
  Form->resize(Form->width() + 120, Form->height());
  QCoreApplication::processEvents();
  EXPECT_EQ(Margins(), Before);
  EXPECT_EQ(Form->ButtonBurn->width(), ButtonWidth + 120);
  EXPECT_EQ(Form->SafeFlash->width(), 137);
}

TEST_F(TFormStart, ListsTheBuiltInImagesInBothBoxesWithNothingChosen) {
  const QStringList Names = Items(Form->ComboBoxPath);
  EXPECT_EQ(Names.mid(Names.indexOf("CORVEL"), 2), QStringList({"CORVEL", "UPYTHON"}));
  // The Flash page's box ends with the way to the user's own image files.
  EXPECT_EQ(Items(Form->FrameConfigLine1->ComboBoxPath) << "Open image file...", Names);
  EXPECT_EQ(Form->ComboBoxPath->currentIndex(), -1);
  EXPECT_EQ(Form->ComboBoxPath->currentText(), "");
}

TEST_F(TFormStart, RunsThePortWatcherButNotTheStateMachine) {
  EXPECT_TRUE(Form->TimerFindPorts->isActive());
  EXPECT_EQ(Form->TimerFindPorts->interval(), 500);
  EXPECT_FALSE(Form->TimerStateMachine->isActive());
  EXPECT_EQ(Form->TimerStateMachine->interval(), 50);
  const TRunRecord& Record = Form->RunRecord();
  EXPECT_EQ(Record.RunState, StateFinished);
  EXPECT_FALSE(Record.IsThreadStarted);
  EXPECT_EQ(Form->FlashStation().ReceivedBytesHeld(), 0);
}

TEST_F(TFormStart, PlaysTheStartUpAnimationAndSaysReady) {
  QMovie* Movie = Form->ImageStatus->movie();
  ASSERT_NE(Movie, nullptr);
  EXPECT_EQ(Movie->state(), QMovie::Running);
  EXPECT_EQ(Movie->fileName().toUpper(), ":/BIN/XGIF");
  EXPECT_EQ(Form->ImageStatus->size(), QSize(25, 23));
  EXPECT_TRUE(Form->ImageStatus->hasScaledContents());
  EXPECT_EQ(Form->LabelStatus->text(), "Ready");
  EXPECT_FALSE(Form->LabelCopyRight->text().isEmpty());
}

TEST_F(TFormStart, ShowsEachStatusPicture) {
  Form->ShowStatusYes();
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/YES"));
  Form->ShowStatusNo();
  EXPECT_EQ(ShownPicture(*Form), ResourcePicture(":/RCDATA/NO"));
  Form->ShowStatusWait();
  ASSERT_NE(Form->ImageStatus->movie(), nullptr);
  EXPECT_EQ(Form->ImageStatus->movie()->fileName().toUpper(), ":/BIN/WAIT");
  EXPECT_EQ(Form->ImageStatus->movie()->state(), QMovie::Running);
}

// Every run starts the busy animation and ends with a picture: the animation a picture replaces
// must stop and go, or each run would leave one more animation decoding frames for ever.
TEST_F(TFormStart, APictureReleasesTheAnimationItReplaces) {
  const auto Movies = [&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return Form->ImageStatus->findChildren<QMovie*>();
  };
  QPointer<QMovie> StartUp = Form->ImageStatus->movie();
  for (int Run = 0; Run < 20; ++Run) {
    Form->ShowStatusWait();
    QPointer<QMovie> Busy = Form->ImageStatus->movie();
    EXPECT_EQ(Movies(), QList<QMovie*>{Busy.data()});
    if (Run % 2 == 0)
      Form->ShowStatusYes();
    else
      Form->ShowStatusNo();
    EXPECT_EQ(Movies(), QList<QMovie*>());
    EXPECT_TRUE(Busy.isNull());
  }
  EXPECT_TRUE(StartUp.isNull());
}

// Its lines fit the page: no horizontal scroll bar.
TEST_F(TFormStart, ShowsTheAboutTextWithLinksThatOpenNothing) {
  auto* Note = Form->findChild<QTextBrowser*>("RichEditNote");
  ASSERT_NE(Note, nullptr);
  Form->show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(Note->isVisible());
  EXPECT_FALSE(Note->horizontalScrollBar()->isVisible());
  EXPECT_EQ(Note->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(Note->toPlainText().split('\n').size(), 7);
  EXPECT_TRUE(Note->toHtml().contains("<a href=\"https://"));
  EXPECT_FALSE(Note->openLinks());
  EXPECT_FALSE(Note->openExternalLinks());
  EXPECT_TRUE(Note->isReadOnly());
  EXPECT_EQ(Form->MemoOutput->toolTip(), QString::fromUtf8("运行输出."));
  EXPECT_TRUE(Form->MemoOutput->isReadOnly());
}

TEST_F(TFormStart, ClickingTheIntroductionLabelBringsTheAboutPage) {
  Form->show();
  Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
  QTest::mouseClick(Form->LabelIntroduction, Qt::LeftButton);
  EXPECT_EQ(Form->PageControlMain->currentWidget(), Form->TabSheetIntroduction);
}

TEST_F(TFormStart, ReadingTheSettingsFileNameCreatesTheFolder) {
  const QString Folder = AppDir.filePath("Config");
  ASSERT_TRUE(QDir(Folder).removeRecursively());
  EXPECT_EQ(Form->ConfigFileName(), Folder + "/Config.xml");
  EXPECT_TRUE(QDir(Folder).exists());
}

TEST_F(TFormStart, ClosesCleanlyLeavingNoThreadBehind) {
  TPty Pty;
  const int Before = ThreadCount();
  Form->ComboBoxSerialPortA->setEditText(Pty.Path);
  ChooseFirmware("CORVEL");
  PressFlash();
  ASSERT_TRUE(Form->Comm()->PortOpen());
  EXPECT_GT(ThreadCount(), Before);
  const TMessageBoxAnswerer Answerer("ButtonStopAndQuit");
  EXPECT_TRUE(Form->close());
  EXPECT_EQ(Answerer.Texts, QStringList{"A module is being flashed. Stop and quit?"});
  EXPECT_FALSE(Form->Comm()->PortOpen());
  EXPECT_FALSE(Form->TimerStateMachine->isActive());
  EXPECT_TRUE(Form->RunRecord().Replies.Stopped());
  Form.reset();
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= Before; }, 2000));
}

// Closing the window with no run going asks nothing.
TEST_F(TFormStart, ClosesWithoutAQuestionWhenNoRunIsGoing) {
  const TMessageBoxAnswerer Answerer;
  Form->show();
  EXPECT_TRUE(Form->close());
  EXPECT_FALSE(Form->isVisible());
  EXPECT_EQ(Answerer.Texts, QStringList());
}

// The log follows new lines unless the user has scrolled up to read; back at the end it follows
// again. A click into it and the Log page shown again change neither.
TEST_F(TFormStart, TheLogFollowsNewLinesUnlessTheUserReadsAbove) {
  QScrollBar* Bar = Form->MemoOutput->verticalScrollBar();
  int Ports = 0;
  // Lines as the port watcher logs them: an adapter plugged in or pulled, three lines each.
  const auto MoreLines = [&] {
    for (int i = 0; i < 15; ++i, ++Ports) {
      if (Ports % 2 == 0)
        Sysfs.AddTty("ttyUSB9", "cp210x");
      else
        Sysfs.RemoveTty("ttyUSB9");
      Form->TimerFindPortsTimer();
    }
    QCoreApplication::processEvents();
  };
  const auto ShowPage = [&](QWidget* Page) {
    Form->PageControlMain->setCurrentWidget(Page);
    QCoreApplication::processEvents();
  };
  const auto AtEnd = [&] { return Bar->maximum() > 0 && Bar->value() == Bar->maximum(); };
  Form->show();
  ShowPage(Form->TabSheetLog);
  MoreLines();
  EXPECT_TRUE(AtEnd());

  QTest::mouseClick(Form->MemoOutput->viewport(), Qt::LeftButton, {}, QPoint(30, 10));
  ShowPage(Form->TabSheetOperation);
  MoreLines();
  ShowPage(Form->TabSheetLog);
  EXPECT_TRUE(AtEnd()) << Bar->value() << " of " << Bar->maximum();

  QTest::keyClick(Form->MemoOutput, Qt::Key_PageUp);
  const int Reading = Bar->value();
  ASSERT_LT(Reading, Bar->maximum());
  MoreLines();
  EXPECT_EQ(Bar->value(), Reading);
  ShowPage(Form->TabSheetOperation);
  MoreLines();
  ShowPage(Form->TabSheetLog);
  EXPECT_EQ(Bar->value(), Reading);

  while (Bar->value() < Bar->maximum()) QTest::keyClick(Form->MemoOutput, Qt::Key_PageDown);
  MoreLines();
  EXPECT_TRUE(AtEnd());
  ShowPage(Form->TabSheetOperation);
  MoreLines();
  ShowPage(Form->TabSheetLog);
  EXPECT_TRUE(AtEnd());

  // The wheel and the scroll bar's own buttons are the user's too.
  QWheelEvent Wheel(QPointF(30, 30), Form->MemoOutput->viewport()->mapToGlobal(QPointF(30, 30)), {},
                    {0, 120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(Form->MemoOutput->viewport(), &Wheel);
  ASSERT_LT(Bar->value(), Bar->maximum());
  MoreLines();
  EXPECT_LT(Bar->value(), Bar->maximum());
  Bar->triggerAction(QAbstractSlider::SliderToMaximum);
  MoreLines();
  EXPECT_TRUE(AtEnd());
}

}  // namespace
