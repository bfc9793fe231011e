// ferrule-cli: flashes a built-in firmware image into RQ53 modules on several ports at once, with
// the same run as the window's, for production lines and the scripts that drive them.

#include "app/SettingsBinding.h"
#include "cli/CliOptions.h"
#include "cli/CliPlatform.h"
#include "cli/CliReport.h"
#include "cli/CliRuns.h"

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

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication Application(argc, argv);
  Application.setApplicationName(QStringLiteral("Ferrule"));
  TCliOptions Options;
  try {
    Options = ParseCliOptions(Application.arguments().mid(1));
  } catch (const EUsage& Error) {
    PrintError(QString::fromStdString(Error.what()));
    return 2;
  }
  if (Options.Help) {
    std::printf("%s", qPrintable(CliHelpText()));
    return 0;
  }

  // The Advanced values come from the window's settings file, through the window's binding.
  TSettingsValues Values;
  QString ConfigDir;
  TSettingsBinding Settings(
      ConfigDir, [&] { return Values; }, [&](const TSettingsValues& Read) { Values = Read; },
      [](const QString& Line) { PrintError(Line); });
  if (Options.ConfigDir.isEmpty())
    Settings.InitSettings(QCoreApplication::applicationDirPath());
  else
    Settings.InitSettingsIn(Options.ConfigDir);
  // Everything that can be checked is, before any port is touched: the images read once and
  // tested against the settings, then the ports.
  std::vector<TImageSource> Sources;
  std::vector<TImageRegion> Regions;
  try {
    const quint32 SettingsOffset = Options.Offset ? 0 : CheckSettingsOffset(Values.Offset);
    Sources = ImageSources(Options, SettingsOffset);
    Regions = CheckImages(Sources, SPIModeItems.value(Values.SPIMode),
                          FlashSizeItems.value(Values.FlashSize),
                          FlashSpeedItems.value(Values.FlashSpeed));
    if (!Options.Watch) CheckPortsOpenable(Options.Ports);
  } catch (const EUsage& Error) {
    PrintError(QString::fromStdString(Error.what()));
    return 2;
  }

  TCliReport Report(OutputMode(Options), stdout);
  TCliRuns Runs(Options, Values, Sources, Regions, Settings.ConfigDir(), Report);
  Runs.Start();
  Application.exec();
  Report.PrintSummary();
  return Report.Failed() > 0 ? 1 : 0;
}
