#include "settings/DataChestXml.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

namespace {

const QByteArray ExampleFile =
    "\xEF\xBB\xBF"
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<DataChest>\r\n"
    "  <Data name=\"CheckBoxLog.State\">\r\n"
    "    <Type>Boolean</Type>\r\n"
    "    <Value>True</Value>\r\n"
    "  </Data>\r\n"
    "  <Data name=\"ComboBoxMode.ItemIndex\">\r\n"
    "    <Type>Integer</Type>\r\n"
    "    <Value>4</Value>\r\n"
    "  </Data>\r\n"
    "  <Data name=\"EditTitle.Text\">\r\n"
    "    <Type>String</Type>\r\n"
    "    <Value>230400</Value>\r\n"
    "  </Data>\r\n"
    "  <Publisher>\r\n"
    "    <Info>corvel inc</Info>\r\n"
    "    <Version>1.0</Version>\r\n"
    "  </Publisher>\r\n"
    "</DataChest>\r\n";

class DataChestXmlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ChestReset();
    ASSERT_TRUE(FDir.isValid());
  }

  QString Path(const QString& Name) const { return FDir.filePath(Name); }

  void WriteFile(const QString& Name, const QByteArray& Bytes) const {
    QFile File(Path(Name));
    ASSERT_TRUE(File.open(QIODevice::WriteOnly));
    ASSERT_EQ(File.write(Bytes), Bytes.size());
  }

  QByteArray ReadFile(const QString& Name) const {
    QFile File(Path(Name));
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
  }

  // A DataChest file holding the given Data elements (and whatever else is passed).
  void LoadText(const QString& Body) {
    ChestFromXMLText("<?xml version=\"1.0\"?><DataChest>" + Body + "</DataChest>");
  }

  static QString Data(const QString& Name, const QString& Type, const QString& Value) {
    return QString("<Data name=\"%1\"><Type>%2</Type><Value>%3</Value></Data>")
        .arg(Name, Type, Value);
  }

  static void SetExampleStore() {
    ChestSetBoolean("CheckBoxLog.State", true);
    ChestSetInteger("ComboBoxMode.ItemIndex", 4);
    ChestSetString("EditTitle.Text", "230400");
  }

  // Every element as "name|type|value" in list order.
  static QStringList Dump() {
    QStringList Lines;
    for (int I = 0; I < ChestCount(); ++I) {
      const TChestElement& Element = ChestElementAt(I);
      QString Value = std::visit(
          [](const auto& V) -> QString {
            using T = std::decay_t<decltype(V)>;
            if constexpr (std::is_same_v<T, TChestString>)
              return V.Value;
            else if constexpr (std::is_same_v<T, double>)
              return ChestRealToText(V);
            else
              return QString::number(V);
          },
          Element.Value);
      Lines << QString("%1|%2|%3").arg(Element.Name).arg(Element.ChestType).arg(Value);
    }
    return Lines;
  }

  QTemporaryDir FDir;
};

TEST_F(DataChestXmlTest, TheExampleStoreGivesTheExampleFileByteForByte) {
  SetExampleStore();
  ChestSaveToFile(Path("Config.xml"));
  EXPECT_EQ(ReadFile("Config.xml"), ExampleFile);
  ChestSaveToFile(Path("Again.xml"));
  EXPECT_EQ(ReadFile("Again.xml"), ExampleFile);
}

TEST_F(DataChestXmlTest, AnEmptyStoreWritesOnlyThePublisher) {
  ChestSaveToFile(Path("Empty.xml"));
  EXPECT_EQ(ReadFile("Empty.xml"),
            "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DataChest>\r\n"
            "  <Publisher>\r\n    <Info>corvel inc</Info>\r\n    <Version>1.0</Version>\r\n"
            "  </Publisher>\r\n</DataChest>\r\n");
  ChestPublisherInfo = "Corvel Inc. https://corvel.example";
  EXPECT_TRUE(ChestToXMLText().contains("<Info>Corvel Inc. https://corvel.example</Info>"));
}

TEST_F(DataChestXmlTest, EveryTypeAndAwkwardTextSurvivesARoundTrip) {
  ChestSetString("Quote\"<&>'Name", "a < b && c > d \"q\" 'a'");
  ChestSetString("Lines", "one\ntwo\r\nthree\rfour\ttab");
  ChestSetString("Spaced", "  padded  ");
  ChestSetString(QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                                   "e"),
                 QString::fromUtf8("\xE2\x82\xAC \xF0\x9F\x98\x80"));
  ChestSetString("Empty", "");
  ChestSetString("Blank", " \t\n ");
  ChestSetString("NoBreakSpace", QString(QChar(0xA0)));
  ChestSetInteger("Min", -2147483647 - 1);
  ChestSetInteger("Max", 2147483647);
  ChestSetReal("Pi", 3.14159265358979);
  ChestSetReal("Tiny", -1.5e-7);
  ChestSetBoolean("Off", false);
  ChestGetInteger("sort");
  const QStringList Before = Dump();

  ChestSaveToFile(Path("Config.xml"));
  ChestReset();
  ChestLoadFromFile(Path("Config.xml"));
  EXPECT_EQ(Dump(), Before);
  EXPECT_EQ(ChestGetString("lines"), "one\ntwo\r\nthree\rfour\ttab");

  const QString Text = ChestToXMLText();
  EXPECT_TRUE(Text.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
  ChestReset();
  ChestFromXMLText(Text);
  EXPECT_EQ(Dump(), Before);
}

TEST_F(DataChestXmlTest, LoadingAddsToTheStoreAndReadsTypeWordsInAnyCase) {
  ChestSetString("Kept", "old");
  ChestSetInteger("replaced", 1);
  LoadText(Data("A", "integer", "1") + "<Other><Data name=\"Nested\"/></Other>" +
           Data("B", "INTEGER", "2") + "<Comment>ignored</Comment>" + Data("C", "Integer", "3") +
           Data("F", "Float", "1.5") + Data("E", "", "x") + "<Data name=\"NoType\"/>" +
           Data("Bool", "boolean", "yes") + Data("REPLACED", "String", "new") +
           "<Data><Type>String</Type><Value>nameless</Value></Data>" + Data("Dup", "Integer", "7") +
           Data("DUP", "Integer", "8") + Data("R", "real", "0.5"));
  EXPECT_EQ(Dump(), (QStringList{"|4|nameless", "A|1|1", "B|1|2", "C|1|3", "Dup|1|8", "Kept|4|old",
                                 "replaced|4|new", "R|2|0.5"}));
}

TEST_F(DataChestXmlTest, FilesWithoutByteOrderMarkOrWithLineFeedsLoadTheSame) {
  ChestLoadFromFile((WriteFile("Bom.xml", ExampleFile), Path("Bom.xml")));
  const QStringList Expected = Dump();
  ASSERT_EQ(Expected.size(), 3);
  const QByteArray Plain = ExampleFile.mid(3);
  QByteArray LineFeeds = ExampleFile;
  LineFeeds.replace("\r\n", "\n");
  for (const QByteArray& Bytes : {Plain, LineFeeds}) {
    ChestReset();
    WriteFile("Other.xml", Bytes);
    ChestLoadFromFile(Path("Other.xml"));
    EXPECT_EQ(Dump(), Expected);
  }
}

TEST_F(DataChestXmlTest, ABadValueStopsTheLoadAfterTheElementsBeforeIt) {
  const std::pair<QString, QString> Cases[] = {
      {Data("Bad", "Integer", "12a"), "'12a' is not a valid integer value"},
      {Data("Bad", "Integer", ""), "'' is not a valid integer value"},
      {Data("Bad", "Real", "1.5x"), "'1.5x' is not a valid floating point value"},
      {Data("Bad", "String", "a<b/>c"), "Element \"Value\" does not contain a single text node"}};
  for (const auto& [Bad, Message] : Cases) {
    ChestReset();
    try {
      LoadText(Data("First", "Integer", "1") + Bad + Data("Last", "Integer", "2"));
      ADD_FAILURE() << Message.toStdString();
    } catch (const std::runtime_error& Error) {
      EXPECT_EQ(QString::fromStdString(Error.what()), Message);
    }
    EXPECT_EQ(Dump(), QStringList{"First|1|1"});
  }
}

TEST_F(DataChestXmlTest, MalformedTextOrAWrongRootSetsNothing) {
  EXPECT_THROW(ChestFromXMLText("<DataChest>" + Data("A", "Integer", "1")), EXmlDocError);
  try {
    ChestFromXMLText("<Settings>" + Data("A", "Integer", "1") + "</Settings>");
    ADD_FAILURE();
  } catch (const EXmlDocError& Error) {
    EXPECT_STREQ(Error.what(), "The root element is \"Settings\", not \"DataChest\"");
  }
  WriteFile("Broken.xml", "\xEF\xBB\xBF<DataChest><Data name=\"A\">");
  try {
    ChestLoadFromFile(Path("Broken.xml"));
    ADD_FAILURE();
  } catch (const EXmlDocError& Error) {
    EXPECT_TRUE(QString(Error.what()).startsWith(Path("Broken.xml") + ": ")) << Error.what();
  }
  EXPECT_EQ(ChestCount(), 0);
  EXPECT_THROW(ChestLoadFromFile(Path("Missing.xml")), EChestFileError);
}

TEST_F(DataChestXmlTest, TheViewsCreateAbsentChildrenAndCountOnlyDataElements) {
  TXMLDataChestType Chest = ChestNewDocument();
  EXPECT_EQ(Chest.Document().toString(-1), "<?xml version=\"1.0\"?>\n<DataChest/>");
  TXMLDataType First = Chest.Data().Add();
  Chest.Element().appendChild(Chest.Document().createElement("Other"));
  Chest.Data().Add().SetValue("v");
  EXPECT_EQ(Chest.Publisher().Info(), QString());
  Chest.Publisher().SetVersion("1.0");
  EXPECT_EQ(First.Type(), QString());
  EXPECT_EQ(First.Name(), QString());

  TXMLDataChestType Bound = ChestBindDocument(Chest.Document());
  ASSERT_EQ(Bound.Data().Count(), 2);
  EXPECT_EQ(Bound.Data()[1].Value(), "v");
  EXPECT_EQ(Chest.Document().toString(-1),
            "<?xml version=\"1.0\"?>\n<DataChest><Data name=\"\"><Type/></Data><Other/>"
            "<Data><Value>v</Value></Data><Publisher><Info/><Version>1.0</Version></Publisher>"
            "</DataChest>");
}

TEST_F(DataChestXmlTest, TypeWordsMatchWithAsciiLettersInAnyCase) {
  EXPECT_EQ(ChestTypeFromWord("iNtEgEr"), ChestTypeInteger);
  EXPECT_EQ(ChestTypeFromWord("REAL"), ChestTypeReal);
  EXPECT_EQ(ChestTypeFromWord("boolean"), ChestTypeBoolean);
  EXPECT_EQ(ChestTypeFromWord("String"), ChestTypeString);
  for (const char* Word : {"", "Float", "Integer ", "Str"})
    EXPECT_EQ(ChestTypeFromWord(Word), ChestTypeNone) << Word;
}

TEST_F(DataChestXmlTest, RealsAreWrittenWithAPointAndReadWithEitherSeparator) {
  TLocaleGuard German(QLocale::German);
  ChestSetReal("Gain", 2.5);
  EXPECT_TRUE(ChestToXMLText().contains("<Value>2.5</Value>"));
  LoadText(Data("Old", "Real", "0,25"));
  EXPECT_EQ(Dump(), (QStringList{"Gain|2|2.5", "Old|2|0.25"}));
}

TEST_F(DataChestXmlTest, ARefusedSaveRaisesAndLeavesWhatWasThere) {
  ChestSetInteger("A", 1);
  WriteFile("Plain", "not a folder");
  ASSERT_TRUE(QDir(Path("")).mkdir("Folder"));
  for (const QString& Target :
       {Path("Folder"), Path("Missing/Config.xml"), Path("Plain/Config.xml")})
    EXPECT_THROW(ChestSaveToFile(Target), EChestFileError) << Target.toStdString();
  EXPECT_TRUE(QFileInfo(Path("Folder")).isDir());
  EXPECT_FALSE(QFileInfo::exists(Path("Missing")));
  EXPECT_EQ(ReadFile("Plain"), "not a folder");
}

// A folder that takes no new files refuses the save even where the old file itself could be
// written, and the old file stays. Root ignores permissions, so the save runs in a child
// process that gives up root first.
TEST_F(DataChestXmlTest, ASaveIntoAReadOnlyFolderLeavesThePreviousFile) {
  SetExampleStore();
  const QString Folder = Path("ReadOnly");
  const QString Target = Folder + "/Config.xml";
  ASSERT_TRUE(QDir().mkdir(Folder));
  ChestSaveToFile(Target);
  ChestSetInteger("Added", 1);
  const auto ReadAll = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
  const auto ExeAll = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
  const auto WriteAll = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
  ASSERT_TRUE(QFile::setPermissions(Target, ReadAll | WriteAll));
  ASSERT_TRUE(QFile::setPermissions(Folder, ReadAll | ExeAll));
  ASSERT_TRUE(QFile::setPermissions(FDir.path(), ReadAll | ExeAll | QFile::WriteOwner));
  const pid_t Child = fork();
  if (Child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(2);
    try {
      ChestSaveToFile(Target);
      _exit(1);
    } catch (const EChestFileError&) {
      _exit(0);
    }
  }
  int Status = -1;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "wait status " << Status;
  ASSERT_TRUE(QFile::setPermissions(Folder, ReadAll | ExeAll | QFile::WriteOwner));
  EXPECT_EQ(ReadFile("ReadOnly/Config.xml"), ExampleFile);
  EXPECT_EQ(QDir(Folder).entryList(QDir::Files | QDir::Hidden), QStringList{"Config.xml"});
}

// A save that fails while writing (here: the file size limit is hit) or that meets a
// character XML cannot carry leaves the previous file untouched and no stray files.
TEST_F(DataChestXmlTest, AnInterruptedSaveLeavesThePreviousFileIntact) {
  SetExampleStore();
  ChestSaveToFile(Path("Config.xml"));
  for (int I = 0; I < 200; ++I) ChestSetString(QString("Filler%1").arg(I), QString(100, 'x'));
  {
    rlimit Saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Saved), 0);
    rlimit Small = Saved;
    Small.rlim_cur = 4096;
    const auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
    EXPECT_THROW(ChestSaveToFile(Path("Config.xml")), EChestFileError);
    setrlimit(RLIMIT_FSIZE, &Saved);
    std::signal(SIGXFSZ, OldHandler);
  }
  for (const QString& Unkept : {QString("bell") + QChar(7), QString(" \v "), QString(" \r ")}) {
    ChestSetString("Unkept", Unkept);
    EXPECT_THROW(ChestSaveToFile(Path("Config.xml")), EXmlDocError);
  }
  EXPECT_EQ(ReadFile("Config.xml"), ExampleFile);
  EXPECT_EQ(QDir(Path("")).entryList(QDir::Files | QDir::Hidden), QStringList{"Config.xml"});
}

// An independent parser reads the same names, type words and values from a saved file.
TEST_F(DataChestXmlTest, PythonReadsTheSavedFileAlike) {
  const QString Text = QString::fromUtf8("a&b <c> \xC3\xBC\nline");
  ChestSetString("Text", Text);
  ChestSetString("Empty", "");
  ChestSetInteger("Count", -12);
  ChestSetReal("Big", 1e20);
  ChestSetString("Blank", "  ");
  ChestSetBoolean("On", true);
  ChestSaveToFile(Path("Config.xml"));

  int Argc = 1;
  char Name[] = "test";
  char* Argv[] = {Name, nullptr};
  QCoreApplication App(Argc, Argv);
  QProcess Python;
  Python.start("python3", {"-c",
                           "import sys, json, xml.etree.ElementTree as ET\n"
                           "root = ET.parse(sys.argv[1]).getroot()\n"
                           "print(json.dumps([[d.get('name'), d.findtext('Type'), "
                           "d.findtext('Value')] for d in root.findall('Data')]))\n",
                           Path("Config.xml")});
  ASSERT_TRUE(Python.waitForStarted(10000)) << "python3 is needed for this test";
  ASSERT_TRUE(Python.waitForFinished(30000));
  ASSERT_EQ(Python.exitCode(), 0) << Python.readAllStandardError().toStdString();
  const QJsonArray Read = QJsonDocument::fromJson(Python.readAllStandardOutput()).array();
  const QJsonArray Expected = {
      QJsonArray{"Big", "Real", "1E20"},
      QJsonArray{"Blank", "String", "  "},
      QJsonArray{"Count", "Integer", "-12"},
      QJsonArray{"Empty", "String", ""},
      QJsonArray{"Text", "String", Text},
      QJsonArray{"On", "Boolean", "True"}};  // appended last, so not yet sorted
  EXPECT_EQ(Read, Expected);
}

}  // namespace
