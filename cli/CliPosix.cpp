#include "cli/CliPlatform.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>

namespace CliPlatform {

namespace {

// A signal reaches the event loop through this pipe: the handler only writes one byte to it.
int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char Byte = 1;
  [[maybe_unused]] const ssize_t Written = ::write(SignalPipe[1], &Byte, 1);
}

// Restores the default handling of SIGINT and SIGTERM when it goes.
class TSignalCatcher : public QSocketNotifier {
 public:
  TSignalCatcher(QObject* Context, std::function<void()> OnInterrupt)
      : QSocketNotifier(SignalPipe[0], QSocketNotifier::Read) {
    connect(this, &QSocketNotifier::activated, Context, [OnInterrupt = std::move(OnInterrupt)] {
      char Bytes[16];
      ssize_t Count;
      while ((Count = ::read(SignalPipe[0], Bytes, sizeof Bytes)) > 0)
        for (ssize_t i = 0; i < Count; ++i) OnInterrupt();
    });
    for (int Signal : {SIGINT, SIGTERM}) std::signal(Signal, OnSignal);
  }
  ~TSignalCatcher() override {
    for (int Signal : {SIGINT, SIGTERM}) std::signal(Signal, SIG_DFL);
  }
};

}  // namespace

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

std::unique_ptr<QObject> CatchInterrupts(QObject* Context, std::function<void()> OnInterrupt) {
  if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  return std::make_unique<TSignalCatcher>(Context, std::move(OnInterrupt));
}

}  // namespace CliPlatform
