#include "cli/CliOptions.h"

#include "app/SettingsBinding.h"
#include "firmware/FirmwareImage.h"
#include "firmware/ImageHeader.h"
#include "loader/ResultsLog.h"
#include "serial/SerialPlatform.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

[[noreturn]] void Refuse(const QString& Line) { throw EUsage(Line.toStdString()); }

// A reason in the outcome's words as a line of its own.
[[noreturn]] void RefuseReason(const QString& Reason) {
  Refuse(Reason.first(1).toUpper() + Reason.sliced(1) + u'.');
}

QString Hex(quint32 Value) { return QStringLiteral("0x") + QString::number(Value, 16).toUpper(); }

quint32 OffsetOf(const QString& Text, const char* Where) {
  const std::optional<quint32> Offset = ParseCliNumber(Text);
  if (!Offset)
    Refuse(QStringLiteral("%1 \"%2\" is no number (0x for hexadecimal, else decimal).")
               .arg(QLatin1String(Where), Text));
  return *Offset;
}

// The loader program's rate: one its UART divides from its clock with bytes still sampled right.
quint32 RateOf(const QString& Text) {
  constexpr quint32 Lowest = 115200, Highest = 4000000;
  const quint32 Rate = OffsetOf(Text, "Rate");
  if (Rate < Lowest || Rate > Highest)
    Refuse(QStringLiteral("Rate %1 is outside %2 to %3 bit/s.").arg(Rate).arg(Lowest).arg(Highest));
  return Rate;
}

// FILE or FILE@OFFSET.
TCliImage ImageOf(const QString& Argument) {
  const qsizetype At = Argument.lastIndexOf(u'@');
  if (At < 0) return {Argument, std::nullopt};
  return {Argument.first(At), OffsetOf(Argument.sliced(At + 1), "The offset of --image")};
}

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

}  // namespace

void CheckDistinctPorts(const QStringList& Ports) {
  QStringList Seen;
  for (const QString& Port : Ports) {
    const QString Device = DeviceIdentity(Port);
    if (Seen.contains(Device)) Refuse(QStringLiteral("Port %1 is given twice.").arg(Port));
    Seen << Device;
  }
}

QString CliHelpText() {
  return QStringLiteral(
             "Usage: ferrule-cli (--firmware NAME|FILE | --image FILE[@OFFSET] ...) --port PORT "
             "[--port PORT ...] [options]\n"
             "       ferrule-cli read --port PORT --offset N --size N [--force] FILE\n"
             "       ferrule-cli erase --port PORT (--all | --offset N --size N)\n"
             "       ferrule-cli verify --port PORT FILE[@OFFSET] ...\n"
             "       ferrule-cli info --port PORT\n"
             "Flashes firmware into RQ53 modules, one on each port, all at once; or, through the\n"
             "loader program, reads a module's flash into FILE (checked by the module's CRC-32,\n"
             "an existing FILE only with --force), erases exact sectors or the whole chip,\n"
             "compares files with the flash (exit 1 naming the first that differs), or tells\n"
             "the MAC addresses and the flash chip.\n"
             "\n"
             "  --firmware NAME   built-in image (%1) or an image file\n"
             "  --image FILE[@OFFSET]\n"
             "                    an image file at its offset; repeat for several (a boot image at\n"
             "                    0x0, an application at 0x10000, ...)\n"
             "  --port PORT       serial port of one module (/dev/ttyUSB0, ttyUSB0); repeat for "
             "more\n"
             "  --safe            flash through the boot ROM at 115200 bit/s, not verified\n"
             "                    (default: the loader program at 921600 bit/s, the flash read\n"
             "                    back and compared; through the boot ROM at 576000 when the\n"
             "                    loader fails)\n"
             "  --rate N          the loader program's rate in bit/s (default 921600; e.g.\n"
             "                    1500000, 2000000, 3000000); a rate the port or the module\n"
             "                    cannot run falls back to 921600 with a warning\n"
             "  --no-run          leave the module in its boot loader after flashing\n"
             "  --offset N        flash offset of --firmware and of images without one (default:\n"
             "                    the settings file's, 0x00000)\n"
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
             "Numbers: 0x followed by hexadecimal digits, or decimal digits (4096 = 0x1000).\n"
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
                     {"image", "", "file"},
                     {"port", "", "port"},
                     {"offset", "", "number"},
                     {"config", "", "dir"},
                     {"results", "", "file"},
                     {"safe", ""},
                     {"rate", "", "number"},
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
  for (const char* Single : {"firmware", "offset", "config", "results", "rate"})
    if (Parser.values(Single).size() > 1)
      Refuse(QStringLiteral("--%1 is given twice.").arg(Single));
  Options.Firmware = Parser.value("firmware");
  for (const QString& Image : Parser.values("image")) Options.Images.push_back(ImageOf(Image));
  Options.Ports = Parser.values("port");
  Options.Safe = Parser.isSet("safe");
  Options.NoRun = Parser.isSet("no-run");
  if (Parser.isSet("rate")) Options.Rate = RateOf(Parser.value("rate"));
  if (Parser.isSet("offset")) Options.Offset = OffsetOf(Parser.value("offset"), "Offset");
  Options.ConfigDir = Parser.value("config");
  Options.ResultsFile = Parser.value("results");
  Options.Json = Parser.isSet("json");
  Options.Watch = Parser.isSet("watch");

  const QStringList Images = BuiltInImages();
  if (Options.Firmware.isEmpty() && Options.Images.empty())
    Refuse(QStringLiteral("No firmware given: --firmware %1|FILE or --image FILE[@OFFSET].")
               .arg(Images.join('|')));
  if (!Options.Firmware.isEmpty() && !Options.Images.empty())
    Refuse(QStringLiteral("Give either --firmware or --image, not both."));
  if (!Options.Firmware.isEmpty() && !Images.contains(Options.Firmware) &&
      !NamesImageFile(Options.Firmware))
    Refuse(QStringLiteral("Unknown firmware \"%1\"; built in: %2; or give an image file.")
               .arg(Options.Firmware, Images.join(QStringLiteral(", "))));
  if (Options.Safe && Options.Rate)
    Refuse(QStringLiteral("Give either --safe or --rate: the rate is the loader program's."));
  if (Options.Ports.isEmpty() && !Options.Watch)
    Refuse(QStringLiteral("No port given: --port PORT."));
  if (Options.Ports.contains(QString())) Refuse(QStringLiteral("--port wants a port name."));
  CheckDistinctPorts(Options.Ports);
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

quint32 CheckSettingsOffset(const QString& Offset) {
  quint32 Address = 0;
  if (!GetBaseAddress(Offset, Address))
    Refuse(QStringLiteral("The offset \"%1\" of the settings file is no hexadecimal flash address.")
               .arg(Offset));
  return Address;
}

std::optional<quint32> ParseCliNumber(const QString& Text) {
  const bool Hexadecimal = Text.startsWith(QStringLiteral("0x")) || Text.startsWith(QStringLiteral("0X"));
  const QString Digits = Hexadecimal ? Text.sliced(2) : Text;
  bool (*const Digit)(QChar) =
      Hexadecimal ? IsHexDigit : [](QChar C) { return C >= u'0' && C <= u'9'; };
  if (Digits.isEmpty() || !std::all_of(Digits.begin(), Digits.end(), Digit)) return std::nullopt;
  bool Fits = false;
  const qulonglong Value = Digits.toULongLong(&Fits, Hexadecimal ? 16 : 10);
  if (!Fits || Value > 0xFFFFFFFFu) return std::nullopt;
  return quint32(Value);
}

std::vector<TImageSource> ImageSources(const TCliOptions& Options, quint32 SettingsOffset) {
  const quint32 Offset = Options.Offset.value_or(SettingsOffset);
  if (!Options.Firmware.isEmpty()) return {{Options.Firmware, Hex(Offset)}};
  std::vector<TImageSource> Sources;
  for (const TCliImage& Image : Options.Images)
    Sources.push_back({Image.Path, Hex(Image.Offset.value_or(Offset))});
  return Sources;
}

QString FirmwareName(const TCliOptions& Options) {
  if (!Options.Firmware.isEmpty()) return ImageDisplayName(Options.Firmware);
  QStringList Names;
  for (const TCliImage& Image : Options.Images) Names << ImageDisplayName(Image.Path);
  return Names.join(u'+');
}

std::vector<TImageRegion> CheckImages(const std::vector<TImageSource>& Sources,
                                      const QString& Mode, const QString& Size,
                                      const QString& Speed) {
  const TImagesRead Read = ReadImageRegions(Sources);
  if (!Read.Error.isEmpty()) RefuseReason(Read.Error);
  QString Refusal = FlashSettingsRefusal(Mode, Size, Speed);
  if (Refusal.isEmpty()) Refusal = RegionsRefusal(Read.Regions, FlashSizeBytes(Size).value_or(0), Size);
  if (!Refusal.isEmpty()) RefuseReason(Refusal);
  return Read.Regions;
}

void CheckPortsOpenable(const QStringList& Ports) {
  for (const QString& Port : Ports)
    if (!SerialPlatform::OpenSerialDevice(Port)) Refuse(SerialPlatform::DescribeOpenFailure(Port));
}
