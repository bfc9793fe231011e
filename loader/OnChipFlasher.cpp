#include "loader/OnChipFlasher.h"

#include "loader/FlashErase.h"

#include <QtEndian>

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
  const std::optional<TReplyFrame> Chip = Ask(Link.Frames, BuildOnChipChipId(), OC_CHIP_ID, ReplyWaitMs);
  if (!Chip || !Chip->Success() || !ChipBytes(Chip->Value))
    return Result(NotStarted, "the loader did not tell the flash chip");
  Started.ChipId = Chip->Value;
  return Started;
}

TOnChipResult TOnChipFlasher::Refused(const std::optional<TReplyFrame>& Reply, const char* Step) {
  return Result(TOnChipOutcome::Failed, Reply ? QString("%1 refused (error %2)").arg(Step).arg(Reply->Error)
                                              : QString("no reply to %1").arg(Step));
}

// The program's account of where it acts must be the one asked for: a damaged request that
// still passed as another would write elsewhere.
TOnChipResult TOnChipFlasher::Misplaced(quint32 Offset, quint32 Size, quint32 AskedOffset,
                                        quint32 AskedSize) {
  return Result(TOnChipOutcome::Failed,
                QString("the loader acted on %1 bytes at 0x%2, not %3 bytes at 0x%4")
                    .arg(Size)
                    .arg(Offset, 0, 16)
                    .arg(AskedSize)
                    .arg(AskedOffset, 0, 16));
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
  const auto Size = quint32(Image.size());
  const auto Sectors = quint32((Image.size() + FlashSectorSize - 1) / FlashSectorSize);
  // The program reads the image's sectors back to compare them before it answers.
  const std::optional<TReplyFrame> Begun =
      Ask(Link.Frames, BuildOnChipBegin(Offset, Size, OnChipSectorCrcs(Image)), OC_BEGIN,
          ReplyWaitMs);
  if (!Begun || !Begun->Success()) return Refused(Begun, "the erase");
  const std::optional<TOnChipBegun> Plan = ParseOnChipBegun(*Begun, Sectors);
  if (!Plan) return Result(TOnChipOutcome::Failed, "the loader's answer to BEGIN is unreadable");
  if (Plan->Offset != Offset || Plan->Size != Size)
    return Misplaced(Plan->Offset, Plan->Size, Offset, Size);
  if (Link.EnterStage) Link.EnterStage(TRunStage::Write);
  const QByteArray Stream = SectorsToWrite(Image, Plan->Unchanged);
  const quint32 Room = std::clamp(Plan->Room, 1u, MaxDataInFlight);
  if (const std::optional<TOnChipResult> Failure = SendStream(Stream, Room, Size))
    return *Failure;
  if (Link.EnterStage) Link.EnterStage(TRunStage::Verify);
  const std::optional<TReplyFrame> Finished = Ask(Link.Frames, BuildOnChipFinish(), OC_FINISH, ReplyWaitMs);
  if (!Finished || !Finished->Success()) return Refused(Finished, "the digest");
  const QByteArray& Where = Finished->Answer;
  if (Where.size() != 8) return Result(TOnChipOutcome::Failed, "the loader's digest is unreadable");
  const quint32 DigestOffset = qFromLittleEndian<quint32>(Where.constData());
  const quint32 DigestSize = qFromLittleEndian<quint32>(Where.constData() + 4);
  if (DigestOffset != Offset || DigestSize != Size)
    return Misplaced(DigestOffset, DigestSize, Offset, Size);
  TOnChipResult Done = Result(TOnChipOutcome::Written, QString());
  Done.Sectors = Sectors;
  Done.Unchanged = quint32(std::count(Plan->Unchanged.begin(), Plan->Unchanged.end(), true));
  Done.Expected = OnChipDigest(Image);
  Done.Digest = Finished->Value;
  if (Done.Digest != Done.Expected) {
    Done.Outcome = TOnChipOutcome::DigestDiffers;
    Done.Reason = QString("the flash's digest %1 differs from the image's %2")
                      .arg(Done.Digest, 8, 16, QChar('0'))
                      .arg(Done.Expected, 8, 16, QChar('0'));
  }
  return Done;
}

// The stream's pieces go out back to back while fewer than Room are unanswered; each reply must
// be the success of the oldest piece unanswered. Progress counts the image's bytes.
std::optional<TOnChipResult> TOnChipFlasher::SendStream(const QByteArray& Stream, quint32 Room,
                                                        quint32 ImageSize) {
  const std::vector<QByteArray> Pieces = CompressForOnChip(Stream);
  std::size_t Answered = 0;
  for (std::size_t Sent = 0; Answered < Pieces.size();) {
    if (Sent < Pieces.size() && Sent - Answered < Room) {
      if (Link.Frames.Stopped() || !Link.Frames.Send(BuildOnChipData(Pieces[Sent], quint32(Sent))))
        return Refused(std::nullopt, "a block");
      ++Sent;
      continue;
    }
    std::optional<TReplyFrame> Reply = Link.Frames.NextReply(ReplyWaitMs);
    while (Reply && Reply->Command != OC_DATA) Reply = Link.Frames.NextReply(ReplyWaitMs);
    if (!Reply || !Reply->Success() || Reply->Value != Answered) return Refused(Reply, "a block");
    ++Answered;
    if (Link.Progress)
      Link.Progress(qsizetype(ImageSize) * qsizetype(Answered) / qsizetype(Pieces.size()), ImageSize);
  }
  return std::nullopt;
}

TOnChipResult TOnChipFlasher::Digest(quint32 Offset, quint32 Size) {
  // The program reads about 1 MiB in a second or two of a slow chip.
  const int WaitMs = ReplyWaitMs + int(Size / (256 * 1024)) * 1000;
  const std::optional<TReplyFrame> Reply =
      Ask(Link.Frames, BuildOnChipRange(OC_DIGEST, Offset, Size), OC_DIGEST, WaitMs);
  if (!Reply || !Reply->Success()) return Refused(Reply, "the digest");
  TOnChipResult Done = Result(TOnChipOutcome::Written, QString());
  Done.Digest = Reply->Value;
  return Done;
}

bool TOnChipFlasher::SendRead(quint32 Offset, quint32 Size, quint32 Piece) {
  const quint32 At = Piece * OC_MAX_READ;
  return Link.Frames.Send(BuildOnChipRange(OC_READ, Offset + At, std::min(OC_MAX_READ, Size - At)));
}

// Up to ReadWindow requests are out at a time: the line stays busy with the program's replies
// while the tool's next request crosses it, and the program never has more than one waiting.
TOnChipResult TOnChipFlasher::Read(quint32 Offset, quint32 Size) {
  const quint32 Pieces = (Size + OC_MAX_READ - 1) / OC_MAX_READ;
  TOnChipResult Done = Result(TOnChipOutcome::Written, QString());
  Done.Bytes.reserve(Size);
  for (quint32 Sent = 0, Got = 0; Got < Pieces;) {
    for (; Sent < Pieces && Sent - Got < ReadWindow; ++Sent)
      if (!SendRead(Offset, Size, Sent)) return Refused(std::nullopt, "a read");
    const std::optional<TReplyFrame> Reply = Link.Frames.NextReply(ReplyWaitMs);
    if (Reply && Reply->Command != OC_READ) continue;
    const quint32 At = Got * OC_MAX_READ;
    if (!Reply || !Reply->Success() || Reply->Value != Offset + At ||
        quint32(Reply->Answer.size()) != std::min(OC_MAX_READ, Size - At))
      return Refused(Reply, "a read");
    Done.Bytes.append(Reply->Answer);
    ++Got;
    if (Link.Progress) Link.Progress(Done.Bytes.size(), Size);
  }
  if (Link.EnterStage) Link.EnterStage(TRunStage::Verify);
  const TOnChipResult Checked = Digest(Offset, Size);
  if (Checked.Outcome != TOnChipOutcome::Written) return Checked;
  Done.Digest = Checked.Digest;
  Done.Expected = OnChipDigest(Done.Bytes);
  if (Done.Digest != Done.Expected) {
    Done.Outcome = TOnChipOutcome::DigestDiffers;
    Done.Reason = QString("the flash's digest %1 differs from the bytes read, %2")
                      .arg(Done.Digest, 8, 16, QChar('0'))
                      .arg(Done.Expected, 8, 16, QChar('0'));
  }
  return Done;
}

TOnChipResult TOnChipFlasher::Erase(quint32 Offset, quint32 Size) {
  const quint32 Sectors = Size / FlashSectorSize;
  const std::optional<TReplyFrame> Reply =
      Ask(Link.Frames, BuildOnChipRange(OC_ERASE, Offset, Size), OC_ERASE,
          FlashBeginWaitMs(Offset, Sectors, ReplyWaitMs));
  if (!Reply || !Reply->Success() || Reply->Value != Sectors) return Refused(Reply, "the erase");
  return Result(TOnChipOutcome::Written, QString());
}

// A chip erases as a whole in about the time of its 64 KiB blocks, at worst.
TOnChipResult TOnChipFlasher::EraseChip(quint64 ChipBytes) {
  const std::optional<TReplyFrame> Reply =
      Ask(Link.Frames, BuildOnChipEraseChip(), OC_ERASE_CHIP,
          FlashBeginWaitMs(0, quint32(ChipBytes / FlashSectorSize), ReplyWaitMs));
  if (!Reply || !Reply->Success()) return Refused(Reply, "the erase");
  return Result(TOnChipOutcome::Written, QString());
}
