// The identity record's file operations on Windows: the C runtime's descriptors, so that errors
// are errno values as on other systems, and a lock of the whole file for appending.
#include "loader/IdentityFiles.h"

#include <QDir>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <cerrno>

namespace {

std::wstring NativeName(const QString& FileName) {
  return QDir::toNativeSeparators(FileName).toStdWString();
}

int Open(const QString& FileName, int Flags) {
  int Fd = -1;
  _wsopen_s(&Fd, NativeName(FileName).c_str(), Flags | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
            _S_IREAD | _S_IWRITE);
  return Fd;
}

// Appends under a lock of the whole file that lasts until Fd is closed, Header first into an empty
// file. Returns 0 or errno.
int AppendToOpenFile(int Fd, QByteArray Bytes, const QByteArray& Header) {
  const auto File = reinterpret_cast<HANDLE>(_get_osfhandle(Fd));
  OVERLAPPED Whole{};
  if (!LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &Whole)) return EACCES;
  const __int64 Before = _lseeki64(Fd, 0, SEEK_END);
  int Error = Before < 0 ? errno : 0;
  if (Before == 0) Bytes.prepend(Header);
  qsizetype Done = 0;
  while (Error == 0 && Done < Bytes.size()) {
    const int Written = _write(Fd, Bytes.constData() + Done, unsigned(Bytes.size() - Done));
    if (Written <= 0)
      Error = Written < 0 ? errno : ENOSPC;
    else
      Done += Written;
  }
  // The lock is held, so the end of the file is still where this record began.
  if (Error != 0 && Done > 0) _chsize_s(Fd, Before);
  return Error;
}

}  // namespace

namespace IdentityFiles {

int AppendLocked(const QString& FileName, const QByteArray& Bytes, const QByteArray& Header) {
  const int Fd = Open(FileName, _O_WRONLY | _O_APPEND | _O_CREAT);
  if (Fd < 0) return errno;
  const int WriteError = AppendToOpenFile(Fd, Bytes, Header);
  const int CloseError = Close(Fd);
  return WriteError != 0 ? WriteError : CloseError;
}

int CreateNew(const QString& FileName) { return Open(FileName, _O_WRONLY | _O_CREAT | _O_EXCL); }

int Close(int Fd) { return _close(Fd) == 0 ? 0 : errno; }

}  // namespace IdentityFiles
