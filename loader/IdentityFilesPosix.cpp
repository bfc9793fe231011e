// The identity record's file operations on POSIX systems.
#include "loader/IdentityFiles.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace {

// Repeats a system call that a signal interrupted.
template <class TCall>
auto RetryOnSignal(TCall Call) {
  decltype(Call()) Result;
  do Result = Call();
  while (Result < 0 && errno == EINTR);
  return Result;
}

// Appends Bytes at the end of the open file Fd under an exclusive advisory lock, so that records
// of processes appending at once never interleave; Header first into an empty file. A write that
// stops part-way (disk full, file size limit) is cut back off again, so the file never keeps half
// a record. The lock lasts until Fd is closed. Returns 0 or errno.
int AppendToOpenFile(int Fd, QByteArray Bytes, const QByteArray& Header) {
  if (RetryOnSignal([&] { return flock(Fd, LOCK_EX); }) != 0) return errno;
  struct stat Before {};
  int Error = fstat(Fd, &Before) == 0 ? 0 : errno;
  if (Error == 0 && Before.st_size == 0) Bytes.prepend(Header);
  qsizetype Done = 0;
  while (Error == 0 && Done < Bytes.size()) {
    const ssize_t Written = RetryOnSignal(
        [&] { return write(Fd, Bytes.constData() + Done, size_t(Bytes.size() - Done)); });
    if (Written <= 0)
      Error = Written < 0 ? errno : ENOSPC;
    else
      Done += Written;
  }
  // The lock is held, so the end of the file is still where this record began.
  if (Error != 0 && Done > 0) {
    [[maybe_unused]] const int Cut = ftruncate(Fd, Before.st_size);
  }
  return Error;
}

}  // namespace

namespace IdentityFiles {

int AppendLocked(const QString& FileName, const QByteArray& Bytes, const QByteArray& Header) {
  const int Fd = RetryOnSignal([&] {
    return open(QFile::encodeName(FileName).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                0666);
  });
  if (Fd < 0) return errno;
  const int WriteError = AppendToOpenFile(Fd, Bytes, Header);
  const int CloseError = Close(Fd);
  return WriteError != 0 ? WriteError : CloseError;
}

int CreateNew(const QString& FileName) {
  return RetryOnSignal([&] {
    return open(QFile::encodeName(FileName).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                0666);
  });
}

int Close(int Fd) { return close(Fd) == 0 ? 0 : errno; }

}  // namespace IdentityFiles
