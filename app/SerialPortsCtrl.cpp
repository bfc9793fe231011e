#include "app/SerialPortsCtrl.h"

#include "app/SerialPortList.h"

#include <algorithm>
#include <optional>

void EnumSerialPorts(QStringList& List, const QString& Source, const QString& DevRoot) {
  std::optional<QStringList> Ports = PresentSerialPorts(Source, DevRoot);
  if (!Ports) return;
  std::sort(Ports->begin(), Ports->end(), PortNameLess);
  List = *Ports;
}

bool PortNameLess(const QString& A, const QString& B) {
  const int Order = QString::compare(A, B, Qt::CaseInsensitive);
  // Names equal but for letter case keep a fixed order.
  return Order != 0 ? Order < 0 : A < B;
}
