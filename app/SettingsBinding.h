#pragma once
// The six values of the main window that survive restarts, bound to named values of the settings
// store and written to "Config.xml" in the settings folder.

#include "loader/LogSink.h"

#include <QString>
#include <QStringList>

#include <exception>
#include <functional>

// The bound controls' values: the firmware line's two texts (FilePath a built-in image's name or
// an image file's path), the baud rate box's text, the item indexes of the three Advanced pick
// lists (-1: nothing selected), and the image files chosen last, newest first.
struct TSettingsValues {
  QString FilePath;
  QString Offset;
  QString FlashBaudrate;
  int FlashSize = -1;
  int FlashSpeed = -1;
  int SPIMode = -1;
  QStringList RecentFiles;
  friend bool operator==(const TSettingsValues&, const TSettingsValues&) = default;
};

// "Corvel Inc." followed by a blank and the maker's web address.
extern const QString SettingsPublisherText;
TSettingsValues DefaultSettings();

// The items of the Advanced page's boxes; a stored item index selects among them
// (Items.value(Index) is the text the box shows, empty for no selection).
extern const QStringList FlashBaudrateItems;
extern const QStringList FlashSizeItems;
extern const QStringList FlashSpeedItems;
extern const QStringList SPIModeItems;

// Creates Folder with its parents when missing; true when files can be made in it.
bool FolderWritable(const QString& Folder);

// The window reads and writes its controls through these two; writing a control from here is no
// user change and calls no change callback.
class TSettingsBinding {
 public:
  using TReadControls = std::function<TSettingsValues()>;
  using TWriteControls = std::function<void(const TSettingsValues&)>;
  // ConfigDirField is the run record's FConfigDir, which this binding sets and reads.
  TSettingsBinding(QString& ConfigDirField, TReadControls ReadControls,
                   TWriteControls WriteControls, TLogSink Log);

  // Chooses the settings folder ("Config" beside the executable in AppDir, or the user's
  // configuration folder where that cannot be written, saying so in the log), then loads the file
  // or, when there is none, writes the defaults. An unreadable file is kept as "Config.xml.bad"
  // and the defaults are restored; a folder that cannot be written is logged as an error. Never
  // throws: the program starts whatever the settings folder holds.
  void InitSettings(const QString& AppDir);
  // The same with Folder as the settings folder (created when missing), as chosen by the user.
  void InitSettingsIn(const QString& Folder);
  // Raises the store's file, XML or conversion error when the file cannot be read.
  void LoadSettings();
  void StoreSettings();
  // A file that cannot be written is logged ("Error: Cannot save settings: ...") and not raised:
  // this runs on every change of a bound box. The same failure is logged once until a save
  // succeeds again.
  void SaveSettings();
  void RestoreDefaults();

  // The settings folder, with its final separator; created when read.
  QString ConfigDir() const;
  void SetConfigDir(const QString& Value);
  QString ConfigFileName() const;

 private:
  QString ChooseConfigDir(const QString& AppDir) const;
  void LoadOrRestoreDefaults();
  void SetAsideBadFile(const std::exception& Error);

  TReadControls ReadControls;
  TWriteControls WriteControls;
  TLogSink Log;
  QString& FConfigDir;
  QString FSaveFailure;  // the last save failure logged, empty after a good save
};
