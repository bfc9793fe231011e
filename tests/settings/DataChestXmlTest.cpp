#include "settings/DataChestXml.h"
#include "tests/settings/SettingsTestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

namespace {

const QByteArray ExampleFile =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DataChest>\r\n"
    "  <Data name=\"CheckBoxLog.State\">\r\n"
    "    <Type>Boolean</Type>\r\n    <Value>True</Value>\r\n  </Data>\r\n"
    "  <Data name=\"ComboBoxMode.ItemIndex\">\r\n"
    "    <Type>Integer</Type>\r\n    <Value>4</Value>\r\n  </Data>\r\n"
    "  <Data name=\"EditTitle.Text\">\r\n"
    "    <Type>String</Type>\r\n    <Value>230400</Value>\r\n  </Data>\r\n"
    "  <Publisher>\r\n    <Info>corvel inc</Info>\r\n    <Version>1.0</Version>\r\n"
    "  </Publisher>\r\n</DataChest>\r\n";

class DataChestXmlTest : public TChestTest {
 protected:
  QString Path(const QString& Name) const { return FDir.filePath(Name); }

  void WriteFile(const QString& Name, const QByteArray& Bytes) const {
    QFile File(Path(Name));
    ASSERT_TRUE(File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size());
  }

  QByteArray ReadFile(const QString& Name) const {
    QFile File(Path(Name));
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
  }

  // What Python's own XML parser reads from a file, as "name|type word|value" lines.
  QStringList ReadByPython(const QString& Name) const {
    QProcess Python;
    Python.start("python3", {"-c",
                             "import sys, json, xml.etree.ElementTree as ET\n"
                             "print(json.dumps(['|'.join([d.get('name'), d.findtext('Type'), "
                             "d.findtext('Value')]) for d in "
                             "ET.parse(sys.argv[1]).getroot().findall('Data')]))\n",
                             Path(Name)});
    if (!Python.waitForFinished(30000) || Python.exitCode() != 0)
      ADD_FAILURE() << "python3: " << Python.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(Python.readAllStandardOutput()).toVariant().toStringList();
  }

  static void LoadText(const QString& Body) {
    ChestFromXMLText("<DataChest>" + Body + "</DataChest>");
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

  QTemporaryDir FDir;
};

TEST_F(DataChestXmlTest, SavesGiveExactlyTheBytesOfTheExampleAndOfAnEmptyStore) {
  ChestSaveToFile(Path("Empty.xml"));
  EXPECT_EQ(ReadFile("Empty.xml"),
            "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DataChest>\r\n"
            "  <Publisher>\r\n    <Info>corvel inc</Info>\r\n    <Version>1.0</Version>\r\n"
            "  </Publisher>\r\n</DataChest>\r\n");
  SetExampleStore();
  for (const char* Name : {"Config.xml", "Again.xml"}) {
    ChestSaveToFile(Path(Name));
    EXPECT_EQ(ReadFile(Name), ExampleFile);
  }
  ChestPublisherInfo = "Corvel Inc. https://corvel.example";
  EXPECT_TRUE(ChestToXMLText().contains("<Info>Corvel Inc. https://corvel.example</Info>"));
}

// Python's parser, the file loader and the text loader all read back what was saved.
TEST_F(DataChestXmlTest, EveryTypeAndAwkwardTextReadsBackAlikeHereAndInPython) {
  for (const char* Text :
       {"a < b && c > d \"q\" 'a' ]]>", "one\ntwo\r\nthree\rfour\ttab", "  padded  ",
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC \xF0\x9F\x98\x80",
        "", " \t\n ", "\xC2\xA0"})
    ChestSetString(QString::fromUtf8(Text), QString::fromUtf8(Text));
  ChestSetString("Tab\tLine\nReturn\r", "x");
  ChestSetInteger("Min", -2147483647 - 1);
  ChestSetInteger("Max", 2147483647);
  ChestSetReal("Big", 1e20);
  ChestSetBoolean("Off", false);
  ChestGetInteger("sort");
  ChestSetBoolean("On", true);  // appended, so saved last
  const QStringList Saved = Dump();

  ChestSaveToFile(Path("Config.xml"));
  EXPECT_EQ(ReadByPython("Config.xml"), Saved);
  ChestReset();
  ChestLoadFromFile(Path("Config.xml"));
  EXPECT_EQ(Dump(), Saved);
  const QString Text = ChestToXMLText();
  ChestReset();
  ChestFromXMLText(Text);
  EXPECT_EQ(Dump(), Saved);
}

TEST_F(DataChestXmlTest, LoadingAddsToTheStoreAndReadsTypeWordsInAnyCase) {
  ChestSetString("Kept", "old");
  ChestSetInteger("replaced", 1);
  LoadText(Data("A", "integer", "1") + "<Other><Data name=\"Nested\"/></Other>" +
           Data("B", "INTEGER", "2") + "<Comment>ignored</Comment>" + Data("C", "Integer", "3") +
           Data("F", "Float", "a<b/>c") + Data("E", "", "x") + "<Data name=\"NoType\"/>" +
           Data("Bool", "boolean", "yes") + Data("REPLACED", "String", "new") +
           "<Data><Type>String</Type><Value>nameless</Value></Data>" + Data("Dup", "Integer", "7") +
           Data("DUP", "Integer", "8") + Data("R", "real", "0.5"));
  EXPECT_EQ(Dump(),
            (QStringList{"|String|nameless", "A|Integer|1", "B|Integer|2", "C|Integer|3",
                         "Dup|Integer|8", "Kept|String|old", "replaced|String|new", "R|Real|0.5"}));
}

TEST_F(DataChestXmlTest, FilesWithoutByteOrderMarkOrWithLineFeedsLoadTheSame) {
  QByteArray LineFeeds = ExampleFile;
  LineFeeds.replace("\r\n", "\n");
  for (const QByteArray& Bytes : {ExampleFile, ExampleFile.mid(3), LineFeeds}) {
    ChestReset();
    WriteFile("Config.xml", Bytes);
    ChestLoadFromFile(Path("Config.xml"));
    EXPECT_EQ(Dump(),
              (QStringList{"CheckBoxLog.State|Boolean|True", "ComboBoxMode.ItemIndex|Integer|4",
                           "EditTitle.Text|String|230400"}));
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
    EXPECT_EQ(ErrorOf<std::runtime_error>([&] {
                LoadText(Data("First", "Integer", "1") + Bad + Data("Last", "Integer", "2"));
              }),
              Message);
    EXPECT_EQ(Dump(), QStringList{"First|Integer|1"});
  }
}

TEST_F(DataChestXmlTest, MalformedTextOrAWrongRootSetsNothing) {
  const QString A = Data("A", "Integer", "1");
  EXPECT_NE(ErrorOf<EXmlDocError>([&] { ChestFromXMLText("<DataChest>" + A); }), QString());
  EXPECT_EQ(ErrorOf<EXmlDocError>([&] { ChestFromXMLText("<Settings>" + A + "</Settings>"); }),
            "The root element is \"Settings\", not \"DataChest\"");
  WriteFile("Broken.xml", "\xEF\xBB\xBF<DataChest><Data name=\"A\">");
  EXPECT_TRUE(ErrorOf<EXmlDocError>([&] {
                ChestLoadFromFile(Path("Broken.xml"));
              }).startsWith(Path("Broken.xml") + ": "));
  EXPECT_EQ(ChestCount(), 0);
  EXPECT_THROW(ChestLoadFromFile(Path("Missing.xml")), EChestFileError);
}

TEST_F(DataChestXmlTest, TheViewsCreateAbsentChildrenAndCountOnlyDataElements) {
  TXMLDataChestType Chest = ChestNewDocument();
  TXMLDataType First = Chest.Data().Add();
  Chest.Element().appendChild(Chest.Document().createElement("Other"));
  Chest.Data().Add().SetValue("v");
  EXPECT_EQ(Chest.Publisher().Info(), QString());
  Chest.Publisher().SetVersion("1.0");
  EXPECT_EQ(First.Type() + First.Name(), QString());

  TXMLDataChestType Bound = ChestBindDocument(Chest.Document());
  ASSERT_EQ(Bound.Data().Count(), 2);
  EXPECT_EQ(Bound.Data()[1].Value(), "v");
  EXPECT_EQ(Chest.Document().toString(-1),
            "<?xml version=\"1.0\"?>\n<DataChest><Data name=\"\"><Type/></Data><Other/>"
            "<Data><Value>v</Value></Data><Publisher><Info/><Version>1.0</Version></Publisher>"
            "</DataChest>");
}

// Saves into a read-only folder (where the old file itself could be written), onto a folder,
// into a missing folder and below a plain file, made by a process without root rights (root
// ignores permissions): each is refused and leaves what was there, with no stray file.
TEST_F(DataChestXmlTest, RefusedSavesRaiseAndLeaveWhatWasThere) {
  SetExampleStore();
  ASSERT_TRUE(QDir(Path("")).mkdir("ReadOnly") && QDir(Path("")).mkdir("Folder"));
  ChestSaveToFile(Path("ReadOnly/Config.xml"));
  WriteFile("Plain", "not a folder");
  ChestSetInteger("Added", 1);
  const auto Mode = [this](const char* Name, mode_t Mode) {
    return chmod(QFile::encodeName(Path(Name)).constData(), Mode) == 0;
  };
  ASSERT_TRUE(Mode("ReadOnly/Config.xml", 0666) && Mode("ReadOnly", 0555) && Mode("", 0755));
  const pid_t Child = fork();
  if (Child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(100);
    int Saved = 0;
    for (const char* Target : {"ReadOnly/Config.xml", "Folder", "Missing/Config.xml", "Plain/x"}) {
      Saved += ErrorOf<EChestFileError>([&] { ChestSaveToFile(Path(Target)); }).isEmpty();
    }
    _exit(Saved);
  }
  int Status = -1;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  EXPECT_EQ(Status, 0) << "exit code (saves not refused) " << WEXITSTATUS(Status);
  ASSERT_TRUE(Mode("ReadOnly", 0755));
  EXPECT_EQ(ReadFile("ReadOnly/Config.xml"), ExampleFile);
  EXPECT_EQ(QDir(Path("ReadOnly")).entryList(QDir::Files | QDir::Hidden),
            QStringList{"Config.xml"});
  EXPECT_TRUE(QFileInfo(Path("Folder")).isDir());
  EXPECT_FALSE(QFileInfo::exists(Path("Missing")));
  EXPECT_EQ(ReadFile("Plain"), "not a folder");
}

// A save that fails while writing (here: the file size limit is hit) or that meets a text
// the file cannot carry leaves the previous file untouched and no stray files.
TEST_F(DataChestXmlTest, AnInterruptedSaveLeavesThePreviousFileIntact) {
  SetExampleStore();
  ChestSaveToFile(Path("Config.xml"));
  for (int I = 0; I < 200; ++I) ChestSetString(QString("Filler%1").arg(I), QString(100, 'x'));
  rlimit Saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Saved), 0);
  rlimit Small = Saved;
  Small.rlim_cur = 4096;
  const auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
  EXPECT_THROW(ChestSaveToFile(Path("Config.xml")), EChestFileError);
  setrlimit(RLIMIT_FSIZE, &Saved);
  std::signal(SIGXFSZ, OldHandler);
  for (const QString& Unkept : {QString("bell") + QChar(7), QString(" \v "), QString(" \r ")}) {
    ChestSetString("Unkept", Unkept);
    EXPECT_THROW(ChestSaveToFile(Path("Config.xml")), EXmlDocError);
  }
  EXPECT_EQ(ReadFile("Config.xml"), ExampleFile);
  EXPECT_EQ(QDir(Path("")).entryList(QDir::Files | QDir::Hidden), QStringList{"Config.xml"});
}

}  // namespace
