#pragma once
// What a flash run tells about itself, as values: the stage it is in while it goes on, and one
// outcome when it is over. Every front end (the window, ferrule-cli, the records, benchmarks and
// tests) reads these; the log lines are only their rendering for people.

#include <QByteArray>
#include <QString>

#include <vector>

// The stages of a run, in the order they come.
enum class TRunStage {
  PortOpen,       // the port is being opened
  Handshake,      // the module is reset into its boot loader and sent SYNC until it answers
  MacRead,        // its MAC eFuse words are read
  Read,           // the flash is read to a file (progress follows)
  Erase,          // the image's sectors are erased
  Write,          // the image is written (progress follows)
  Verify,         // the flash is read back and compared with the image
  RunAfterFlash,  // the module is reset so that the new firmware runs
};

enum class TRunResult {
  Done,     // the image is in the module's flash
  Failed,   // the run gave up: see the reason
  Stopped,  // the user stopped it
  PortLost, // the port went away (the adapter was pulled)
};

// What a run does once the module answered: flash images (the window's only kind), or one of the
// workbench's operations through the loader program.
enum class TRunOperation {
  Flash,
  Read,    // a range of the flash into a file, checked by the program's digest
  Erase,   // exact sectors, or the whole chip
  Verify,  // images compared with the flash by digests, nothing written
  Info,    // the module's MAC and flash chip
};

// How the image was written.
enum class TFlashPath {
  None,                // nothing was written
  Loader,              // through Ferrule's loader program at its rate
  BootRom,             // through the boot ROM ("Safe Flash")
  BootRomAfterLoader,  // through the boot ROM because the loader program could not be used
};

// Why a run did not end done, as a code a script can match.
enum class TRunReason {
  None,
  NoPort,              // no port name given
  PortNotOpened,       // the port cannot be opened
  NoAnswer,            // the module never answered the handshake
  MacTimeout,          // no reply to a MAC read
  MacRefused,          // the module refused a MAC read
  NotRecorded,         // the module's record or picture could not be written
  ImageMissing,        // the firmware image is not available
  BadSettings,         // the offset or the flash settings cannot take the image
  EraseTimeout,        // no reply to the flash start (erase)
  EraseRefused,        // the module refused the flash start
  BlockTimeout,        // no reply to a block
  BlockRefused,        // the module refused a block
  LoaderFailed,        // the loader program refused or did not answer while writing
  DigestDiffers,       // the flash read back differs from the image
  NoAnswerAfterReset,  // the boot ROM did not answer again after the loader program
  StoppedByUser,
  PortLost,
  FileNotWritten,      // the flash read could not be written to its file
};

// One image the run was to write.
struct TFlashedRegion {
  QString Name;
  quint32 Offset = 0;
  QByteArray Sha256;
};

struct TRunOutcome {
  TRunOperation Operation = TRunOperation::Flash;
  TRunResult Result = TRunResult::Failed;
  TRunReason Reason = TRunReason::None;
  QString ReasonText;      // the reason in words ("block 301 of 469 refused (invalid message)")
  bool Verified = false;   // the flash's digest was read back and equals the image's
  TFlashPath Path = TFlashPath::None;
  QString LoaderFailure;   // why the loader program was not used, on BootRomAfterLoader
  TRunStage Reached = TRunStage::PortOpen;  // the last stage the run entered
  QString Firmware;        // the images' name
  std::vector<TFlashedRegion> Regions;  // every image, as read (before a header was patched)
  QByteArray ImageSha256;  // of the one image; empty when there are several or none
  quint32 Offset = 0;      // of the one image
  QString StationMAC;      // "18:FE:34:12:34:56", empty when it was not read
  QString AccessPointMAC;  // "1A-FE-34-12-34-56"
  QString PictureFile;     // the QR picture's file name in the settings folder
  quint32 ChipId = 0;      // the flash chip's JEDEC ID as the loader program told it; 0: not told
  QString Port;
  quint32 LineRate = 0;    // bit/s the loader program took the images at (0: another path)
  QString RateWarning;     // why that is below the rate asked for, if it is
  int BlocksWritten = 0;   // 1 KiB blocks of the image the module took
  int BlockCount = 0;      // of the image; 0 before it was begun
  double Seconds = 0;      // from the press of Flash
};

// Names a script reads: "done", "failed", "stopped", "port-lost"; "loader", "boot-rom",
// "boot-rom-after-loader", "none"; reason codes such as "block-refused" ("" for None).
QString ResultName(TRunResult Result);
QString PathName(TFlashPath Path);
QString ReasonCode(TRunReason Reason);
QString StageName(TRunStage Stage);
// "flash", "read", "erase", "verify", "info".
QString OperationName(TRunOperation Operation);

// The one log line that says how a run that reached the module ended: "Note: CORVEL flashed to
// 18:FE:34:12:34:59 in 11.7 s." ("backup.bin read from", "erased on", "verified on" for the
// workbench's operations), "Error: CORVEL not flashed: block 301 of 469 refused (invalid
// message).", "Warning: CORVEL not flashed: stopped by the user after 12 of 469 blocks."
QString OutcomeLine(const TRunOutcome& Outcome);

// Whether the module answered the handshake: the run reached its MAC read.
inline bool ModuleAnswered(const TRunOutcome& Outcome) {
  return Outcome.Reached >= TRunStage::MacRead;
}
