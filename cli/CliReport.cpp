#include "cli/CliReport.h"

#include "loader/OnChipCodec.h"

#include <QStringList>

#include <algorithm>

namespace {

// How often the terminal block is drawn again, so that the seconds go on in every stage.
constexpr int TickMs = 100;

const QString NoMAC = QStringLiteral("--:--:--:--:--:--");
// The widest word of the stage column ("port-lost").
constexpr int StageWidth = 9;

QString Seconds(double Value) { return QString::number(Value, 'f', 1); }

// How the image went onto the module, in words.
QString PathWords(const TRunOutcome& Outcome) {
  switch (Outcome.Path) {
    case TFlashPath::Loader:
      return QStringLiteral("loader program") + (Outcome.RateWarning.isEmpty()
                                                     ? QString()
                                                     : QStringLiteral(": ") + Outcome.RateWarning);
    case TFlashPath::BootRom:
      return QStringLiteral("boot ROM");
    case TFlashPath::BootRomAfterLoader:
      return QStringLiteral("boot ROM after the loader failed: ") + Outcome.LoaderFailure;
    case TFlashPath::None:
      break;
  }
  return QString();
}

// What a finished run's line says besides its result: whether the flash was compared and how it
// was written, or why the run did not end done (and the loader's failure before it, if any).
// The flash chip the loader program told, as "chip C8 40 16, 4 MByte"; empty when none was.
QString ChipWords(const TRunOutcome& Outcome) {
  const std::optional<quint64> Chip = ChipBytes(Outcome.ChipId);
  return Chip ? QStringLiteral("chip %1, %2").arg(ChipIdText(Outcome.ChipId), ChipSizeText(*Chip))
              : QString();
}

QString OutcomeNote(const TRunOutcome& Outcome) {
  if (Outcome.Result == TRunResult::Done && Outcome.Operation == TRunOperation::Info)
    return ChipWords(Outcome) + QStringLiteral(", AP ") + Outcome.AccessPointMAC;
  if (Outcome.Result == TRunResult::Done)
    return (Outcome.Verified ? QStringLiteral("verified (") : QStringLiteral("not verified (")) +
           PathWords(Outcome) + u')';
  if (Outcome.Path == TFlashPath::BootRomAfterLoader)
    return Outcome.ReasonText + QStringLiteral(" (") + PathWords(Outcome) + u')';
  return Outcome.ReasonText;
}

}  // namespace

double TRunLine::Seconds() const {
  return Outcome ? Outcome->Seconds : double(Clock.elapsed()) / 1000;
}

TCliReport::TCliReport(TOutputMode Mode, bool Colour, std::FILE* Out)
    : Mode(Mode), Colour(Colour && Mode == TOutputMode::Terminal), Out(Out) {
  Clock.start();
  Ticker.setInterval(TickMs);
  QObject::connect(&Ticker, &QTimer::timeout, [this] { Redraw(); });
}

void TCliReport::Start(const TCliStart& Start) {
  if (Mode == TOutputMode::Json) Write(JsonLine(JsonStart(Start)));
}

int TCliReport::AddRun(const QString& Port) {
  TRunLine& Run = Runs.emplace_back();
  Run.Port = Port;
  Run.Clock.start();
  if (Mode == TOutputMode::Terminal) Ticker.start();
  Emit(int(Runs.size()) - 1, StageName(Run.Stage));
  return int(Runs.size()) - 1;
}

void TCliReport::Stage(int Index, TRunStage Stage) {
  TRunLine& Run = Runs[size_t(Index)];
  if (Run.Ended() || Stage <= Run.Stage) return;
  Run.Stage = Stage;
  // The MAC read's event comes with the MAC.
  if (Stage == TRunStage::MacRead) return Redraw();
  Emit(Index, StageName(Stage));
}

void TCliReport::Progress(int Index, int Percent) {
  TRunLine& Run = Runs[size_t(Index)];
  if (Run.Ended() || Run.Percent == Percent) return;
  Run.Percent = Percent;
  if (Run.Stage != TRunStage::Read) Run.Stage = std::max(Run.Stage, TRunStage::Write);
  Emit(Index, QStringLiteral("progress"));
}

void TCliReport::MAC(int Index, const QString& STAMAC, const QString& APMAC) {
  TRunLine& Run = Runs[size_t(Index)];
  if (Run.Ended()) return;
  Run.MAC = STAMAC;
  Run.Stage = std::max(Run.Stage, TRunStage::MacRead);
  if (Mode != TOutputMode::Json) return Emit(Index, QStringLiteral("mac"));
  QJsonObject Event = JsonEvent(QStringLiteral("mac"), Run.Port);
  Event.insert("seconds", Run.Seconds());
  Event.insert("sta_mac", STAMAC);
  Event.insert("ap_mac", APMAC);
  Write(JsonLine(Event));
}

void TCliReport::End(int Index, const TRunOutcome& Outcome) {
  TRunLine& Run = Runs[size_t(Index)];
  if (Run.Ended()) return;
  Run.Outcome = Outcome;
  if (!Outcome.StationMAC.isEmpty()) Run.MAC = Outcome.StationMAC;
  if (Mode == TOutputMode::Json) return Write(JsonLine(JsonResult(Outcome)));
  Emit(Index, QStringLiteral("result"));
}

void TCliReport::Free(int Index) {
  TRunLine& Run = Runs[size_t(Index)];
  if (Run.Ended()) return;
  const double Seconds = Run.Seconds();
  Run.Free = true;
  if (Mode == TOutputMode::Terminal) return Redraw();
  if (Mode == TOutputMode::Plain) return Write(Run.Port + QStringLiteral(" free: no module answered\n"));
  QJsonObject Event = JsonEvent(QStringLiteral("free"), Run.Port);
  Event.insert("seconds", Seconds);
  Write(JsonLine(Event));
}

void TCliReport::Note(const QString& Text, const QString& Port) {
  const QString Line = Port.isEmpty() ? Text : Port + QStringLiteral(": ") + Text;
  switch (Mode) {
    case TOutputMode::Json: {
      QJsonObject Event = JsonEvent(QStringLiteral("note"), Port);
      Event.insert("text", Text);
      Write(JsonLine(Event));
      break;
    }
    case TOutputMode::Plain:
      Write(Line + u'\n');
      break;
    case TOutputMode::Terminal:
      LastNote = Line;
      Redraw();
      break;
  }
}

int TCliReport::Done() const {
  return int(std::count_if(Runs.begin(), Runs.end(), [](const TRunLine& Run) {
    return Run.Outcome && Run.Outcome->Result == TRunResult::Done;
  }));
}

int TCliReport::Failed() const {
  return int(std::count_if(Runs.begin(), Runs.end(), [](const TRunLine& Run) {
    return Run.Outcome && Run.Outcome->Result != TRunResult::Done;
  }));
}

// A stage or progress event of a run going on.
void TCliReport::Emit(int Index, const QString& Event) {
  TRunLine& Run = Runs[size_t(Index)];
  switch (Mode) {
    case TOutputMode::Json: {
      QJsonObject Object = JsonEvent(Event, Run.Port);
      Object.insert("seconds", Run.Seconds());
      if (Event == QStringLiteral("progress")) Object.insert("percent", Run.Percent);
      Write(JsonLine(Object));
      break;
    }
    case TOutputMode::Plain:
      // Progress as a plain line once per tenth of the image, every other event always.
      if (Event == QStringLiteral("progress")) {
        if (Run.Percent / 10 == Run.PlainDecile) return;
        Run.PlainDecile = Run.Percent / 10;
      }
      Write(Line(Run) + u'\n');
      break;
    case TOutputMode::Terminal:
      Redraw();
      break;
  }
}

int TCliReport::PortWidth() const {
  qsizetype Width = 4;  // "PORT"
  for (const TRunLine& Run : Runs)
    if (!Run.Free) Width = std::max(Width, Run.Port.size());
  return int(Width);
}

// The result word (a stage while the run goes on), padded, coloured on a terminal when asked.
QString TCliReport::ResultWord(const TRunLine& Run) const {
  const QString Word =
      Run.Outcome ? ResultName(Run.Outcome->Result) : StageName(Run.Stage);
  const QString Padded = Word.leftJustified(StageWidth);
  if (!Colour || !Run.Outcome) return Padded;
  const bool Done = Run.Outcome->Result == TRunResult::Done;
  return (Done ? QStringLiteral("\x1b[32m") : QStringLiteral("\x1b[31m")) + Word +
         QStringLiteral("\x1b[0m") + Padded.mid(Word.size());
}

QString TCliReport::Line(const TRunLine& Run) const {
  QString Text = QStringLiteral("%1 %2 %3% %4 %5s")
                     .arg(Run.Port.leftJustified(PortWidth()), ResultWord(Run))
                     .arg(Run.Percent, 3)
                     .arg(Run.MAC.isEmpty() ? NoMAC : Run.MAC)
                     .arg(Seconds(Run.Seconds()), 6);
  if (Run.Outcome) Text += u' ' + OutcomeNote(*Run.Outcome);
  return Text;
}

// The terminal block: one line per run and a foot line, written over the block drawn before.
void TCliReport::Redraw() {
  if (Mode != TOutputMode::Terminal) return;
  QString Text = DrawnLines > 0 ? QStringLiteral("\x1b[%1A").arg(DrawnLines) : QString();
  QStringList Lines;
  for (const TRunLine& Run : Runs)
    if (!Run.Free) Lines << Line(Run);
  if (!LastNote.isEmpty()) Lines << LastNote;
  for (const QString& Line : Lines) Text += QStringLiteral("\r\x1b[2K") + Line + u'\n';
  // A run gone from the table leaves lines below the block: they are cleared.
  for (int Left = DrawnLines - int(Lines.size()); Left > 0; --Left) Text += QStringLiteral("\r\x1b[2K\n");
  if (DrawnLines > Lines.size()) Text += QStringLiteral("\x1b[%1A").arg(DrawnLines - Lines.size());
  DrawnLines = int(Lines.size());
  if (std::all_of(Runs.begin(), Runs.end(), [](const TRunLine& Run) { return Run.Ended(); }))
    Ticker.stop();
  Write(Text);
}

void TCliReport::Finish() {
  Ticker.stop();
  if (Mode == TOutputMode::Json) {
    QJsonObject Event = JsonEvent(QStringLiteral("summary"));
    Event.insert("done", Done());
    Event.insert("failed", Failed());
    Event.insert("seconds", double(Clock.elapsed()) / 1000);
    return Write(JsonLine(Event));
  }
  const int Width = PortWidth();
  QString Text = QStringLiteral("\n%1 %2 %3 %4 %5\n")
                     .arg(QStringLiteral("PORT").leftJustified(Width),
                          QStringLiteral("RESULT").leftJustified(StageWidth),
                          QStringLiteral("MAC").leftJustified(NoMAC.size()))
                     .arg(QStringLiteral("SECONDS"), 7)
                     .arg(QStringLiteral("NOTE"));
  for (const TRunLine& Run : Runs) {
    if (!Run.Outcome) continue;
    Text += QStringLiteral("%1 %2 %3 %4 %5")
                .arg(Run.Port.leftJustified(Width), ResultWord(Run),
                     (Run.MAC.isEmpty() ? QStringLiteral("-") : Run.MAC).leftJustified(NoMAC.size()))
                .arg(Seconds(Run.Seconds()), 7)
                .arg(OutcomeNote(*Run.Outcome))
                .trimmed() +
            u'\n';
  }
  Text += QStringLiteral("%1 done, %2 failed.\n").arg(Done()).arg(Failed());
  Write(Text);
}

void TCliReport::Write(const QString& Text) {
  const QByteArray Bytes = Text.toUtf8();
  std::fwrite(Bytes.constData(), 1, size_t(Bytes.size()), Out);
  std::fflush(Out);
}
