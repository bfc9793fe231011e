#include "loader/RunOutcome.h"

#include <array>
#include <utility>

QString ResultName(TRunResult Result) {
  switch (Result) {
    case TRunResult::Done:
      return QStringLiteral("done");
    case TRunResult::Failed:
      break;
    case TRunResult::Stopped:
      return QStringLiteral("stopped");
    case TRunResult::PortLost:
      return QStringLiteral("port-lost");
  }
  return QStringLiteral("failed");
}

QString PathName(TFlashPath Path) {
  switch (Path) {
    case TFlashPath::None:
      break;
    case TFlashPath::Loader:
      return QStringLiteral("loader");
    case TFlashPath::BootRom:
      return QStringLiteral("boot-rom");
    case TFlashPath::BootRomAfterLoader:
      return QStringLiteral("boot-rom-after-loader");
  }
  return QStringLiteral("none");
}

QString ReasonCode(TRunReason Reason) {
  static const std::array<const char*, 18> Codes{
      "",           "no-port",        "port-not-opened", "no-answer",     "mac-timeout",
      "mac-refused", "not-recorded",  "image-missing",   "bad-settings",  "erase-timeout",
      "erase-refused", "block-timeout", "block-refused", "loader-failed", "digest-differs",
      "no-answer-after-reset", "stopped-by-user", "port-lost"};
  return QString::fromLatin1(Codes.at(std::size_t(Reason)));
}

QString StageName(TRunStage Stage) {
  static const std::array<const char*, 7> Names{"open",  "sync",   "mac", "erase",
                                                "write", "verify", "run"};
  return QString::fromLatin1(Names.at(std::size_t(Stage)));
}

QString OutcomeLine(const TRunOutcome& Outcome) {
  const QString NotFlashed = QStringLiteral("%1 not flashed: ").arg(Outcome.Firmware);
  switch (Outcome.Result) {
    case TRunResult::Done:
      return QStringLiteral("Note: %1 flashed to %2 in %3 s.")
          .arg(Outcome.Firmware, Outcome.StationMAC, QString::number(Outcome.Seconds, 'f', 1));
    case TRunResult::Failed:
      return QStringLiteral("Error: ") + NotFlashed + Outcome.ReasonText + u'.';
    case TRunResult::Stopped:
    case TRunResult::PortLost:
      break;
  }
  const QString Where = Outcome.BlockCount == 0 ? QStringLiteral("before programming")
                                                : QStringLiteral("after %1 of %2 blocks")
                                                      .arg(Outcome.BlocksWritten)
                                                      .arg(Outcome.BlockCount);
  return QStringLiteral("Warning: ") + NotFlashed + Outcome.ReasonText + u' ' + Where + u'.';
}
