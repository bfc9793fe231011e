// Prints the time of whole flash runs against the time the line needs for them: the real main
// window (headless, on the offscreen platform), the real serial component and the simulated module
// on a pseudo-terminal paced at the line rate. CORVEL, UPYTHON and a random image (an image file
// of 1 MiB at 0x10000, which no compression shrinks) are flashed through the loader program at
// 921600 bit/s on a chip with typical data-sheet times and on one that takes its worst case; then
// each image again on a module that already holds it (the re-flash), and the built-in images
// through the boot ROM at 576000 bit/s (the ROM made to refuse the program's upload) and with
// "Safe Flash" at 115200 bit/s. Before the runs it prints the time from the program's start to the
// window shown and the program's CPU use over 10 s idle with the window open.
//
// The run time is the time from Flash pressed to the port closed. The line time is the bytes on
// the line in both directions at 10 bits a byte, at the rate of the moment: what a run would take
// if the module's flash work hid entirely behind the line. The chip time is what the module spent
// erasing, writing and reading back; the module that served the run is replayed with the same
// requests to learn both. The gap is the time from a block's last byte on the line to the next
// block's first byte, taken where the module sees the line.

#include "app/UnitFormMain.h"
#include "firmware/UnitFrameConfigLine.h"
#include "app/VisualStyle.h"
#include "serial/SPComm.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
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
#include <random>
#include <utility>
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
  double LineMs = 0;
  double ChipMs = 0;
  double GapMedianMs = 0;
  double GapWorstMs = 0;
};

// Replays the requests into a module made like the one that served them: the bytes it was sent
// and answered give the line time, the delays of its answers the chip time. After the loader
// program's rate change the line runs at FastRate.
void ReplayForLineTime(TSimulatedModule Model, const std::vector<TRequestLog::TEntry>& Entries,
                       quint32 Rate, quint32 FastRate, TRunFigures& Run) {
  Model.SetLineRate(Rate);
  for (const TRequestLog::TEntry& Entry : Entries) {
    const QByteArray Frame = RequestFrame(Entry.Request);
    qsizetype Bytes = Frame.size();
    for (const TSimDelivery& Delivery : Model.Receive(Frame)) {
      Bytes += Delivery.Bytes.size();
      Run.ChipMs += Delivery.DelayMs;
    }
    Run.LineMs += LineMs(Bytes, Rate);
    if (Entry.Request.Command == SimLoaderRate) Model.SetLineRate(Rate = FastRate);
  }
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

  // Flashes Image (a built-in image's name or a file) on a module whose flash holds Held.
  TRunFigures Flash(const QString& Image, const TPath& Path, const TSimTiming& Timing,
                    const QByteArray& Held = QByteArray()) {
    TSimulatedModule Model;
    Model.PresetFlash(0, Held);
    const TSimulatedModule Before = Model;
    Model.Timing() = Timing;
    Model.Misbehaviour().RefuseUpload = Path.RefuseUpload;
    TRequestLog Requests;
    TSimulatedPort Port(Model, Path.HandshakeRate,
                        [&](const TSimRequest& Request) { Requests.Add(Request); });
    const bool File = QFileInfo(Image).isFile();
    if (File)
      Form.ChooseImageFile(Image);
    else
      Form.ComboBoxPath->setCurrentIndex(Form.ComboBoxPath->findText(Image));
    Form.FrameConfigLine1->SetOffset(File ? "0x10000" : "0x00000");
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
    Port.WithModule([this](TSimulatedModule& Served) { LastFlash = Served.Flash(); });
    Port.Stop();

    const std::vector<TRequestLog::TEntry> Entries = Requests.Entries();
    TSimulatedModule Replayed = Before;
    Replayed.Timing() = Timing;
    ReplayForLineTime(Replayed, Entries, Path.HandshakeRate, Path.Rate, Run);
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

 public:
  QByteArray LastFlash;  // the flash of the module of the last run, as it ended
  TPaintWatch PaintWatch;
};

// A file of Bytes random bytes in Folder: an image no compression shrinks.
QString RandomImageFile(const QString& Folder, qsizetype Bytes) {
  QByteArray Image(Bytes, '\0');
  std::mt19937 Random(53);
  for (char& Byte : Image) Byte = char(Random());
  const QString Path = Folder + "/random-1MiB@0x10000.bin";
  QFile File(Path);
  File.open(QIODevice::WriteOnly);
  File.write(Image);
  return Path;
}

void PrintHeader() {
  std::printf("%-8s %-6s %-7s %7s %8s %9s %9s %6s %11s %10s\n", "image", "path", "chip", "bit/s",
              "run [s]", "line [s]", "chip [s]", "ratio", "gap med[ms]", "gap max[ms]");
}

void PrintRun(const char* Image, const TPath& Path, const char* Chip, const TRunFigures& Run) {
  std::printf("%-8s %-6s %-7s %7u %8.2f %9.2f %9.2f %6.2f %11.2f %10.2f%s\n", Image, Path.Name,
              Chip, Path.Rate, Run.RunMs / 1000, Run.LineMs / 1000, Run.ChipMs / 1000,
              Run.RunMs / Run.LineMs, Run.GapMedianMs, Run.GapWorstMs,
              Run.Succeeded ? "" : "  (the run failed)");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer SinceMain;
  SinceMain.start();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication Application(argc, argv);
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

  QTemporaryDir Images;
  const QString Random = RandomImageFile(Images.path(), 1024 * 1024);
  const std::pair<const char*, QString> Built[] = {{"CORVEL", "CORVEL"}, {"UPYTHON", "UPYTHON"}};
  const std::pair<const char*, QString> All[] = {Built[0], Built[1], {"random", Random}};
  const std::pair<const char*, TSimTiming> Chips[] = {{"typical", TSimTiming()},
                                                      {"worst", TSimTiming::WorstCase()}};
  std::printf("chips: typical 45/150/0.7 ms, worst 400/2000/3 ms (sector, block, page)\n");
  PrintHeader();
  for (const auto& [ChipName, Timing] : Chips)
    for (const auto& [Name, Image] : All)
      PrintRun(Name, Paths[0], ChipName, Bench.Flash(Image, Paths[0], Timing));
  std::printf("re-flash: the module already holds the image (typical chip)\n");
  for (const auto& [Name, Image] : All) {
    Bench.Flash(Image, Paths[0], TSimTiming());
    PrintRun(Name, Paths[0], "typical", Bench.Flash(Image, Paths[0], TSimTiming(), Bench.LastFlash));
  }
  for (const TPath& Path : {Paths[1], Paths[2]})
    for (const auto& [Name, Image] : Built) PrintRun(Name, Path, "typical", Bench.Flash(Image, Path, TSimTiming()));
  return 0;
}
