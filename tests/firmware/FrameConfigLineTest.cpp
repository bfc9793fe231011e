// The firmware selection line as a real widget on the offscreen platform, with the program's
// resources built in.

#include "firmware/UnitFrameConfigLine.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QGridLayout>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <ostream>

inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

namespace {

const QStringList OffsetItems = {"0x00000", "0x01000",  "0x10000",  "0x1FC000", "0x1FE000",
                                 "0x3C000", "0x3E000",  "0x3FC000", "0x3FE000", "0x40000",
                                 "0x7C000", "0x7E000",  "0x7FC000", "0x7FE000", "0xFC000",
                                 "0xFE000", "0xFFC000", "0xFFE000"};

QStringList ItemsOf(const QComboBox* Box) {
  QStringList Items;
  for (int I = 0; I < Box->count(); ++I) Items << Box->itemText(I);
  return Items;
}

QByteArray FileBytes(const QString& Path) {
  QFile File(Path);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

TEST(FrameConfigLineTest, ControlsAsDesigned) {
  TFrameConfigLine Line;
  EXPECT_EQ(Line.size(), QSize(375, 31));
  auto* Grid = Line.findChild<QGridLayout*>("GridPanelConfigLine");
  auto* Path = Line.findChild<QComboBox*>("ComboBoxPath");
  auto* Offset = Line.findChild<QComboBox*>("ComboBoxOffset");
  auto* Timer = Line.findChild<QTimer*>("TimerCheck");
  ASSERT_TRUE(Grid && Path && Offset && Timer);
  EXPECT_TRUE(Grid == Line.GridPanelConfigLine && Path == Line.ComboBoxPath &&
              Offset == Line.ComboBoxOffset && Timer == Line.TimerCheck);
  EXPECT_EQ(Line.layout(), Grid);

  EXPECT_TRUE(Path->isEditable());
  EXPECT_EQ(Path->lineEdit()->placeholderText(), "Choose firmware.");
  EXPECT_EQ(Path->count(), 0);
  EXPECT_EQ(Line.FilePath(), "");

  EXPECT_TRUE(Offset->isEditable());
  EXPECT_TRUE(Offset->isHidden());
  EXPECT_EQ(Offset->maximumWidth(), 0);
  EXPECT_EQ(Offset->lineEdit()->placeholderText(), "Offset");
  EXPECT_EQ(ItemsOf(Offset), OffsetItems);
  EXPECT_EQ(Line.Offset(), "");

  EXPECT_TRUE(Timer->isActive());
  EXPECT_EQ(Timer->interval(), 1000);

  Line.show();
  QCoreApplication::processEvents();
  EXPECT_EQ(Path->geometry(), Line.rect());  // the name box fills the line
}

TEST(FrameConfigLineTest, SettersPutTheTextInAndSelectAllOfIt) {
  TFrameConfigLine Line;
  Line.SetFilePath("UPYTHON");
  Line.SetOffset("0x10000");
  EXPECT_EQ(Line.FilePath(), "UPYTHON");
  EXPECT_EQ(Line.Offset(), "0x10000");
  EXPECT_EQ(Line.ComboBoxPath->lineEdit()->selectedText(), "UPYTHON");
  EXPECT_EQ(Line.ComboBoxOffset->lineEdit()->selectedText(), "0x10000");
  EXPECT_EQ(Line.ComboBoxOffset->currentIndex(), -1);  // a text, not a choice
}

// The settings are loaded before the image list is filled: filling it keeps the loaded name.
TEST(FrameConfigLineTest, FillingTheListKeepsTheNameAndBothListsMatch) {
  TFrameConfigLine Line;
  QComboBox MainWindowList;
  Line.SetFilePath("upython");
  EnumBuiltInImages([&](const QString& Name) {
    Line.ComboBoxPath->addItem(Name);
    MainWindowList.addItem(Name);
  });
  EXPECT_EQ(Line.FilePath(), "upython");
  EXPECT_EQ(Line.ComboBoxPath->currentIndex(), -1);
  EXPECT_EQ(ItemsOf(Line.ComboBoxPath), (QStringList{"CORVEL", "UPYTHON", "AB", "Q"}));
  EXPECT_EQ(ItemsOf(&MainWindowList), ItemsOf(Line.ComboBoxPath));
}

TEST(FrameConfigLineTest, ImagesComeOnlyFromMarkedBinResourcesIgnoringCase) {
  const QByteArray Upython = FileBytes(UPYTHON_IMAGE_FILE);
  ASSERT_EQ(Upython.size(), 598432);
  ASSERT_EQ(quint8(Upython[0]), 0xE9);
  const struct {
    const char* FilePath;
    bool Valid;
  } Cases[] = {{"UPYTHON", true},
               {"upython", true},
               {"Corvel", true},
               {"", false},
               {"C:\\fw\\image.bin", false},
               {"AB", false},
               {"WAIT", false},
               {"_X_CORVEL", false},
               {"UPYTHON ", false},
               {"../BIN/_X_UPYTHON", false}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.FilePath);
    TFrameConfigLine Line;
    Line.SetFilePath(Case.FilePath);
    EXPECT_EQ(Line.IsFilePathValid(), Case.Valid);
    EXPECT_EQ(IsFilePathValid(Case.FilePath), Case.Valid);
    QByteArray Stream("old contents");
    EXPECT_EQ(Line.GetMemoryStream(&Stream), Case.Valid);
    if (!Case.Valid) {
      EXPECT_EQ(Stream, "old contents");
    }
    EXPECT_FALSE(Line.GetMemoryStream(nullptr));
  }
  TFrameConfigLine Line;
  Line.SetFilePath("upython");
  QByteArray Stream("old contents");
  ASSERT_TRUE(Line.GetMemoryStream(&Stream));
  EXPECT_TRUE(Stream == Upython);  // every byte, the old contents replaced

  ASSERT_TRUE(GetMemoryStream("CORVEL", &Stream));
  EXPECT_EQ(Stream.size(), 480096);
  EXPECT_EQ(Stream.left(4), QByteArray::fromHex("E9010040"));
  ASSERT_TRUE(GetMemoryStream("UPYTHON", &Stream));
  EXPECT_EQ(Stream.left(4), QByteArray::fromHex("E9030000"));
}

TEST(FrameConfigLineTest, BaseAddressOnlyFromAHexNumberOfAtMost32Bits) {
  const struct {
    const char* Offset;
    bool Valid;
    quint32 Address;
  } Cases[] = {
      {"0x10000", true, 0x10000},
      {"10000h", true, 0x10000},
      {"0x1FC000", true, 0x1FC000},
      {"3fc000h", true, 0x3FC000},
      {"0x3FC000", true, 0x3FC000},
      {"3FC000", true, 0x3FC000},
      {"3FC000H", true, 0x3FC000},
      {"0x00000", true, 0},
      {"0xFFFFFFFF", true, 0xFFFFFFFF},
      {"0x000000000010000", true, 0x10000},  // leading zeros are no significant digits
      {"0x0x1000", true, 0x1000},            // every "0x" goes
      {"", false, 0},
      {"zz", false, 0},
      {"0X1000", false, 0},
      {"0x", false, 0},
      {"h", false, 0},
      {"0x100000000", false, 0},
      {"10000000000000000", false, 0},  // would wrap to 0 in 64 bits
      {"10HH", false, 0},
      {" 0x1000", false, 0},
      {"0x1000-", false, 0},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Offset);
    quint32 Address = 0xDEADBEEF;
    EXPECT_EQ(GetBaseAddress(Case.Offset, Address), Case.Valid);
    EXPECT_EQ(Address, Case.Valid ? Case.Address : 0xDEADBEEF);

    TFrameConfigLine Line;
    Line.SetOffset(Case.Offset);
    quint32 LineAddress = 0xDEADBEEF;
    EXPECT_EQ(Line.GetBaseAddress(LineAddress), Case.Valid);
    EXPECT_EQ(LineAddress, Address);
  }
}

TEST(FrameConfigLineTest, HexTextToInt64WrapsDropsOneHAndGivesZeroForOtherText) {
  const struct {
    const char* Text;
    qint64 Value;
  } Cases[] = {
      {"", 0},
      {"0", 0},
      {"ff", 255},
      {"10000h", 0x10000},
      {"10000H", 0x10000},
      {"3fC000", 0x3FC000},
      {"7FFFFFFFFFFFFFFF", 0x7FFFFFFFFFFFFFFF},
      {"FFFFFFFFFFFFFFFF", -1},
      {"10000000000000000", 0},  // the leading 1 is shifted out
      {"123456789ABCDEF01", 0x23456789ABCDEF01},
      {"h", 0},
      {"1HH", 0},
      {"0x10", 0},
      {"12G4", 0},
      {"zz", 0},
      {" 1", 0},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Text);
    EXPECT_EQ(HexTextToInt64(Case.Text), Case.Value);
  }
}

TEST(FrameConfigLineTest, OffsetKeyFilterMapsAndRefusesCharacters) {
  TFrameConfigLine Line;
  const struct {
    char16_t Typed;
    char16_t Passed;  // 0: refused
  } Cases[] = {
      {u'\b', u'\b'}, {0x7F, 0x7F}, {0x16, 0x16},  // Backspace, Delete, Ctrl+V
      {u'0', u'0'},   {u'9', u'9'}, {u'A', u'A'}, {u'F', u'F'}, {u'a', u'A'},
      {u'f', u'F'},   {u'X', u'x'}, {u'x', u'x'}, {u'h', u'h'}, {u'H', u'H'},
      {u'g', 0},      {u'G', 0},    {u'z', 0},    {u' ', 0},    {u'-', 0},
      {u'.', 0},      {0xE9, 0},    {0xFF21, 0},  // e acute, fullwidth A
  };
  for (const auto& Case : Cases) {
    QChar Key(Case.Typed);
    Line.ComboBoxOffsetKeyPress(Line.ComboBoxOffset, Key);
    EXPECT_EQ(Key.unicode(), Case.Passed) << "typed U+" << std::hex << int(Case.Typed);
  }
}

TEST(FrameConfigLineTest, TypedOffsetCharactersArriveMapped) {
  TFrameConfigLine Line;
  QLineEdit* Edit = Line.ComboBoxOffset->lineEdit();
  QTest::keyClicks(Edit, "a0xXfz9h,G");
  EXPECT_EQ(Line.Offset(), "A0xxF9h");
  QTest::keyClick(Edit, Qt::Key_Backspace);
  EXPECT_EQ(Line.Offset(), "A0xxF9");
  QTest::keyClick(Edit, Qt::Key_Home);
  QTest::keyClick(Edit, Qt::Key_Delete);
  EXPECT_EQ(Line.Offset(), "0xxF9");
  QTest::keyClick(Edit, Qt::Key_End);
  QTest::keyClicks(Edit, "c");
  EXPECT_EQ(Line.Offset(), "0xxF9C");
}

class MarkingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QFile Style(":/STYLE/CARBON");
    ASSERT_TRUE(Style.open(QIODevice::ReadOnly));
    qApp->setStyleSheet(QString::fromUtf8(Style.readAll()));
    Line.show();
    QCoreApplication::processEvents();
  }
  void TearDown() override { qApp->setStyleSheet(QString()); }

  // The colours of the name box's client area left of the text and right of it.
  QList<QColor> ClientArea() {
    const QImage Image = Line.ComboBoxPath->grab().toImage();
    const int Middle = Image.height() / 2;
    return {Image.pixelColor(4, Middle), Image.pixelColor(Image.width() - 30, Middle)};
  }

  TFrameConfigLine Line;
};

const QColor Red(255, 0, 0);

TEST_F(MarkingTest, NameOfNoBuiltInImageShowsARedClientArea) {
  const QList<QColor> Normal = ClientArea();
  EXPECT_FALSE(Normal.contains(Red));
  const QList<QColor> Marked = {Red, Red};
  const struct {
    const char* FilePath;
    bool Marked;
  } Cases[] = {{"C:\\fw\\image.bin", true}, {"", false},       {"UPYTHON", false},
               {"nothing", true},           {"corvel", false}, {"AB", true}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.FilePath);
    Line.SetFilePath(Case.FilePath);
    Line.TimerCheckTimer();
    EXPECT_EQ(ClientArea(), Case.Marked ? Marked : Normal);
  }
}

TEST_F(MarkingTest, TheCheckTimerMarksTheNameOnItsOwn) {
  Line.SetFilePath("C:\\fw\\image.bin");
  EXPECT_TRUE(QTest::qWaitFor([&] { return ClientArea() == QList<QColor>{Red, Red}; }, 3000));
  Line.SetFilePath("CORVEL");
  EXPECT_TRUE(QTest::qWaitFor([&] { return !ClientArea().contains(Red); }, 3000));
}

TEST(FrameConfigLineTest, ChangedOnlyForTheUsersTypingAndChoices) {
  TFrameConfigLine Line;
  QSignalSpy Spy(&Line, &TFrameConfigLine::Changed);
  Line.SetFilePath("UPYTHON");
  Line.SetOffset("0x10000");
  EnumBuiltInImages([&](const QString& Name) { Line.ComboBoxPath->addItem(Name); });
  Line.ComboBoxPath->setCurrentIndex(1);
  Line.ComboBoxOffset->setCurrentIndex(2);
  Line.ComboBoxPath->setEditText("x");
  Line.TimerCheckTimer();
  EXPECT_EQ(Spy.count(), 0);

  Line.show();
  QTest::keyClicks(Line.ComboBoxPath->lineEdit(), "ab");
  EXPECT_EQ(Spy.count(), 2);
  EXPECT_EQ(Line.FilePath(), "xab");

  Line.ComboBoxPath->setCurrentIndex(0);
  QTest::keyClick(Line.ComboBoxPath, Qt::Key_Down);  // the next image
  EXPECT_EQ(Spy.count(), 3);
  EXPECT_EQ(Line.FilePath(), "UPYTHON");

  Line.ComboBoxPath->showPopup();
  QAbstractItemView* View = Line.ComboBoxPath->view();
  const QRect Item = View->visualRect(View->model()->index(0, 0));
  QTest::mouseClick(View->viewport(), Qt::LeftButton, {}, Item.center());
  EXPECT_EQ(Spy.count(), 4);
  EXPECT_EQ(Line.FilePath(), "CORVEL");

  QTest::keyClicks(Line.ComboBoxOffset->lineEdit(), "z1a");  // z is refused
  EXPECT_EQ(Spy.count(), 6);
}

}  // namespace
