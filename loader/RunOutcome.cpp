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
  static const std::array<const char*, 19> Codes{
      "",           "no-port",        "port-not-opened", "no-answer",     "mac-timeout",
      "mac-refused", "not-recorded",  "image-missing",   "bad-settings",  "erase-timeout",
      "erase-refused", "block-timeout", "block-refused", "loader-failed", "digest-differs",
      "no-answer-after-reset", "stopped-by-user", "port-lost",
      "file-not-written"};
  return QString::fromLatin1(Codes.at(std::size_t(Reason)));
}

QString StageName(TRunStage Stage) {
  static const std::array<const char*, 8> Names{"open",  "sync",  "mac",    "read",
                                                "erase", "write", "verify", "run"};
  return QString::fromLatin1(Names.at(std::size_t(Stage)));
}

QString OperationName(TRunOperation Operation) {
  static const std::array<const char*, 5> Names{"flash", "read", "erase", "verify", "info"};
  return QString::fromLatin1(Names.at(std::size_t(Operation)));
}

namespace {

// What was done to the firmware (or the file, the range) and what was not.
std::pair<QString, QString> OutcomeVerbs(TRunOperation Operation) {
  switch (Operation) {
    case TRunOperation::Flash:
      break;
    case TRunOperation::Read:
    case TRunOperation::Info:
      return {QStringLiteral("read from"), QStringLiteral("not read")};
    case TRunOperation::Erase:
      return {QStringLiteral("erased on"), QStringLiteral("not erased")};
    case TRunOperation::Verify:
      return {QStringLiteral("verified on"), QStringLiteral("not verified")};
  }
  return {QStringLiteral("flashed to"), QStringLiteral("not flashed")};
}

}  // namespace

QString OutcomeLine(const TRunOutcome& Outcome) {
  const auto [Done, NotDone] = OutcomeVerbs(Outcome.Operation);
  const QString NotFlashed = QStringLiteral("%1 %2: ").arg(Outcome.Firmware, NotDone);
  switch (Outcome.Result) {
    case TRunResult::Done:
      return QStringLiteral("Note: %1 %2 %3 in %4 s.")
          .arg(Outcome.Firmware, Done, Outcome.StationMAC, QString::number(Outcome.Seconds, 'f', 1));
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
