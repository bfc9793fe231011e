#pragma once
// A pseudo-terminal standing in for the module's end of the line, and a probe that records
// every callback of a TComm.

#include "serial/SPComm.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

// Readable failure messages for texts.
inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

// Processes events until Condition holds; false after TimeoutMs.
inline bool WaitUntil(const std::function<bool()>& Condition, int TimeoutMs = 10000) {
  QElapsedTimer Timer;
  Timer.start();
  while (!Condition()) {
    if (Timer.elapsed() > TimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

// Processes events for a while, for checks that nothing more arrives.
inline void Settle(int Ms = 300) {
  WaitUntil([] { return false; }, Ms);
}

struct TPty {
  int Master = -1;
  int Slave = -1;
  QString Path;

  TPty() {
    char Name[128] = {};
    if (openpty(&Master, &Slave, Name, nullptr, nullptr) == 0) {
      Path = QString::fromLocal8Bit(Name);
      fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
    }
  }
  ~TPty() {
    CloseMaster();
    if (Slave >= 0) close(Slave);
  }
  void CloseMaster() {
    if (Master >= 0) close(Master);
    Master = -1;
  }

  // Writes all of Data into the line as the module would.
  bool Send(const QByteArray& Data) const {
    for (qsizetype Done = 0; Done < Data.size();) {
      const ssize_t N = write(Master, Data.constData() + Done, size_t(Data.size() - Done));
      pollfd Fd{Master, POLLOUT, 0};
      if (N > 0)
        Done += N;
      else if (poll(&Fd, 1, 10000) <= 0)
        return false;
    }
    return true;
  }

  // What the component sent: Count bytes, or fewer when TimeoutMs passes first.
  QByteArray Receive(qsizetype Count, int TimeoutMs = 10000) const {
    QByteArray Data;
    QElapsedTimer Timer;
    Timer.start();
    char Buffer[4096];
    while (Data.size() < Count && Timer.elapsed() < TimeoutMs) {
      pollfd Fd{Master, POLLIN, 0};
      if (poll(&Fd, 1, 20) <= 0) continue;
      const ssize_t N = read(Master, Buffer, sizeof Buffer);
      if (N > 0) Data.append(Buffer, N);
    }
    return Data;
  }
};

struct TCommProbe {
  QList<QByteArray> Chunks;
  QList<qint64> ChunkTimes;  // by Clock, when each chunk reached the callback
  bool ZeroAfterEveryChunk = true;
  int Drains = 0;
  int Hangups = 0;
  QList<quint32> Errors;
  QList<quint32> ModemEvents;
  QElapsedTimer Clock;

  explicit TCommProbe(TComm& Comm) {
    Clock.start();
    Comm.OnReceiveData = [this, &Comm](QObject* Sender, const quint8* Buffer, quint16 Length) {
      EXPECT_EQ(Sender, &Comm);
      Chunks.append(QByteArray(reinterpret_cast<const char*>(Buffer), Length));
      ChunkTimes.append(Clock.elapsed());
      ZeroAfterEveryChunk = ZeroAfterEveryChunk && Buffer[Length] == 0;
    };
    Comm.OnSendDataEmpty = [this](QObject*) { ++Drains; };
    Comm.OnRequestHangup = [this](QObject*) { ++Hangups; };
    Comm.OnReceiveError = [this](QObject*, quint32 Word) { Errors.append(Word); };
    Comm.OnModemStateChange = [this](QObject*, quint32 Bits) { ModemEvents.append(Bits); };
  }

  QByteArray Received() const {
    QByteArray All;
    for (const QByteArray& Chunk : Chunks) All += Chunk;
    return All;
  }
};
