// Prints the line-bound time of writing each built-in image, and a pseudo-random one, on the ROM
// path (FLASH_BEGIN and 1 KiB FLASH_DATA blocks at 576000 bit/s) and through the loader program
// (its upload at 576000 bit/s, then compressed blocks at 921600 bit/s): every byte on the line in
// both directions at 10 bits a byte plus the simulated module's erase, write and digest time with
// its default times, each request waited for. Left out, being the same for both paths: the
// handshake, the MAC reads and the tool's own turnaround.

#include "loader/LoaderCodec.h"
#include "loader/OnChipCodec.h"
#include "tools/rq53sim/SimulatedModule.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr quint32 RomRate = 576000, LoaderRate = 921600;

struct TLine {
  TSimulatedModule Module;
  quint32 Rate = RomRate;
  double Ms = 0;

  TLine() { Module.SetLineRate(Rate); }

  void Exchange(const QByteArray& Request) {
    qsizetype Bytes = Request.size();
    for (const TSimDelivery& Delivery : Module.Receive(Request)) {
      Ms += Delivery.DelayMs;
      Bytes += Delivery.Bytes.size();
    }
    Ms += Bytes * 10'000.0 / Rate;
  }

  void SetRate(quint32 NewRate) {
    Rate = NewRate;
    Module.SetLineRate(NewRate);
  }
};

double RomPathMs(const QByteArray& Image) {
  TLine Line;
  const auto Blocks = quint16((Image.size() + 1023) / 1024);
  Line.Exchange(BuildFlashBeginRequest(quint32(Image.size() + 3) / 4 * 4, Blocks, 0));
  for (quint16 Sequence = 0; Sequence < Blocks; ++Sequence) {
    QByteArray Block = Image.mid(Sequence * 1024, 1024);
    Block.append((4 - Block.size() % 4) % 4, '\xFF');
    Line.Exchange(BuildFlashDataRequest(Block, Sequence));
  }
  return Line.Ms;
}

// Upload, start, rate change; then the image. Returns both parts' time.
std::pair<double, double> LoaderPathMs(const QByteArray& Image) {
  TLine Line;
  for (const QByteArray& Request : BuildUploadRequests(*BuiltInOnChipProgram()))
    Line.Exchange(Request);
  Line.Exchange(BuildOnChipRate(LoaderRate, RomRate));
  Line.SetRate(LoaderRate);
  Line.Exchange(BuildOnChipPing());
  const double StartMs = Line.Ms;
  Line.Exchange(BuildOnChipBegin(0, quint32(Image.size())));
  const std::vector<QByteArray> Pieces = CompressForOnChip(Image);
  for (std::size_t Sequence = 0; Sequence < Pieces.size(); ++Sequence)
    Line.Exchange(BuildOnChipData(Pieces[Sequence], quint32(Sequence)));
  Line.Exchange(BuildOnChipFinish());
  return {StartMs, Line.Ms - StartMs};
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication App(argc, argv);
  QList<std::pair<QString, QByteArray>> Images;
  for (const char* Name : {"CORVEL", "UPYTHON"}) {
    QFile File(QString(":/BIN/_X_") + Name);
    File.open(QIODevice::ReadOnly);
    Images.append({Name, File.readAll()});
  }
  QByteArray Random = Images[0].second;
  QRandomGenerator(19).fillRange(reinterpret_cast<quint32*>(Random.data() + 32),
                                 (Random.size() - 32) / 4);
  Images.append({"random", Random});
  const TSimTiming Timing;
  std::printf(
      "module: %d ms per sector erase, %d ms per 64 KiB block erase, %.2f ms per 256-byte "
      "page, %d ms per 64 KiB digest\n",
      Timing.EraseMsPerSector, Timing.EraseMsPerBlock, Timing.PageMs,
      Timing.DigestMsPer64KiB);
  std::printf("%-8s %9s | %14s | %14s %14s %10s\n", "image", "bytes", "ROM @576000 s",
              "loader start s", "image @921600", "total s");
  for (const auto& [Name, Image] : Images) {
    const auto [StartMs, ImageMs] = LoaderPathMs(Image);
    std::printf("%-8s %9lld | %14.2f | %14.2f %14.2f %10.2f\n", qPrintable(Name),
                qint64(Image.size()), RomPathMs(Image) / 1000, StartMs / 1000, ImageMs / 1000,
                (StartMs + ImageMs) / 1000);
  }
  return 0;
}
