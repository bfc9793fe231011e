// Prints how well the built-in images compress for the loader program: raw deflate at level 9
// with a 32 KiB window (what the tool sends) against LZ4 blocks at the highest level of LZ4's HC
// compressor (64 KiB window), and a pseudo-random image of CORVEL's size as the worst case; with
// the host's decoding speed of both. With --write DIR it also writes each packed image and an
// assembler file that carries it (NAME.deflate.S, NAME.lz4.S) for the decoders' measurement in
// the emulator (loader/onchip/bench/measure.sh).

#include "loader/OnChipCodec.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <lz4.h>
#include <lz4hc.h>
#include <zlib.h>

#include <cstdio>

namespace {

QByteArray Lz4(const QByteArray& Image) {
  QByteArray Out(LZ4_compressBound(int(Image.size())), '\0');
  Out.truncate(LZ4_compress_HC(Image.constData(), Out.data(), int(Image.size()), int(Out.size()),
                               LZ4HC_CLEVEL_MAX));
  return Out;
}

// Milliseconds to decode Packed 20 times.
double InflateMs(const QByteArray& Packed, qsizetype Size) {
  QByteArray Out(Size, '\0');
  QElapsedTimer Timer;
  Timer.start();
  for (int i = 0; i < 20; ++i) {
    z_stream Stream{};
    inflateInit2(&Stream, -15);
    Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Packed.constData()));
    Stream.avail_in = uInt(Packed.size());
    Stream.next_out = reinterpret_cast<Bytef*>(Out.data());
    Stream.avail_out = uInt(Out.size());
    inflate(&Stream, Z_FINISH);
    inflateEnd(&Stream);
  }
  return Timer.nsecsElapsed() / 1e6 / 20;
}

double Lz4Ms(const QByteArray& Packed, qsizetype Size) {
  QByteArray Out(Size, '\0');
  QElapsedTimer Timer;
  Timer.start();
  for (int i = 0; i < 20; ++i)
    LZ4_decompress_safe(Packed.constData(), Out.data(), int(Packed.size()), int(Out.size()));
  return Timer.nsecsElapsed() / 1e6 / 20;
}

void WriteCarrier(const QString& Dir, const QString& Name, const QByteArray& Packed,
                  const QByteArray& Image) {
  QFile Data(Dir + "/" + Name);
  Data.open(QIODevice::WriteOnly);
  Data.write(Packed);
  QFile Carrier(Dir + "/" + Name + ".S");
  Carrier.open(QIODevice::WriteOnly);
  const auto Crc =
      quint32(crc32(0, reinterpret_cast<const Bytef*>(Image.constData()), uInt(Image.size())));
  Carrier.write(QString("    .section .ext, \"a\"\n"
                        "    .global packed_start, packed_end, expected_size, expected_crc\n"
                        "packed_start:\n    .incbin \"%1\"\npacked_end:\n    .align 4\n"
                        "expected_size:\n    .word %2\nexpected_crc:\n    .word %3\n")
                    .arg(QFileInfo(Data).absoluteFilePath())
                    .arg(Image.size())
                    .arg(Crc)
                    .toUtf8());
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication App(argc, argv);
  const QStringList Args = App.arguments();
  const qsizetype WriteAt = Args.indexOf("--write");
  const QString Dir = WriteAt > 0 && WriteAt + 1 < Args.size() ? Args[WriteAt + 1] : QString();
  QList<std::pair<QString, QByteArray>> Images;
  for (const char* Name : {"CORVEL", "UPYTHON"}) {
    QFile File(QString(":/BIN/_X_") + Name);
    File.open(QIODevice::ReadOnly);
    Images.append({Name, File.readAll()});
  }
  QByteArray Random(Images[0].second.size(), '\0');
  QRandomGenerator(19).fillRange(reinterpret_cast<quint32*>(Random.data()), Random.size() / 4);
  Images.append({"RANDOM", Random});

  std::printf("%-8s %9s | %9s %6s %8s | %9s %6s %8s\n", "image", "bytes", "deflate", "ratio",
              "host ms", "lz4hc", "ratio", "host ms");
  for (const auto& [Name, Image] : Images) {
    const QByteArray D = RawDeflate(Image), L = Lz4(Image);
    std::printf("%-8s %9lld | %9lld %5.1f%% %8.2f | %9lld %5.1f%% %8.2f\n", qPrintable(Name),
                qint64(Image.size()), qint64(D.size()), 100.0 * D.size() / Image.size(),
                InflateMs(D, Image.size()), qint64(L.size()), 100.0 * L.size() / Image.size(),
                Lz4Ms(L, Image.size()));
    if (!Dir.isEmpty()) {
      QDir().mkpath(Dir);
      WriteCarrier(Dir, Name + ".deflate", D, Image);
      WriteCarrier(Dir, Name + ".lz4", L, Image);
    }
  }
  return 0;
}
