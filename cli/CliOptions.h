#pragma once
// The command line of ferrule-cli: what to flash on which ports, and how to report it.

#include <QString>
#include <QStringList>

#include <stdexcept>

// A command line that cannot be carried out; the message is one line a user can act on.
class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TOutputMode { Terminal, Plain, Json };

struct TCliOptions {
  QString Firmware;    // display name of a built-in image
  QStringList Ports;   // as given; every one a different device
  bool Safe = false;   // through the boot ROM at 115200 bit/s, not the loader program at 921600
  bool NoRun = false;  // leave the module in its boot loader after flashing
  QString Offset;      // flash offset text; empty: the settings file's
  QString ConfigDir;   // settings folder; empty: beside the executable or its fallback
  QString ResultsFile;  // the results log; empty: "runs.csv" in the settings folder
  bool Json = false;
  bool Watch = false;
  bool Help = false;
  bool Version = false;
};

// "ferrule-cli 1.316", printed for --version.
QString CliVersionText();

// The usage text printed for --help.
QString CliHelpText();

// Reads the arguments (argv without the program name). Throws EUsage for an unknown option, a
// missing value, a firmware that is not built in, no --port (unless watching), the same port
// twice or an offset that is no number. Ports are checked by CheckPortsOpenable.
TCliOptions ParseCliOptions(const QStringList& Arguments);

// Throws EUsage, with the serial layer's reason, for the first port that cannot be opened now
// (missing, busy, no serial port, no permission). Each port is opened and closed again; nothing
// is sent.
void CheckPortsOpenable(const QStringList& Ports);

// Throws EUsage when Offset is no flash offset (hexadecimal, at most 32 bits).
void CheckOffset(const QString& Offset);

// Throws EUsage when the settings folder (the identity record's) or the results log cannot be
// written: before any run starts, so that no module is flashed without its records.
void CheckRecordsWritable(const QString& ConfigDir, const QString& ResultsFile);
