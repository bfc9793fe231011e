// Prints what one delivery costs the reply recognition on the UI thread while a module floods the
// line with console text (no reply end in it): the mean time per 255-byte delivery and the size of
// the receive buffer after each 128 KiB of text, up to 1 MiB.

#include "loader/ReplyRecognition.h"

#include <QElapsedTimer>

#include <cstdio>

int main() {
  constexpr int Delivery = 255;
  constexpr qsizetype Slice = 128 * 1024;
  constexpr qsizetype Total = 1024 * 1024;
  QByteArray Text;
  for (int Line = 0; Text.size() < Total + Delivery; ++Line)
    Text += QByteArray("I (") + QByteArray::number(Line) + ") wifi: station scan, 7 found\r\n";

  TRunRecord Record;
  TReplyRecognizer Recognizer(Record, [](const QString&) {});
  const auto* Bytes = reinterpret_cast<const quint8*>(Text.constData());
  std::printf("console text  mean per delivery  receive buffer\n");
  for (qsizetype Fed = 0; Fed < Total;) {
    QElapsedTimer Clock;
    Clock.start();
    int Deliveries = 0;
    for (const qsizetype End = Fed + Slice; Fed < End; Fed += Delivery, ++Deliveries)
      Recognizer.CommReceiveData(nullptr, Bytes + Fed, Delivery);
    std::printf("%8lld KiB  %12.1f us  %10lld bytes\n", static_cast<long long>(Fed / 1024),
                Clock.nsecsElapsed() / 1e3 / Deliveries,
                static_cast<long long>(Recognizer.HeldBytes()));
  }
  return 0;
}
