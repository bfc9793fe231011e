#include "cli/CliReport.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The stages of a run in the order they come; a late line never takes a run back.
const QStringList StageOrder{"open",  "sync", "mac",  "erase", "write",
                             "verify", "run", "done", "failed"};

bool Advances(const QString& From, const QString& To) {
  return StageOrder.indexOf(To) > StageOrder.indexOf(From);
}

QString Seconds(double Value) { return QString::number(Value, 'f', 1); }

QJsonValue TextOrNull(const QString& Text) {
  return Text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(Text);
}

}  // namespace

TCliReport::TCliReport(TOutputMode Mode, std::FILE* Out) : Mode(Mode), Out(Out) {}

int TCliReport::AddRun(const QString& Port) {
  TRunLine& Run = Runs.emplace_back();
  Run.Port = Port;
  Run.Clock.start();
  Emit(RunCount() - 1, Run.Stage);
  return RunCount() - 1;
}

void TCliReport::Stage(int Index, const QString& Stage) {
  if (Run(Index).Ended || !Advances(Run(Index).Stage, Stage)) return;
  Run(Index).Stage = Stage;
  Emit(Index, Stage);
}

void TCliReport::Progress(int Index, int Percent) {
  TRunLine& Line = Run(Index);
  if (Line.Ended || Line.Percent == Percent) return;
  Line.Percent = Percent;
  if (Advances(Line.Stage, QStringLiteral("write"))) Line.Stage = QStringLiteral("write");
  Emit(Index, QStringLiteral("progress"));
}

void TCliReport::MAC(int Index, const QString& STAMAC) {
  if (Run(Index).Ended) return;
  Run(Index).MAC = STAMAC;
  if (Advances(Run(Index).Stage, QStringLiteral("mac"))) Run(Index).Stage = QStringLiteral("mac");
  Emit(Index, QStringLiteral("mac"));
}

void TCliReport::End(int Index, const QString& Error) {
  TRunLine& Line = Run(Index);
  if (Line.Ended) return;
  Line.Ended = true;
  Line.Error = Error;
  Line.Stage = Error.isEmpty() ? QStringLiteral("done") : QStringLiteral("failed");
  Line.Seconds = double(Line.Clock.elapsed()) / 1000;
  Emit(Index, QStringLiteral("result"));
}

void TCliReport::Note(const QString& Text) {
  switch (Mode) {
    case TOutputMode::Json:
      Write(QString::fromUtf8(QJsonDocument(QJsonObject{{"event", "note"}, {"text", Text}})
                                  .toJson(QJsonDocument::Compact)) +
            u'\n');
      break;
    case TOutputMode::Plain:
      Write(Text + u'\n');
      break;
    case TOutputMode::Terminal:
      LastNote = Text;
      Redraw();
      break;
  }
}

int TCliReport::Done() const {
  return int(std::count_if(Runs.begin(), Runs.end(),
                           [](const TRunLine& Run) { return Run.Ended && Run.Error.isEmpty(); }));
}

int TCliReport::Failed() const {
  return int(std::count_if(Runs.begin(), Runs.end(),
                           [](const TRunLine& Run) { return Run.Ended && !Run.Error.isEmpty(); }));
}

void TCliReport::Emit(int Index, const QString& Event) {
  TRunLine& Run = this->Run(Index);
  if (!Run.Ended) Run.Seconds = double(Run.Clock.elapsed()) / 1000;
  switch (Mode) {
    case TOutputMode::Json:
      Write(JsonLine(Run, Event));
      break;
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

QString TCliReport::Line(const TRunLine& Run) const {
  QString Text = QStringLiteral("%1 %2 %3% %4 %5s")
                     .arg(Run.Port, -16)
                     .arg(Run.Stage, -6)
                     .arg(Run.Percent, 3)
                     .arg(Run.MAC.isEmpty() ? QStringLiteral("--:--:--:--:--:--") : Run.MAC)
                     .arg(Seconds(Run.Seconds), 6);
  if (!Run.Error.isEmpty()) Text += u' ' + Run.Error;
  return Text;
}

QString TCliReport::JsonLine(const TRunLine& Run, const QString& Event) const {
  QJsonObject Object{{"port", Run.Port},
                     {"event", Event},
                     {"percent", Run.Percent},
                     {"mac", TextOrNull(Run.MAC)},
                     {"error", TextOrNull(Run.Error)},
                     {"seconds", Run.Seconds}};
  if (Event == QStringLiteral("result")) Object.insert("result", Run.Stage);
  return QString::fromUtf8(QJsonDocument(Object).toJson(QJsonDocument::Compact)) + u'\n';
}

// The terminal block: one line per run and a foot line, written over the block drawn before.
void TCliReport::Redraw() {
  QString Text = DrawnLines > 0 ? QStringLiteral("\x1b[%1A").arg(DrawnLines) : QString();
  QStringList Lines;
  for (const TRunLine& Run : Runs) Lines << Line(Run);
  if (!LastNote.isEmpty()) Lines << LastNote;
  for (const QString& Line : Lines) Text += QStringLiteral("\r\x1b[2K") + Line + u'\n';
  DrawnLines = int(Lines.size());
  Write(Text);
}

void TCliReport::PrintSummary() {
  if (Mode == TOutputMode::Json) return;
  QString Text = QStringLiteral("\n%1 %2 %3 %4 %5\n")
                     .arg(QStringLiteral("PORT"), -16)
                     .arg(QStringLiteral("RESULT"), -6)
                     .arg(QStringLiteral("MAC"), -17)
                     .arg(QStringLiteral("SECONDS"), 7)
                     .arg(QStringLiteral("REASON"));
  for (const TRunLine& Run : Runs)
    Text += QStringLiteral("%1 %2 %3 %4 %5")
                .arg(Run.Port, -16)
                .arg(Run.Ended ? Run.Stage : QStringLiteral("failed"), -6)
                .arg(Run.MAC.isEmpty() ? QStringLiteral("-") : Run.MAC, -17)
                .arg(Seconds(Run.Seconds), 7)
                .arg(Run.Error)
                .trimmed() +
            u'\n';
  Text += QStringLiteral("%1 done, %2 failed.\n").arg(Done()).arg(RunCount() - Done());
  Write(Text);
}

void TCliReport::Write(const QString& Text) {
  const QByteArray Bytes = Text.toUtf8();
  std::fwrite(Bytes.constData(), 1, size_t(Bytes.size()), Out);
  std::fflush(Out);
}
