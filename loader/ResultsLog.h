#pragma once
// The results log: one row for every run that opened its port and met a module (or failed), as a
// factory system reads it. "runs.csv" beside the identity record, UTF-8, comma-separated values
// quoted as RFC 4180 wants, CR LF line ends, a heading row first; rows are appended under the
// record's lock, so that stations and processes sharing the file never interleave them.

#include "loader/RunOutcome.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The tool's version ("1.316").
QString ToolVersion();

// Local time with its offset from UTC, ISO 8601: "2026-05-17T09:34:12+02:00", with Milliseconds
// "2026-05-17T09:34:12.345+02:00"; the offset is written out also when it is zero.
QString TimeWithOffset(const QDateTime& Time, bool Milliseconds = false);

// Whether a run belongs in the log: its port was opened, and its module answered or the run
// failed. A run stopped (or whose adapter went) before any module answered met none: its slot was
// free.
bool IsLoggedRun(const TRunOutcome& Outcome);

// The heading row's names, in the order of the fields.
extern const QStringList ResultsLogColumns;

// A run's row without its line end: Finished is when the run ended, Host the machine's name.
// A field that contains a comma, a double quote or a line break is quoted.
QString ResultsLogRow(const TRunOutcome& Outcome, const QDateTime& Finished, const QString& Host);

// Appends the run's row to FileName (created with its heading row when missing or empty), with
// this machine's name. Throws EIdentityFileError.
void AppendResultsLog(const QString& FileName, const TRunOutcome& Outcome,
                      const QDateTime& Finished);
