#include "app/SettingsBinding.h"

#include "settings/DataChest.h"
#include "settings/DataChestXml.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <filesystem>
#include <system_error>

const QString SettingsPublisherText = QStringLiteral("Corvel Inc. https://corvel.example/");

TSettingsValues DefaultSettings() {
  return {QString(), QStringLiteral("0x00000"), QStringLiteral("256000"), 4, 0, 1, {}};
}

const QStringList FlashBaudrateItems{"9600",   "19200",  "38400",  "57600",  "74880", "115200",
                                     "230400", "460800", "512000", "576000", "921600"};
const QStringList FlashSizeItems{"256kByte", "512kByte", "1MByte", "2MByte",
                                 "4MByte",   "8MByte",   "16MByte"};
const QStringList FlashSpeedItems{"40MHz", "26.7MHz", "20MHz", "80MHz"};
const QStringList SPIModeItems{"QIO", "DIO", "QOUT", "DOUT"};

namespace {

// Each key is the bound control's name and the suffix of the bound property.
const QString KeyFilePath = QStringLiteral("FrameConfigLine1.FilePath");
const QString KeyOffset = QStringLiteral("FrameConfigLine1.Offset");
const QString KeyFlashBaudrate = QStringLiteral("ComboBoxFlashBaudrate.Text");
const QString KeyFlashSize = QStringLiteral("ComboBoxFlashSize.ItemIndex");
const QString KeyFlashSpeed = QStringLiteral("ComboBoxFlashSpeed.ItemIndex");
const QString KeySPIMode = QStringLiteral("ComboBoxSPIMode.ItemIndex");
// "ComboBoxPath.RecentFile1" ... "RecentFile5": the image files chosen last, newest first.
QString KeyRecentFile(int Number) { return QStringLiteral("ComboBoxPath.RecentFile%1").arg(Number); }
constexpr int RecentFileKeys = 5;

// The recent files' keys are written once there is a file to remember: a settings file of a
// program that never opened one stays as it was.
void PutIntoStore(const TSettingsValues& Values) {
  ChestSetString(KeyFilePath, Values.FilePath);
  ChestSetString(KeyOffset, Values.Offset);
  ChestSetString(KeyFlashBaudrate, Values.FlashBaudrate);
  ChestSetInteger(KeyFlashSize, Values.FlashSize);
  ChestSetInteger(KeyFlashSpeed, Values.FlashSpeed);
  ChestSetInteger(KeySPIMode, Values.SPIMode);
  if (Values.RecentFiles.isEmpty() && ChestGetString(KeyRecentFile(1)).isEmpty()) return;
  for (int Number = 1; Number <= RecentFileKeys; ++Number)
    ChestSetString(KeyRecentFile(Number), Values.RecentFiles.value(Number - 1));
}

// A missing or otherwise typed key reads as the empty text or 0.
TSettingsValues ValuesInStore() {
  QStringList Recent;
  for (int Number = 1; Number <= RecentFileKeys; ++Number)
    if (const QString Path = ChestGetString(KeyRecentFile(Number)); !Path.isEmpty()) Recent << Path;
  return {ChestGetString(KeyFilePath),      ChestGetString(KeyOffset),
          ChestGetString(KeyFlashBaudrate), ChestGetInteger(KeyFlashSize),
          ChestGetInteger(KeyFlashSpeed),   ChestGetInteger(KeySPIMode),
          Recent};
}

// Digits only, no sign, blank or leading zero.
bool IsBaudRate(const QString& Text) {
  static const QRegularExpression Rate(QStringLiteral("^[1-9][0-9]{0,8}$"));
  return Rate.match(Text).hasMatch();
}

QString WithSeparator(const QString& Folder) {
  return Folder.endsWith(u'/') ? Folder : Folder + u'/';
}

// A program installed among the system's programs (/usr/bin by the package) keeps each user's
// settings in the user's folder, also when root runs it and could write beside it.
bool InstalledSystemWide(const QString& AppDir) { return AppDir.startsWith(QStringLiteral("/usr/")); }

// An error's message as the end of a log line, with one final full stop.
QString Sentence(const std::exception& Error) {
  QString Text = QString::fromUtf8(Error.what()).trimmed();
  if (!Text.endsWith(u'.')) Text += u'.';
  return Text;
}

}  // namespace

// A file is made and removed to find out: on Windows a folder's attributes do not say whether
// its access rights let this user write (C:\Program Files does not).
bool FolderWritable(const QString& Folder) {
  if (Folder.isEmpty() || !QDir().mkpath(Folder)) return false;
  QTemporaryFile Probe(WithSeparator(Folder) + QStringLiteral("write-test-XXXXXX"));
  return QFileInfo(Folder).isDir() && Probe.open();
}

TSettingsBinding::TSettingsBinding(QString& ConfigDirField, TReadControls Read,
                                   TWriteControls Write, TLogSink LogSink)
    : ReadControls(std::move(Read)),
      WriteControls(std::move(Write)),
      Log(std::move(LogSink)),
      FConfigDir(ConfigDirField) {}

void TSettingsBinding::InitSettings(const QString& AppDir) {
  FConfigDir = ChooseConfigDir(AppDir);
  LoadOrRestoreDefaults();
}

void TSettingsBinding::InitSettingsIn(const QString& Folder) {
  FConfigDir = WithSeparator(Folder);
  if (!FolderWritable(FConfigDir))
    Log(QStringLiteral("Error: Cannot write settings folder %1; settings will not be saved.")
            .arg(FConfigDir));
  LoadOrRestoreDefaults();
}

void TSettingsBinding::LoadOrRestoreDefaults() {
  if (!QFileInfo::exists(ConfigFileName())) {
    RestoreDefaults();
    return;
  }
  try {
    LoadSettings();
  } catch (const std::exception& Error) {
    SetAsideBadFile(Error);
    RestoreDefaults();
  }
}

// "Config" beside the executable, unless the program is installed system-wide or a read-only
// installation forbids it; then the user's configuration folder. When neither can be written the first stays chosen: the values still
// work for this session, only saving them fails.
QString TSettingsBinding::ChooseConfigDir(const QString& AppDir) const {
  const QString Beside = WithSeparator(AppDir) + QStringLiteral("Config/");
  const QString UserFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
  const QString User = UserFolder.isEmpty() ? QString() : WithSeparator(UserFolder);
  if (InstalledSystemWide(AppDir) && FolderWritable(User)) return User;
  if (FolderWritable(Beside)) return Beside;
  if (FolderWritable(User)) {
    Log(QStringLiteral("Warning: Cannot write settings folder %1; using %2 instead.")
            .arg(Beside, User));
    return User;
  }
  Log(QStringLiteral("Error: Cannot write settings folder %1 or %2; settings will not be saved.")
          .arg(Beside, User));
  return Beside;
}

// Keeps an unreadable settings file as "Config.xml.bad" (replacing an older one), so that
// writing the defaults does not destroy what the user may want to look at or repair.
void TSettingsBinding::SetAsideBadFile(const std::exception& Error) {
  const QString FileName = ConfigFileName();
  const QString BadName = FileName + QStringLiteral(".bad");
  std::error_code Failure;
  std::filesystem::rename(QFile::encodeName(FileName).toStdString(),
                          QFile::encodeName(BadName).toStdString(), Failure);
  Log(QStringLiteral("Warning: Settings file unreadable, defaults restored."));
  if (Failure)
    Log(QStringLiteral("Error: Cannot keep the unreadable settings file as %1: %2.")
            .arg(BadName, QString::fromStdString(Failure.message())));
  else
    Log(QStringLiteral("Note: %1 The file is kept as %2.").arg(Sentence(Error), BadName));
}

void TSettingsBinding::LoadSettings() {
  ChestLoadFromFile(ConfigFileName());
  WriteControls(ValuesInStore());
}

// A rate text that is no number (a stray key in the box) is not stored: the last good one stays,
// or the default when the store holds none.
void TSettingsBinding::StoreSettings() {
  TSettingsValues Values = ReadControls();
  if (!IsBaudRate(Values.FlashBaudrate)) Values.FlashBaudrate = ChestGetString(KeyFlashBaudrate);
  if (!IsBaudRate(Values.FlashBaudrate)) Values.FlashBaudrate = DefaultSettings().FlashBaudrate;
  PutIntoStore(Values);
}

void TSettingsBinding::SaveSettings() {
  StoreSettings();
  ChestPublisherInfo = SettingsPublisherText;
  try {
    ChestSaveToFile(ConfigFileName());
    FSaveFailure.clear();
  } catch (const std::exception& Error) {
    const QString Line = QStringLiteral("Error: Cannot save settings: ") + Sentence(Error);
    if (Line != FSaveFailure) Log(Line);
    FSaveFailure = Line;
  }
}

void TSettingsBinding::RestoreDefaults() {
  PutIntoStore(DefaultSettings());
  ChestPublisherInfo = SettingsPublisherText;
  WriteControls(ValuesInStore());
  StoreSettings();
  SaveSettings();
}

QString TSettingsBinding::ConfigDir() const {
  // A folder that cannot be created shows when its files are written.
  if (!FConfigDir.isEmpty()) QDir().mkpath(FConfigDir);
  return FConfigDir;
}

void TSettingsBinding::SetConfigDir(const QString& Value) { FConfigDir = Value; }

QString TSettingsBinding::ConfigFileName() const {
  return ConfigDir() + QStringLiteral("Config.xml");
}
