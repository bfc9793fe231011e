// The results log's rule of which runs it keeps, and its times' offsets from UTC.

#include "loader/ResultsLog.h"
#include "tests/loader/QStringPrinting.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <cstdlib>
#include <ctime>

namespace {

TRunOutcome Ended(TRunResult Result, TRunReason Reason, TRunStage Reached) {
  TRunOutcome Outcome;
  Outcome.Result = Result;
  Outcome.Reason = Reason;
  Outcome.Reached = Reached;
  return Outcome;
}

// A run is kept once its port was open and it met a module or failed; a stop or a pulled adapter
// before any module answered leaves a free slot.
TEST(ResultsLog, KeepsRunsThatMetAModuleOrFailed) {
  const struct {
    TRunOutcome Outcome;
    bool Logged;
  } Cases[] = {
      {Ended(TRunResult::Failed, TRunReason::NoPort, TRunStage::PortOpen), false},
      {Ended(TRunResult::Failed, TRunReason::PortNotOpened, TRunStage::PortOpen), false},
      {Ended(TRunResult::Stopped, TRunReason::StoppedByUser, TRunStage::PortOpen), false},
      {Ended(TRunResult::Stopped, TRunReason::StoppedByUser, TRunStage::Handshake), false},
      {Ended(TRunResult::PortLost, TRunReason::PortLost, TRunStage::Handshake), false},
      {Ended(TRunResult::Failed, TRunReason::NoAnswer, TRunStage::Handshake), true},
      {Ended(TRunResult::Failed, TRunReason::MacTimeout, TRunStage::MacRead), true},
      {Ended(TRunResult::Stopped, TRunReason::StoppedByUser, TRunStage::Write), true},
      {Ended(TRunResult::PortLost, TRunReason::PortLost, TRunStage::Erase), true},
      {Ended(TRunResult::Done, TRunReason::None, TRunStage::RunAfterFlash), true},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(IsLoggedRun(Case.Outcome), Case.Logged)
        << ResultName(Case.Outcome.Result).toStdString() << " "
        << ReasonCode(Case.Outcome.Reason).toStdString() << " at "
        << StageName(Case.Outcome.Reached).toStdString();
}

// The offset is written out in every zone, also where it is zero or not a whole hour.
TEST(ResultsLog, TimesCarryTheirOffsetFromUtc) {
  const QDateTime Instant = QDateTime::fromMSecsSinceEpoch(1779010452345, Qt::UTC);
  const char* Before = std::getenv("TZ");
  const std::string Kept = Before ? Before : "";
  const struct {
    const char* Zone;
    QString Text;
  } Cases[] = {
      {"UTC", "2026-05-17T09:34:12+00:00"},
      {"Asia/Kolkata", "2026-05-17T15:04:12+05:30"},
      {"America/Sao_Paulo", "2026-05-17T06:34:12-03:00"},
  };
  for (const auto& Case : Cases) {
    setenv("TZ", Case.Zone, 1);
    tzset();
    EXPECT_EQ(TimeWithOffset(Instant), Case.Text) << Case.Zone;
  }
  EXPECT_EQ(TimeWithOffset(Instant, true).right(10), ".345-03:00");
  if (Before) setenv("TZ", Kept.c_str(), 1); else unsetenv("TZ");
  tzset();
}

}  // namespace
