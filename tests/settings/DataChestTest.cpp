#include "settings/DataChest.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <cmath>
#include <limits>

namespace {

class DataChestTest : public ::testing::Test {
 protected:
  void SetUp() override { ChestReset(); }

  static QStringList Names() {
    QStringList Result;
    for (int I = 0; I < ChestCount(); ++I) Result << ChestElementAt(I).Name;
    return Result;
  }
};

TEST_F(DataChestTest, GettersNeverCreateAndGiveZeroOrEmptyForOtherTypes) {
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
  EXPECT_EQ(ChestElementAt(0).ChestType, ChestTypeReal);
  EXPECT_EQ(std::get<double>(ChestElementAt(0).Value), 2.5);
  ChestSetBoolean("x", true);
  EXPECT_EQ(ChestElementAt(0).ChestType, ChestTypeBoolean);
  EXPECT_EQ(ChestGetString("x"), QString());
  ChestSetString("x", "");
  EXPECT_EQ(ChestElementAt(0).ChestType, ChestTypeString);
  EXPECT_EQ(ChestCount(), 1);
}

TEST_F(DataChestTest, NamesDifferingInAsciiCaseAreOneVariableWithTheFirstSpelling) {
  ChestSetInteger("Speed", 1);
  ChestSetInteger("SPEED", 2);
  EXPECT_EQ(Names(), QStringList{"Speed"});
  EXPECT_EQ(ChestGetInteger("speed"), 2);
  // Only a-z are mapped: other letters keep their case.
  ChestSetInteger(QString::fromUtf8("\xC3\xA4"), 3);  // a umlaut
  ChestSetInteger(QString::fromUtf8("\xC3\x84"), 4);  // A umlaut
  EXPECT_EQ(ChestCount(), 3);
}

TEST_F(DataChestTest, AppendedElementsStayAtTheEndUntilTheNextLookup) {
  ChestSetInteger("b", 1);
  ChestSetInteger("a", 2);
  EXPECT_EQ(Names(), (QStringList{"b", "a"}));
  ChestSetInteger("c", 3);  // sorts first, then appends
  EXPECT_EQ(Names(), (QStringList{"a", "b", "c"}));
  ChestSetInteger("AB", 4);
  ChestSetInteger("a_b", 5);
  ChestSetInteger("A.B", 6);
  EXPECT_EQ(Names(), (QStringList{"a", "AB", "a_b", "b", "c", "A.B"}));
  EXPECT_EQ(ChestGetInteger("missing"), 0);
  EXPECT_EQ(Names(), (QStringList{"a", "A.B", "AB", "a_b", "b", "c"}));
}

TEST_F(DataChestTest, EveryNameIsFoundWhateverTheOrderOfInsertion) {
  for (int I = 0; I < 300; ++I) {
    const int Key = (I * 7919) % 300;  // a permutation of 0..299
    ChestSetInteger(QString("Key%1").arg(Key, 3, 10, QChar('0')), Key);
    if (I % 13 == 0) ChestGetInteger("KEY000");  // sorts part of the way through
  }
  ASSERT_EQ(ChestCount(), 300);
  for (int Key = 0; Key < 300; ++Key)
    EXPECT_EQ(ChestGetInteger(QString("KEY%1").arg(Key, 3, 10, QChar('0'))), Key);
  for (int I = 1; I < ChestCount(); ++I)
    EXPECT_LT(ChestCompareNames(ChestElementAt(I - 1).Name, ChestElementAt(I).Name), 0);
}

TEST_F(DataChestTest, BooleanTextAcceptsTrueAndFalseInAnyCaseAndIgnoresOtherText) {
  for (const char* Text : {"true", "True", "TRUE"}) {
    ChestReset();
    ChestSetBooleanText("b", Text);
    ASSERT_EQ(ChestCount(), 1) << Text;
    EXPECT_TRUE(std::get<bool>(ChestElementAt(0).Value));
  }
  ChestSetBooleanText("b", "fAlSe");
  EXPECT_FALSE(std::get<bool>(ChestElementAt(0).Value));
  for (const char* Text : {"yes", "1", "", "TRUE "}) ChestSetBooleanText("other", Text);
  EXPECT_EQ(ChestCount(), 1);
}

TEST_F(DataChestTest, IntegerTextConvertsOrRaisesAndLeavesTheVariableAsItWas) {
  ChestSetIntegerText("n", "-7");
  EXPECT_EQ(ChestGetInteger("n"), -7);
  ChestSetIntegerText("n", "2147483647");
  EXPECT_EQ(ChestGetInteger("n"), 2147483647);
  for (const char* Bad : {"12a", "", "2147483648", "1.5"}) {
    try {
      ChestSetIntegerText("n", Bad);
      ADD_FAILURE() << "no error for " << Bad;
    } catch (const EConvertError& Error) {
      EXPECT_EQ(std::string(Error.what()),
                "'" + std::string(Bad) + "' is not a valid integer value");
    }
    EXPECT_EQ(ChestGetInteger("n"), 2147483647);
  }
  ChestSetString("s", "text");
  EXPECT_THROW(ChestSetIntegerText("s", "x"), EConvertError);
  EXPECT_EQ(ChestGetString("s"), "text");
  EXPECT_THROW(ChestSetIntegerText("absent", "x"), EConvertError);
  EXPECT_EQ(ChestCount(), 2);
}

TEST_F(DataChestTest, RealTextReadsThePointAndTheLocaleSeparatorButNoGrouping) {
  ChestSetRealText("r", "-1.5E-7");
  EXPECT_EQ(std::get<double>(ChestElementAt(0).Value), -1.5e-7);
  EXPECT_THROW(ChestSetRealText("r", "1,500"), EConvertError);
  try {
    ChestSetRealText("r", "abc");
    ADD_FAILURE();
  } catch (const EConvertError& Error) {
    EXPECT_STREQ(Error.what(), "'abc' is not a valid floating point value");
  }
  EXPECT_EQ(std::get<double>(ChestElementAt(0).Value), -1.5e-7);

  TLocaleGuard German(QLocale::German);
  ChestSetRealText("r", "2,5");
  EXPECT_EQ(std::get<double>(ChestElementAt(0).Value), 2.5);
  ChestSetRealText("r", "1.500");
  EXPECT_EQ(std::get<double>(ChestElementAt(0).Value), 1.5);
}

TEST_F(DataChestTest, RealTextHasTheFewestDigitsThatReadBackAndScientificFormOutsideTheFixedRange) {
  TLocaleGuard German(QLocale::German);  // the separator is '.' whatever the locale
  const std::pair<double, const char*> Cases[] = {{0, "0"},
                                                  {100, "100"},
                                                  {-2.5, "-2.5"},
                                                  {0.1, "0.1"},
                                                  {1.0 / 3, "0.3333333333333333"},
                                                  {0.00001, "0.00001"},
                                                  {1e-6, "1E-6"},
                                                  {-1.5e-7, "-1.5E-7"},
                                                  {1e20, "1E20"},
                                                  {123456789012345, "123456789012345"},
                                                  {1e15, "1E15"},
                                                  {1234567890123456, "1.234567890123456E15"},
                                                  {0.1 + 0.2, "0.30000000000000004"},
                                                  {1.0 + 1e-15, "1.000000000000001"},
                                                  {-0.5, "-0.5"},
                                                  {2.5e-300, "2.5E-300"},
                                                  {std::numeric_limits<double>::infinity(), "INF"},
                                                  {std::nan(""), "NAN"}};
  for (const auto& [Value, Text] : Cases) {
    EXPECT_EQ(ChestRealToText(Value), Text);
    ChestSetRealText("r", Text);  // reads back the very same value
    const double Read = std::get<double>(ChestElementAt(0).Value);
    EXPECT_TRUE(Read == Value || (std::isnan(Read) && std::isnan(Value))) << Text;
  }
}

TEST_F(DataChestTest, ResetAndReleaseEmptyTheStore) {
  ChestSetString("a", "x");
  ChestPublisherInfo = "someone";
  ChestRelease();
  EXPECT_EQ(ChestCount(), 0);
  EXPECT_EQ(ChestGetString("a"), QString());
  ChestSetInteger("b", 1);
  ChestReset();
  EXPECT_EQ(ChestCount(), 0);
  EXPECT_TRUE(ChestPublisherInfo.isEmpty());
}

}  // namespace
