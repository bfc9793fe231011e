#include "app/SerialPortsCtrl.h"

#include <algorithm>

std::optional<std::vector<TSerialPortInfo>> ListSerialPorts(const QString& Source,
                                                            const QString& DevRoot) {
  std::optional<std::vector<TSerialPortInfo>> Ports = PresentSerialPorts(Source, DevRoot);
  if (Ports)
    std::sort(Ports->begin(), Ports->end(), [](const TSerialPortInfo& A, const TSerialPortInfo& B) {
      return PortNameLess(A.Name, B.Name);
    });
  return Ports;
}

void EnumSerialPorts(QStringList& List, const QString& Source, const QString& DevRoot) {
  if (const std::optional<std::vector<TSerialPortInfo>> Ports = ListSerialPorts(Source, DevRoot))
    List = PortNames(*Ports);
}

QStringList PortNames(const std::vector<TSerialPortInfo>& Ports) {
  QStringList Names;
  for (const TSerialPortInfo& Port : Ports) Names << Port.Name;
  return Names;
}

QStringList UsbPortNames(const std::vector<TSerialPortInfo>& Ports) {
  QStringList Names;
  for (const TSerialPortInfo& Port : Ports)
    if (Port.Usb) Names << Port.Name;
  return Names;
}

int AutoPickIndex(const std::vector<TSerialPortInfo>& Ports) {
  const auto Last = [&](bool TSerialPortInfo::*Kind) {
    for (int Index = int(Ports.size()) - 1; Index >= 0; --Index)
      if (Ports[size_t(Index)].*Kind) return Index;
    return -1;
  };
  const int Usb = Last(&TSerialPortInfo::Usb);
  return Usb >= 0 ? Usb : Last(&TSerialPortInfo::KnownUart);
}

bool PortNameLess(const QString& A, const QString& B) {
  const int Order = QString::compare(A, B, Qt::CaseInsensitive);
  // Names equal but for letter case keep a fixed order.
  return Order != 0 ? Order < 0 : A < B;
}
