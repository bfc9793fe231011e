#include "cli/CliPlatform.h"

#include <QMetaObject>

#include <windows.h>

#include <io.h>
#include <atomic>
#include <cstdio>

namespace CliPlatform {

namespace {

// Windows calls the console handler on a thread of its own; the handler posts the call to the
// catcher's event loop and answers that the event is handled, so the process goes on.
class TConsoleCatcher;
std::atomic<TConsoleCatcher*> Catcher{nullptr};

class TConsoleCatcher : public QObject {
 public:
  TConsoleCatcher(QObject* Context, std::function<void()> OnInterrupt)
      : FContext(Context), FOnInterrupt(std::move(OnInterrupt)) {
    Catcher = this;
    SetConsoleCtrlHandler(&Handler, TRUE);
  }
  ~TConsoleCatcher() override {
    SetConsoleCtrlHandler(&Handler, FALSE);
    Catcher = nullptr;
  }

 private:
  static BOOL WINAPI Handler(DWORD Event) {
    TConsoleCatcher* Self = Catcher;
    if (!Self || (Event != CTRL_C_EVENT && Event != CTRL_BREAK_EVENT && Event != CTRL_CLOSE_EVENT))
      return FALSE;
    QMetaObject::invokeMethod(Self->FContext, Self->FOnInterrupt, Qt::QueuedConnection);
    return TRUE;
  }

  QObject* FContext;
  std::function<void()> FOnInterrupt;
};

}  // namespace

// A console draws the terminal block's cursor moves and colours once asked to (Windows 10 and
// later); the NUL device, which _isatty takes for a terminal, has no console mode.
bool StandardOutputIsTerminal() {
  if (_isatty(_fileno(stdout)) == 0) return false;
  const HANDLE Console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD Mode = 0;
  return GetConsoleMode(Console, &Mode) &&
         SetConsoleMode(Console, Mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::unique_ptr<QObject> CatchInterrupts(QObject* Context, std::function<void()> OnInterrupt) {
  return std::make_unique<TConsoleCatcher>(Context, std::move(OnInterrupt));
}

}  // namespace CliPlatform
