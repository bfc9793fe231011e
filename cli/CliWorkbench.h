#pragma once
// ferrule-cli's workbench subcommands: read, erase, verify and info, each on one or more ports,
// through the same runs as flashing. Their arguments are checked here, before any port is opened.

#include "cli/CliOptions.h"

// Whether the first argument names a subcommand ("read", "erase", "verify", "info").
bool IsWorkbenchCommand(const QStringList& Arguments);

// Reads a subcommand's arguments. Throws EUsage for an unknown option, a missing or surplus
// value, no port, the same port twice, a number that is no number, a size of 0, a range past
// the largest chip (16 MiB) or off the 32 bits, an erase range off whole sectors, or both --all
// and a range.
TCliOptions ParseWorkbenchOptions(const QStringList& Arguments);

// Throws EUsage when read's FILE exists (without --force), is a folder, or cannot be written in
// its folder; nothing is created.
void CheckReadFile(const TCliOptions& Options);

// The verify subcommand's files read at their offsets (default 0); throws EUsage when one cannot
// be read or its offset is no multiple of 4.
std::vector<TImageRegion> ReadVerifyImages(const TCliOptions& Options);

// What the run's outcome names as its subject: read's file, the range erased ("the flash" for
// --all), the verified files, "module" for info.
QString WorkbenchSubject(const TCliOptions& Options);
