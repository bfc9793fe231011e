// The main window's firmware choice: the built-in images, the user's own image files (by the
// firmware box's "Open image file...", Ctrl+O, or a file dropped onto the window) and the files
// chosen last.
#include "app/UnitFormMain.h"

#include "firmware/ImageRegions.h"
#include "firmware/UnitFrameConfigLine.h"

#include "app/UiGuard.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMimeData>

namespace {

// The one local file a drag carries, or nothing.
QString DraggedFile(const QMimeData* Data) {
  if (!Data || !Data->hasUrls() || Data->urls().size() != 1) return {};
  return Data->urls().front().isLocalFile() ? Data->urls().front().toLocalFile() : QString();
}

}  // namespace

// The lists start without a choice, and the firmware line keeps what the settings gave it; a file
// it names that is gone is forgotten with one warning, so nothing is flashed from it.
void TFormMain::FillFirmwareBox() {
  QStringList BuiltIn;
  EnumBuiltInImages([&](const QString& DisplayName) {
    FrameConfigLine1->ComboBoxPath->addItem(DisplayName);
    BuiltIn << DisplayName;
  });
  const QString Chosen = FrameConfigLine1->FilePath();
  FrameConfigLine1->ComboBoxPath->setCurrentIndex(-1);
  FrameConfigLine1->SetFilePath(Chosen);
  FirmwareBox = std::make_unique<TFirmwareBox>(*ComboBoxPath);
  ComboBoxPath->setEditText(QString());
  FirmwareBox->Fill(BuiltIn, RecentImageFilesRead);
  auto* OpenImage = new QAction(this);
  OpenImage->setObjectName(QStringLiteral("ActionOpenImage"));
  OpenImage->setShortcut(QKeySequence::Open);
  addAction(OpenImage);
  connect(OpenImage, &QAction::triggered, this, [this] { RunGuarded(this, [this] { OpenImageFile(); }); });
  setAcceptDrops(true);
  if (NamesImageFile(Chosen) && !QFileInfo(Chosen).isFile()) {
    Station.Log(QStringLiteral("Warning: The image file %1 chosen last is gone; choose the "
                               "firmware again.")
                    .arg(Chosen));
    FrameConfigLine1->SetFilePath(QString());
  }
}

void TFormMain::FirmwareBoxActivated(int Index) {
  if (FirmwareBox->IsOpenItem(Index))
    OpenImageFile();
  else
    FrameConfigLineChange();
}

void TFormMain::OpenImageFile() {
  const QString Before = ComboBoxPath->currentIndex() >= 0 && !FirmwareBox->IsOpenItem(ComboBoxPath->currentIndex())
                             ? ComboBoxPath->currentText()
                             : QString();
  const QStringList& Recent = FirmwareBox->RecentFiles();
  QFileDialog Dialog(this, QStringLiteral("Open image file"),
                     Recent.isEmpty() ? QDir::homePath() : QFileInfo(Recent.front()).path(),
                     QStringLiteral("Firmware images (*.bin);;All files (*)"));
  Dialog.setObjectName(QStringLiteral("DialogOpenImage"));
  Dialog.setFileMode(QFileDialog::ExistingFile);
  if (Dialog.exec() == QDialog::Accepted && !Dialog.selectedFiles().isEmpty()) {
    ChooseImageFile(Dialog.selectedFiles().front());
    return;
  }
  // Cancelled: the box shows the choice it had.
  ComboBoxPath->setCurrentIndex(ComboBoxPath->findText(Before, Qt::MatchFixedString));
  if (ComboBoxPath->currentIndex() < 0) ComboBoxPath->setEditText(Before);
}

void TFormMain::ChooseImageFile(const QString& Path) {
  const QFileInfo File(Path);
  if (!File.isFile()) {
    Station.Log(QStringLiteral("Warning: %1 is no image file.").arg(QDir::toNativeSeparators(Path)));
    return;
  }
  FirmwareBox->ChooseFile(File.absoluteFilePath());
  FrameConfigLineChange();
}

void TFormMain::dragEnterEvent(QDragEnterEvent* Event) {
  if (!DraggedFile(Event->mimeData()).isEmpty()) Event->acceptProposedAction();
}

void TFormMain::dropEvent(QDropEvent* Event) {
  const QString Path = DraggedFile(Event->mimeData());
  if (Path.isEmpty()) return;
  Event->acceptProposedAction();
  RunGuarded(this, [this, Path] { ChooseImageFile(Path); });
}
