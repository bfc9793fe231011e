#include "loader/OnChipFlasher.h"

#include "loader/FlashErase.h"

#include <algorithm>

TOnChipFlasher::TOnChipFlasher(TOnChipLink Link, quint32 LineRate, quint32 FastRate)
    : Link(std::move(Link)), LineRate(LineRate), FastRate(FastRate) {}

TOnChipResult TOnChipFlasher::Result(TOnChipOutcome Outcome, const QString& Reason) {
  TOnChipResult Result;
  Result.Outcome = Outcome;
  Result.Reason = Reason;
  return Result;
}

TOnChipResult TOnChipFlasher::Start(const TOnChipProgram& Program) {
  using enum TOnChipOutcome;
  const std::optional<TReplyFrame> Uploaded = TRomSession(Link.Frames).Upload(Program);
  if (!Uploaded || !Uploaded->Success())
    return Result(Uploaded ? NotUploaded : NotStarted, "the loader could not be uploaded");
  const std::optional<TReplyFrame> Greeting = Link.Frames.NextReply(GreetingWaitMs);
  if (!Greeting || Greeting->Command != OC_PING || Greeting->Value != OC_MAGIC)
    return Result(NotStarted, "the loader did not start");
  TOnChipResult Started = Result(Written, QString());
  Started.Rate = LineRate;
  for (const quint32 To : {std::min(FastRate, StepRate), FastRate}) {
    if (To == Started.Rate) continue;
    const TRateStep Step = ChangeRate(Started.Rate, To, Started);
    if (Step == TRateStep::Lost) return Result(NotStarted, Started.Reason);
    if (Step == TRateStep::Kept) break;
    Started.Rate = To;
  }
  return Started;
}

// The port is tried at the new rate before the program is told of it. After the switch the
// program waits for a PING at the new rate; without one it goes back to the old rate on its own.
TOnChipFlasher::TRateStep TOnChipFlasher::ChangeRate(quint32 Rate, quint32 To,
                                                     TOnChipResult& Started) {
  if (!Link.SetLineRate(To)) {
    Started.RateWarning =
        QString("the port does not run at %1 bit/s; the loader stays at %2").arg(To).arg(Rate);
    return TRateStep::Kept;
  }
  Link.SetLineRate(Rate);
  const std::optional<TReplyFrame> Asked =
      Ask(Link.Frames, BuildOnChipRate(To, Rate), OC_RATE, ReplyWaitMs);
  if (!Asked || !Asked->Success()) {
    Started.Reason = "the loader did not change its rate";
    return TRateStep::Lost;
  }
  Link.SetLineRate(To);
  if (Pinged(RatePingWaitMs)) return TRateStep::Changed;
  Link.SetLineRate(Rate);
  for (int Ping = 0; Ping < FallbackPings; ++Ping) {
    if (!Pinged(RatePingWaitMs)) continue;
    Started.RateWarning =
        QString("the loader did not answer at %1 bit/s; both sides went back to %2")
            .arg(To)
            .arg(Rate);
    return TRateStep::Kept;
  }
  Started.Reason = "the loader did not answer at the new rate";
  return TRateStep::Lost;
}

bool TOnChipFlasher::Pinged(int WaitMs) {
  const std::optional<TReplyFrame> Ping = Ask(Link.Frames, BuildOnChipPing(), OC_PING, WaitMs);
  return Ping && Ping->Success() && Ping->Value == OC_MAGIC;
}

TOnChipResult TOnChipFlasher::Flash(const QByteArray& Image, quint32 Offset) {
  using enum TOnChipOutcome;
  auto Refused = [](const std::optional<TReplyFrame>& Reply, const char* Step) {
    return Result(Failed, Reply ? QString("%1 refused (error %2)").arg(Step).arg(Reply->Error)
                                : QString("no reply to %1").arg(Step));
  };
  // The program erases exactly the image's sectors before it answers; a slow chip takes long.
  const auto Sectors = quint32((Image.size() + FlashSectorSize - 1) / FlashSectorSize);
  const std::optional<TReplyFrame> Begun =
      Ask(Link.Frames, BuildOnChipBegin(Offset, quint32(Image.size())), OC_BEGIN,
          FlashBeginWaitMs(Offset, Sectors, ReplyWaitMs));
  if (!Begun || !Begun->Success()) return Refused(Begun, "the erase");
  if (Link.EnterStage) Link.EnterStage(TRunStage::Write);
  const std::vector<QByteArray> Pieces = CompressForOnChip(Image);
  for (std::size_t Sequence = 0; Sequence < Pieces.size(); ++Sequence) {
    const std::optional<TReplyFrame> Taken =
        Ask(Link.Frames, BuildOnChipData(Pieces[Sequence], quint32(Sequence)), OC_DATA, ReplyWaitMs);
    if (!Taken || !Taken->Success()) return Refused(Taken, "a block");
    if (Link.Progress)
      Link.Progress(Image.size() * qsizetype(Sequence + 1) / qsizetype(Pieces.size()),
                    Image.size());
  }
  if (Link.EnterStage) Link.EnterStage(TRunStage::Verify);
  const std::optional<TReplyFrame> Finished = Ask(Link.Frames, BuildOnChipFinish(), OC_FINISH, ReplyWaitMs);
  if (!Finished || !Finished->Success()) return Refused(Finished, "the digest");
  TOnChipResult Done = Result(Written, QString());
  Done.Expected = OnChipDigest(Image);
  Done.Digest = Finished->Value;
  if (Done.Digest != Done.Expected) {
    Done.Outcome = DigestDiffers;
    Done.Reason = QString("the flash's digest %1 differs from the image's %2")
                      .arg(Done.Digest, 8, 16, QChar('0'))
                      .arg(Done.Expected, 8, 16, QChar('0'));
  }
  return Done;
}
