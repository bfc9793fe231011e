#pragma once
// The firmware selection line: the display name of a built-in firmware image and the flash offset
// it is written at (see firmware/FirmwareImage.h for what the job makes of them).

#include "firmware/FirmwareImage.h"

#include <QChar>
#include <QFrame>

class QComboBox;
class QGridLayout;
class QTimer;

class TFrameConfigLine : public QFrame {
  Q_OBJECT
 public:
  explicit TFrameConfigLine(QWidget* Parent = nullptr);

  QGridLayout* GridPanelConfigLine;
  QComboBox* ComboBoxPath;
  QComboBox* ComboBoxOffset;
  QTimer* TimerCheck;

  // Setting either text puts it into its box and selects all of it.
  QString FilePath() const;
  void SetFilePath(const QString& Value);
  QString Offset() const;
  void SetOffset(const QString& Value);

  bool IsFilePathValid() const;
  bool GetMemoryStream(QByteArray* MemoryStream) const;
  bool GetBaseAddress(quint32& BaseAddress) const;

  // Key filter of the offset box, run for each typed character before it is inserted: "a"-"f"
  // become "A"-"F", "X" becomes "x"; digits, "A"-"F", "x", "h", "H" and control characters
  // (Backspace, Delete, shortcuts) pass; any other character is refused (Key set to null).
  void ComboBoxOffsetKeyPress(QObject* Sender, QChar& Key);
  // Paints the name box red while it names no built-in image: sets the name box's dynamic
  // property "invalid", which the visual style draws as a red client area.
  void TimerCheckTimer();

 protected:
  // Runs ComboBoxOffsetKeyPress on the characters typed into the offset box.
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 signals:
  // The user changed the text or the choice of either box (never emitted for changes made by code).
  void Changed();
};
