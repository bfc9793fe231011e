#pragma once
// The main window: its pages and controls, the log, the status picture and the settings folder.
// The run's logic lives in plain classes the window owns (the flash station with its Flash command,
// state machine and reply recognition; the settings binding); the window's callbacks call into
// them. The build-up and layout of the controls are in FormMainLayout.cpp.

#include "app/FirmwareBox.h"
#include "app/FlashStation.h"
#include "app/SerialPortList.h"
#include "app/SettingsBinding.h"

#include <QImage>
#include <QStringList>
#include <QWidget>

#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMovie;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTextBrowser;
class QTimer;
class TComm;
class TFrameConfigLine;

// What the MAC boxes show while no module's MAC is known.
inline const QString WaitingMAC = QStringLiteral("Waiting MAC");

class TFormMain : public QWidget, private TFlashRunView {
  Q_OBJECT
 public:
  // AppDir is the folder the settings folder "Config" is placed in (the executable's folder).
  explicit TFormMain(const QString& AppDir, QWidget* Parent = nullptr);
  ~TFormMain() override;

  // The settings folder (created when read) and the settings file in it.
  QString ConfigDir() const;
  void SetConfigDir(const QString& Value);
  QString ConfigFileName() const;

  // Where the port watcher reads the system's device tree.
  void SetPortSource(const QString& Source) { PortSource = Source; }

  TComm* Comm() const { return &Station.Comm(); }
  const TFlashStation& FlashStation() const { return Station; }
  const TRunRecord& RunRecord() const { return Station.Record(); }
  const TFlashRunControl& RunControl() const { return Station.RunControl(); }

  void ShowStatusNo();
  void ShowStatusWait();
  void ShowStatusYes();

  // Callbacks.
  void ActionBurnExecute(TBurnSender Sender);
  void TimerStateMachineTimer();
  void TimerFindPortsTimer();
  void FrameConfigLineChange();
  // The firmware box's "Open image file..." (also Ctrl+O): a file dialog, then ChooseImageFile.
  void OpenImageFile();
  // Chooses an image file as the firmware, as the dialog or a file dropped onto the window does.
  void ChooseImageFile(const QString& Path);
  void ButtonRestoreDefaultClick();
  void LabelIntroductionClick();

  // The controls, by the names the rest of the program knows them by.
  QTabWidget* PageControlMain;
  QWidget* TabSheetOperation;
  QWidget* TabSheetConfig;
  QWidget* TabSheetAdvanced;
  QWidget* TabSheetIntroduction;
  QWidget* TabSheetLog;
  QComboBox* ComboBoxPath;
  QCheckBox* SafeFlash;
  QCheckBox* PostRun;
  QLabel* LabelDevA;
  QComboBox* ComboBoxSerialPortA;
  QAction* ActionBurn;
  QPushButton* ButtonBurn;
  QLabel* LabelIntroduction;
  QProgressBar* ProgressBarStatus;
  QFrame* PanelQRCode;
  QLabel* ImageQRCode;
  QLineEdit* LabeledEditAPMAC;
  QLineEdit* LabeledEditSTAMAC;
  QWidget* GridPanelConfig;
  TFrameConfigLine* FrameConfigLine1;
  QComboBox* ComboBoxFlashBaudrate;
  QComboBox* ComboBoxFlashSize;
  QComboBox* ComboBoxFlashSpeed;
  QComboBox* ComboBoxSPIMode;
  QPushButton* ButtonRestoreDefault;
  QTextBrowser* RichEditNote;
  QPlainTextEdit* MemoOutput;
  QFrame* PanelControlPanel;
  QLabel* ImageStatus;
  QLabel* LabelCopyRight;
  QLabel* LabelStatus;
  QTimer* TimerFindPorts;
  QTimer* TimerStateMachine;  // the station's

 protected:
  void closeEvent(QCloseEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;

 private:
  void CreateControls();
  void CreateFlashPage();
  void CreateConfigPage();
  void CreateAdvancedPage();
  void CreateAboutPage();
  void CreateLogPage();
  void CreateBottomBar();
  void ConnectCallbacks();
  void FormCreate();
  void FillFirmwareBox();
  void FirmwareBoxActivated(int Index);
  void FormClose();
  void FormDestroy();
  void SetUpAboutText();
  // The status picture: an animation, or a still picture of the resources.
  void ShowMovie(const QString& Name);
  void ShowPicture(const QString& Name);
  void ReleaseMovie(QMovie* Movie);
  // Places the Flash page's controls for a page PageWidth wide: each at its design place, grown
  // where the font given needs more room, the rows below moved down by what those above grew.
  void PlaceFlashPage(int PageWidth);
  QSize PlaceFlashControls(int PageWidth);
  int PlaceMACBox(QLineEdit* Edit, QRect Design, int RightMargin, int PageWidth);
  // Whether a flash run is going: the one question the window asks of the station about it.
  bool RunGoing() const;
  // Closing the window during a run: the user says whether to stop it and quit.
  bool ConfirmStopAndQuit();
  // The log follows new lines unless the user has scrolled up to read.
  void NoteLogScrolled();
  void RestoreLogView();

  // Settings binding.
  void InitSettings();
  void SaveSettings();
  TSettingsValues ReadSettingControls() const;
  void WriteSettingControls(const TSettingsValues& Values);

  // The Flash run's view of the window.
  bool FirmwareSelected() const override;
  QString SerialPortText() const override;
  bool SafeFlashChecked() const override;
  TFlashJobInputs FlashJobInputs() const override;
  void ShowMessage(const QString& Text) override;
  void Log(const QString& Lines) override;
  void SetBurnCaption(const QString& Caption) override;
  void SetLabelStatus(const QString& Text) override;
  void SetProgress(int Position) override;
  void ShowStatus(TRunStatus Status) override;
  void ShowStage(TRunStage Stage) override;
  void RunFinished(const TRunOutcome&) override {}
  void ShowMACTexts(const QString& APMACStr, const QString& STAMACStr) override;
  void ShowQRPicture(const QImage& Picture) override;

  const QString AppDir;
  QString PortSource = DefaultPortSource();
  TFlashStation Station;  // before Settings, which binds its record's settings folder
  std::unique_ptr<TFirmwareBox> FirmwareBox;
  QStringList RecentImageFilesRead;  // as the settings gave them, until the box holds them
  TSettingsBinding Settings;
  int PlacedPageWidth = 0;
  bool Placing = false;
  bool AskingToQuit = false;
  bool LogFollows = true;
  int LogReadingPosition = 0;  // where the user scrolled to, while the log does not follow
};
