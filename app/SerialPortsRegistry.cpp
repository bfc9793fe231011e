// The serial ports of a Windows machine: the values of the registry key where each port driver
// enters the port it serves while the port is present.

#include "app/SerialPortList.h"

#include <windows.h>

namespace {

// The value names are the drivers' device objects; a name or a port name longer than these
// buffers makes the list unreadable.
constexpr DWORD NameChars = 256;
constexpr DWORD DataBytes = 256;

}  // namespace

QString DefaultPortSource() { return QStringLiteral("HARDWARE\\DEVICEMAP\\SERIALCOMM"); }

std::optional<QStringList> PresentSerialPorts(const QString& Source, const QString&) {
  HKEY Key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(Source.utf16()), 0,
                    KEY_READ, &Key) != ERROR_SUCCESS)
    return std::nullopt;
  QStringList Ports;
  LONG Result = ERROR_SUCCESS;
  for (DWORD Index = 0;; ++Index) {
    wchar_t Name[NameChars];
    DWORD NameLength = NameChars;
    wchar_t Data[DataBytes / sizeof(wchar_t) + 1] = {};
    DWORD DataLength = DataBytes;
    Result = RegEnumValueW(Key, Index, Name, &NameLength, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(Data), &DataLength);
    if (Result != ERROR_SUCCESS) break;
    // The text up to its terminating zero; the extra element ends one that has none.
    Ports << QString::fromWCharArray(Data);
  }
  RegCloseKey(Key);
  if (Result != ERROR_NO_MORE_ITEMS) return std::nullopt;
  return Ports;
}
