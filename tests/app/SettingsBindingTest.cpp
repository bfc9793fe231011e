#include "app/SettingsBinding.h"
#include "settings/DataChestXml.h"
#include "tests/settings/SettingsTestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

void PrintTo(const TSettingsValues& V, std::ostream* Out) {
  *Out << '{' << V.FilePath.toStdString() << ", " << V.Offset.toStdString() << ", "
       << V.FlashBaudrate.toStdString() << ", " << V.FlashSize << ", " << V.FlashSpeed << ", "
       << V.SPIMode << '}';
}

namespace {

const TSettingsValues Defaults{"", "0x00000", "256000", 4, 0, 1, {}};
// The window's controls before any settings are applied.
const TSettingsValues Unset{"", "", "230400", -1, -1, -1, {}};
const QString Unreadable = "Warning: Settings file unreadable, defaults restored.";

// A settings file as a hand editor might write it: no byte-order mark, LF line ends.
QByteArray ConfigText(const QList<std::array<const char*, 3>>& Data) {
  QByteArray Text = "<?xml version=\"1.0\"?>\n<DataChest>\n";
  for (const auto& [Name, Type, Value] : Data)
    Text += QByteArray("<Data name=\"") + Name + "\"><Type>" + Type + "</Type><Value>" + Value +
            "</Value></Data>\n";
  return Text + "<Publisher><Info>someone</Info></Publisher>\n</DataChest>\n";
}

// The file's Data elements as sorted "name|type word|value" lines and its publisher text,
// read by the XML library directly.
QStringList FileEntries(const QString& FileName) {
  QFile File(FileName);
  QDomDocument Document;
  if (!File.open(QIODevice::ReadOnly) || !Document.setContent(&File)) return {"unreadable"};
  QStringList Lines;
  const QDomElement Root = Document.documentElement();
  for (QDomElement Data = Root.firstChildElement("Data"); !Data.isNull();
       Data = Data.nextSiblingElement("Data"))
    Lines << Data.attribute("name") + '|' + Data.firstChildElement("Type").text() + '|' +
                 Data.firstChildElement("Value").text();
  Lines.sort();
  return Lines << "Publisher|" +
                      Root.firstChildElement("Publisher").firstChildElement("Info").text();
}

QStringList Entries(const TSettingsValues& V) {
  return {"ComboBoxFlashBaudrate.Text|String|" + V.FlashBaudrate,
          "ComboBoxFlashSize.ItemIndex|Integer|" + QString::number(V.FlashSize),
          "ComboBoxFlashSpeed.ItemIndex|Integer|" + QString::number(V.FlashSpeed),
          "ComboBoxSPIMode.ItemIndex|Integer|" + QString::number(V.SPIMode),
          "FrameConfigLine1.FilePath|String|" + V.FilePath,
          "FrameConfigLine1.Offset|String|" + V.Offset,
          "Publisher|" + SettingsPublisherText};
}

class SettingsBindingTest : public TChestTest {
 protected:
  void SetUp() override {
    TChestTest::SetUp();
    ASSERT_TRUE(Temp.isValid() && QDir(Temp.path()).mkdir("app"));
    QCoreApplication::setApplicationName("Ferrule");
    SetUserConfigHome(Path("xdg"));
  }

  QString Path(const QString& Name) const { return Temp.filePath(Name); }
  QString ConfigFile() const { return Path("app/Config/Config.xml"); }
  static void SetUserConfigHome(const QString& Folder) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(Folder));
  }

  void WriteFile(const QString& Name, const QByteArray& Bytes) const {
    QFile File(Name);
    ASSERT_TRUE(File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size());
  }
  static QByteArray ReadFile(const QString& Name) {
    QFile File(Name);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray("missing");
  }

  QTemporaryDir Temp;
  TSettingsValues Controls = Unset;
  QStringList LogLines;
  QString ConfigDirField;
  TSettingsBinding Binding{ConfigDirField, [this] { return Controls; },
                           [this](const TSettingsValues& Values) { Controls = Values; },
                           [this](const QString& Line) { LogLines << Line; }};
};

TEST(SettingsPublisher, IsTheMakerAndOneWebAddress) {
  EXPECT_TRUE(
      QRegularExpression("^Corvel Inc\\. https://[^ ]+$").match(SettingsPublisherText).hasMatch())
      << SettingsPublisherText.toStdString();
}

TEST_F(SettingsBindingTest, FirstStartCreatesTheFolderAndWritesTheDefaults) {
  ASSERT_FALSE(QFileInfo::exists(Path("app/Config")));
  Binding.InitSettings(Path("app"));
  EXPECT_EQ(ConfigDirField, Path("app") + "/Config/");
  EXPECT_EQ(Binding.ConfigFileName(), ConfigFile());
  EXPECT_EQ(FileEntries(ConfigFile()), Entries(Defaults));
  EXPECT_EQ(Controls, Defaults);
  EXPECT_EQ(LogLines, QStringList());
}

// An existing file is only read: its values reach the controls as they are (a missing or
// otherwise typed key as the empty text or 0, an index no box holds unchanged) and neither
// its bytes nor its time stamp change.
TEST_F(SettingsBindingTest, AnExistingFileIsLoadedAndNotRewritten) {
  const struct {
    const char* Label;
    QByteArray Text;
    TSettingsValues Expected;
  } Cases[] = {
      {"all keys",
       ConfigText({{"FrameConfigLine1.FilePath", "String", "CORVEL"},
                   {"FrameConfigLine1.Offset", "String", "0x01000"},
                   {"ComboBoxFlashBaudrate.Text", "String", "115200"},
                   {"ComboBoxFlashSize.ItemIndex", "Integer", "2"},
                   {"ComboBoxFlashSpeed.ItemIndex", "Integer", "3"},
                   {"ComboBoxSPIMode.ItemIndex", "Integer", "0"}}),
       {"CORVEL", "0x01000", "115200", 2, 3, 0, {}}},
      {"missing, mistyped and out-of-range",
       ConfigText({{"FrameConfigLine1.Offset", "String", "0x02000"},
                   {"ComboBoxFlashSize.ItemIndex", "Integer", "9"},
                   {"ComboBoxFlashSpeed.ItemIndex", "String", "3"},
                   {"ComboBoxFlashBaudrate.Text", "Integer", "9600"}}),
       {"", "0x02000", "", 9, 0, 0, {}}},
  };
  const QDateTime Stamp(QDate(2001, 2, 3), QTime(4, 5, 6));
  ASSERT_TRUE(QDir().mkpath(Path("app/Config")));
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Label);
    ChestReset();
    Controls = Unset;
    WriteFile(ConfigFile(), Case.Text);
    QFile File(ConfigFile());
    ASSERT_TRUE(File.open(QIODevice::ReadWrite) &&
                File.setFileTime(Stamp, QFileDevice::FileModificationTime));
    File.close();
    Binding.InitSettings(Path("app"));
    EXPECT_EQ(Controls, Case.Expected);
    EXPECT_EQ(ReadFile(ConfigFile()), Case.Text);
    EXPECT_EQ(QFileInfo(ConfigFile()).lastModified(), Stamp);
    EXPECT_EQ(LogLines, QStringList());
  }
}

// A save takes the controls' values, -1 for a box without a selection, and always writes the
// publisher text, whatever the store held before.
TEST_F(SettingsBindingTest, SaveSettingsWritesWhatTheControlsHold) {
  Binding.InitSettings(Path("app"));
  ChestReset();
  Controls = {"UPYTHON", "0x00000", "921600", -1, 2, 3, {}};
  Binding.SaveSettings();
  EXPECT_EQ(FileEntries(ConfigFile()), Entries(Controls));
  EXPECT_EQ(LogLines, QStringList());
}

TEST_F(SettingsBindingTest, RestoreDefaultsPutsTheDefaultsIntoControlsAndFile) {
  const TSettingsValues Chosen{"CORVEL", "0x01000", "115200", 2, 3, 0, {}};
  ASSERT_TRUE(QDir().mkpath(Path("app/Config")));
  WriteFile(ConfigFile(), ConfigText({{"FrameConfigLine1.FilePath", "String", "CORVEL"}}));
  Binding.InitSettings(Path("app"));
  Controls = Chosen;
  Binding.SaveSettings();
  ASSERT_EQ(FileEntries(ConfigFile()), Entries(Chosen));
  Binding.RestoreDefaults();
  EXPECT_EQ(Controls, Defaults);
  EXPECT_EQ(FileEntries(ConfigFile()), Entries(Defaults));
}

// A file that cannot be read is moved aside as Config.xml.bad (an older one is replaced), the
// start goes on with the defaults, and the log says so.
TEST_F(SettingsBindingTest, AnUnreadableFileIsKeptAsideAndTheDefaultsRestored) {
  const struct {
    const char* Label;
    QByteArray Text;
  } Cases[] = {
      {"not well-formed", "<DataChest><Data name=\"x\">"},
      {"another root", "<Settings/>"},
      {"a number that does not convert",
       ConfigText({{"FrameConfigLine1.FilePath", "String", "CORVEL"},
                   {"ComboBoxFlashSize.ItemIndex", "Integer", "four"}})},
  };
  ASSERT_TRUE(QDir().mkpath(Path("app/Config")));
  const QString Bad = ConfigFile() + ".bad";
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Label);
    ChestReset();
    Controls = Unset;
    LogLines.clear();
    WriteFile(Bad, "an older bad file");
    WriteFile(ConfigFile(), Case.Text);
    EXPECT_NO_THROW(Binding.InitSettings(Path("app")));
    EXPECT_EQ(ReadFile(Bad), Case.Text);
    EXPECT_EQ(FileEntries(ConfigFile()), Entries(Defaults));
    EXPECT_EQ(Controls, Defaults);
    ASSERT_EQ(LogLines.size(), 2);
    EXPECT_EQ(LogLines[0], Unreadable);
    EXPECT_TRUE(LogLines[1].startsWith("Note: ") &&
                LogLines[1].endsWith(" The file is kept as " + Bad + "."))
        << LogLines[1].toStdString();
  }
}

TEST_F(SettingsBindingTest, AFolderThatCannotBeCreatedFallsBackToTheUserFolder) {
  WriteFile(Path("plain"), "a file where the program's folder would be");
  Binding.InitSettings(Path("plain"));
  EXPECT_EQ(ConfigDirField, Path("xdg/Ferrule/"));
  EXPECT_EQ(LogLines, QStringList{"Warning: Cannot write settings folder " + Path("plain") +
                                  "/Config/; using " + Path("xdg/Ferrule/") + " instead."});
  EXPECT_EQ(FileEntries(Path("xdg/Ferrule/Config.xml")), Entries(Defaults));
  EXPECT_EQ(Controls, Defaults);
}

// An installation whose Config folder cannot be written, started by a user without root
// rights (root ignores permissions): the settings go to the user's folder.
TEST_F(SettingsBindingTest, AReadOnlyInstallationFallsBackToTheUserFolder) {
  ASSERT_TRUE(QDir().mkpath(Path("app/Config")) && QDir().mkpath(Path("xdg")));
  const auto Mode = [this](const char* Name, mode_t Mode) {
    return chmod(QFile::encodeName(Path(Name)).constData(), Mode) == 0;
  };
  ASSERT_TRUE(Mode("", 0755) && Mode("app/Config", 0555) && Mode("xdg", 0777));
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  const pid_t Child = fork();
  if (Child == 0) {
    close(Pipe[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(100);
    Binding.InitSettings(Path("app"));
    const QByteArray Report = (LogLines << ConfigDirField).join('\n').toUtf8();
    _exit(write(Pipe[1], Report.constData(), Report.size()) == Report.size() ? 0 : 101);
  }
  close(Pipe[1]);
  QFile Reader;
  ASSERT_TRUE(Reader.open(Pipe[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
  const QStringList Report = QString::fromUtf8(Reader.readAll()).split('\n');
  int Status = -1;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_EQ(Status, 0) << "exit code " << WEXITSTATUS(Status);
  EXPECT_EQ(Report, (QStringList{"Warning: Cannot write settings folder " + Path("app/Config/") +
                                     "; using " + Path("xdg/Ferrule/") + " instead.",
                                 Path("xdg/Ferrule/")}));
  EXPECT_EQ(FileEntries(Path("xdg/Ferrule/Config.xml")), Entries(Defaults));
  EXPECT_EQ(
      QDir(Path("app/Config")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
      QStringList());
}

// Installed by the package, the settings are the user's, without a word in the log; the folder
// chosen on the command line is taken as it is.
TEST_F(SettingsBindingTest, AnInstalledProgramUsesTheUserFolderAndAChosenFolderIsTaken) {
  Binding.InitSettings("/usr/bin");
  EXPECT_EQ(ConfigDirField, Path("xdg/Ferrule/"));
  EXPECT_EQ(LogLines, QStringList());
  EXPECT_FALSE(QFileInfo::exists("/usr/bin/Config"));
  EXPECT_EQ(FileEntries(Path("xdg/Ferrule/Config.xml")), Entries(Defaults));

  Controls.FlashSize = 2;
  Binding.SaveSettings();
  Controls = Unset;
  Binding.InitSettingsIn(Path("xdg/Ferrule"));
  EXPECT_EQ(ConfigDirField, Path("xdg/Ferrule/"));
  EXPECT_EQ(Controls.FlashSize, 2);
  Binding.InitSettingsIn(Path("chosen/deeper"));
  EXPECT_EQ(FileEntries(Path("chosen/deeper/Config.xml")), Entries(Defaults));
  EXPECT_EQ(LogLines, QStringList());
}

// With no folder to write, the start still gives the controls their defaults and throws
// nothing; the log tells why the settings are not kept.
TEST_F(SettingsBindingTest, NoWritableFolderIsLoggedAndTheStartGoesOn) {
  WriteFile(Path("plain"), "a file where the folders would be");
  SetUserConfigHome(Path("plain/xdg"));
  EXPECT_NO_THROW(Binding.InitSettings(Path("plain")));
  EXPECT_EQ(Controls, Defaults);
  EXPECT_EQ(ConfigDirField, Path("plain/Config/"));
  ASSERT_EQ(LogLines.size(), 2);
  EXPECT_EQ(LogLines[0], "Error: Cannot write settings folder " + Path("plain/Config/") + " or " +
                             Path("plain/xdg/Ferrule/") + "; settings will not be saved.");
  EXPECT_TRUE(LogLines[1].startsWith("Error: Cannot save settings: ") &&
              LogLines[1].endsWith('.') && !LogLines[1].endsWith(".."))
      << LogLines[1].toStdString();
}

// A folder lost after the start (here replaced by a plain file) fails each save; the log gets
// the failure once, not on every keystroke, and again only after a save has succeeded.
TEST_F(SettingsBindingTest, SaveFailuresAreLoggedOnceUntilASaveSucceeds) {
  Binding.InitSettings(Path("app"));
  const auto BlockFolder = [this](bool Blocked) {
    if (Blocked) {
      ASSERT_TRUE(QDir(Path("app/Config")).removeRecursively());
      WriteFile(Path("app/Config"), "no folder");
    } else {
      ASSERT_TRUE(QFile::remove(Path("app/Config")));
    }
  };
  BlockFolder(true);
  Controls.FilePath = "C";
  Binding.SaveSettings();
  Controls.FilePath = "CO";
  EXPECT_NO_THROW(Binding.SaveSettings());
  ASSERT_EQ(LogLines.size(), 1);
  EXPECT_TRUE(LogLines[0].startsWith("Error: Cannot save settings: ")) << LogLines[0].toStdString();
  BlockFolder(false);
  Binding.SaveSettings();
  EXPECT_EQ(LogLines.size(), 1);
  EXPECT_EQ(FileEntries(ConfigFile()).filter("FilePath"),
            QStringList{"FrameConfigLine1.FilePath|String|CO"});
  BlockFolder(true);
  Binding.SaveSettings();
  EXPECT_EQ(LogLines.size(), 2);
}

}  // namespace
