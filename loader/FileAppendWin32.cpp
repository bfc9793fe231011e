#include "loader/FileAppend.h"

#include <QDir>

#include <windows.h>

namespace {

// Appends at the end under a lock of the whole file, held until File is closed. Returns 0 or the
// system's error code.
DWORD AppendToOpenFile(HANDLE File, const QByteArray& Bytes) {
  OVERLAPPED Whole{};
  if (!LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &Whole))
    return GetLastError();
  LARGE_INTEGER Before{};
  DWORD Error = SetFilePointerEx(File, {}, &Before, FILE_END) ? 0 : GetLastError();
  qsizetype Done = 0;
  while (Error == 0 && Done < Bytes.size()) {
    DWORD Written = 0;
    if (!WriteFile(File, Bytes.constData() + Done, DWORD(Bytes.size() - Done), &Written, nullptr))
      Error = GetLastError();
    else if (Written == 0)
      Error = ERROR_DISK_FULL;
    Done += Written;
  }
  // The lock is held, so the end of the file is still where this record began.
  if (Error != 0 && Done > 0 && SetFilePointerEx(File, Before, nullptr, FILE_BEGIN))
    SetEndOfFile(File);
  return Error;
}

}  // namespace

QString AppendLocked(const QString& FileName, const QByteArray& Bytes) {
  const std::wstring Name = QDir::toNativeSeparators(FileName).toStdWString();
  const HANDLE File = CreateFileW(Name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) return qt_error_string(int(GetLastError()));
  const DWORD WriteError = AppendToOpenFile(File, Bytes);
  const DWORD CloseError = CloseHandle(File) ? 0 : GetLastError();
  if (WriteError != 0 || CloseError != 0)
    return qt_error_string(int(WriteError != 0 ? WriteError : CloseError));
  return QString();
}
