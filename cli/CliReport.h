#pragma once
// What ferrule-cli tells its user while the runs go on and when they are over: on a terminal one
// line per run redrawn in place, otherwise plain lines, or with --json one JSON object per line
// per event; at the end a summary table.

#include "cli/CliOptions.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>
#include <vector>

// One run on one port, as the report shows it.
struct TRunLine {
  QString Port;
  QString Stage = QStringLiteral("open");  // open, sync, mac, erase, write, verify, run, done, failed
  int Percent = 0;
  QString MAC;
  QString Error;  // why the run failed; empty while it goes on and when it ended done
  bool Ended = false;
  QElapsedTimer Clock;
  double Seconds = 0;    // frozen when the run ends
  int PlainDecile = -1;  // the last tenth of progress printed as a plain line
};

class TCliReport {
 public:
  TCliReport(TOutputMode Mode, std::FILE* Out);

  // A new run on Port, started now; returns its index.
  int AddRun(const QString& Port);
  TRunLine& Run(int Index) { return Runs[size_t(Index)]; }
  int RunCount() const { return int(Runs.size()); }

  // The run's stage (its event) and what it shows have changed.
  void Stage(int Index, const QString& Stage);
  void Progress(int Index, int Percent);
  void MAC(int Index, const QString& STAMAC);
  // Ends the run: done when Error is empty, failed with Error otherwise. Ended runs stay ended.
  void End(int Index, const QString& Error);
  // Free text (a warning of the settings, a watch-mode note): to the terminal block's foot, a
  // plain line, or a JSON "note" event.
  void Note(const QString& Text);

  int Done() const;
  int Failed() const;
  // The summary table (not with --json, whose result events are the summary).
  void PrintSummary();

 private:
  void Emit(int Index, const QString& Event);
  void Redraw();
  QString Line(const TRunLine& Run) const;
  QString JsonLine(const TRunLine& Run, const QString& Event) const;
  void Write(const QString& Text);

  const TOutputMode Mode;
  std::FILE* Out;
  std::vector<TRunLine> Runs;
  int DrawnLines = 0;  // lines of the terminal block now on screen
  QString LastNote;
};
