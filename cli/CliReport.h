#pragma once
// What ferrule-cli tells its user while the runs go on and when they are over: on a terminal one
// line per run redrawn in place, its seconds ticking, done in green and any other result in red
// (unless colour is off); otherwise plain lines, or with --json one JSON object per line per
// event (cli/CliJson.h); at the end a summary.

#include "cli/CliJson.h"
#include "cli/CliOptions.h"
#include "loader/RunOutcome.h"

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <vector>

// One run on one port, as the report shows it.
struct TRunLine {
  QString Port;
  TRunStage Stage = TRunStage::PortOpen;
  int Percent = 0;
  QString MAC;
  std::optional<TRunOutcome> Outcome;  // once the run is over
  bool Free = false;                   // over without meeting a module
  QElapsedTimer Clock;
  int PlainDecile = -1;  // the last tenth of progress printed as a plain line

  bool Ended() const { return Outcome || Free; }
  double Seconds() const;
};

class TCliReport {
 public:
  // Colour: whether a terminal shows results in colour.
  TCliReport(TOutputMode Mode, bool Colour, std::FILE* Out);

  // What the program flashes: the first JSON event (plain and terminal output begin with the runs).
  void Start(const TCliStart& Start);
  // A new run on Port, started now; returns its index.
  int AddRun(const QString& Port);
  const TRunLine& Run(int Index) const { return Runs[size_t(Index)]; }

  // The run's stage, progress and MAC; a late call never takes a run back.
  void Stage(int Index, TRunStage Stage);
  void Progress(int Index, int Percent);
  void MAC(int Index, const QString& STAMAC, const QString& APMAC);
  // Ends the run with its outcome. Ended runs stay ended.
  void End(int Index, const TRunOutcome& Outcome);
  // Ends a run that met no module (a free slot of the jig): it leaves the table ("free" in JSON)
  // and counts neither as done nor as failed.
  void Free(int Index);
  // Free text (a watch-mode note, a port's record that failed): to the terminal block's foot, a
  // plain line, or a JSON "note" event of Port (empty: of the program).
  void Note(const QString& Text, const QString& Port = QString());

  int Done() const;
  int Failed() const;
  // The summary: a table, or the JSON "summary" event (done, failed, seconds).
  void Finish();

 private:
  void Emit(int Index, const QString& Event);
  void Redraw();
  int PortWidth() const;
  QString Line(const TRunLine& Run) const;
  QString ResultWord(const TRunLine& Run) const;
  void Write(const QString& Text);

  const TOutputMode Mode;
  const bool Colour;
  std::FILE* Out;
  std::vector<TRunLine> Runs;
  QElapsedTimer Clock;  // since the report was made
  QTimer Ticker;        // redraws the terminal block while runs go on
  int DrawnLines = 0;   // lines of the terminal block now on screen
  QString LastNote;
};
