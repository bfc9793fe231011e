// The six settings of the window, bound to "Config.xml" beside the program.

#include "tests/window/WindowTestSupport.h"

#include "firmware/UnitFrameConfigLine.h"
#include "settings/DataChest.h"

#include <QComboBox>
#include <QDomDocument>
#include <QFileInfo>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QtTest/QTest>

namespace {

using TEntries = QMap<QString, QString>;  // name -> "Type:Value"

class TSettingsWindow : public TWindowTest {
 protected:
  void SetUp() override {
    ChestReset();
    TWindowTest::SetUp();
  }
  QString ConfigPath() const { return AppDir.filePath("Config/Config.xml"); }
  QByteArray ConfigBytes() const {
    QFile File(ConfigPath());
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
  }
  TEntries Entries() const {
    QDomDocument Document;
    EXPECT_TRUE(Document.setContent(ConfigBytes()));
    TEntries Map;
    const QDomNodeList Data = Document.documentElement().elementsByTagName("Data");
    for (int i = 0; i < Data.size(); ++i) {
      const QDomElement Element = Data.at(i).toElement();
      Map[Element.attribute("name")] = Element.firstChildElement("Type").text() + ":" +
                                       Element.firstChildElement("Value").text();
    }
    return Map;
  }
  QString Publisher() const {
    QDomDocument Document;
    Document.setContent(ConfigBytes());
    return Document.documentElement().firstChildElement("Publisher").firstChildElement("Info").text();
  }
  void Restart() {
    Form.reset();
    ChestReset();
    Form = NewWindow();
  }
  void Pick(QComboBox* Box, int Index) {
    Box->setCurrentIndex(Index);
    emit Box->activated(Index);
  }
  static TEntries Defaults(const QString& FilePath = "") {
    return {{"ComboBoxFlashBaudrate.Text", "String:256000"},
            {"ComboBoxFlashSize.ItemIndex", "Integer:4"},
            {"ComboBoxFlashSpeed.ItemIndex", "Integer:0"},
            {"ComboBoxSPIMode.ItemIndex", "Integer:1"},
            {"FrameConfigLine1.FilePath", "String:" + FilePath},
            {"FrameConfigLine1.Offset", "String:0x00000"}};
  }
};

TEST_F(TSettingsWindow, TheFirstStartWritesTheDefaults) {
  EXPECT_EQ(Entries(), Defaults());
  EXPECT_TRUE(Publisher().startsWith("Corvel Inc. "));
  EXPECT_EQ(Form->ComboBoxFlashBaudrate->currentText(), "256000");
  EXPECT_EQ(Form->ComboBoxFlashSize->currentText(), "4MByte");
  EXPECT_EQ(Form->ComboBoxFlashSpeed->currentText(), "40MHz");
  EXPECT_EQ(Form->ComboBoxSPIMode->currentText(), "DIO");
  EXPECT_EQ(Form->FrameConfigLine1->Offset(), "0x00000");
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), "");
}

// The firmware chosen on the Flash page goes into the firmware line and the file at once; after a
// restart the line shows it while the Flash page's box starts without a choice.
TEST_F(TSettingsWindow, RemembersTheChosenFirmware) {
  Pick(Form->ComboBoxPath, 1);
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), "UPYTHON");
  EXPECT_EQ(Entries(), Defaults("UPYTHON"));
  const QByteArray Saved = ConfigBytes();
  const QDateTime Written = QFileInfo(ConfigPath()).lastModified();
  Restart();
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), "UPYTHON");
  EXPECT_EQ(Form->ComboBoxPath->currentIndex(), -1);
  EXPECT_EQ(ConfigBytes(), Saved);
  EXPECT_EQ(QFileInfo(ConfigPath()).lastModified(), Written);
}

TEST_F(TSettingsWindow, AnEditedUnmatchedFirmwareClearsTheLine) {
  Pick(Form->ComboBoxPath, 0);
  QTest::keyClicks(Form->ComboBoxPath->lineEdit(), "X");
  EXPECT_EQ(Form->ComboBoxPath->currentText(), "CORVELX");
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), "");
  EXPECT_EQ(Entries(), Defaults());
}

TEST_F(TSettingsWindow, ChangesMadeByTheProgramSaveNothing) {
  const QByteArray Before = ConfigBytes();
  Form->ComboBoxFlashSize->setCurrentIndex(0);
  Form->ComboBoxPath->setCurrentIndex(1);
  Form->FrameConfigLine1->SetOffset("0x10000");
  EXPECT_EQ(ConfigBytes(), Before);
  Pick(Form->ComboBoxFlashSpeed, 3);
  EXPECT_EQ(Entries()["ComboBoxFlashSpeed.ItemIndex"], "Integer:3");
  EXPECT_EQ(Entries()["ComboBoxFlashSize.ItemIndex"], "Integer:0");
}

TEST_F(TSettingsWindow, AnIndexOutOfRangeLeavesTheBoxWithoutSelection) {
  QByteArray Text = ConfigBytes();
  const QByteArray Four = "<Value>4</Value>";
  ASSERT_EQ(Text.count(Four), 1);
  Text.replace(Four, "<Value>9</Value>");
  QFile File(ConfigPath());
  ASSERT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate) && File.write(Text));
  File.close();
  Restart();
  EXPECT_EQ(Form->ComboBoxFlashSize->currentIndex(), -1);
  EXPECT_EQ(Form->ComboBoxSPIMode->currentText(), "DIO");
}

TEST_F(TSettingsWindow, RestoreDefaultWritesTheDefaults) {
  Pick(Form->ComboBoxFlashSize, 6);
  Pick(Form->ComboBoxPath, 0);
  emit Form->ButtonRestoreDefault->clicked();  // its page, and so the button, is never enabled
  EXPECT_EQ(Entries(), Defaults());
  EXPECT_EQ(Form->ComboBoxFlashSize->currentText(), "4MByte");
}

// An unreadable file is kept aside; the program starts with the defaults and its firmware lists.
TEST_F(TSettingsWindow, ACorruptFileIsKeptAndTheDefaultsRestored) {
  QFile File(ConfigPath());
  ASSERT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate) && File.write("<DataChest><Data"));
  File.close();
  Restart();
  QFile Bad(ConfigPath() + ".bad");
  ASSERT_TRUE(Bad.open(QIODevice::ReadOnly));
  EXPECT_EQ(Bad.readAll(), "<DataChest><Data");
  EXPECT_EQ(Entries(), Defaults());
  EXPECT_TRUE(Log().contains("Warning: Settings file unreadable, defaults restored."));
  EXPECT_EQ(Form->ComboBoxPath->count(), Form->FrameConfigLine1->ComboBoxPath->count() + 1);
  EXPECT_GE(Form->ComboBoxPath->findText("CORVEL"), 0);
}

}  // namespace
