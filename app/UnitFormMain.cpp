#include "app/UnitFormMain.h"

#include "app/SerialPortsCtrl.h"
#include "app/UiGuard.h"
#include "firmware/ResourceCatalogue.h"
#include "firmware/UnitFrameConfigLine.h"
#include "loader/DeviceIdentity.h"
#include "serial/SPComm.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMovie>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int ClientWidth = 509;
constexpr int ClientHeight = 258;
constexpr int BottomBarHeight = 25;
// The Flash page's width when the window has its design size.
constexpr int DesignPageWidth = 501;
// The log keeps this many lines; older ones go, so a day on a production line keeps memory flat.
constexpr int LogLineLimit = 100000;
// How long the reply recognition's lines wait before they are logged, at most.
constexpr int LogHoldMs = 20;

const QString WaitingMAC = QStringLiteral("Waiting MAC");
const QString MACPlaceholder =
    QStringLiteral("When flashing starts, the MAC address becomes visible.");

const QStringList AboutLines{
    QStringLiteral("Developer: Corvel Inc."),
    QStringLiteral("https://corvel.example/"),
    QStringLiteral("If the serial port does not appear after the RQ53 adapter board is plugged in,"),
    QStringLiteral("install its USB-serial driver from https://corvel.example/drivers/"),
    QStringLiteral("Report issues at https://corvel.example/ferrule/issues"),
    QStringLiteral("Ferrule is free software under the MIT licence."),
    QStringLiteral("Thanks to the makers of Qt and libqrencode."),
};

QFont PixelFont(int Pixels) {
  QFont Font;
  Font.setFamilies({QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei"),
                    QStringLiteral("Noto Sans CJK SC")});
  Font.setPixelSize(Pixels);
  return Font;
}

template <class T>
T* Named(QWidget* Parent, const char* Name) {
  T* Widget = new T(Parent);
  Widget->setObjectName(QString::fromLatin1(Name));
  return Widget;
}

QComboBox* NamedComboBox(QWidget* Parent, const char* Name, bool Editable,
                         const QStringList& Items) {
  auto* Box = Named<QComboBox>(Parent, Name);
  Box->setEditable(Editable);
  Box->addItems(Items);
  return Box;
}

// A read-only edit with its label on the left, as the Flash page shows the MAC addresses.
QLineEdit* LabeledEdit(QWidget* Parent, const char* Name, const QString& Label, QRect Place) {
  auto* Edit = Named<QLineEdit>(Parent, Name);
  Edit->setReadOnly(true);
  Edit->setText(WaitingMAC);
  Edit->setPlaceholderText(MACPlaceholder);
  Edit->setGeometry(Place);
  auto* Caption = Named<QLabel>(Parent, (std::string(Name) + "Label").c_str());
  Caption->setText(Label);
  Caption->adjustSize();
  Caption->move(Place.x() - Caption->width() - 3, Place.y() + (Place.height() - Caption->height()) / 2);
  Caption->setBuddy(Edit);
  return Edit;
}

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

QTimer* NamedTimer(QObject* Parent, const char* Name, int Interval) {
  auto* Timer = new QTimer(Parent);
  Timer->setObjectName(QString::fromLatin1(Name));
  Timer->setInterval(Interval);
  return Timer;
}

QString LinkedText(const QStringList& Lines) {
  static const QRegularExpression Address(QStringLiteral(R"((https?://[^\s<]+))"));
  QStringList Html;
  for (const QString& Line : Lines)
    Html << Line.toHtmlEscaped().replace(Address, QStringLiteral(R"(<a href="\1">\1</a>)"));
  return Html.join(QStringLiteral("<br>"));
}

}  // namespace

TFormMain::TFormMain(const QString& AppDir, QWidget* Parent)
    : QWidget(Parent),
      AppDir(AppDir),
      Recognizer(Record, [this](const QString& Line) { HeldLines << Line; }),
      Settings(
          Record.FConfigDir, [this] { return ReadSettingControls(); },
          [this](const TSettingsValues& Values) { WriteSettingControls(Values); },
          [this](const QString& Line) { Log(Line); }) {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("Ferrule v1.316 Pre-release"));
  setFont(PixelFont(21));
  resize(ClientWidth, ClientHeight);
  setMinimumWidth(ClientWidth);
  CreateControls();
  ConnectCallbacks();
  RunGuarded(this, [this] { FormCreate(); });
}

TFormMain::~TFormMain() { FormDestroy(); }

void TFormMain::CreateControls() {
  PageControlMain = Named<QTabWidget>(this, "PageControlMain");
  CreateFlashPage();
  CreateConfigPage();
  CreateAdvancedPage();
  CreateAboutPage();
  CreateLogPage();
  PageControlMain->setTabVisible(PageControlMain->indexOf(TabSheetConfig), false);
  PageControlMain->setTabVisible(PageControlMain->indexOf(TabSheetAdvanced), false);
  PageControlMain->setCurrentWidget(TabSheetIntroduction);
  CreateBottomBar();

  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->setSpacing(0);
  Layout->addWidget(PageControlMain, 1);
  Layout->addWidget(PanelControlPanel);

  TimerFindPorts = NamedTimer(this, "TimerFindPorts", 500);
  TimerStateMachine = NamedTimer(this, "TimerStateMachine", 50);
  TimerLogHeldLines = NamedTimer(this, "TimerLogHeldLines", LogHoldMs);
  TimerLogHeldLines->setSingleShot(true);
}

void TFormMain::CreateFlashPage() {
  TabSheetOperation = Named<QWidget>(nullptr, "TabSheetOperation");
  PageControlMain->addTab(TabSheetOperation, QStringLiteral("Flash"));
  TabSheetOperation->installEventFilter(this);
  QWidget* Page = TabSheetOperation;
  auto Stretch = [this](QWidget* Control) {
    Stretching.push_back({Control, DesignPageWidth - Control->geometry().right() - 1});
  };

  ComboBoxPath = NamedComboBox(Page, "ComboBoxPath", true, {});
  ComboBoxPath->lineEdit()->setPlaceholderText(QStringLiteral("Choose firmware."));
  ComboBoxPath->setGeometry(0, 0, DesignPageWidth, 36);
  Stretch(ComboBoxPath);
  SafeFlash = Named<QCheckBox>(Page, "SafeFlash");
  SafeFlash->setText(QStringLiteral("Safe Flash"));
  SafeFlash->setGeometry(3, 43, 137, 24);
  PostRun = Named<QCheckBox>(Page, "PostRun");
  PostRun->setText(QStringLiteral("Run after Flash"));
  PostRun->setChecked(true);
  PostRun->setGeometry(146, 42, 178, 25);
  LabelDevA = Named<QLabel>(Page, "LabelDevA");
  LabelDevA->setText(QStringLiteral("COM Port:"));
  LabelDevA->move(3, 73);
  LabelDevA->adjustSize();
  ComboBoxSerialPortA = NamedComboBox(Page, "ComboBoxSerialPortA", true, {});
  ComboBoxSerialPortA->lineEdit()->setPlaceholderText(QStringLiteral("Select port"));
  ComboBoxSerialPortA->setGeometry(114, 70, 162, 36);
  ComboBoxSerialPortA->setFocusPolicy(Qt::ClickFocus);

  ActionBurn = new QAction(QStringLiteral("Flash(&F)"), this);
  ActionBurn->setObjectName(QStringLiteral("ActionBurn"));
  ButtonBurn = Named<QPushButton>(Page, "ButtonBurn");
  ButtonBurn->setText(ActionBurn->text());
  ButtonBurn->setGeometry(282, 70, 216, 36);
  Stretch(ButtonBurn);

  LabelIntroduction = Named<QLabel>(Page, "LabelIntroduction");
  LabelIntroduction->setGeometry(13, 97, 8, 19);
  LabelIntroduction->setCursor(Qt::PointingHandCursor);
  LabelIntroduction->setFont(PixelFont(15));
  LabelIntroduction->installEventFilter(this);

  ProgressBarStatus = Named<QProgressBar>(Page, "ProgressBarStatus");
  ProgressBarStatus->setRange(0, 100);
  ProgressBarStatus->setValue(0);
  ProgressBarStatus->setTextVisible(false);
  ProgressBarStatus->setGeometry(3, 112, 495, 33);
  Stretch(ProgressBarStatus);

  PanelQRCode = Named<QFrame>(Page, "PanelQRCode");
  PanelQRCode->setGeometry(13, 123, 100, 100);
  ImageQRCode = Named<QLabel>(PanelQRCode, "ImageQRCode");
  ImageQRCode->setGeometry(1, 1, 98, 98);
  ImageQRCode->setScaledContents(true);
  PanelQRCode->hide();

  LabeledEditAPMAC = LabeledEdit(Page, "LabeledEditAPMAC", QStringLiteral("AP MAC"), {176, 115, 267, 36});
  LabeledEditAPMAC->hide();
  Page->findChild<QLabel*>(QStringLiteral("LabeledEditAPMACLabel"))->hide();
  Stretch(LabeledEditAPMAC);
  LabeledEditSTAMAC =
      LabeledEdit(Page, "LabeledEditSTAMAC", QStringLiteral("MAC Address: "), {225, 151, 186, 36});
  LabeledEditSTAMAC->setAlignment(Qt::AlignCenter);
  Stretch(LabeledEditSTAMAC);
}

void TFormMain::CreateConfigPage() {
  TabSheetConfig = Named<QWidget>(nullptr, "TabSheetConfig");
  PageControlMain->addTab(TabSheetConfig, QStringLiteral("File"));
  GridPanelConfig = Named<QWidget>(TabSheetConfig, "GridPanelConfig");
  GridPanelConfig->setGeometry(0, 0, 499, 30);
  FrameConfigLine1 = new TFrameConfigLine(GridPanelConfig);
  FrameConfigLine1->setObjectName(QStringLiteral("FrameConfigLine1"));
  FrameConfigLine1->setGeometry(0, 0, 499, 30);
}

void TFormMain::CreateAdvancedPage() {
  TabSheetAdvanced = Named<QWidget>(nullptr, "TabSheetAdvanced");
  PageControlMain->addTab(TabSheetAdvanced, QStringLiteral("Advanced"));
  auto* Form = new QFormLayout(TabSheetAdvanced);
  auto Row = [&](const char* LabelName, const QString& Caption, QComboBox* Box) {
    auto* Label = Named<QLabel>(TabSheetAdvanced, LabelName);
    Label->setText(Caption);
    Form->addRow(Label, Box);
  };
  ComboBoxFlashBaudrate = NamedComboBox(TabSheetAdvanced, "ComboBoxFlashBaudrate", true,
                                        {"9600", "19200", "38400", "57600", "74880", "115200",
                                         "230400", "460800", "512000", "576000", "921600"});
  ComboBoxFlashBaudrate->setCurrentText(QStringLiteral("230400"));
  Row("LabelFlashBaudrate", QStringLiteral("Baudrate"), ComboBoxFlashBaudrate);
  ComboBoxFlashSize =
      NamedComboBox(TabSheetAdvanced, "ComboBoxFlashSize", false,
                    {"256kByte", "512kByte", "1MByte", "2MByte", "4MByte", "8MByte", "16MByte"});
  ComboBoxFlashSize->setCurrentIndex(4);
  Row("LabelFlashSize", QStringLiteral("Flash size"), ComboBoxFlashSize);
  ComboBoxFlashSpeed = NamedComboBox(TabSheetAdvanced, "ComboBoxFlashSpeed", false,
                                     {"40MHz", "26.7MHz", "20MHz", "80MHz"});
  Row("LabelFlashSpeed", QStringLiteral("Flash speed"), ComboBoxFlashSpeed);
  ComboBoxSPIMode =
      NamedComboBox(TabSheetAdvanced, "ComboBoxSPIMode", false, {"QIO", "DIO", "QOUT", "DOUT"});
  ComboBoxSPIMode->setCurrentIndex(1);
  Row("LabelSPIMode", QStringLiteral("SPI Mode"), ComboBoxSPIMode);
  ButtonRestoreDefault = Named<QPushButton>(TabSheetAdvanced, "ButtonRestoreDefault");
  ButtonRestoreDefault->setText(QStringLiteral("Restore default"));
  Form->addRow(ButtonRestoreDefault);
}

void TFormMain::CreateAboutPage() {
  TabSheetIntroduction = Named<QWidget>(nullptr, "TabSheetIntroduction");
  PageControlMain->addTab(TabSheetIntroduction, QStringLiteral("About"));
  RichEditNote = Named<QTextBrowser>(TabSheetIntroduction, "RichEditNote");
  RichEditNote->setFrameShape(QFrame::NoFrame);
  RichEditNote->setFont(PixelFont(14));
  RichEditNote->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEditNote->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEditNote->setLineWrapMode(QTextEdit::NoWrap);
  auto* Layout = new QVBoxLayout(TabSheetIntroduction);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(RichEditNote);
}

void TFormMain::CreateLogPage() {
  TabSheetLog = Named<QWidget>(nullptr, "TabSheetLog");
  PageControlMain->addTab(TabSheetLog, QStringLiteral("Log"));
  MemoOutput = Named<QPlainTextEdit>(TabSheetLog, "MemoOutput");
  MemoOutput->setReadOnly(true);
  MemoOutput->setFont(PixelFont(14));
  MemoOutput->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoOutput->setToolTip(QStringLiteral("运行输出."));
  MemoOutput->setMaximumBlockCount(LogLineLimit);
  auto* Layout = new QVBoxLayout(TabSheetLog);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(MemoOutput);
}

void TFormMain::CreateBottomBar() {
  PanelControlPanel = Named<QFrame>(this, "PanelControlPanel");
  PanelControlPanel->setFixedHeight(BottomBarHeight);
  ImageStatus = Named<QLabel>(PanelControlPanel, "ImageStatus");
  ImageStatus->setFixedSize(25, 23);
  ImageStatus->setScaledContents(true);
  LabelCopyRight = Named<QLabel>(PanelControlPanel, "LabelCopyRight");
  LabelCopyRight->setFont(PixelFont(14));
  LabelStatus = Named<QLabel>(PanelControlPanel, "LabelStatus");
  LabelStatus->setFont(PixelFont(14));
  LabelStatus->setText(QStringLiteral("Ready"));
  LabelStatus->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto* Layout = new QHBoxLayout(PanelControlPanel);
  Layout->setContentsMargins(0, 1, 4, 1);
  Layout->addWidget(ImageStatus);
  Layout->addWidget(LabelCopyRight);
  Layout->addStretch(1);
  Layout->addWidget(LabelStatus);
}

void TFormMain::ConnectCallbacks() {
  connect(ButtonBurn, &QPushButton::clicked, ActionBurn, &QAction::trigger);
  connect(ActionBurn, &QAction::triggered,
          Guarded(this, [this] { ActionBurnExecute(TBurnSender::User); }));
  connect(TimerStateMachine, &QTimer::timeout, Guarded(this, [this] { TimerStateMachineTimer(); }));
  connect(TimerFindPorts, &QTimer::timeout, Guarded(this, [this] { TimerFindPortsTimer(); }));
  connect(TimerLogHeldLines, &QTimer::timeout, this, [this] { LogHeldLines(); });
  connect(ButtonRestoreDefault, &QPushButton::clicked,
          Guarded(this, [this] { ButtonRestoreDefaultClick(); }));
  connect(MemoOutput, &QPlainTextEdit::textChanged, this, [this] { MemoOutputChange(); });
  // Only the user's changes: a box changed by the program calls no change callback.
  auto Change = Guarded(this, [this] { FrameConfigLineChange(); });
  connect(ComboBoxPath, &QComboBox::activated, this, Change);
  connect(ComboBoxPath->lineEdit(), &QLineEdit::textEdited, this, Change);
  connect(FrameConfigLine1, &TFrameConfigLine::Changed, this, Change);
  connect(ComboBoxFlashBaudrate, &QComboBox::activated, this, Change);
  connect(ComboBoxFlashBaudrate->lineEdit(), &QLineEdit::textEdited, this, Change);
  for (QComboBox* Box : {ComboBoxFlashSize, ComboBoxFlashSpeed, ComboBoxSPIMode})
    connect(Box, &QComboBox::activated, this, Change);
}

void TFormMain::FormCreate() {
  FComm = new TComm(this);
  FComm->OnReceiveData = [this](QObject* Sender, const quint8* Buffer, quint16 Length) {
    RunGuarded(this, [&] { CommReceiveData(Sender, Buffer, Length); });
  };
  FComm->OnRequestHangup = [this](QObject*) {
    RunGuarded(this, [this] { FRunControl->CommRequestHangup(); });
  };
  TFlashRunView& View = *this;
  FRunControl =
      std::make_unique<TFlashRunControl>(*FComm, Record, View, *TimerStateMachine, this);
  Record.BurnOK = false;
  Record.RunState = StateFinished;
  TimerFindPorts->start();
  InitSettings();
  LabelCopyRight->setText(QStringLiteral("© 2026 Corvel Inc."));
  ShowMovie(QStringLiteral("XGIF"));
  // Adding the first item selects it; the lists start without a choice, and the firmware line
  // keeps the name the settings gave it.
  const QString Chosen = FrameConfigLine1->FilePath();
  EnumBuiltInImages([this](const QString& DisplayName) {
    FrameConfigLine1->ComboBoxPath->addItem(DisplayName);
    ComboBoxPath->addItem(DisplayName);
  });
  Unselect(FrameConfigLine1->ComboBoxPath, Chosen);
  Unselect(ComboBoxPath, QString());
}

void TFormMain::FormClose() {
  Record.RunState = StateFinished;
  Record.BurnOK = true;
  TimerStateMachine->stop();
}

// The worker may be waiting for a step on this thread: it is run to its end before the port and
// the window go.
void TFormMain::FormDestroy() {
  Record.RunState = StateFinished;
  Record.BurnOK = true;
  TimerFindPorts->stop();
  TimerStateMachine->stop();
  if (FRunControl) FRunControl->StopWorker();
  if (FComm) FComm->StopComm();
  FRunControl.reset();
  delete FComm;
  FComm = nullptr;
}

void TFormMain::closeEvent(QCloseEvent* Event) {
  FormClose();
  QWidget::closeEvent(Event);
}

void TFormMain::StretchControls() {
  const int PageWidth = TabSheetOperation->width();
  for (const TStretch& Item : Stretching)
    Item.Control->resize(PageWidth - Item.Control->x() - Item.RightMargin, Item.Control->height());
}

bool TFormMain::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == LabelIntroduction && Event->type() == QEvent::MouseButtonRelease)
    RunGuarded(this, [this] { LabelIntroductionClick(); });
  if (Watched == TabSheetOperation && Event->type() == QEvent::Resize) StretchControls();
  return QWidget::eventFilter(Watched, Event);
}

void TFormMain::LabelIntroductionClick() { PageControlMain->setCurrentWidget(TabSheetIntroduction); }

void TFormMain::SetUpAboutText() {
  RichEditNote->setOpenLinks(false);
  RichEditNote->setOpenExternalLinks(false);
  RichEditNote->setStyleSheet(QStringLiteral("color: #FFFFFF;"));
  RichEditNote->document()->setDefaultStyleSheet(QStringLiteral("a { color: #7DB8FF; }"));
  RichEditNote->setHtml(LinkedText(AboutLines));
}

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

void TFormMain::ShowStatusWait() {
  LogHeldLines();
  ShowMovie(QStringLiteral("WAIT"));
}

void TFormMain::ShowStatusYes() {
  LogHeldLines();
  ShowPicture(QStringLiteral("YES"));
}

void TFormMain::ShowStatusNo() {
  LogHeldLines();
  ShowPicture(QStringLiteral("NO"));
}

// ---- the log and the Flash run's view of the window

void TFormMain::Log(const QString& Line) {
  LogHeldLines();
  MemoOutput->appendPlainText(Line);
}

// A waiting worker is woken at once. The lines of the delivery are held back a little: appending
// to the log takes longer than the worker needs to send its next request, and would compete with
// it and the serial threads for the processors. When the module has answered the handshake, the
// tick that starts the worker runs at once rather than up to 50 ms later.
void TFormMain::CommReceiveData(QObject* Sender, const quint8* Buffer, quint16 BufferLength) {
  FRunControl->NoteReceived(BufferLength);
  const TRunState Before = Record.RunState;
  Recognizer.CommReceiveData(Sender, Buffer, BufferLength);
  Record.ReplyExamined.Ring();
  if (Before == StateHandshake && Record.RunState == StateBurn)
    QTimer::singleShot(0, this, Guarded(this, [this] { TimerStateMachineTimer(); }));
  if (!HeldLines.isEmpty() && !TimerLogHeldLines->isActive()) TimerLogHeldLines->start();
}

// The held lines of the reply recognition go to the log before any other line or status
// picture, so the log keeps the order in which things happened.
void TFormMain::LogHeldLines() {
  if (HeldLines.isEmpty()) return;
  MemoOutput->appendPlainText(HeldLines.join(u'\n'));
  HeldLines.clear();
}

bool TFormMain::FirmwareSelected() const {
  return ComboBoxPath->findText(ComboBoxPath->currentText(), Qt::MatchFixedString) >= 0;
}

QString TFormMain::SerialPortText() const { return ComboBoxSerialPortA->currentText(); }

bool TFormMain::SafeFlashChecked() const { return SafeFlash->isChecked(); }

void TFormMain::ShowMessage(const QString& Text) {
  QMessageBox::information(this, windowTitle(), Text);
}

void TFormMain::SetBurnCaption(const QString& Caption) {
  ActionBurn->setText(Caption);
  ButtonBurn->setText(Caption);
}

void TFormMain::ResetProgress() { ProgressBarStatus->setValue(ProgressBarStatus->minimum()); }

TFlashJobInputs TFormMain::FlashJobInputs() const {
  return {FrameConfigLine1->FilePath(),     FrameConfigLine1->Offset(),
          ComboBoxSPIMode->currentText(),   ComboBoxFlashSize->currentText(),
          ComboBoxFlashSpeed->currentText(), PostRun->isChecked(),
          ProgressBarStatus->maximum()};
}

TFlashJobSteps TFormMain::FlashJobSteps() {
  return {[this](const QString& Line) { Log(Line); },
          [this] { ShowStatusNo(); },
          [this](const QString& Text) { LabelStatus->setText(Text); },
          [this](int Position) { ProgressBarStatus->setValue(Position); },
          [this] { ShowDeviceIdentity(); },
          {}};
}

void TFormMain::ActionBurnExecute(TBurnSender Sender) { FRunControl->ActionBurnExecute(Sender); }

void TFormMain::TimerStateMachineTimer() { FRunControl->TimerStateMachineTimer(); }

// ---- the port watcher

void TFormMain::TimerFindPortsTimer() {
  QStringList Ports;
  EnumSerialPorts(Ports, PortSource);
  QStringList Items;
  for (int i = 0; i < ComboBoxSerialPortA->count(); ++i) Items << ComboBoxSerialPortA->itemText(i);
  if (Ports == Items) return;
  ReplaceItems(ComboBoxSerialPortA, Ports);
  Log(QStringLiteral("Note: Detect serial port changed."));
  if (Ports.isEmpty()) return;
  ComboBoxSerialPortA->setCurrentIndex(int(Ports.size()) - 1);
  Log(QStringLiteral("Note: Auto mapped serial port to %1.\n").arg(ComboBoxSerialPortA->currentText()));
}

// ---- the device identity record

void TFormMain::ShowDeviceIdentity() {
  if (Record.APMACStr.isEmpty() || Record.STAMACStr.isEmpty()) return;
  ShowQRCode(IdentityQRText(Record.APMACStr, Record.STAMACStr));
  LabeledEditAPMAC->setText(Record.APMACStr);
  LabeledEditSTAMAC->setText(Record.STAMACStr);
  RecordDeviceIdentity(ConfigDir(), Record.APMACStr, Record.STAMACStr, QRCodePicture,
                       QDateTime::currentDateTime());
}

void TFormMain::ShowQRCode(const QString& Text) {
  QRCodePicture = EncodeQRCode(Text);
  ImageQRCode->setPixmap(QPixmap::fromImage(QRCodePicture));
}

// ---- settings

QString TFormMain::ConfigDir() const { return Settings.ConfigDir(); }
void TFormMain::SetConfigDir(const QString& Value) { Settings.SetConfigDir(Value); }
QString TFormMain::ConfigFileName() const { return Settings.ConfigFileName(); }

void TFormMain::InitSettings() {
  Settings.InitSettings(AppDir);
  SetUpAboutText();
}

void TFormMain::LoadSettings() { Settings.LoadSettings(); }
void TFormMain::StoreSettings() { Settings.StoreSettings(); }
void TFormMain::SaveSettings() { Settings.SaveSettings(); }
void TFormMain::RestoreDefaults() { Settings.RestoreDefaults(); }
void TFormMain::ButtonRestoreDefaultClick() { RestoreDefaults(); }

void TFormMain::FrameConfigLineChange() {
  const int Index = ComboBoxPath->findText(ComboBoxPath->currentText(), Qt::MatchFixedString);
  if (Index < 0)
    Unselect(FrameConfigLine1->ComboBoxPath, QString());
  else
    FrameConfigLine1->ComboBoxPath->setCurrentIndex(Index);
  SaveSettings();
}

TSettingsValues TFormMain::ReadSettingControls() const {
  return {FrameConfigLine1->FilePath(),        FrameConfigLine1->Offset(),
          ComboBoxFlashBaudrate->currentText(), ComboBoxFlashSize->currentIndex(),
          ComboBoxFlashSpeed->currentIndex(),   ComboBoxSPIMode->currentIndex()};
}

void TFormMain::WriteSettingControls(const TSettingsValues& Values) {
  FrameConfigLine1->SetFilePath(Values.FilePath);
  FrameConfigLine1->SetOffset(Values.Offset);
  ComboBoxFlashBaudrate->setEditText(Values.FlashBaudrate);
  ComboBoxFlashSize->setCurrentIndex(Values.FlashSize);
  ComboBoxFlashSpeed->setCurrentIndex(Values.FlashSpeed);
  ComboBoxSPIMode->setCurrentIndex(Values.SPIMode);
}
