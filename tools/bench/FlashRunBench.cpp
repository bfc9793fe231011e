// Prints the time of whole flash runs against the time the line and the module need for them:
// the real main window (headless, on the offscreen platform), the real serial component and the
// simulated module on a pseudo-terminal paced at the line rate, with the module's default erase
// and write times. Both built-in images are flashed through the loader program at 921600 bit/s,
// through the boot ROM at 576000 bit/s (the module's ROM made to refuse the program's upload, so
// the run goes on on the ROM path at once) and with "Safe Flash" at 115200 bit/s. Before the runs it prints the time from the program's start to the window shown
// and the program's CPU use over 10 s idle with the window open.
//
// The run time is the time from Flash pressed to the port closed. The line-bound time is the
// bytes on the line in both directions at 10 bits a byte, at the rate of the moment, plus the
// module's own erase and write time for the run; the module that served the run is replayed with
// the same requests to learn both. The gap is the time from a block's last byte on the line to the next block's first byte,
// taken where the module sees the line.

#include "app/UnitFormMain.h"
#include "app/VisualStyle.h"
#include "serial/SPComm.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double MsBetween(TClock::time_point From, TClock::time_point To) {
  return std::chrono::duration<double, std::milli>(To - From).count();
}

// A run that has not ended by then is taken for failed.
constexpr int GiveUpMs = 300000;

double LineMs(qsizetype Bytes, quint32 Rate) { return Bytes * 10.0 * 1000.0 / Rate; }

// Milliseconds since this process was started, as the kernel counts it (10 ms steps).
double MsSinceProcessStart() {
  std::ifstream Stat("/proc/self/stat");
  std::string Field;
  std::getline(Stat, Field, ')');  // the command name may hold blanks
  for (int I = 3; I <= 22; ++I) Stat >> Field;
  timespec Now{};
  clock_gettime(CLOCK_BOOTTIME, &Now);
  const double StartMs = std::stod(Field) * 1000.0 / double(sysconf(_SC_CLK_TCK));
  return Now.tv_sec * 1000.0 + Now.tv_nsec / 1e6 - StartMs;
}

double CpuMs() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  auto Ms = [](const timeval& T) { return T.tv_sec * 1000.0 + T.tv_usec / 1000.0; };
  return Ms(Usage.ru_utime) + Ms(Usage.ru_stime);
}

void RunEventLoopFor(int Ms) {
  QEventLoop Loop;
  QTimer::singleShot(Ms, Qt::PreciseTimer, &Loop, &QEventLoop::quit);
  Loop.exec();
}

// A request as the tool put it on the line: header and data in a SLIP frame.
QByteArray RequestFrame(const TSimRequest& Request) {
  QByteArray Body;
  Body.append('\0').append(char(Request.Command));
  for (int I = 0; I < 2; ++I) Body.append(char(Request.Data.size() >> (8 * I)));
  for (int I = 0; I < 4; ++I) Body.append(char(Request.Checksum >> (8 * I)));
  Body.append(Request.Data);
  QByteArray Frame(1, '\xC0');
  for (const char Byte : Body) {
    if (Byte == '\xC0')
      Frame.append("\xDB\xDC", 2);
    else if (Byte == '\xDB')
      Frame.append("\xDB\xDD", 2);
    else
      Frame.append(Byte);
  }
  return Frame.append('\xC0');
}

// The requests the module took in, each with the moment its last byte had crossed the line.
class TRequestLog {
 public:
  struct TEntry {
    TSimRequest Request;
    TClock::time_point Complete;
  };
  void Add(const TSimRequest& Request) {
    const auto Now = TClock::now();
    std::lock_guard Lock(FLock);
    FEntries.push_back({Request, Now});
  }
  std::vector<TEntry> Entries() {
    std::lock_guard Lock(FLock);
    return FEntries;
  }

 private:
  std::mutex FLock;
  std::vector<TEntry> FEntries;
};

struct TRunFigures {
  bool Succeeded = false;
  double RunMs = 0;
  double LineBoundMs = 0;
  double GapMedianMs = 0;
  double GapWorstMs = 0;
};

// Replays the requests into a module made like the one that served them: the bytes it was sent
// and answered, and the time it spent busy, give the line-bound time. After the loader program's
// rate change the line runs at FastRate.
double LineBoundMs(TSimulatedModule Model, const std::vector<TRequestLog::TEntry>& Entries,
                   quint32 Rate, quint32 FastRate) {
  Model.SetLineRate(Rate);
  double Ms = 0;
  for (const TRequestLog::TEntry& Entry : Entries) {
    const QByteArray Frame = RequestFrame(Entry.Request);
    qsizetype Bytes = Frame.size();
    for (const TSimDelivery& Delivery : Model.Receive(Frame)) {
      Bytes += Delivery.Bytes.size();
      Ms += Delivery.DelayMs;
    }
    Ms += LineMs(Bytes, Rate);
    if (Entry.Request.Command == SimLoaderRate) Model.SetLineRate(Rate = FastRate);
  }
  return Ms;
}

bool IsBlock(const TSimRequest& Request) {
  return Request.Command == SimFlashData || Request.Command == SimLoaderData;
}

// From each block's last byte to the next block's first byte: the next block's completion less
// the time its own bytes took on the line.
void BlockGaps(const std::vector<TRequestLog::TEntry>& Entries, quint32 Rate, TRunFigures& Run) {
  std::vector<double> Gaps;
  const TRequestLog::TEntry* Previous = nullptr;
  for (const TRequestLog::TEntry& Entry : Entries) {
    if (!IsBlock(Entry.Request)) continue;
    if (Previous) {
      const double FirstByte = LineMs(RequestFrame(Entry.Request).size(), Rate);
      Gaps.push_back(MsBetween(Previous->Complete, Entry.Complete) - FirstByte);
    }
    Previous = &Entry;
  }
  if (Gaps.empty()) return;
  std::sort(Gaps.begin(), Gaps.end());
  Run.GapMedianMs = Gaps[Gaps.size() / 2];
  Run.GapWorstMs = Gaps.back();
}

// A way through a run: the loader program, or the boot ROM at either of its rates.
struct TPath {
  const char* Name;
  quint32 HandshakeRate;
  quint32 Rate;  // of the image's blocks
  bool SafeFlash;
  bool RefuseUpload;
};

constexpr TPath Paths[] = {{"loader", 576000, 921600, false, false},
                           {"ROM", 576000, 576000, false, true},
                           {"ROM", 115200, 115200, true, false}};

class TBench {
 public:
  TBench() {
    Form.installEventFilter(&PaintWatch);
    Form.show();
  }

  // Processes events until the window has been painted once.
  void WaitUntilShown() {
    while (!PaintWatch.Painted) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }

  TRunFigures Flash(const QString& Image, const TPath& Path, const TSimTiming& Timing) {
    TSimulatedModule Model;
    Model.Timing() = Timing;
    Model.Misbehaviour().RefuseUpload = Path.RefuseUpload;
    TRequestLog Requests;
    TSimulatedPort Port(Model, Path.HandshakeRate,
                        [&](const TSimRequest& Request) { Requests.Add(Request); });
    Form.ComboBoxPath->setCurrentIndex(Form.ComboBoxPath->findText(Image));
    Form.FrameConfigLineChange();
    Form.SafeFlash->setChecked(Path.SafeFlash);
    Form.ComboBoxSerialPortA->setEditText(Port.SlavePath());
    Form.MemoOutput->clear();

    TRunFigures Run;
    QTimer GiveUp;
    GiveUp.setSingleShot(true);
    GiveUp.start(GiveUpMs);
    const auto Pressed = TClock::now();
    const int RunsBefore = Form.FlashStation().FinishedRuns();
    Form.ButtonBurn->click();
    while (Form.FlashStation().FinishedRuns() == RunsBefore && GiveUp.isActive())
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    Run.RunMs = MsBetween(Pressed, TClock::now());
    const std::optional<TRunOutcome>& Outcome = Form.FlashStation().LastOutcome();
    const TFlashPath Expected = Path.SafeFlash       ? TFlashPath::BootRom
                                : Path.RefuseUpload ? TFlashPath::BootRomAfterLoader
                                                    : TFlashPath::Loader;
    Run.Succeeded = Form.FlashStation().FinishedRuns() > RunsBefore &&
                    Outcome->Result == TRunResult::Done && Outcome->Path == Expected;
    if (Form.Comm()->PortOpen()) Form.ButtonBurn->click();  // a failed run is stopped
    while (Form.RunControl().WorkerRunning()) QCoreApplication::processEvents();
    Port.Stop();

    const std::vector<TRequestLog::TEntry> Entries = Requests.Entries();
    Run.LineBoundMs = LineBoundMs(Model, Entries, Path.HandshakeRate, Path.Rate);
    BlockGaps(Entries, Path.Rate, Run);
    return Run;
  }

 private:
  struct TPaintWatch : QObject {
    bool Painted = false;
    bool eventFilter(QObject* Watched, QEvent* Event) override {
      // Seen before the paint: the flag is set once it has been handled.
      if (Event->type() == QEvent::Paint && !Painted)
        QTimer::singleShot(0, this, [this] { Painted = true; });
      return QObject::eventFilter(Watched, Event);
    }
  };

  QTemporaryDir AppDir;
  TFormMain Form{AppDir.path()};
  TPaintWatch PaintWatch;
};

// The module's erase and write times: its defaults, or those given on the command line.
TSimTiming ModuleTiming(const QCoreApplication& Application) {
  TSimTiming Timing;
  QCommandLineParser Parser;
  Parser.addHelpOption();
  Parser.addOptions({{"erase-ms", "Time the module takes to erase one 4 KiB sector.", "ms",
                      QString::number(Timing.EraseMsPerSector)},
                     {"write-ms", "Time the module takes to write one block.", "ms",
                      QString::number(Timing.WriteMsPerBlock)}});
  Parser.process(Application);
  Timing.EraseMsPerSector = Parser.value("erase-ms").toInt();
  Timing.WriteMsPerBlock = Parser.value("write-ms").toInt();
  return Timing;
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer SinceMain;
  SinceMain.start();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication Application(argc, argv);
  const TSimTiming Timing = ModuleTiming(Application);
  ApplyVisualStyle(Application);
  TBench Bench;
  Bench.WaitUntilShown();
  const double ShownMs = MsSinceProcessStart();
  std::printf("start-up to the window shown: %.0f ms from process start (%lld ms from main)\n",
              ShownMs, SinceMain.elapsed());

  const double CpuBefore = CpuMs();
  QElapsedTimer Idle;
  Idle.start();
  RunEventLoopFor(10000);
  std::printf("CPU use idle with the window open: %.2f %% of one core over %.1f s\n",
              100.0 * (CpuMs() - CpuBefore) / double(Idle.elapsed()), Idle.elapsed() / 1000.0);

  std::printf(
      "module: erase %d ms per sector, write %d ms per block; gap: a block's last byte to the next "
      "block's first\n",
      Timing.EraseMsPerSector, Timing.WriteMsPerBlock);
  std::printf("%-8s %-6s %7s %9s %14s %7s %15s %14s\n", "image", "path", "bit/s", "run [s]",
              "line-bound [s]", "ratio", "gap median [ms]", "gap worst [ms]");
  for (const TPath& Path : Paths) {
    for (const char* Image : {"CORVEL", "UPYTHON"}) {
      const TRunFigures Run = Bench.Flash(QString::fromLatin1(Image), Path, Timing);
      std::printf("%-8s %-6s %7u %9.2f %14.2f %7.3f %15.2f %14.2f%s\n", Image, Path.Name,
                  Path.Rate, Run.RunMs / 1000, Run.LineBoundMs / 1000,
                  Run.RunMs / Run.LineBoundMs, Run.GapMedianMs, Run.GapWorstMs,
                  Run.Succeeded ? "" : "  (the run failed)");
      std::fflush(stdout);
    }
  }
  return 0;
}
