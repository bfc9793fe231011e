#pragma once
// The seam of the identity record's file operations, one file per platform chosen by the build:
// appending under an exclusive lock and creating a file that must not exist yet. Errors are
// errno values (qt_error_string words them).

#include <QByteArray>
#include <QString>

namespace IdentityFiles {

// Appends Bytes to FileName, created when missing, in one write under an exclusive lock, so that
// records of processes appending at once never interleave. A write cut short (disk full, file
// size limit) is taken back off the file. Header goes before Bytes when the file is empty as the
// lock is taken (a log's heading row, written once however many processes append). Returns 0 or
// the error.
int AppendLocked(const QString& FileName, const QByteArray& Bytes, const QByteArray& Header = {});

// Creates FileName for writing only when no file has that name; the descriptor, or -1 with errno
// set (EEXIST when the name is taken).
int CreateNew(const QString& FileName);

// Closes a descriptor of CreateNew; 0 or the error.
int Close(int Fd);

}  // namespace IdentityFiles
