// The Flash page laid out for whatever font the platform gives, with the program's visual style
// and at the scaling the platform runs at (QT_SCALE_FACTOR here, the system's dots per inch on
// Windows): every control has the window's font, the rows keep their order and gaps, and each
// box, label and button shows its texts whole, a box's text in the middle of its height. The
// texts are found in the window's own pictures. Built for Windows too (tools/test-windows.sh).

#include "app/UnitFormMain.h"
#include "app/VisualStyle.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QWindow>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

// The box around the pixels in which two pictures of the same size differ.
QRect Difference(const QImage& A, const QImage& B) {
  QRect Box;
  for (int y = 0; y < A.height(); ++y)
    for (int x = 0; x < A.width(); ++x)
      if (A.pixel(x, y) != B.pixel(x, y)) Box |= QRect(x, y, 1, 1);
  return Box;
}

struct TInk {
  QRect Box;       // the text's pixels, in device pixels
  int LineTop;     // where the font's line box starts above them, in device pixels
  int LineHeight;  // the line box's height, in device pixels
};

// Text in Font drawn alone on a canvas scaled as the window is, its accelerator's letter
// underlined as Control's style does.
TInk FreeInk(const QWidget* Control, const QString& Text, qreal Ratio) {
  const QFont& Font = Control->font();
  const QFontMetrics Metrics(Font);
  const int Mnemonic = Control->style()->styleHint(QStyle::SH_UnderlineShortcut, nullptr, Control)
                           ? Qt::TextShowMnemonic
                           : Qt::TextHideMnemonic;
  const QSize Size(Metrics.horizontalAdvance(Text) + 80, Metrics.height() * 3 + 80);
  QImage Blank(Size * Ratio, QImage::Format_ARGB32);
  Blank.setDevicePixelRatio(Ratio);
  Blank.fill(Qt::white);
  QImage Drawn = Blank;
  QPainter Painter(&Drawn);
  Painter.setFont(Font);
  Painter.setPen(Qt::black);
  const int LineTop = Metrics.height() + 40;
  Painter.drawText(QRectF(40, LineTop, Size.width() - 40, Metrics.height() * 2),
                   Qt::AlignLeft | Qt::AlignTop | Mnemonic, Text);
  Painter.end();
  return {Difference(Drawn, Blank), qRound(LineTop * Ratio), qRound(Metrics.height() * Ratio)};
}

// The pixels of a control's text: its picture with the text, against its picture without.
QRect ShownInk(QWidget* Control, const std::function<void(bool Shown)>& ShowText) {
  ShowText(false);
  const QImage Without = Control->grab().toImage();
  ShowText(true);
  return Difference(Control->grab().toImage(), Without);
}

class TLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(ApplyVisualStyle(*qApp).isEmpty()); }
  static void TearDownTestSuite() { qApp->setStyleSheet({}); }

  void SetUp() override {
    Form = std::make_unique<TFormMain>(AppDir.path());
    Form->PageControlMain->setCurrentWidget(Form->TabSheetOperation);
    Form->show();
    QElapsedTimer Clock;
    Clock.start();
    while (!Form->windowHandle()->isExposed() && Clock.elapsed() < 5000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(Form->windowHandle()->isExposed());
    QCoreApplication::processEvents();
    Ratio = Form->devicePixelRatioF();
  }

  QWidget* Page() const { return Form->TabSheetOperation; }
  QRect Place(const QWidget* Control) const { return Control->geometry(); }
  QLabel* MACLabel() const { return Page()->findChild<QLabel*>("LabeledEditSTAMACLabel"); }

  // A text that must show whole: as many pixels as when drawn alone, 1 pixel of either edge
  // allowed for where the rasteriser puts it.
  void ExpectWhole(QWidget* Control, const QString& Text, const QRect& Ink) {
    const TInk Free = FreeInk(Control, Text, Ratio);
    const std::string What =
        Control->objectName().toStdString() + " \"" + Text.toStdString() + "\"";
    ASSERT_FALSE(Ink.isEmpty()) << What << " not shown";
    EXPECT_NEAR(Ink.height(), Free.Box.height(), 1) << What;
    EXPECT_NEAR(Ink.width(), Free.Box.width(), 2) << What;
  }

  // A box's text: whole, and its line box as far from the top as from the bottom.
  void ExpectCentred(QWidget* Box, const QString& Text, const QRect& Ink) {
    ExpectWhole(Box, Text, Ink);
    const TInk Free = FreeInk(Box, Text, Ratio);
    const int LineTop = Ink.top() - (Free.Box.top() - Free.LineTop);
    const int Below = qRound(Box->height() * Ratio) - LineTop - Free.LineHeight;
    EXPECT_NEAR(LineTop, Below, 3) << Box->objectName().toStdString() << " \"" << Text.toStdString()
                                   << "\": line box " << LineTop << " from the top";
  }

  // The combo box shows Text as the user's or the program's text; without it, neither that nor
  // the placeholder shows.
  void ExpectBoxText(QComboBox* Box, const QString& Text) {
    Box->setEditText(Text);
    QCoreApplication::processEvents();
    QLineEdit* Edit = Box->lineEdit();
    const QString Placeholder = Edit->placeholderText();
    const QRect Ink = ShownInk(Box, [&](bool Shown) {
      const QSignalBlocker Quiet(Edit);
      Edit->setText(Shown ? Text : QString());
      Edit->setPlaceholderText(Shown ? Placeholder : QString());
    });
    ExpectCentred(Box, Text, Ink);
  }

  void ExpectEditText(QLineEdit* Edit, const QString& Text) {
    const QString Placeholder = Edit->placeholderText();
    const QRect Ink = ShownInk(Edit, [&](bool Shown) {
      Edit->setText(Shown ? Text : QString());
      Edit->setPlaceholderText(Shown ? Placeholder : QString());
    });
    ExpectCentred(Edit, Text, Ink);
  }

  template <class T>
  void ExpectCaption(T* Control) {
    const QString Caption = Control->text();
    const QRect Ink =
        ShownInk(Control, [&](bool Shown) { Control->setText(Shown ? Caption : QString()); });
    ExpectWhole(Control, Caption, Ink);
  }

  QTemporaryDir AppDir;
  std::unique_ptr<TFormMain> Form;
  qreal Ratio = 1;
};

TEST_F(TLayout, EveryControlHasTheWindowsFont) {
  const QFontInfo Window(Form->font());
  RecordProperty("Font", Window.family().toStdString());
  RecordProperty("FontPixels", Window.pixelSize());
  const QFontMetrics Metrics(Form->font());
  std::printf("window font %s, %d px, line height %d, text box of \"COM5\" %d high, scale %.2f\n",
              qPrintable(Window.family()), Window.pixelSize(), Metrics.height(),
              Metrics.boundingRect(QStringLiteral("COM5")).height(), Ratio);
  for (QWidget* Control : std::initializer_list<QWidget*>{
           Form->ComboBoxPath, Form->ComboBoxPath->lineEdit(), Form->SafeFlash, Form->PostRun,
           Form->LabelDevA, Form->ComboBoxSerialPortA, Form->ComboBoxSerialPortA->lineEdit(),
           Form->ButtonBurn, Form->LabeledEditSTAMAC, MACLabel()}) {
    const QFontInfo Info(Control->font());
    EXPECT_EQ(Info.family(), Window.family()) << Control->objectName().toStdString();
    EXPECT_EQ(Info.pixelSize(), Window.pixelSize()) << Control->objectName().toStdString();
  }
}

// The rows keep their design order and gaps, each control is as large as its font needs and as
// its design, and the stretching controls keep their design distance from the page's right edge.
TEST_F(TLayout, RowsKeepTheirGapsAndEveryControlTheSizeItsFontNeeds) {
  const int Right = Page()->width();
  EXPECT_EQ(Place(Form->ComboBoxPath), QRect(0, 0, Right, Place(Form->ComboBoxPath).height()));
  const int Options = Place(Form->ComboBoxPath).bottom() + 1 + 6;
  EXPECT_EQ(std::min(Place(Form->SafeFlash).top(), Place(Form->PostRun).top()), Options);
  const int OptionsEnd =
      std::max(Place(Form->SafeFlash).bottom(), Place(Form->PostRun).bottom()) + 1;
  EXPECT_EQ(Place(Form->ComboBoxSerialPortA).top(), OptionsEnd + 3);
  EXPECT_EQ(Place(Form->ButtonBurn).top(), Place(Form->ComboBoxSerialPortA).top());
  EXPECT_EQ(Place(Form->ProgressBarStatus).top(),
            Place(Form->ComboBoxSerialPortA).bottom() + 1 + 6);
  EXPECT_EQ(Place(Form->LabeledEditSTAMAC).top(), Place(Form->ProgressBarStatus).bottom() + 1 + 6);
  EXPECT_LE(Place(Form->LabeledEditSTAMAC).bottom(), Page()->height());

  struct TDesign {
    QWidget* Control;
    QSize Size;
  };
  for (const TDesign& Design :
       {TDesign{Form->ComboBoxPath, {0, 36}}, TDesign{Form->SafeFlash, {137, 24}},
        TDesign{Form->PostRun, {178, 25}}, TDesign{Form->ComboBoxSerialPortA, {162, 36}},
        TDesign{Form->ButtonBurn, {0, 36}}, TDesign{Form->LabeledEditSTAMAC, {186, 36}}}) {
    const QSize Size = Design.Control->size();
    const QSize Needs = Design.Control->sizeHint().expandedTo(Design.Size);
    EXPECT_GE(Size.height(), Needs.height()) << Design.Control->objectName().toStdString();
    EXPECT_GE(Size.width(), Needs.width()) << Design.Control->objectName().toStdString();
  }
  EXPECT_EQ(Place(Form->SafeFlash).left(), 3);
  EXPECT_GE(Place(Form->PostRun).left(), std::max(146, Place(Form->SafeFlash).right() + 7));
  EXPECT_GE(Place(Form->ComboBoxSerialPortA).left(),
            std::max(114, Place(Form->LabelDevA).right() + 7));
  EXPECT_EQ(Place(Form->ButtonBurn).left(), Place(Form->ComboBoxSerialPortA).right() + 7);
  EXPECT_EQ(Place(Form->ButtonBurn).right(), Right - 4);
  EXPECT_EQ(Place(Form->ProgressBarStatus),
            QRect(3, Place(Form->ProgressBarStatus).top(), Right - 6, 33));
  EXPECT_EQ(Place(Form->LabeledEditSTAMAC).right(), Right - 91);
  EXPECT_LE(Place(Form->LabeledEditSTAMAC).left(), 225);
  EXPECT_EQ(Place(MACLabel()).right() + 4, Place(Form->LabeledEditSTAMAC).left());
  EXPECT_GE(Place(MACLabel()).left(), 3);
  // The labels stand in the middle of their boxes' height, so on the line of the boxes' texts.
  for (const auto& [Label, Box] :
       {std::pair<QWidget*, QWidget*>{Form->LabelDevA, Form->ComboBoxSerialPortA},
        std::pair<QWidget*, QWidget*>{MACLabel(), Form->LabeledEditSTAMAC}})
    EXPECT_NEAR(Place(Label).center().y(), Place(Box).center().y(), 1)
        << Label->objectName().toStdString();
}

TEST_F(TLayout, EveryBoxShowsItsTextsWholeInTheMiddle) {
  for (const QString& Name : QStringList{"CORVEL", "UPYTHON"})
    ExpectBoxText(Form->ComboBoxPath, Name);
  for (const QString& Port : QStringList{"COM5", "COM256", "/dev/ttyUSB10", "/dev/ttyACM0"}) {
    ExpectBoxText(Form->ComboBoxSerialPortA, Port);
    EXPECT_LE(Place(Form->ButtonBurn).right(), Page()->width() - 4);
  }
  for (const QString& Text :
       QStringList{"Waiting MAC", "18:FE:34:12:34:56", "FF:FF:FF:FF:FF:FF", "88:88:88:88:88:88"})
    ExpectEditText(Form->LabeledEditSTAMAC, Text);
}

TEST_F(TLayout, EveryLabelAndButtonShowsItsCaptionWhole) {
  ExpectCaption(Form->SafeFlash);
  ExpectCaption(Form->PostRun);
  ExpectCaption(Form->LabelDevA);
  ExpectCaption(MACLabel());
  ExpectCaption(Form->ButtonBurn);
}

}  // namespace
