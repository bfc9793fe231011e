// soak: a day on the production line in one process. The real main window, headless, flashes one
// simulated module after another, as an operator puts the next module on the fixture and presses
// Flash: each module on a pseudo-terminal of its own, paced at the run's line rate of 576000
// bit/s. Prints one line per run (time, result, the module's address, resident memory) and at
// the end the process's resident memory, open descriptors and threads before and after, the
// log's line count and what the settings folder holds. Exits non-zero when a run failed.

#include "app/UnitFormMain.h"
#include "app/VisualStyle.h"
#include "serial/SPComm.h"
#include "tools/rq53sim/SimulatedPort.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>

#include <malloc.h>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace {

constexpr quint32 LineRate = 576000;
// A run still going after this long has hung; the operator stops it.
constexpr int RunLimitMs = 120000;

struct TOptions {
  int Runs = 50;
  QString AppDir;  // empty: a temporary folder
  QString Image = QStringLiteral("CORVEL");
  int LogLines = 0;
  int Fixture = 0;
  bool SameModule = false;
  TSimTiming Timing = TSimTiming::Quick();
};

std::optional<int> ParseCount(const QCommandLineParser& Parser, const QString& Name, int Maximum) {
  bool Ok = false;
  const int Value = Parser.value(Name).toInt(&Ok);
  if (Ok && Value >= 0 && Value <= Maximum) return Value;
  std::fprintf(stderr, "soak: --%s wants a number from 0 to %d\n", qPrintable(Name), Maximum);
  return std::nullopt;
}

std::optional<TOptions> ParseOptions(const QCoreApplication& Application) {
  QCommandLineParser Parser;
  Parser.setApplicationDescription(
      "Flashes simulated RQ53 modules one after another through the real main window.");
  Parser.addHelpOption();
  Parser.addOptions({
      {"runs", "Number of runs (default 50).", "n", "50"},
      {"app-dir", "Program folder; its Config/ folder may be shared with another soak.", "dir"},
      {"image", "Firmware: CORVEL or UPYTHON (default CORVEL).", "name", "CORVEL"},
      {"log-lines", "Fill the log with this many lines before the first run.", "n", "0"},
      {"fixture", "Fixture number 0..255, the 4th byte of every module's address.", "n", "0"},
      {"same-module", "Every run meets the same module (one address)."},
      {"erase-ms", "Time the module takes to erase a 4 KiB sector (default 30).", "ms", "30"},
  });
  Parser.process(Application);
  const auto Runs = ParseCount(Parser, "runs", 65535);
  const auto LogLines = ParseCount(Parser, "log-lines", 10000000);
  const auto Fixture = ParseCount(Parser, "fixture", 255);
  const auto EraseMs = ParseCount(Parser, "erase-ms", 10000);
  if (!Runs || !LogLines || !Fixture || !EraseMs) return std::nullopt;
  TSimTiming Timing = TSimTiming::Quick();
  Timing.EraseMsPerSector = *EraseMs;
  return TOptions{*Runs,    Parser.value("app-dir"),     Parser.value("image").toUpper(), *LogLines,
                  *Fixture, Parser.isSet("same-module"), Timing};
}

// ---- the process's own figures

long ResidentKb() {
  QFile Status(QStringLiteral("/proc/self/status"));
  if (!Status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& Line : Status.readAll().split('\n'))
    if (Line.startsWith("VmRSS:")) return Line.mid(6).trimmed().split(' ').value(0).toLong();
  return -1;
}

// Bytes the program holds on the heap (in use, not merely kept by the allocator), in kB: the part
// of the resident memory that a leak makes grow.
long HeapInUseKb() {
  const struct mallinfo2 Info = mallinfo2();
  return long((Info.uordblks + Info.hblkhd) / 1024);
}

int EntryCount(const char* Folder) {
  int Count = 0;
  for ([[maybe_unused]] const auto& Entry : std::filesystem::directory_iterator(Folder)) ++Count;
  return Count;
}

struct TProcessFigures {
  long ResidentKb;
  long HeapKb;
  int Descriptors;
  int Threads;
};

TProcessFigures Figures() {
  return {ResidentKb(), HeapInUseKb(), EntryCount("/proc/self/fd"), EntryCount("/proc/self/task")};
}

// ---- the operator

// Runs the event loop until Done holds or TimeoutMs have passed; returns Done().
bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs) {
  if (Done()) return true;
  const QDeadlineTimer Deadline(TimeoutMs);
  QEventLoop Loop;
  QTimer Poll;
  Poll.setInterval(5);
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    if (Done() || Deadline.hasExpired()) Loop.quit();
  });
  Poll.start();
  Loop.exec();
  return Done();
}

// Runs the event loop for Ms milliseconds.
void Settle(int Ms) {
  WaitUntil([] { return false; }, Ms);
}

// Closes every modal message box as it opens and prints its text: a soak must not hang on one,
// and a run that showed one has failed.
class TMessageBoxAnswerer {
 public:
  TMessageBoxAnswerer() {
    FTimer.setInterval(20);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        std::fprintf(stderr, "soak: message box: %s\n", qPrintable(Box->text()));
        ++FCount;
        Box->done(QMessageBox::Ok);
      }
    });
    FTimer.start();
  }
  int Count() const { return FCount; }

 private:
  QTimer FTimer;
  int FCount = 0;
};

// The module on the fixture in run Run (from 1): station address 18:FE:34:<Fixture>:<Run, two
// bytes>, unless every run meets the same module.
TSimulatedModule ModuleFor(const TOptions& Options, int Run) {
  const quint32 Serial = Options.SameModule ? 0 : quint32(Run);
  TSimulatedModule Module;
  Module.SetEfuseWords(
      {(Serial & 0xFF) << 24, quint32(Options.Fixture) << 8 | (Serial >> 8 & 0xFF), 0, 0});
  Module.Timing() = Options.Timing;
  return Module;
}

struct TSoakRun {
  double Seconds = 0;
  bool Yes = false;
  QString STAMAC;
};

class TOperator {
 public:
  TOperator(TFormMain& Form, const TOptions& Options) : Form(Form), Options(Options) {}

  bool ChooseFirmware() {
    const int Index = Form.ComboBoxPath->findText(Options.Image);
    if (Index < 0) return false;
    Form.ComboBoxPath->setCurrentIndex(Index);
    Form.FrameConfigLineChange();
    return true;
  }

  // Appends Lines lines to the log one by one, as a long day of runs would have left it.
  void FillLog(int Lines) {
    for (int Line = 0; Line < Lines; ++Line)
      Form.MemoOutput->appendPlainText(QStringLiteral("Note: Program flash success."));
  }

  // Puts the next module on the fixture, presses Flash and waits for the run to end; stops a run
  // that failed with its port still open.
  // The run counts as done when its outcome says so and the window shows it: the port closed, no
  // message box, the YES picture.
  TSoakRun Flash(int Run) {
    TSimulatedPort Port(ModuleFor(Options, Run), LineRate);
    Form.ComboBoxSerialPortA->setEditText(Port.SlavePath());
    const int BoxesBefore = Answerer.Count();
    const int RunsBefore = Form.FlashStation().FinishedRuns();
    QElapsedTimer Clock;
    Clock.start();
    Form.ButtonBurn->click();
    const bool Ended =
        WaitUntil([&] { return Form.FlashStation().FinishedRuns() > RunsBefore; }, RunLimitMs);
    TSoakRun Result;
    Result.Seconds = double(Clock.nsecsElapsed()) / 1e9;
    Result.Yes = Ended && Form.FlashStation().LastOutcome()->Result == TRunResult::Done &&
                 !Form.Comm()->PortOpen() && Answerer.Count() == BoxesBefore &&
                 Form.ImageStatus->pixmap().toImage() == YesPicture;
    Result.STAMAC = Form.LabeledEditSTAMAC->text();
    if (Form.Comm()->PortOpen()) Form.ButtonBurn->click();
    WaitUntil([&] { return !Form.RunControl().WorkerRunning(); }, RunLimitMs);
    return Result;
  }

 private:
  TFormMain& Form;
  const TOptions& Options;
  TMessageBoxAnswerer Answerer;
  const QImage YesPicture = QPixmap(QStringLiteral(":/RCDATA/YES")).toImage();
};

// ---- the report

int RecordCount(const QString& ConfigDir) {
  QFile File(ConfigDir + QStringLiteral("RQ53MAC.txt"));
  return File.open(QIODevice::ReadOnly) ? int(File.readAll().count("\r\nSTA MAC:")) : 0;
}

int PictureCount(const QString& ConfigDir) {
  return int(QDir(ConfigDir).entryList({QStringLiteral("*.png")}, QDir::Files).size());
}

// Before the first run, after it (when the process has met everything a run uses once) and after
// the last.
struct TMemoryFigures {
  TProcessFigures Before, FirstRun, After;
};

void PrintMemory(const char* What, long TProcessFigures::*Figure, const TMemoryFigures& Memory,
                 std::size_t Runs) {
  std::printf("%s: %ld kB before, %ld kB after run 1, %ld kB after run %zu (%+ld kB)\n", What,
              Memory.Before.*Figure, Memory.FirstRun.*Figure, Memory.After.*Figure, Runs,
              Memory.After.*Figure - Memory.FirstRun.*Figure);
}

void PrintSummary(const std::vector<TSoakRun>& Results, const TMemoryFigures& Memory,
                  const TFormMain& Form) {
  std::vector<double> Seconds;
  for (const TSoakRun& Result : Results) Seconds.push_back(Result.Seconds);
  std::sort(Seconds.begin(), Seconds.end());
  const auto Yes = std::count_if(Results.begin(), Results.end(), [](auto& R) { return R.Yes; });
  double Total = 0;
  for (double S : Seconds) Total += S;
  std::printf("Runs: %zu, YES %td, NO %td\n", Results.size(), Yes,
              std::ptrdiff_t(Results.size()) - Yes);
  if (!Seconds.empty())
    std::printf("Seconds per run: min %.2f, median %.2f, max %.2f, total %.1f\n", Seconds.front(),
                Seconds[Seconds.size() / 2], Seconds.back(), Total);
  PrintMemory("Resident memory", &TProcessFigures::ResidentKb, Memory, Results.size());
  PrintMemory("Heap in use", &TProcessFigures::HeapKb, Memory, Results.size());
  const TProcessFigures& Before = Memory.Before;
  const TProcessFigures& After = Memory.After;
  std::printf("Open descriptors: %d before, %d after\n", Before.Descriptors, After.Descriptors);
  std::printf("Threads: %d before, %d after\n", Before.Threads, After.Threads);
  std::printf("Log lines: %d (the log keeps %d)\n", Form.MemoOutput->document()->blockCount(),
              Form.MemoOutput->maximumBlockCount());
  std::printf("Records in RQ53MAC.txt: %d\n", RecordCount(Form.ConfigDir()));
  std::printf("Pictures: %d\n", PictureCount(Form.ConfigDir()));
  std::printf("Settings folder: %s\n", qPrintable(QDir::toNativeSeparators(Form.ConfigDir())));
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication Application(argc, argv);
  Application.setApplicationName(QStringLiteral("soak"));
  const std::optional<TOptions> Options = ParseOptions(Application);
  if (!Options) return 2;
  const QString StyleError = ApplyVisualStyle(Application);
  if (!StyleError.isEmpty()) std::fprintf(stderr, "soak: %s\n", qPrintable(StyleError));

  QTemporaryDir Scratch;
  const QString AppDir = Options->AppDir.isEmpty() ? Scratch.path() : Options->AppDir;
  if (!QDir().mkpath(AppDir)) {
    std::fprintf(stderr, "soak: cannot create %s\n", qPrintable(AppDir));
    return 2;
  }
  TFormMain Form(AppDir);
  Form.show();
  TOperator Operator(Form, *Options);
  if (!Operator.ChooseFirmware()) {
    std::fprintf(stderr, "soak: no built-in image %s\n", qPrintable(Options->Image));
    return 2;
  }
  Operator.FillLog(Options->LogLines);
  Settle(1000);  // the first port scans and the start-up picture

  TMemoryFigures Memory;
  Memory.Before = Memory.FirstRun = Figures();
  std::vector<TSoakRun> Results;
  for (int Run = 1; Run <= Options->Runs; ++Run) {
    Results.push_back(Operator.Flash(Run));
    const TProcessFigures Now = Figures();
    if (Run == 1) Memory.FirstRun = Now;
    const TSoakRun& Result = Results.back();
    std::printf("run %4d  %7.2f s  %-3s  %s  RSS %ld kB  heap %ld kB\n", Run, Result.Seconds,
                Result.Yes ? "YES" : "NO", qPrintable(Result.STAMAC), Now.ResidentKb, Now.HeapKb);
    std::fflush(stdout);
  }
  Memory.After = Figures();
  PrintSummary(Results, Memory, Form);
  const bool AllYes =
      std::all_of(Results.begin(), Results.end(), [](const TSoakRun& R) { return R.Yes; });
  return AllYes ? 0 : 1;
}
