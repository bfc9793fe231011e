#include "cli/CliWorkbench.h"

#include "app/SettingsBinding.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace {

// The largest flash these modules carry.
constexpr quint64 LargestChipBytes = 16 * 1024 * 1024;
constexpr quint32 SectorBytes = 4096;

[[noreturn]] void Refuse(const QString& Line) { throw EUsage(Line.toStdString()); }

QString Hex(quint64 Value) { return QStringLiteral("0x") + QString::number(Value, 16).toUpper(); }

quint32 NumberOf(const QCommandLineParser& Parser, const char* Name) {
  const std::optional<quint32> Number = ParseCliNumber(Parser.value(Name));
  if (!Number)
    Refuse(QStringLiteral("--%1 \"%2\" is no number (0x for hexadecimal, else decimal).")
               .arg(QLatin1String(Name), Parser.value(Name)));
  return *Number;
}

const QStringList Commands{"flash", "read", "erase", "verify", "info"};

// --offset and --size: both given, the size not 0, the range within the largest chip.
void TakeRange(const QCommandLineParser& Parser, TCliOptions& Options) {
  if (!Parser.isSet("offset") || !Parser.isSet("size"))
    Refuse(
        QStringLiteral("%1 wants --offset N and --size N.").arg(Commands[int(Options.Operation)]));
  Options.RangeOffset = NumberOf(Parser, "offset");
  Options.RangeSize = NumberOf(Parser, "size");
  if (Options.RangeSize == 0) Refuse(QStringLiteral("--size 0: nothing to do."));
  const quint64 End = quint64(Options.RangeOffset) + Options.RangeSize;
  if (End > LargestChipBytes)
    Refuse(QStringLiteral("%1 to %2 passes the end of the largest flash chip (16 MByte).")
               .arg(Hex(Options.RangeOffset), Hex(End - 1)));
}

void TakeErase(const QCommandLineParser& Parser, TCliOptions& Options) {
  Options.EraseAll = Parser.isSet("all");
  if (Options.EraseAll && (Parser.isSet("offset") || Parser.isSet("size")))
    Refuse(QStringLiteral("Give either --all or --offset and --size, not both."));
  if (Options.EraseAll) return;
  TakeRange(Parser, Options);
  if (Options.RangeOffset % SectorBytes || Options.RangeSize % SectorBytes)
    Refuse(QStringLiteral("erase takes whole 4 KiB sectors: %1 and %2 are not multiples of 0x1000.")
               .arg(Hex(Options.RangeOffset), Hex(Options.RangeSize)));
}

// The positional arguments a subcommand takes: read one file, verify at least one.
void TakeFiles(const QStringList& Files, TCliOptions& Options) {
  const bool Wanted =
      Options.Operation == TRunOperation::Read || Options.Operation == TRunOperation::Verify;
  if (!Wanted && !Files.isEmpty())
    Refuse(QStringLiteral("Unexpected argument \"%1\".").arg(Files.first()));
  if (Wanted && Files.isEmpty())
    Refuse(QStringLiteral("%1 wants a FILE.").arg(Commands[int(Options.Operation)]));
  if (Options.Operation == TRunOperation::Read) {
    if (Files.size() > 1) Refuse(QStringLiteral("Unexpected argument \"%1\".").arg(Files[1]));
    Options.ReadFile = Files.first();
  }
  if (Options.Operation != TRunOperation::Verify) return;
  for (const QString& File : Files) {
    const qsizetype At = File.lastIndexOf(u'@');
    TCliImage Image{At < 0 ? File : File.first(At), std::nullopt};
    if (At >= 0) {
      Image.Offset = ParseCliNumber(File.sliced(At + 1));
      if (!Image.Offset) Refuse(QStringLiteral("The offset of \"%1\" is no number.").arg(File));
    }
    Options.Images.push_back(Image);
  }
}

}  // namespace

bool IsWorkbenchCommand(const QStringList& Arguments) {
  return !Arguments.isEmpty() && Commands.indexOf(Arguments.first()) > 0;
}

TCliOptions ParseWorkbenchOptions(const QStringList& Arguments) {
  QCommandLineParser Parser;
  Parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  Parser.addOptions({{"port", "", "port"},
                     {"offset", "", "number"},
                     {"size", "", "number"},
                     {"config", "", "dir"},
                     {"results", "", "file"},
                     {"all", ""},
                     {"force", ""},
                     {"no-run", ""},
                     {"json", ""}});
  if (!Parser.parse(QStringList{QStringLiteral("ferrule-cli")} + Arguments.mid(1)))
    Refuse(Parser.errorText());
  TCliOptions Options;
  Options.Operation = TRunOperation(Commands.indexOf(Arguments.first()));
  for (const char* Single : {"offset", "size", "config", "results"})
    if (Parser.values(Single).size() > 1)
      Refuse(QStringLiteral("--%1 is given twice.").arg(Single));
  const bool Ranged =
      Options.Operation == TRunOperation::Read || Options.Operation == TRunOperation::Erase;
  if (!Ranged && (Parser.isSet("offset") || Parser.isSet("size") || Parser.isSet("all")))
    Refuse(QStringLiteral("%1 takes no --offset, --size or --all.").arg(Arguments.first()));
  if (Options.Operation == TRunOperation::Read) TakeRange(Parser, Options);
  if (Options.Operation == TRunOperation::Erase) TakeErase(Parser, Options);
  TakeFiles(Parser.positionalArguments(), Options);
  Options.Ports = Parser.values("port");
  if (Options.Ports.isEmpty()) Refuse(QStringLiteral("No port given: --port PORT."));
  if (Options.Ports.contains(QString())) Refuse(QStringLiteral("--port wants a port name."));
  CheckDistinctPorts(Options.Ports);
  Options.Force = Parser.isSet("force");
  Options.NoRun = Parser.isSet("no-run") || Options.Operation == TRunOperation::Erase;
  Options.ConfigDir = Parser.value("config");
  Options.ResultsFile = Parser.value("results");
  Options.Json = Parser.isSet("json");
  return Options;
}

void CheckReadFile(const TCliOptions& Options) {
  const QFileInfo File(Options.ReadFile);
  if (File.isDir()) Refuse(QStringLiteral("%1 is a folder.").arg(Options.ReadFile));
  if (File.exists() && !Options.Force)
    Refuse(QStringLiteral("%1 exists; --force replaces it.").arg(Options.ReadFile));
  const bool Writable = File.exists() ? File.isWritable() : FolderWritable(File.absolutePath());
  if (!Writable) Refuse(QStringLiteral("Cannot write %1.").arg(Options.ReadFile));
}

std::vector<TImageRegion> ReadVerifyImages(const TCliOptions& Options) {
  std::vector<TImageSource> Sources;
  for (const TCliImage& Image : Options.Images) {
    if (Image.Offset.value_or(0) % 4)
      Refuse(QStringLiteral("The offset of %1 is no multiple of 4.").arg(Image.Path));
    Sources.push_back({Image.Path, Hex(Image.Offset.value_or(0))});
  }
  const TImagesRead Read = ReadImageRegions(Sources);
  if (!Read.Error.isEmpty()) Refuse(Read.Error.first(1).toUpper() + Read.Error.sliced(1) + u'.');
  return Read.Regions;
}

QString WorkbenchSubject(const TCliOptions& Options) {
  switch (Options.Operation) {
    case TRunOperation::Read:
      return QFileInfo(Options.ReadFile).fileName();
    case TRunOperation::Erase:
      return Options.EraseAll ? QStringLiteral("The flash")
                              : QStringLiteral("%1 to %2")
                                    .arg(Hex(Options.RangeOffset),
                                         Hex(quint64(Options.RangeOffset) + Options.RangeSize - 1));
    case TRunOperation::Verify:
      return FirmwareName(Options);
    case TRunOperation::Flash:
    case TRunOperation::Info:
      break;
  }
  return QStringLiteral("Module info");
}
