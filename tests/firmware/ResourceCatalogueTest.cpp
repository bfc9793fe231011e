// The resource catalogue over the program's resources and those of CatalogueTest.qrc.

#include "firmware/ResourceCatalogue.h"
#include "firmware/FirmwareImage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

namespace {

// Text identifiers as they are, numbers as "#N".
QStringList Spelled(const QList<TResourceId>& Ids) {
  QStringList Out;
  for (const TResourceId& Id : Ids)
    Out << (Id.IsNumber() ? QString("#%1").arg(Id.Number) : Id.Text);
  return Out;
}

TEST(ResourceCatalogueTest, WalksUpperCaseEntriesTextsThenNumbersEachAscending) {
  EXPECT_EQ(Spelled(ResourceCatalogue::Types()),
            (QStringList{"BIN", "RCDATA", "STYLE", "TEST", "#7"}));
  EXPECT_EQ(Spelled(ResourceCatalogue::Names({"BIN"})),
            (QStringList{"WAIT", "XGIF", "_X_CORVEL", "_X_UPYTHON", "#20", "#101"}));
  EXPECT_EQ(Spelled(ResourceCatalogue::Names({"bin"})), Spelled(ResourceCatalogue::Names({"BIN"})));
  EXPECT_EQ(Spelled(ResourceCatalogue::Names({"TEST"})), QStringList{"A_X_B"});
  EXPECT_EQ(Spelled(ResourceCatalogue::Names({QString(), 7})), QStringList{"Q_X_"});
  EXPECT_EQ(Spelled(ResourceCatalogue::Names({"NOSUCHTYPE"})), QStringList{});
}

TEST(ResourceCatalogueTest, LooksUpIgnoringCaseAndOnlyAmongItsEntries) {
  const struct {
    const char* Type;
    const char* Name;
    const char* Path;
  } Cases[] = {
      {"BIN", "_X_UPYTHON", ":/BIN/_X_UPYTHON"},
      {"bin", "_x_upython", ":/BIN/_X_UPYTHON"},
      {"RcData", "yes", ":/RCDATA/YES"},
      {"style", "Carbon", ":/STYLE/CARBON"},
      {"Bin", "101", ":/BIN/101"},
      {"7", "q_x_", ":/7/Q_X_"},
      {"BIN", "NOSUCHNAME", ""},
      {"BIN", "", ""},
      {"", "YES", ""},
      {"RCDATA", "YES/", ""},
      {"BIN", "../RCDATA/YES", ""},
      {"BIN/..", "YES", ""},
      {"TEST", "_x_lower", ""},  // stored in lower case: no entry of the catalogue
      {"lower", "_X_HIDDEN", ""},
      {"BIN", "WAIT/.", ""},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Type) + " " + Case.Name);
    EXPECT_EQ(ResourceCatalogue::Path(Case.Type, Case.Name), QString(Case.Path));
    EXPECT_EQ(ResourceCatalogue::Load(Case.Type, Case.Name).has_value(), *Case.Path != 0);
  }
}

TEST(ResourceCatalogueTest, LoadGivesTheResourceBytes) {
  QFile File(":/TEST/A_X_B");
  ASSERT_TRUE(File.open(QIODevice::ReadOnly));
  EXPECT_EQ(ResourceCatalogue::Load("test", "a_x_b"), File.readAll());
  EXPECT_EQ(ResourceCatalogue::Load("TEST", "A_X_B"), QByteArray("A resource listed as AB.\n"));
}

TEST(ResourceCatalogueTest, BuiltInImagesAreMarkedTextNamesOfAnyTypeInWalkOrder) {
  QStringList Listed;
  EnumBuiltInImages([&](const QString& Name) { Listed << Name; });
  EXPECT_EQ(Listed, (QStringList{"CORVEL", "UPYTHON", "AB", "Q"}));
}

}  // namespace
