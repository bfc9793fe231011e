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
#include <QScopedValueRollback>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

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

// A read-only edit with its label on the left (its buddy), as the Flash page shows the MAC
// addresses.
QLineEdit* LabeledEdit(QWidget* Parent, const char* Name, const QString& Label) {
  auto* Edit = Named<QLineEdit>(Parent, Name);
  Edit->setReadOnly(true);
  Edit->setText(WaitingMAC);
  Edit->setPlaceholderText(MACPlaceholder);
  auto* Caption = Named<QLabel>(Parent, (std::string(Name) + "Label").c_str());
  Caption->setText(Label);
  Caption->setBuddy(Edit);
  return Edit;
}

QLabel* LabelOf(const QLineEdit* Edit) {
  return Edit->parentWidget()->findChild<QLabel*>(Edit->objectName() + QStringLiteral("Label"));
}

// Under an application style sheet, a page the tab widget adopts keeps the application's font
// rather than the window's, and so do the controls on it: every control below Parent that has
// no font of its own is given Font.
void GiveFont(QWidget* Parent, const QFont& Font) {
  for (QWidget* Child : Parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (Child->testAttribute(Qt::WA_SetFont)) continue;
    Child->setFont(Font);
    GiveFont(Child, Font);
  }
}

// The height Control needs for its font, never less than its design height.
int FitHeight(const QWidget* Control, int Design) {
  return std::max(Design, Control->sizeHint().height());
}

int WidestText(const QWidget* Control, const QStringList& Texts) {
  int Widest = 0;
  for (const QString& Text : Texts)
    Widest = std::max(Widest, Control->fontMetrics().horizontalAdvance(Text));
  return Widest;
}

// QLineEdit keeps 2 pixels free on either side of its text.
constexpr int LineEditMargins = 2 * 2;

// The width a box needs to show each of Texts whole: what its frame, padding and arrow take
// beside its line edit, the line edit's margins and the cursor.
int BoxWidth(const QComboBox* Box, const QStringList& Texts) {
  QStyleOptionComboBox Option;
  Option.initFrom(Box);
  Option.editable = Box->isEditable();
  Option.frame = Box->hasFrame();
  const QRect Field =
      Box->style()->subControlRect(QStyle::CC_ComboBox, &Option, QStyle::SC_ComboBoxEditField, Box);
  return Box->width() - Field.width() + LineEditMargins + 1 + WidestText(Box->lineEdit(), Texts);
}

QStringList BoxTexts(const QComboBox* Box) {
  QStringList Texts{Box->currentText(), Box->lineEdit()->placeholderText()};
  for (int i = 0; i < Box->count(); ++i) Texts << Box->itemText(i);
  return Texts;
}

// The texts a MAC box shows: its own, and an address of the font's widest hexadecimal digits.
QStringList MACTexts(const QLineEdit* Edit) {
  QChar Widest = u'0';
  for (const QChar Digit : QStringLiteral("0123456789ABCDEF"))
    if (Edit->fontMetrics().horizontalAdvance(Digit) >
        Edit->fontMetrics().horizontalAdvance(Widest))
      Widest = Digit;
  const QString Pair(2, Widest);
  return {Edit->text(), WaitingMAC, QStringList(6, Pair).join(u':')};
}

// The width a line edit needs to show each of Texts whole: its size hint is room for 17 letters
// x and its margins, inside its frame and padding.
int EditWidth(const QLineEdit* Edit, const QStringList& Texts) {
  const int Frame =
      Edit->sizeHint().width() - 17 * Edit->fontMetrics().horizontalAdvance(u'x') - LineEditMargins;
  return Frame + LineEditMargins + 1 + WidestText(Edit, Texts);
}

// The height a line edit needs for its font, without the margin that centres its text.
int TextHeight(const QLineEdit* Edit) {
  return Edit->sizeHint().height() - Edit->textMargins().top();
}

// Puts a line edit's text in the middle of its height by the font's line height, with Free the
// height the edit has beyond what its font needs. Its own centring goes by the text's bounding
// box, which some fonts give far taller than their lines (under Wine by tens of pixels): the text
// would be drawn too high and cut off.
void CentreText(QLineEdit* Edit, int Free) {
  Edit->setAlignment((Edit->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignTop);
  Edit->setTextMargins(0, std::max(0, Free / 2), 0, 0);
}

void CentreText(QComboBox* Box) {
  CentreText(Box->lineEdit(), Box->height() - Box->sizeHint().height());
}

void CentreText(QLineEdit* Edit) { CentreText(Edit, Edit->height() - TextHeight(Edit)); }

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
  CreateControls();
  GiveFont(this, font());
  PlaceFlashPage(DesignPageWidth);
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

  ComboBoxPath = NamedComboBox(Page, "ComboBoxPath", true, {});
  ComboBoxPath->lineEdit()->setPlaceholderText(QStringLiteral("Choose firmware."));
  SafeFlash = Named<QCheckBox>(Page, "SafeFlash");
  SafeFlash->setText(QStringLiteral("Safe Flash"));
  PostRun = Named<QCheckBox>(Page, "PostRun");
  PostRun->setText(QStringLiteral("Run after Flash"));
  PostRun->setChecked(true);
  LabelDevA = Named<QLabel>(Page, "LabelDevA");
  LabelDevA->setText(QStringLiteral("COM &Port:"));
  ComboBoxSerialPortA = NamedComboBox(Page, "ComboBoxSerialPortA", true, {});
  ComboBoxSerialPortA->lineEdit()->setPlaceholderText(QStringLiteral("Select port"));
  // The items are the ports present; a name the user types and confirms is not added to them.
  ComboBoxSerialPortA->setInsertPolicy(QComboBox::NoInsert);
  LabelDevA->setBuddy(ComboBoxSerialPortA);

  ActionBurn = new QAction(QStringLiteral("Flash(&F)"), this);
  ActionBurn->setObjectName(QStringLiteral("ActionBurn"));
  ButtonBurn = Named<QPushButton>(Page, "ButtonBurn");
  ButtonBurn->setText(ActionBurn->text());
  // The port is chosen right after the firmware.
  QWidget::setTabOrder(ComboBoxPath, ComboBoxSerialPortA);
  QWidget::setTabOrder(ComboBoxSerialPortA, SafeFlash);
  QWidget::setTabOrder(SafeFlash, PostRun);
  QWidget::setTabOrder(PostRun, ButtonBurn);

  LabelIntroduction = Named<QLabel>(Page, "LabelIntroduction");
  LabelIntroduction->resize(8, 19);
  LabelIntroduction->setCursor(Qt::PointingHandCursor);
  LabelIntroduction->setFont(PixelFont(15));
  LabelIntroduction->installEventFilter(this);

  ProgressBarStatus = Named<QProgressBar>(Page, "ProgressBarStatus");
  ProgressBarStatus->setRange(0, 100);
  ProgressBarStatus->setValue(0);
  ProgressBarStatus->setTextVisible(false);

  PanelQRCode = Named<QFrame>(Page, "PanelQRCode");
  PanelQRCode->resize(100, 100);
  ImageQRCode = Named<QLabel>(PanelQRCode, "ImageQRCode");
  ImageQRCode->setGeometry(1, 1, 98, 98);
  ImageQRCode->setScaledContents(true);
  PanelQRCode->hide();

  LabeledEditAPMAC = LabeledEdit(Page, "LabeledEditAPMAC", QStringLiteral("AP MAC"));
  LabeledEditAPMAC->hide();
  Page->findChild<QLabel*>(QStringLiteral("LabeledEditAPMACLabel"))->hide();
  LabeledEditSTAMAC = LabeledEdit(Page, "LabeledEditSTAMAC", QStringLiteral("MAC Address: "));
  LabeledEditSTAMAC->setAlignment(Qt::AlignCenter);
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
  // The window is never narrower; the pages set how much more it needs.
  PanelControlPanel->setMinimumWidth(ClientWidth);
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

// The page's controls are placed for its width, and the page asks for the size they need; a page
// that grows to that size at once (its resize is not placed while placing) is placed again.
void TFormMain::PlaceFlashPage(int PageWidth) {
  if (Placing) return;
  {
    const QScopedValueRollback Guard(Placing, true);
    PlacedPageWidth = PageWidth;
    TabSheetOperation->setMinimumSize(PlaceFlashControls(PageWidth));
  }
  if (TabSheetOperation->isVisible() && TabSheetOperation->width() != PageWidth)
    PlaceFlashPage(TabSheetOperation->width());
}

// The design (96 dpi, the window's font) lays the Flash page out in rows: the firmware box
// (0 to 36), the options (42 to 67), port and button (70 to 106), the progress bar (112 to 145)
// and the MAC box (151 to 187). The firmware box, the button, the progress bar and the MAC boxes
// keep their right edge at the design distance from the page's. Answers the smallest page all fit.
QSize TFormMain::PlaceFlashControls(int PageWidth) {
  const int PathHeight = FitHeight(ComboBoxPath, 36);
  ComboBoxPath->setGeometry(0, 0, PageWidth, PathHeight);
  int Grown = PathHeight - 36;  // what the rows placed so far grew by
  int Needed = BoxWidth(ComboBoxPath, BoxTexts(ComboBoxPath));  // the narrowest page that fits

  const int OptionsHeight =
      std::max({25, SafeFlash->sizeHint().height(), PostRun->sizeHint().height()});
  const int SafeHeight = FitHeight(SafeFlash, 24);
  // Safe Flash stands a pixel lower than Run after Flash, as designed, while the row has room.
  SafeFlash->setGeometry(3, 42 + Grown + std::clamp(OptionsHeight - SafeHeight, 0, 1),
                         std::max(137, SafeFlash->sizeHint().width()), SafeHeight);
  PostRun->setGeometry(std::max(146, SafeFlash->geometry().right() + 7), 42 + Grown,
                       std::max(178, PostRun->sizeHint().width()), FitHeight(PostRun, 25));
  Needed = std::max(Needed, PostRun->geometry().right() + 4);
  Grown += OptionsHeight - 25;

  LabelDevA->adjustSize();
  const int PortX = std::max(114, 3 + LabelDevA->width() + 6);
  const int RowY = 70 + Grown;
  const int RowHeight = std::max(
      {FitHeight(ComboBoxSerialPortA, 36), FitHeight(ButtonBurn, 36), LabelDevA->height()});
  // The port box grows into the button's room for a longer name, leaving the button what its
  // caption needs; the window does not widen for it (a longer name scrolls).
  const int ButtonWidth = ButtonBurn->sizeHint().width();
  ComboBoxSerialPortA->resize(ComboBoxSerialPortA->width(), RowHeight);
  const int PortWidth = std::clamp(BoxWidth(ComboBoxSerialPortA, BoxTexts(ComboBoxSerialPortA)),
                                   162, std::max(162, PageWidth - PortX - 6 - ButtonWidth - 3));
  ComboBoxSerialPortA->setGeometry(PortX, RowY, PortWidth, RowHeight);
  // In the box's middle, so that its text stands on the line of the box's text.
  LabelDevA->move(3, RowY + (RowHeight - LabelDevA->height()) / 2);
  const int ButtonX = PortX + PortWidth + 6;
  ButtonBurn->setGeometry(ButtonX, RowY, std::max(PageWidth - 3 - ButtonX, ButtonWidth), RowHeight);
  Needed = std::max(Needed, PortX + 162 + 6 + ButtonWidth + 3);
  Grown += RowHeight - 36;

  LabelIntroduction->move(13, 97 + Grown);
  ProgressBarStatus->setGeometry(3, 112 + Grown, PageWidth - 6, 33);
  PanelQRCode->move(13, 123 + Grown);
  Needed =
      std::max(Needed, PlaceMACBox(LabeledEditAPMAC, {176, 115 + Grown, 267, 36}, 58, PageWidth));
  Needed =
      std::max(Needed, PlaceMACBox(LabeledEditSTAMAC, {225, 151 + Grown, 186, 36}, 90, PageWidth));
  for (QComboBox* Box : {ComboBoxPath, ComboBoxSerialPortA}) CentreText(Box);
  for (QLineEdit* Edit : {LabeledEditAPMAC, LabeledEditSTAMAC}) CentreText(Edit);
  return {Needed, LabeledEditSTAMAC->geometry().bottom() + 4};
}

// A MAC box starts at its design place, or further left where its texts need more room, with its
// label on its left; answers the narrowest page it fits.
int TFormMain::PlaceMACBox(QLineEdit* Edit, QRect Design, int RightMargin, int PageWidth) {
  const int Width = EditWidth(Edit, MACTexts(Edit));
  const int Right = PageWidth - RightMargin;
  const int X = std::min(Design.x(), Right - Width);
  Edit->setGeometry(X, Design.y(), Right - X, std::max(Design.height(), TextHeight(Edit)));
  QLabel* Label = LabelOf(Edit);
  Label->adjustSize();
  Label->move(X - Label->width() - 3, Design.y() + (Edit->height() - Label->height()) / 2);
  return 3 + Label->width() + 3 + Width + RightMargin;
}

void TFormMain::SetUpAboutText() {
  RichEditNote->setOpenLinks(false);
  RichEditNote->setOpenExternalLinks(false);
  RichEditNote->setStyleSheet(QStringLiteral("color: #FFFFFF;"));
  RichEditNote->document()->setDefaultStyleSheet(QStringLiteral("a { color: #7DB8FF; }"));
  RichEditNote->setHtml(LinkedText(AboutLines));
}
