#pragma once
// The command line of ferrule-cli: what to flash on which ports, and how to report it.

#include "firmware/ImageRegions.h"
#include "loader/RunOutcome.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>
#include <vector>

// A command line that cannot be carried out; the message is one line a user can act on.
class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TOutputMode { Terminal, Plain, Json };

// An image file given with --image, and its offset when one was given with it.
struct TCliImage {
  QString Path;
  std::optional<quint32> Offset;
};

struct TCliOptions {
  QString Firmware;            // a built-in image's name or an image file (--firmware)
  std::vector<TCliImage> Images;  // --image, in the order given
  QStringList Ports;           // as given; every one a different device
  bool Safe = false;  // through the boot ROM at 115200 bit/s, not the loader program at 921600
  std::optional<quint32> Rate;  // --rate: the loader program's rate; nothing: 921600
  bool NoRun = false;          // leave the module in its boot loader after flashing
  std::optional<quint32> Offset;  // --offset; nothing: the settings file's
  QString ConfigDir;   // settings folder; empty: beside the executable or its fallback
  QString ResultsFile;  // the results log; empty: "runs.csv" in the settings folder
  bool Json = false;
  bool Watch = false;
  bool Help = false;
  bool Version = false;
  // The workbench's subcommands (cli/CliWorkbench.h): read, erase, verify (the files in Images),
  // info.
  TRunOperation Operation = TRunOperation::Flash;
  quint32 RangeOffset = 0, RangeSize = 0;  // --offset and --size of read and erase
  bool EraseAll = false;                   // erase --all
  QString ReadFile;                        // read's FILE
  bool Force = false;                      // read may replace an existing FILE
};

// "ferrule-cli 1.316", printed for --version.
QString CliVersionText();

// The usage text printed for --help.
QString CliHelpText();

// Reads the arguments (argv without the program name). Throws EUsage for an unknown option, a
// missing value, no firmware or both --firmware and --image, a firmware that is neither built in
// nor a file, no --port (unless watching), the same port twice, an offset that is no number or a
// rate outside 115200 to 4000000 bit/s or one given with --safe.
// Ports are checked by CheckPortsOpenable, the images by ImageSources and CheckImages.
TCliOptions ParseCliOptions(const QStringList& Arguments);

// Throws EUsage when two of Ports name one device (a link, "ttyUSB0" and "/dev/ttyUSB0").
void CheckDistinctPorts(const QStringList& Ports);

// A number as the command line takes it: "0x" and hexadecimal digits, or decimal digits; at most
// 32 bits.
std::optional<quint32> ParseCliNumber(const QString& Text);

// What the options flash: the firmware at the offset, or every image at its own offset (the
// offset of --offset, else SettingsOffset, where it has none).
std::vector<TImageSource> ImageSources(const TCliOptions& Options, quint32 SettingsOffset);
// The name a run's outcome gives the firmware: the built-in image's, or the files' joined by "+".
QString FirmwareName(const TCliOptions& Options);
// Throws EUsage, before any port is touched, for images that cannot be read or written with the
// settings' flash mode, size and speed (see ReadImageRegions, FlashSettingsRefusal and
// RegionsRefusal); returns them read.
std::vector<TImageRegion> CheckImages(const std::vector<TImageSource>& Sources,
                                      const QString& Mode, const QString& Size,
                                      const QString& Speed);

// Throws EUsage, with the serial layer's reason, for the first port that cannot be opened now
// (missing, busy, no serial port, no permission). Each port is opened and closed again; nothing
// is sent.
void CheckPortsOpenable(const QStringList& Ports);

// Throws EUsage when Offset, as the settings file holds it, is no flash offset (hexadecimal, at
// most 32 bits).
quint32 CheckSettingsOffset(const QString& Offset);

// Throws EUsage when the settings folder (the identity record's) or the results log cannot be
// written: before any run starts, so that no module is flashed without its records.
void CheckRecordsWritable(const QString& ConfigDir, const QString& ResultsFile);
