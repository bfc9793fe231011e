#include "app/FirmwareBox.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>

void TFirmwareBox::Fill(const QStringList& BuiltInNames, const QStringList& RecentPaths) {
  BuiltIn = BuiltInNames;
  Recent.clear();
  for (const QString& Path : RecentPaths)
    if (QFileInfo(Path).isFile() && !Recent.contains(Path) && Recent.size() < RecentImageFiles)
      Recent << Path;
  const QString Text = Box.currentText();
  Box.clear();
  Box.addItems(BuiltIn);
  for (const QString& Path : Recent) {
    Box.addItem(QFileInfo(Path).fileName(), Path);
    Box.setItemData(Box.count() - 1, Path, Qt::ToolTipRole);
  }
  Box.addItem(OpenImageFileItem);
  Box.setCurrentIndex(-1);
  Box.setEditText(Text);
  Box.setToolTip(QString());
}

void TFirmwareBox::ChooseFile(const QString& Path) {
  QStringList Paths = Recent;
  Paths.removeAll(Path);
  Paths.prepend(Path);
  Fill(BuiltIn, Paths);
  Box.setCurrentIndex(int(BuiltIn.size()));
  Box.setToolTip(Path);
}

QString TFirmwareBox::Choice(int Index) const {
  if (Index < 0 || IsOpenItem(Index)) return {};
  if (Index < BuiltIn.size()) return BuiltIn[Index];
  return Recent.value(Index - BuiltIn.size());
}

bool TFirmwareBox::IsOpenItem(int Index) const { return Index >= 0 && Index == Box.count() - 1; }

int TFirmwareBox::ShownItem() const {
  const int Index = Box.findText(Box.currentText(), Qt::MatchFixedString);
  return IsOpenItem(Index) ? -1 : Index;
}
