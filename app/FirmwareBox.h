#pragma once
// The Flash page's firmware box: the built-in images, the image files chosen last (at most five,
// newest first, each shown by its file name with its path as tooltip), and "Open image file..."
// at the end. Plain widget work without the window: the window decides what a choice means.

#include <QString>
#include <QStringList>

class QComboBox;

inline const QString OpenImageFileItem = QStringLiteral("Open image file...");
inline constexpr int RecentImageFiles = 5;

class TFirmwareBox {
 public:
  explicit TFirmwareBox(QComboBox& Box) : Box(Box) {}

  // Refills the box (built-in names, the recent files that still exist, the open item) and leaves
  // it without a selection, its text unchanged.
  void Fill(const QStringList& BuiltIn, const QStringList& Recent);
  // Puts Path first among the recent files (once) and selects it.
  void ChooseFile(const QString& Path);
  const QStringList& BuiltInImages() const { return BuiltIn; }
  // The recent files, newest first.
  QStringList RecentFiles() const { return Recent; }
  // What item Index chooses: a built-in name or a file's path; empty for the open item and none.
  QString Choice(int Index) const;
  bool IsOpenItem(int Index) const;
  // The item whose text the box shows, or -1; never the open item.
  int ShownItem() const;

 private:
  QComboBox& Box;
  QStringList BuiltIn;
  QStringList Recent;
};
