// The serial ports of a Windows machine: the values of the registry key where each port driver
// enters the port it serves while the port is present; a port is on USB when a device of the USB
// bus (or of FTDI's bus, whose driver enumerates its adapters apart) carries its name.

#include "app/SerialPortList.h"

#include <QStringList>

#include <windows.h>

namespace {

// The value names are the drivers' device objects; a name or a port name longer than these
// buffers makes the list unreadable.
constexpr DWORD NameChars = 256;
constexpr DWORD DataBytes = 256;

// Where the registry keeps a key for every device instance of a bus, with the port name of a
// serial device among its parameters.
const QStringList UsbBusKeys{QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB"),
                             QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS")};

const wchar_t* Wide(const QString& Text) { return reinterpret_cast<const wchar_t*>(Text.utf16()); }

// The names of the subkeys of a key under HKEY_LOCAL_MACHINE; none when it cannot be opened.
QStringList SubKeys(const QString& Path) {
  HKEY Key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(Path), 0, KEY_READ, &Key) != ERROR_SUCCESS) return {};
  QStringList Names;
  for (DWORD Index = 0;; ++Index) {
    wchar_t Name[NameChars];
    DWORD Length = NameChars;
    if (RegEnumKeyExW(Key, Index, Name, &Length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    Names << QString::fromWCharArray(Name, int(Length));
  }
  RegCloseKey(Key);
  return Names;
}

// The port name a device instance serves, or the empty text.
QString PortNameOf(const QString& Instance) {
  wchar_t Data[DataBytes / sizeof(wchar_t) + 1] = {};
  DWORD Length = DataBytes;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, Wide(Instance + QStringLiteral("\\Device Parameters")),
                   L"PortName", RRF_RT_REG_SZ, nullptr, Data, &Length) != ERROR_SUCCESS)
    return {};
  return QString::fromWCharArray(Data);
}

QStringList UsbPortNames() {
  QStringList Names;
  for (const QString& Bus : UsbBusKeys)
    for (const QString& Device : SubKeys(Bus))
      for (const QString& Instance : SubKeys(Bus + u'\\' + Device))
        if (const QString Port = PortNameOf(Bus + u'\\' + Device + u'\\' + Instance);
            !Port.isEmpty())
          Names << Port;
  return Names;
}

}  // namespace

QString DefaultPortSource() { return QStringLiteral("HARDWARE\\DEVICEMAP\\SERIALCOMM"); }

std::optional<std::vector<TSerialPortInfo>> PresentSerialPorts(const QString& Source,
                                                               const QString&) {
  HKEY Key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(Source), 0, KEY_READ, &Key) != ERROR_SUCCESS)
    return std::nullopt;
  QStringList Names;
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
    Names << QString::fromWCharArray(Data);
  }
  RegCloseKey(Key);
  if (Result != ERROR_NO_MORE_ITEMS) return std::nullopt;
  const QStringList Usb = Names.isEmpty() ? QStringList() : UsbPortNames();
  std::vector<TSerialPortInfo> Ports;
  for (const QString& Name : Names) {
    const bool OnUsb = Usb.contains(Name, Qt::CaseInsensitive);
    Ports.push_back({Name, OnUsb, !OnUsb});
  }
  return Ports;
}
