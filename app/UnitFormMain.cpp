// The main window's handlers: start-up and shut-down, the status picture, the port watcher, the
// settings, and the run's view of the window; the run itself is its station's.
#include "app/UnitFormMain.h"

#include "app/SerialPortsCtrl.h"
#include "app/UiGuard.h"
#include "firmware/ResourceCatalogue.h"
#include "firmware/UnitFrameConfigLine.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMovie>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>

namespace {

// Leaves the box without a selected item; the text it shows stays.
void Unselect(QComboBox* Box, const QString& Text) {
  Box->setCurrentIndex(-1);
  Box->setEditText(Text);
}

// The items of a box replaced by List; the text it shows stays.
void ReplaceItems(QComboBox* Box, const QStringList& List) {
  const QString Text = Box->currentText();
  Box->clear();
  Box->addItems(List);
  Unselect(Box, Text);
}

// An Alt chord that is no accelerator of the window: the box it reaches would take its letter as
// typed text. Ctrl+Alt is AltGr on Windows, which types characters such as "@" or "\".
bool IsStrayAltChord(const QKeyEvent& Key) {
  const Qt::KeyboardModifiers Modifiers = Key.modifiers();
  return Modifiers.testFlag(Qt::AltModifier) && !Modifiers.testFlag(Qt::ControlModifier) &&
         !Key.text().isEmpty() && Key.text().at(0).isPrint();
}

}  // namespace

TFormMain::~TFormMain() { FormDestroy(); }

void TFormMain::ConnectCallbacks() {
  connect(ButtonBurn, &QPushButton::clicked, ActionBurn, &QAction::trigger);
  connect(ActionBurn, &QAction::triggered,
          Guarded(this, [this] { ActionBurnExecute(TBurnSender::User); }));
  connect(TimerFindPorts, &QTimer::timeout, Guarded(this, [this] { TimerFindPortsTimer(); }));
  connect(ButtonRestoreDefault, &QPushButton::clicked,
          Guarded(this, [this] { ButtonRestoreDefaultClick(); }));
  // Only the user's changes: a box changed by the program calls no change callback.
  auto Change = Guarded(this, [this] { FrameConfigLineChange(); });
  connect(ComboBoxPath, &QComboBox::activated, this,
          [this](int Index) { RunGuarded(this, [this, Index] { FirmwareBoxActivated(Index); }); });
  connect(ComboBoxPath->lineEdit(), &QLineEdit::textEdited, this, Change);
  connect(FrameConfigLine1, &TFrameConfigLine::Changed, this, Change);
  connect(ComboBoxFlashBaudrate, &QComboBox::activated, this, Change);
  connect(ComboBoxFlashBaudrate->lineEdit(), &QLineEdit::textEdited, this, Change);
  for (QComboBox* Box : {ComboBoxFlashSize, ComboBoxFlashSpeed, ComboBoxSPIMode})
    connect(Box, &QComboBox::activated, this, Change);
  connect(ComboBoxSerialPortA, &QComboBox::editTextChanged, this,
          [this] { PlaceFlashPage(PlacedPageWidth); });
  QScrollBar* LogBar = MemoOutput->verticalScrollBar();
  connect(LogBar, &QScrollBar::actionTriggered, this, [this] { NoteLogScrolled(); });
  connect(LogBar, &QScrollBar::rangeChanged, this, [this] { RestoreLogView(); });
  // Every box that takes typed text; the combo box, not its line edit, has the keyboard focus.
  for (QWidget* Control : findChildren<QWidget*>())
    if (qobject_cast<QComboBox*>(Control) || qobject_cast<QLineEdit*>(Control))
      Control->installEventFilter(this);
  ButtonBurn->installEventFilter(this);
  MemoOutput->installEventFilter(this);
}

void TFormMain::FormCreate() {
  TimerFindPorts->start();
  InitSettings();
  LabelCopyRight->setText(QStringLiteral("© 2026 Corvel Inc."));
  ShowMovie(QStringLiteral("XGIF"));
  FillFirmwareBox();
}

void TFormMain::FormClose() { Station.Close(); }

// The worker may be waiting for a step on this thread: it is run to its end before the port and
// the window go.
void TFormMain::FormDestroy() {
  TimerFindPorts->stop();
  Station.Shutdown();
}

// During a run the user is asked first; stopping ends the run as the Stop button does.
void TFormMain::closeEvent(QCloseEvent* Event) {
  if (AskingToQuit || (RunGoing() && !ConfirmStopAndQuit())) {
    Event->ignore();
    return;
  }
  if (RunGoing()) RunGuarded(this, [this] { ActionBurnExecute(TBurnSender::User); });
  FormClose();
  QWidget::closeEvent(Event);
}

// The run goes on while the question is open; it may end meanwhile.
bool TFormMain::ConfirmStopAndQuit() {
  AskingToQuit = true;
  QMessageBox Box(QMessageBox::Question, windowTitle(),
                  QStringLiteral("A module is being flashed. Stop and quit?"),
                  QMessageBox::NoButton, this);
  Box.setObjectName(QStringLiteral("MessageStopAndQuit"));
  QPushButton* Stop = Box.addButton(QStringLiteral("Stop"), QMessageBox::DestructiveRole);
  Stop->setObjectName(QStringLiteral("ButtonStopAndQuit"));
  QPushButton* Cancel = Box.addButton(QMessageBox::Cancel);
  Cancel->setObjectName(QStringLiteral("ButtonKeepRunning"));
  Box.setDefaultButton(Cancel);
  Box.exec();
  AskingToQuit = false;
  return Box.clickedButton() == Stop;
}

bool TFormMain::RunGoing() const { return Station.RunControl().RunGoing(); }

bool TFormMain::eventFilter(QObject* Watched, QEvent* Event) {
  switch (Event->type()) {
    case QEvent::KeyPress:
      if (IsStrayAltChord(*static_cast<QKeyEvent*>(Event))) return true;
      break;
    case QEvent::MouseButtonDblClick:
      // The second click of a double click on Flash is no press of its own.
      if (Watched == ButtonBurn) return true;
      break;
    case QEvent::MouseButtonRelease:
      if (Watched == LabelIntroduction) RunGuarded(this, [this] { LabelIntroductionClick(); });
      break;
    case QEvent::Resize:
      if (Watched == TabSheetOperation) PlaceFlashPage(TabSheetOperation->width());
      break;
    case QEvent::Show:
      // Shown again, the log would scroll to its text cursor (where the user last clicked).
      if (Watched == MemoOutput)
        QMetaObject::invokeMethod(
            this, [this] { RestoreLogView(); }, Qt::QueuedConnection);
      break;
    default:
      break;
  }
  return QWidget::eventFilter(Watched, Event);
}

void TFormMain::LabelIntroductionClick() { PageControlMain->setCurrentWidget(TabSheetIntroduction); }

// ---- status pictures

void TFormMain::ShowMovie(const QString& Name) {
  auto* Movie = new QMovie(ResourceCatalogue::Path(QStringLiteral("BIN"), Name), {}, ImageStatus);
  QMovie* Previous = ImageStatus->movie();
  ImageStatus->setMovie(Movie);
  Movie->start();
  ReleaseMovie(Previous);
}

void TFormMain::ShowPicture(const QString& Name) {
  QMovie* Previous = ImageStatus->movie();
  ImageStatus->setPixmap(QPixmap(ResourceCatalogue::Path(QStringLiteral("RCDATA"), Name)));
  ReleaseMovie(Previous);
}

// The label only forgets a movie that another picture replaces; left alone, it would go on
// decoding frames for ever, one more with every run.
void TFormMain::ReleaseMovie(QMovie* Movie) {
  if (!Movie) return;
  Movie->stop();
  Movie->deleteLater();
}

void TFormMain::ShowStatusWait() { Station.ShowStatus(TRunStatus::Wait); }
void TFormMain::ShowStatusYes() { Station.ShowStatus(TRunStatus::Yes); }
void TFormMain::ShowStatusNo() { Station.ShowStatus(TRunStatus::No); }

void TFormMain::ShowStatus(TRunStatus Status) {
  switch (Status) {
    case TRunStatus::No:
      ShowPicture(QStringLiteral("NO"));
      break;
    case TRunStatus::Wait:
      ShowMovie(QStringLiteral("WAIT"));
      break;
    case TRunStatus::Yes:
      ShowPicture(QStringLiteral("YES"));
      break;
  }
}

// ---- the run's receive path and its view of the window

void TFormMain::Log(const QString& Lines) { MemoOutput->appendPlainText(Lines); }

// Only the user's scrolling (bar, wheel, keys) decides; the slider already stands where the
// user's action takes it.
void TFormMain::NoteLogScrolled() {
  const QScrollBar* Bar = MemoOutput->verticalScrollBar();
  LogFollows = Bar->sliderPosition() >= Bar->maximum();
  LogReadingPosition = Bar->sliderPosition();
}

void TFormMain::RestoreLogView() {
  QScrollBar* Bar = MemoOutput->verticalScrollBar();
  Bar->setValue(LogFollows ? Bar->maximum() : LogReadingPosition);
}

bool TFormMain::FirmwareSelected() const { return FirmwareBox->ShownItem() >= 0; }

QString TFormMain::SerialPortText() const { return ComboBoxSerialPortA->currentText(); }

bool TFormMain::SafeFlashChecked() const { return SafeFlash->isChecked(); }

void TFormMain::ShowMessage(const QString& Text) {
  QMessageBox::information(this, windowTitle(), Text);
}

void TFormMain::SetBurnCaption(const QString& Caption) {
  ActionBurn->setText(Caption);
  ButtonBurn->setText(Caption);
}

// A run starts without the last module's data: an operator labels boards from the MAC boxes.
void TFormMain::ShowStage(TRunStage Stage) {
  if (Stage != TRunStage::PortOpen) return;
  ProgressBarStatus->setValue(ProgressBarStatus->minimum());
  ShowMACTexts(WaitingMAC, WaitingMAC);
}

TFlashJobInputs TFormMain::FlashJobInputs() const {
  TFlashJobInputs Inputs;
  Inputs.FirmwareName = ImageDisplayName(FrameConfigLine1->FilePath());
  Inputs.Images = {{FrameConfigLine1->FilePath(), FrameConfigLine1->Offset()}};
  Inputs.SPIMode = ComboBoxSPIMode->currentText();
  Inputs.FlashSize = ComboBoxFlashSize->currentText();
  Inputs.FlashSpeed = ComboBoxFlashSpeed->currentText();
  Inputs.PostRun = PostRun->isChecked();
  Inputs.ProgressMaximum = ProgressBarStatus->maximum();
  return Inputs;
}

void TFormMain::SetLabelStatus(const QString& Text) { LabelStatus->setText(Text); }

void TFormMain::SetProgress(int Position) { ProgressBarStatus->setValue(Position); }

void TFormMain::ShowMACTexts(const QString& APMACStr, const QString& STAMACStr) {
  LabeledEditAPMAC->setText(APMACStr);
  LabeledEditSTAMAC->setText(STAMACStr);
}

void TFormMain::ShowQRPicture(const QImage& Picture) {
  ImageQRCode->setPixmap(QPixmap::fromImage(Picture));
}

void TFormMain::ActionBurnExecute(TBurnSender Sender) { Station.ActionBurnExecute(Sender); }

void TFormMain::TimerStateMachineTimer() { Station.TimerStateMachineTimer(); }

// ---- the port watcher

void TFormMain::TimerFindPortsTimer() {
  const std::vector<TSerialPortInfo> Present = ListSerialPorts(PortSource).value_or(
      std::vector<TSerialPortInfo>());
  const QStringList Ports = PortNames(Present);
  QStringList Items;
  for (int i = 0; i < ComboBoxSerialPortA->count(); ++i) Items << ComboBoxSerialPortA->itemText(i);
  if (Ports == Items) return;
  ReplaceItems(ComboBoxSerialPortA, Ports);
  PlaceFlashPage(PlacedPageWidth);
  Station.Log(QStringLiteral("Note: Detect serial port changed."));
  const int Picked = AutoPickIndex(Present);
  if (Picked < 0) return;
  ComboBoxSerialPortA->setCurrentIndex(Picked);
  Station.Log(QStringLiteral("Note: Auto mapped serial port to %1.\n").arg(ComboBoxSerialPortA->currentText()));
}

// ---- settings

QString TFormMain::ConfigDir() const { return Settings.ConfigDir(); }
void TFormMain::SetConfigDir(const QString& Value) { Settings.SetConfigDir(Value); }
QString TFormMain::ConfigFileName() const { return Settings.ConfigFileName(); }

void TFormMain::InitSettings() {
  Settings.InitSettings(AppDir);
  SetUpAboutText();
}

void TFormMain::SaveSettings() { Settings.SaveSettings(); }
void TFormMain::ButtonRestoreDefaultClick() { Settings.RestoreDefaults(); }

// The firmware line takes a built-in image's index, or an image file's path.
void TFormMain::FrameConfigLineChange() {
  const int Index = FirmwareBox->ShownItem();
  const QString Choice = FirmwareBox->Choice(Index);
  const bool File = Index >= FrameConfigLine1->ComboBoxPath->count();
  if (Choice.isEmpty())
    Unselect(FrameConfigLine1->ComboBoxPath, QString());
  else if (File)
    FrameConfigLine1->SetFilePath(Choice);
  else
    FrameConfigLine1->ComboBoxPath->setCurrentIndex(Index);
  ComboBoxPath->setToolTip(File ? Choice : QString());
  SaveSettings();
}

TSettingsValues TFormMain::ReadSettingControls() const {
  return {FrameConfigLine1->FilePath(),        FrameConfigLine1->Offset(),
          ComboBoxFlashBaudrate->currentText(), ComboBoxFlashSize->currentIndex(),
          ComboBoxFlashSpeed->currentIndex(),   ComboBoxSPIMode->currentIndex(),
          FirmwareBox ? FirmwareBox->RecentFiles() : RecentImageFilesRead};
}

void TFormMain::WriteSettingControls(const TSettingsValues& Values) {
  FrameConfigLine1->SetFilePath(Values.FilePath);
  FrameConfigLine1->SetOffset(Values.Offset);
  ComboBoxFlashBaudrate->setEditText(Values.FlashBaudrate);
  ComboBoxFlashSize->setCurrentIndex(Values.FlashSize);
  ComboBoxFlashSpeed->setCurrentIndex(Values.FlashSpeed);
  ComboBoxSPIMode->setCurrentIndex(Values.SPIMode);
  RecentImageFilesRead = Values.RecentFiles;
  if (FirmwareBox) FirmwareBox->Fill(FirmwareBox->BuiltInImages(), Values.RecentFiles);
}
