// Prints how long requests take from the tool's side to the recognised reply, through the serial
// component and a pseudo-terminal paced like a real line to the simulated module: the SYNC
// acknowledgement, a register read, and a 1024-byte FLASH_DATA block, at both of the tool's rates.
// The sum over the 469 blocks of the 480,096-byte built-in image is projected from the block time.

#include "loader/LoaderCodec.h"
#include "loader/ReplyRecognition.h"
#include "serial/SPComm.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Repeats = 20;

struct TBench {
  TSimulatedPort Port{TSimulatedModule()};
  TRunRecord Record;
  TReplyRecognizer Recognizer{Record, [](const QString&) {}};
  TComm Comm;

  explicit TBench(quint32 BaudRate) {
    Comm.SetCommName(Port.SlavePath());
    Comm.SetBaudRate(BaudRate);
    Comm.SetInputLen(255);
    Comm.OnReceiveData = std::bind_front(&TReplyRecognizer::CommReceiveData, &Recognizer);
    Comm.StartComm();
  }
  ~TBench() { Comm.StopComm(); }

  // Milliseconds from queuing Packet to the moment Answered holds on this thread.
  double Time(const QByteArray& Packet, const std::function<bool()>& Answered) {
    QElapsedTimer Clock;
    Clock.start();
    Comm.WriteCommData(reinterpret_cast<const quint8*>(Packet.constData()), quint16(Packet.size()));
    while (!Answered() && Clock.elapsed() < 5000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
      QThread::usleep(200);
    }
    return Clock.nsecsElapsed() / 1e6;
  }

  double Median(const std::function<double()>& Once) {
    std::vector<double> Times;
    for (int I = 0; I < Repeats; ++I) Times.push_back(Once());
    std::sort(Times.begin(), Times.end());
    return Times[Times.size() / 2];
  }

  double Sync() {
    return Median([&] {
      Record.RunState = StateHandshake;
      return Time(SyncRequestTemplate, [&] { return Record.RunState == StateJobRunning; });
    });
  }

  // The reply reaches the run's channel, where the worker would take it.
  double Request(const std::function<QByteArray()>& Packet) {
    Record.RunState = StateJobRunning;
    return Median([&] {
      while (Record.Replies.Next(0)) continue;
      return Time(Packet(), [&] { return Record.Replies.Next(0).has_value(); });
    });
  }
};

void Measure(quint32 BaudRate) {
  TBench Bench(BaudRate);
  if (!Bench.Comm.PortOpen()) {
    std::printf("%u bit/s: the port did not open\n", BaudRate);
    return;
  }
  const double Sync = Bench.Sync();
  const double ReadReg = Bench.Request([] { return BuildReadRegRequest(0x3FF00050); });
  Bench.Request([] { return BuildFlashBeginRequest(Repeats * 1024, Repeats, 0); });
  quint32 Sequence = 0;
  const double Block = Bench.Request([&] {
    const QByteArray Data(1024, char(Sequence));
    return BuildFlashDataRequest(Data, Sequence++);
  });
  std::printf(
      "%7u bit/s  SYNC %6.1f ms  READ_REG %6.1f ms  FLASH_DATA %6.1f ms  469 blocks %5.1f s\n",
      BaudRate, Sync, ReadReg, Block, Block * 469 / 1000);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication App(argc, argv);
  std::printf("median of %d requests each, request queued to reply recognised\n", Repeats);
  Measure(115200);
  Measure(576000);
  return 0;
}
