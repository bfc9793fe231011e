#pragma once
// What the Windows suites share: the simulated module's port and waiting on the event loop.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <functional>

// The COM port that tools/test-windows.sh links to the simulated module's pseudo-terminal.
inline const QString SimPort = QStringLiteral("COM5");

// Runs the event loop until Done answers true or TimeoutMs pass; answers Done's last answer.
inline bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs) {
  QElapsedTimer Clock;
  Clock.start();
  while (!Done() && Clock.elapsed() < TimeoutMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return Done();
}
