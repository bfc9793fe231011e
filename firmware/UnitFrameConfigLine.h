#pragma once
// The firmware selection line: the display name of a built-in firmware image and the flash offset
// it is written at, and what the flashing job makes of them (the image bytes, the base address).
// Firmware only ever comes from the images built into the program (resources of type "BIN" named
// "_X_" followed by the display name); no file is read from disk.

#include <QByteArray>
#include <QChar>
#include <QFrame>
#include <QString>

#include <functional>

class QComboBox;
class QGridLayout;
class QTimer;

// Hexadecimal text to a number: upper-cased, one trailing "H" dropped, 64-bit arithmetic that
// wraps; any other character than 0-9 and A-F gives 0, and so does an empty text.
qint64 HexTextToInt64(const QString& Text);

// The same operations as the line's methods below, on texts the caller copied from the line (the
// flashing worker reads no widget).
bool IsFilePathValid(const QString& FilePath);
bool GetMemoryStream(const QString& FilePath, QByteArray* MemoryStream);
// False, leaving BaseAddress as it was, for an offset that is no hexadecimal number of at most 32
// bits once every "0x" is removed (one trailing "h" or "H" allowed): a wrong offset must not
// silently become 0, where the module's boot area lies.
bool GetBaseAddress(const QString& Offset, quint32& BaseAddress);

// Walks the program's resources in their stored order and hands the display name of every marked
// resource (a text name containing "_X_", of any type) to Append.
void EnumBuiltInImages(const std::function<void(const QString& DisplayName)>& Append);

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
