// The main window's build-up: its pages, their controls and where they sit.
#include "app/UnitFormMain.h"

#include "app/UiGuard.h"
#include "firmware/UnitFrameConfigLine.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
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

const QString MACPlaceholder =
    QStringLiteral("When flashing starts, the MAC address becomes visible.");

const QStringList AboutLines{
    QStringLiteral("Developer: Corvel Inc."),
    QStringLiteral("https://corvel.example/"),
    QStringLiteral("If the serial port does not appear after the RQ53 adapter board is plugged in,"),
    QStringLiteral("install its USB-serial driver from https://corvel.example/drivers/"),
    QStringLiteral("Report issues at https://corvel.example/ferrule/issues"),
    QStringLiteral("Ferrule is free software under the MIT licence."),
    QStringLiteral("Thanks to the makers of Qt, libqrencode and zlib (licences: folder licenses)."),
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
      Station(
          *this, [this] { return ConfigDir(); },
          [this](const std::function<void()>& Step) { RunGuarded(this, Step); }),
      Settings(
          Station.Record().FConfigDir, [this] { return ReadSettingControls(); },
          [this](const TSettingsValues& Values) { WriteSettingControls(Values); },
          [this](const QString& Line) { Station.Log(Line); }) {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("Ferrule v1.316 Pre-release"));
  setFont(PixelFont(21));
  resize(ClientWidth, ClientHeight);
  setMinimumWidth(ClientWidth);
  CreateControls();
  ConnectCallbacks();
  RunGuarded(this, [this] { FormCreate(); });
}

void TFormMain::CreateControls() {
  PageControlMain = Named<QTabWidget>(this, "PageControlMain");
  CreateFlashPage();
  CreateConfigPage();
  CreateAdvancedPage();
  CreateAboutPage();
  CreateLogPage();
  // Hidden and disabled: the tab bar's keys and wheel skip a disabled page, which a hidden one
  // alone does not make them do.
  for (QWidget* Page : {TabSheetConfig, TabSheetAdvanced}) {
    PageControlMain->setTabVisible(PageControlMain->indexOf(Page), false);
    PageControlMain->setTabEnabled(PageControlMain->indexOf(Page), false);
  }
  PageControlMain->setCurrentWidget(TabSheetIntroduction);
  CreateBottomBar();

  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->setSpacing(0);
  Layout->addWidget(PageControlMain, 1);
  Layout->addWidget(PanelControlPanel);

  TimerFindPorts = new QTimer(this);
  TimerFindPorts->setObjectName(QStringLiteral("TimerFindPorts"));
  TimerFindPorts->setInterval(500);
  TimerStateMachine = &Station.TimerStateMachine();
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
  LabelDevA->setText(QStringLiteral("COM &Port:"));
  LabelDevA->move(3, 73);
  LabelDevA->adjustSize();
  ComboBoxSerialPortA = NamedComboBox(Page, "ComboBoxSerialPortA", true, {});
  ComboBoxSerialPortA->lineEdit()->setPlaceholderText(QStringLiteral("Select port"));
  ComboBoxSerialPortA->setGeometry(114, 70, 162, 36);
  // The items are the ports present; a name the user types and confirms is not added to them.
  ComboBoxSerialPortA->setInsertPolicy(QComboBox::NoInsert);
  LabelDevA->setBuddy(ComboBoxSerialPortA);

  ActionBurn = new QAction(QStringLiteral("Flash(&F)"), this);
  ActionBurn->setObjectName(QStringLiteral("ActionBurn"));
  ButtonBurn = Named<QPushButton>(Page, "ButtonBurn");
  ButtonBurn->setText(ActionBurn->text());
  ButtonBurn->setGeometry(282, 70, 216, 36);
  Stretch(ButtonBurn);
  // The port is chosen right after the firmware.
  QWidget::setTabOrder(ComboBoxPath, ComboBoxSerialPortA);
  QWidget::setTabOrder(ComboBoxSerialPortA, SafeFlash);
  QWidget::setTabOrder(SafeFlash, PostRun);
  QWidget::setTabOrder(PostRun, ButtonBurn);

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
  ComboBoxFlashBaudrate =
      NamedComboBox(TabSheetAdvanced, "ComboBoxFlashBaudrate", true, FlashBaudrateItems);
  // The stored default, so that the box and the settings file never disagree.
  ComboBoxFlashBaudrate->setCurrentText(DefaultSettings().FlashBaudrate);
  Row("LabelFlashBaudrate", QStringLiteral("Baudrate"), ComboBoxFlashBaudrate);
  ComboBoxFlashSize = NamedComboBox(TabSheetAdvanced, "ComboBoxFlashSize", false, FlashSizeItems);
  ComboBoxFlashSize->setCurrentIndex(4);
  Row("LabelFlashSize", QStringLiteral("Flash size"), ComboBoxFlashSize);
  ComboBoxFlashSpeed =
      NamedComboBox(TabSheetAdvanced, "ComboBoxFlashSpeed", false, FlashSpeedItems);
  Row("LabelFlashSpeed", QStringLiteral("Flash speed"), ComboBoxFlashSpeed);
  ComboBoxSPIMode = NamedComboBox(TabSheetAdvanced, "ComboBoxSPIMode", false, SPIModeItems);
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
  // Lines wrap at the page's width, so a horizontal bar is only ever needed for a word wider
  // than the page.
  RichEditNote->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  RichEditNote->setLineWrapMode(QTextEdit::WidgetWidth);
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

void TFormMain::StretchControls() {
  const int PageWidth = TabSheetOperation->width();
  for (const TStretch& Item : Stretching)
    Item.Control->resize(PageWidth - Item.Control->x() - Item.RightMargin, Item.Control->height());
}

void TFormMain::SetUpAboutText() {
  RichEditNote->setOpenLinks(false);
  RichEditNote->setOpenExternalLinks(false);
  RichEditNote->setStyleSheet(QStringLiteral("color: #FFFFFF;"));
  RichEditNote->document()->setDefaultStyleSheet(QStringLiteral("a { color: #7DB8FF; }"));
  RichEditNote->setHtml(LinkedText(AboutLines));
}
