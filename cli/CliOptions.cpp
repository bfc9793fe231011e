#include "cli/CliOptions.h"

#include "app/SettingsBinding.h"
#include "firmware/FirmwareImage.h"
#include "loader/ResultsLog.h"
#include "serial/SerialPlatform.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

namespace {

[[noreturn]] void Refuse(const QString& Line) { throw EUsage(Line.toStdString()); }

QStringList BuiltInImages() {
  QStringList Names;
  EnumBuiltInImages([&](const QString& Name) { Names << Name; });
  return Names;
}

// Two names of one device (a link, "ttyUSB0" and "/dev/ttyUSB0") are the same port.
QString DeviceIdentity(const QString& Port) {
  const QFileInfo Info(SerialPlatform::DevicePath(Port));
  const QString Canonical = Info.canonicalFilePath();
  return Canonical.isEmpty() ? Info.absoluteFilePath() : Canonical;
}

void CheckDistinct(const QStringList& Ports) {
  QStringList Seen;
  for (const QString& Port : Ports) {
    const QString Device = DeviceIdentity(Port);
    if (Seen.contains(Device)) Refuse(QStringLiteral("Port %1 is given twice.").arg(Port));
    Seen << Device;
  }
}

}  // namespace

QString CliHelpText() {
  return QStringLiteral(
             "Usage: ferrule-cli --firmware NAME --port PORT [--port PORT ...] [options]\n"
             "Flashes a built-in firmware image into RQ53 modules, one on each port, all at once.\n"
             "\n"
             "  --firmware NAME   built-in image: %1\n"
             "  --port PORT       serial port of one module (/dev/ttyUSB0, ttyUSB0); repeat for "
             "more\n"
             "  --safe            flash through the boot ROM at 115200 bit/s, not verified\n"
             "                    (default: the loader program at 921600 bit/s, the flash read\n"
             "                    back and compared; through the boot ROM at 576000 when the\n"
             "                    loader fails)\n"
             "  --no-run          leave the module in its boot loader after flashing\n"
             "  --offset HEX      flash offset (default: the settings file's, 0x00000)\n"
             "  --config DIR      settings folder holding Config.xml, RQ53MAC.txt, runs.csv and "
             "the QR\n"
             "                    pictures\n"
             "  --results FILE    results log, one CSV row per run (default: runs.csv in the "
             "settings\n"
             "                    folder)\n"
             "  --json            one JSON object per line for every event, for factory systems\n"
             "  --watch           jig mode: flash every module that appears on the given ports or\n"
             "                    (without --port) on any USB serial adapter, until Ctrl+C\n"
             "  --version         the version\n"
             "  -h, --help        this text\n"
             "\n"
             "On a terminal done shows in green and failed in red, unless NO_COLOR is set.\n"
             "Exit status: 0 every module flashed (with --watch: every module that answered),\n"
             "1 any run failed or not recorded, 2 bad arguments or records that cannot be "
             "written.\n")
      .arg(BuiltInImages().join(QStringLiteral(", ")));
}

TCliOptions ParseCliOptions(const QStringList& Arguments) {
  QCommandLineParser Parser;
  Parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  Parser.addOptions({{"firmware", "", "name"},
                     {"port", "", "port"},
                     {"offset", "", "hex"},
                     {"config", "", "dir"},
                     {"results", "", "file"},
                     {"safe", ""},
                     {"no-run", ""},
                     {"json", ""},
                     {"watch", ""},
                     {"version", ""},
                     {{"h", "help"}, ""}});
  if (!Parser.parse(QStringList{QStringLiteral("ferrule-cli")} + Arguments))
    Refuse(Parser.errorText());
  if (!Parser.positionalArguments().isEmpty())
    Refuse(QStringLiteral("Unexpected argument \"%1\".").arg(Parser.positionalArguments().first()));
  TCliOptions Options;
  Options.Help = Parser.isSet("help");
  Options.Version = Parser.isSet("version");
  if (Options.Help || Options.Version) return Options;
  for (const char* Single : {"firmware", "offset", "config", "results"})
    if (Parser.values(Single).size() > 1)
      Refuse(QStringLiteral("--%1 is given twice.").arg(Single));
  Options.Firmware = Parser.value("firmware");
  Options.Ports = Parser.values("port");
  Options.Safe = Parser.isSet("safe");
  Options.NoRun = Parser.isSet("no-run");
  Options.Offset = Parser.value("offset");
  Options.ConfigDir = Parser.value("config");
  Options.ResultsFile = Parser.value("results");
  Options.Json = Parser.isSet("json");
  Options.Watch = Parser.isSet("watch");

  const QStringList Images = BuiltInImages();
  if (Options.Firmware.isEmpty())
    Refuse(QStringLiteral("No firmware given: --firmware %1.").arg(Images.join('|')));
  if (!Images.contains(Options.Firmware))
    Refuse(QStringLiteral("Unknown firmware \"%1\"; built in: %2.")
               .arg(Options.Firmware, Images.join(QStringLiteral(", "))));
  if (Options.Ports.isEmpty() && !Options.Watch)
    Refuse(QStringLiteral("No port given: --port PORT."));
  if (Options.Ports.contains(QString())) Refuse(QStringLiteral("--port wants a port name."));
  CheckDistinct(Options.Ports);
  if (Parser.isSet("offset")) CheckOffset(Options.Offset);
  if (Parser.isSet("config") && Options.ConfigDir.isEmpty())
    Refuse(QStringLiteral("--config wants a folder."));
  if (Parser.isSet("results") && Options.ResultsFile.isEmpty())
    Refuse(QStringLiteral("--results wants a file."));
  return Options;
}

QString CliVersionText() { return QStringLiteral("ferrule-cli %1\n").arg(ToolVersion()); }

// A log that exists must take appending (opening it so changes nothing); a new one must be
// creatable in its folder.
void CheckRecordsWritable(const QString& ConfigDir, const QString& ResultsFile) {
  if (!FolderWritable(ConfigDir))
    Refuse(QStringLiteral("Cannot write the settings folder %1.").arg(ConfigDir));
  const QFileInfo Results(ResultsFile);
  QFile Log(ResultsFile);
  const bool Writable = Results.exists() ? Results.isFile() && Log.open(QIODevice::Append)
                                         : FolderWritable(Results.absolutePath());
  if (!Writable) Refuse(QStringLiteral("Cannot write the results log %1.").arg(ResultsFile));
}

void CheckOffset(const QString& Offset) {
  quint32 Address = 0;
  if (!GetBaseAddress(Offset, Address))
    Refuse(QStringLiteral("Offset \"%1\" is no hexadecimal flash address.").arg(Offset));
}

void CheckPortsOpenable(const QStringList& Ports) {
  for (const QString& Port : Ports)
    if (!SerialPlatform::OpenSerialDevice(Port)) Refuse(SerialPlatform::DescribeOpenFailure(Port));
}
