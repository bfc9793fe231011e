// ferrule-cli: flashes a built-in firmware image into RQ53 modules on several ports at once, with
// the same run as the window's, for production lines and the scripts that drive them.

#include "app/SettingsBinding.h"
#include "cli/CliOptions.h"
#include "cli/CliPlatform.h"
#include "cli/CliReport.h"
#include "cli/CliRuns.h"
#include "cli/CliWorkbench.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void PrintError(const QString& Line) {
  std::fprintf(stderr, "ferrule-cli: %s\n", qPrintable(Line));
}

TOutputMode OutputMode(const TCliOptions& Options) {
  if (Options.Json) return TOutputMode::Json;
  return CliPlatform::StandardOutputIsTerminal() ? TOutputMode::Terminal : TOutputMode::Plain;
}

// Colour unless NO_COLOR is set to anything but the empty text.
bool ColourWanted() { return qEnvironmentVariableIsEmpty("NO_COLOR"); }

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication Application(argc, argv);
  Application.setApplicationName(QStringLiteral("Ferrule"));
  TCliOptions Options;
  try {
    const QStringList Arguments = Application.arguments().mid(1);
    Options = IsWorkbenchCommand(Arguments) ? ParseWorkbenchOptions(Arguments)
                                            : ParseCliOptions(Arguments);
  } catch (const EUsage& Error) {
    PrintError(QString::fromStdString(Error.what()));
    return 2;
  }
  if (Options.Help || Options.Version) {
    std::printf("%s", qPrintable(Options.Help ? CliHelpText() : CliVersionText()));
    return 0;
  }

  // The Advanced values come from the window's settings file, through the window's binding. Its
  // warnings are printed once the settings are known to be usable: a refusal is one line.
  TSettingsValues Values;
  QString ConfigDir;
  QStringList SettingsLines;
  TSettingsBinding Settings(
      ConfigDir, [&] { return Values; }, [&](const TSettingsValues& Read) { Values = Read; },
      [&](const QString& Line) { SettingsLines << Line; });
  if (Options.ConfigDir.isEmpty())
    Settings.InitSettings(QCoreApplication::applicationDirPath());
  else
    Settings.InitSettingsIn(Options.ConfigDir);
  // Everything that can be checked is, before any port is touched: the records, the images read
  // once and tested against the settings, then the ports.
  const QString ResultsFile = Options.ResultsFile.isEmpty()
                                  ? Settings.ConfigDir() + QStringLiteral("runs.csv")
                                  : Options.ResultsFile;
  std::vector<TImageSource> Sources;
  std::vector<TImageRegion> Regions;
  try {
    CheckRecordsWritable(Settings.ConfigDir(), ResultsFile);
    if (Options.Operation == TRunOperation::Flash) {
      const quint32 SettingsOffset = Options.Offset ? 0 : CheckSettingsOffset(Values.Offset);
      Sources = ImageSources(Options, SettingsOffset);
      Regions = CheckImages(Sources, SPIModeItems.value(Values.SPIMode),
                            FlashSizeItems.value(Values.FlashSize),
                            FlashSpeedItems.value(Values.FlashSpeed));
    }
    if (Options.Operation == TRunOperation::Verify) Regions = ReadVerifyImages(Options);
    if (Options.Operation == TRunOperation::Read) CheckReadFile(Options);
    if (!Options.Watch) CheckPortsOpenable(Options.Ports);
  } catch (const EUsage& Error) {
    PrintError(QString::fromStdString(Error.what()));
    return 2;
  }
  for (const QString& Line : SettingsLines) PrintError(Line);

  TCliReport Report(OutputMode(Options), ColourWanted(), stdout);
  TCliRuns Runs(Options, Values, Sources, Regions, Settings.ConfigDir(), ResultsFile, Report);
  Runs.Start();
  Application.exec();
  Report.Finish();
  return Report.Failed() > 0 || Runs.ResultsLogFailures() > 0 ? 1 : 0;
}
