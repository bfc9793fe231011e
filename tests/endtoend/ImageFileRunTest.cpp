// The user's own image files in the window: chosen by keyboard (Ctrl+O, a path typed into the file
// dialog) or dropped onto the window, flashed whole against the simulated module, remembered
// across restarts, and refused after the MAC read when they cannot be written.

#include "tests/endtoend/FlashRunSupport.h"

#include <QCryptographicHash>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <QtTest/QTest>


namespace {

class TImageFileRun : public TLoadingRun {
 protected:
  QString WriteImage(const QString& Name, const QByteArray& Bytes) {
    const QString Path = Files.filePath(Name);
    QFile File(Path);
    EXPECT_TRUE(File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size());
    return Path;
  }

  static QByteArray Pattern(int Size, int Seed) {
    QByteArray Bytes(Size, '\0');
    for (int i = 0; i < Size; ++i) Bytes[i] = char((i * 131 + Seed) % 251);
    return Bytes;
  }

  // Ctrl+O, the path typed into the file dialog's name field, Enter: as a user at the keyboard.
  void OpenByKeyboard(const QString& Path) {
    Form->show();
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    bool Typed = false;
    QTimer::singleShot(100, [&] {
      auto* Dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!Dialog) return;
      auto* Name = Dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      QTest::keyClicks(Name, Path);
      QTest::keyClick(Name, Qt::Key_Return);
      Typed = true;
    });
    QTest::keyClick(Form.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(Typed) << "no file dialog";
  }

  // The flash after writing Image at Offset: the image, the rest of its last sector erased,
  // every other byte as it was.
  static void ExpectOnlyImage(const QByteArray& Flash, const QByteArray& Image, quint32 Offset) {
    const qsizetype Erased = (Image.size() + 4095) / 4096 * 4096;
    QByteArray Expected(Flash.size(), Untouched);
    Expected.replace(Offset, Erased, Image + QByteArray(Erased - Image.size(), '\xFF'));
    EXPECT_TRUE(Flash == Expected);
  }

  QTemporaryDir Files;
};

TEST_F(TImageFileRun, AFileChosenByKeyboardIsFlashedAtTheOffsetAndRemembered) {
  const QByteArray Image = Pattern(20000, 7);
  const QString Path = WriteImage("app.bin", Image);
  Form->FrameConfigLine1->SetOffset("0x10000");
  OpenByKeyboard(Path);
  EXPECT_EQ(Form->ComboBoxPath->currentText(), "app.bin");
  EXPECT_EQ(Form->ComboBoxPath->toolTip(), Path);
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), Path);
  RunFirmware = "app.bin";
  RunsBefore = Form->FlashStation().FinishedRuns();
  PressFlash();
  // Changing the file during the run changes nothing: it was read when the run started.
  WriteImage("app.bin", Pattern(20000, 8));
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(Outcome().Result, TRunResult::Done) << Log().join('\n').toStdString();
  EXPECT_TRUE(Outcome().Verified);
  EXPECT_EQ(Outcome().Firmware, "app.bin");
  EXPECT_EQ(Outcome().Offset, 0x10000u);
  EXPECT_EQ(Outcome().ImageSha256, QCryptographicHash::hash(Image, QCryptographicHash::Sha256));
  EXPECT_EQ(Count("Note: Erasing 20 KiB."), 1);
  Loading.WithModule([&](TSimulatedModule& Sim) { ExpectOnlyImage(Sim.Flash(), Image, 0x10000); });

  // After a restart the file is listed again and still chosen in the settings.
  const QString Other = WriteImage("other.bin", Pattern(5000, 3));
  Form->ChooseImageFile(Other);
  Form.reset();
  Form = NewWindow();
  EXPECT_EQ(Form->ComboBoxPath->findText("other.bin"), 2);
  EXPECT_EQ(Form->ComboBoxPath->findText("app.bin"), 3);
  EXPECT_EQ(Form->ComboBoxPath->itemText(Form->ComboBoxPath->count() - 1), "Open image file...");
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), Other);
}

// A file dropped onto the window is chosen as the dialog chooses it; a file that is gone by the
// next start is forgotten with one warning, and nothing is chosen.
TEST_F(TImageFileRun, ADroppedFileIsChosenAndAGoneOneForgotten) {
  const QString Path = WriteImage("drop.bin", Pattern(3000, 1));
  QMimeData Data;
  Data.setUrls({QUrl::fromLocalFile(Path)});
  QDragEnterEvent Enter(QPoint(5, 5), Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Form.get(), &Enter);
  EXPECT_TRUE(Enter.isAccepted());
  QDropEvent Drop(QPointF(5, 5), Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Form.get(), &Drop);
  EXPECT_EQ(Form->ComboBoxPath->currentText(), "drop.bin");
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), Path);
  ASSERT_TRUE(QFile::remove(Path));
  Form.reset();
  Form = NewWindow();
  EXPECT_EQ(Log().filter("Warning"),
            QStringList{"Warning: The image file " + Path + " chosen last is gone; choose the "
                        "firmware again."});
  EXPECT_EQ(Form->FrameConfigLine1->FilePath(), "");
  EXPECT_EQ(Form->ComboBoxPath->findText("drop.bin"), -1);
  TMessageBoxAnswerer Answerer;
  PressFlash();
  EXPECT_EQ(Answerer.Texts, QStringList{"Select Firmware first!"});
  EXPECT_FALSE(Form->Comm()->PortOpen());
}

// Files that cannot be written are refused after the handshake and the MAC reads: nothing more
// goes on the line.
TEST_F(TImageFileRun, AFileThatCannotBeWrittenIsRefusedBeforeTheErase) {
  const struct {
    QString Name;
    QByteArray Bytes;
    QString Offset;
    QString Reason;
  } Cases[] = {
      {"plain.bin", Pattern(100, 0), "0x00000",
       "image file plain.bin at 0x0: it does not start with an image header (0xE9), so the module "
       "would not boot from it"},
      {"large.bin", Pattern(8192, 0), "0x3FF000",
       "image file large.bin of 8192 bytes at 0x3FF000 does not fit in 4MByte flash"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name.toStdString());
    Form->MemoOutput->clear();
    Form->ChooseImageFile(WriteImage(Case.Name, Case.Bytes));
    Form->FrameConfigLine1->SetOffset(Case.Offset);
    Loading.Reset();
    RunFirmware = Case.Name;
    RunsBefore = Form->FlashStation().FinishedRuns();
    PressFlash();
    ASSERT_TRUE(RunEnded(15000));
    EXPECT_EQ(Outcome().Reason, TRunReason::BadSettings);
    EXPECT_EQ(Outcome().ReasonText, Case.Reason);
    Loading.WithModule([&](TSimulatedModule& Sim) {
      ASSERT_FALSE(Sim.Requests().empty());
      for (const TSimRequest& Request : Sim.Requests())
        EXPECT_TRUE(Request.Command == SimSync || Request.Command == SimReadReg)
            << int(Request.Command);
    });
    PressFlash();
  }
}

}  // namespace
