#pragma once
// Appending a record to a file shared by several processes: the system's own file locking.

#include <QByteArray>
#include <QString>

// Appends Bytes at the end of FileName, created when missing, under an exclusive lock, so that
// records of processes appending at once never interleave. A write that stops part-way (disk
// full, file size limit) is cut back off again, so the file never keeps half a record. Returns
// the empty text, or why it failed in the system's words.
QString AppendLocked(const QString& FileName, const QByteArray& Bytes);
