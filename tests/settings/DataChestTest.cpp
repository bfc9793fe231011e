#include "settings/DataChest.h"
#include "tests/settings/SettingsTestSupport.h"

#include <QLocale>

#include <cmath>
#include <cstdlib>

namespace {

class DataChestTest : public TChestTest {};

TEST_F(DataChestTest, GettersNeverCreateSettersOfAnotherTypeChangeTheTypeAndResetEmpties) {
  EXPECT_EQ(ChestGetInteger("x"), 0);
  EXPECT_EQ(ChestGetString("x"), QString());
  EXPECT_EQ(ChestCount(), 0);
  ChestSetInteger("x", 5);
  EXPECT_EQ(ChestGetString("x"), QString());
  EXPECT_EQ(ChestGetInteger("x"), 5);
  ChestSetString("x", "abc");
  EXPECT_EQ(ChestGetInteger("x"), 0);
  EXPECT_EQ(ChestGetString("x"), "abc");
  ChestSetReal("x", 2.5);
  EXPECT_EQ(Dump(), QStringList{"x|Real|2.5"});
  ChestSetBoolean("x", true);
  EXPECT_EQ(ChestGetString("x"), QString());
  ChestSetString("x", "");
  EXPECT_EQ(Dump(), QStringList{"x|String|"});
  ChestPublisherInfo = "someone";
  ChestReset();
  EXPECT_EQ(ChestCount() + ChestPublisherInfo.size(), 0);
}

// New names stay at the end until a lookup sorts the list; only a-z equal A-Z, and the
// first spelling of a name is kept.
TEST_F(DataChestTest, NamesSortLazilyByCodeAfterMappingOnlyAsciiLetters) {
  ChestSetInteger("b", 1);
  ChestSetInteger("Speed", 2);
  ChestSetInteger("a", 3);
  EXPECT_EQ(Dump(), (QStringList{"b|Integer|1", "Speed|Integer|2", "a|Integer|3"}));
  ChestSetInteger("SPEED", 4);
  for (const char* Name : {"AB", "a_b", "A.B", "\xC3\xA4", "\xC3\x84"})  // a and A umlaut
    ChestSetInteger(QString::fromUtf8(Name), 5);
  EXPECT_EQ(ChestGetInteger("speed"), 4);
  EXPECT_EQ(Dump(),
            (QStringList{"a|Integer|3", "A.B|Integer|5", "AB|Integer|5", "a_b|Integer|5",
                         "b|Integer|1", "Speed|Integer|4", QString::fromUtf8("\xC3\x84|Integer|5"),
                         QString::fromUtf8("\xC3\xA4|Integer|5")}));
}

TEST_F(DataChestTest, EveryNameIsFoundWhateverTheOrderOfInsertion) {
  const auto Key = [](int N) { return QString("Key%1").arg(N, 3, 10, QChar('0')); };
  for (int I = 0; I < 300; ++I) {
    ChestSetInteger(Key(I * 7919 % 300), I * 7919 % 300);  // a permutation of 0..299
    if (I % 13 == 0) ChestGetInteger("KEY000");            // sorts part of the way through
  }
  EXPECT_EQ(ChestCount(), 300);
  for (int N = 0; N < 300; ++N) EXPECT_EQ(ChestGetInteger(Key(N).toUpper()), N);
}

// The store after a text setter ran on a store holding V = "old", or the error it raised
// (which must leave V as it was).
QString SetOutcome(void (*Set)(const QString&, const QString&), const char* Text) {
  ChestReset();
  ChestSetString("V", "old");
  try {
    Set("v", Text);
  } catch (const EConvertError& Error) {
    return Dump() == QStringList{"V|String|old"} ? Error.what() : "changed V";
  }
  return Dump().join(';');
}

TEST_F(DataChestTest, TextSettersConvertOrRaiseAndLeaveTheVariableAsItWas) {
  EXPECT_EQ(SetOutcome(ChestSetIntegerText, "-7"), "V|Integer|-7");
  EXPECT_EQ(SetOutcome(ChestSetIntegerText, " +5\n"), "V|Integer|5");
  EXPECT_EQ(SetOutcome(ChestSetIntegerText, "2147483647"), "V|Integer|2147483647");
  for (const char* Bad : {"12a", "", "2147483648", "1.5", "0x10", "1e3"})
    EXPECT_EQ(SetOutcome(ChestSetIntegerText, Bad),
              QString("'%1' is not a valid integer value").arg(Bad));
  EXPECT_EQ(SetOutcome(ChestSetRealText, " -2.5E-7 "), "V|Real|-2.5E-7");
  for (const char* Bad : {"1,500", "1e400", "abc", ""})
    EXPECT_EQ(SetOutcome(ChestSetRealText, Bad),
              QString("'%1' is not a valid floating point value").arg(Bad));
  for (const char* Text : {"true", "True", "TRUE"})
    EXPECT_EQ(SetOutcome(ChestSetBooleanText, Text), "V|Boolean|True");
  EXPECT_EQ(SetOutcome(ChestSetBooleanText, "fAlSe"), "V|Boolean|False");
  for (const char* Text : {"yes", "1", "TRUE ", ""})
    EXPECT_EQ(SetOutcome(ChestSetBooleanText, Text), "V|String|old");
}

// Each text is the written form of the double it reads as: the fewest digits that read
// back, fixed from 0.00001 up to 15 digits before the point, else scientific. The point is
// written whatever the locale; the locale's separator is read as well.
TEST_F(DataChestTest, RealTextsAreTheFewestDigitsThatReadBackWithAPointInAnyLocale) {
  const QLocale Previous;
  QLocale::setDefault(QLocale(QLocale::German));
  for (const char* Text : {"0", "100", "-0.5", "0.1", "0.3333333333333333", "0.30000000000000004",
                           "0.00001", "1E-6", "-1.5E-7", "2.5E-300", "1E20", "123456789012345",
                           "1E15", "1.234567890123456E15", "INF", "-INF", "NAN"}) {
    const double Value = std::strtod(Text, nullptr);
    EXPECT_EQ(ChestRealToText(Value), Text);
    ChestSetRealText("r", Text);
    const double Read = std::get<double>(ChestElementAt(0).Value);
    EXPECT_TRUE(Read == Value || (std::isnan(Read) && std::isnan(Value))) << Text;
  }
  ChestSetRealText("r", "2,5");
  ChestSetRealText("s", "1.500");
  EXPECT_EQ(Dump(), (QStringList{"r|Real|2.5", "s|Real|1.5"}));
  QLocale::setDefault(Previous);
}

}  // namespace
