#include "tools/rq53sim/SimulatedPort.h"

#include "tools/rq53sim/PtyLineRate.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;

constexpr int ReadChunkSize = 256;
constexpr auto CatchUp = std::chrono::milliseconds(2);  // how far a late writer may make up time

std::chrono::nanoseconds ByteTime(quint32 Rate, qsizetype Bytes) {
  return std::chrono::nanoseconds(qint64(Bytes) * 10'000'000'000LL / qint64(std::max(Rate, 1u)));
}

void CloseFd(int& Fd) {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

}  // namespace

// What the simulator's thread keeps between turns of its loop.
struct TSimulatedPort::TLoop {
  struct TQueued {
    TTime After;  // the moment the request that caused it was complete
    TSimDelivery Delivery;
  };

  TTime Now;
  QByteArray RxChunk;  // read from the client, still crossing the line
  TTime RxDue;         // when its last byte has arrived
  // The client's next bytes were there when the last chunk had crossed.
  bool RxWaiting = false;
  std::deque<TQueued> TxQueue;
  TSimDelivery Tx;         // the delivery being sent
  qsizetype TxSent = 0;    // how much of it has been written
  bool TxActive = false;   // Tx is being sent
  TTime TxLineFree;        // when the last byte sent has left the line
  bool TxBlocked = false;  // the pseudo-terminal is full: wait until it takes more

  qsizetype TxLeft() const { return Tx.Bytes.size() - TxSent; }
  // Bytes go out about a millisecond's worth at a time.
  qsizetype SliceSize(quint32 Rate) const {
    return std::min<qsizetype>(TxLeft(), std::max(1u, Rate / 10'000));
  }

  // When the next slice has crossed the line and may reach the client, or when the next delivery
  // starts.
  std::optional<TTime> NextTxTime(quint32 Rate) const {
    if (TxBlocked) return std::nullopt;
    if (TxActive) return TxLineFree + ByteTime(Rate, SliceSize(Rate));
    if (TxQueue.empty()) return std::nullopt;
    const TQueued& Next = TxQueue.front();
    return std::max(Next.After, TxLineFree) + std::chrono::milliseconds(Next.Delivery.DelayMs);
  }
};

TSimulatedPort::TSimulatedPort(TSimulatedModule Module, quint32 FallbackRate,
                               TRequestEvent OnRequest)
    : FModule(std::move(Module)),
      FFallbackRate(FallbackRate),
      FOnRequest(std::move(OnRequest)),
      FLineRate(FallbackRate) {
  try {
    OpenTerminal();
  } catch (...) {
    CloseFd(FWatch);
    CloseFd(FWake);
    CloseFd(FSlave);
    CloseFd(FMaster);
    throw;
  }
  FThread = std::thread([this] { Run(); });
}

TSimulatedPort::~TSimulatedPort() {
  Stop();
  CloseTerminal();
  CloseFd(FWake);
}

// The simulator's thread alone uses the terminal, except Reset, which reads the client's rate
// under the module lock; so the descriptors change under that lock only.
void TSimulatedPort::CloseTerminal() {
  std::lock_guard<std::mutex> Lock(FModuleLock);
  CloseFd(FWatch);
  CloseFd(FSlave);
  CloseFd(FMaster);
}

void TSimulatedPort::OpenTerminal() {
  if (::openpty(&FMaster, &FSlave, nullptr, nullptr, nullptr) != 0)
    throw ESimPortError(std::string("Cannot open a pseudo-terminal: ") + std::strerror(errno));
  char Name[128];
  if (::ptsname_r(FMaster, Name, sizeof Name) != 0)
    throw ESimPortError("Cannot name the pseudo-terminal");
  FSlavePath = QString::fromLocal8Bit(Name);
  // Terminal settings made through the master apply to the slave side: raw bytes both ways, at
  // the fallback rate until the client sets its own.
  termios Raw{};
  ::tcgetattr(FMaster, &Raw);
  ::cfmakeraw(&Raw);
  ::tcsetattr(FMaster, TCSANOW, &Raw);
  PtyWriteLineRate(FMaster, FFallbackRate);
  ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
  FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWake < 0)
    throw ESimPortError(std::string("Cannot create an eventfd: ") + std::strerror(errno));
  // Best effort: without the watch a client that set TIOCEXCL cannot reopen the port unless root.
  FWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FWatch >= 0) ::inotify_add_watch(FWatch, Name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
}

void TSimulatedPort::WithModule(const std::function<void(TSimulatedModule&)>& Fn) {
  std::lock_guard<std::mutex> Lock(FModuleLock);
  Fn(FModule);
}

void TSimulatedPort::Reset() {
  {
    std::lock_guard<std::mutex> Lock(FModuleLock);
    FModule.SetLineRate(RefreshLineRate());
    for (TSimDelivery& Delivery : FModule.Reset()) FInjected.push_back(std::move(Delivery));
  }
  Wake();
}

void TSimulatedPort::SendConsoleText(qsizetype Bytes) {
  {
    std::lock_guard<std::mutex> Lock(FModuleLock);
    FInjected.push_back(TSimDelivery{0, TSimulatedModule::ConsoleText(Bytes)});
  }
  Wake();
}

// Marked before the terminal closes, so that a client that sees the hang-up finds it marked.
void TSimulatedPort::Unplug() {
  Stop();
  FUnplugged = true;
  CloseTerminal();
}

void TSimulatedPort::Wake() {
  const quint64 One = 1;
  [[maybe_unused]] ssize_t Written = ::write(FWake, &One, sizeof One);
}

void TSimulatedPort::Stop() {
  FStopping = true;
  Wake();
  if (FThread.joinable()) FThread.join();
}

void TSimulatedPort::Run() {
  // Paced bytes are due to the microsecond; a sleeping thread may otherwise wake 50 us late.
  ::prctl(PR_SET_TIMERSLACK, 1UL);
  TLoop Loop;
  Loop.Now = TClock::now();
  Loop.TxLineFree = Loop.Now;
  while (!FStopping.load()) {
    Loop.Now = TClock::now();
    FinishReceiving(Loop);
    TakeInjected(Loop);
    Transmit(Loop);
    if (FUnplugged.load() || !WaitForWork(Loop)) break;
  }
}

quint32 TSimulatedPort::RefreshLineRate() {
  const quint32 Rate = PtyReadLineRate(FMaster);
  FLineRate = Rate != 0 ? Rate : FFallbackRate;
  return FLineRate.load();
}

// Takes in what the client wrote, as much as fits in a chunk, once the previous chunk has crossed
// the line: so a client that writes faster than the line rate is held back by the full terminal.
void TSimulatedPort::ReadChunk(TLoop& Loop) {
  char Buffer[ReadChunkSize];
  const ssize_t Count = ::read(FMaster, Buffer, sizeof Buffer);
  if (Count <= 0) return;
  Loop.RxChunk = QByteArray(Buffer, Count);
  // Bytes that were waiting follow the previous ones without a gap: this thread's lateness in
  // taking them is no time on the line.
  const TTime Start = Loop.RxWaiting ? Loop.RxDue : TClock::now();
  Loop.RxDue = Start + ByteTime(RefreshLineRate(), Count);
}

// Hands a chunk that has crossed the line to the module and queues its answer.
void TSimulatedPort::FinishReceiving(TLoop& Loop) {
  if (Loop.RxChunk.isEmpty() || Loop.Now < Loop.RxDue) return;
  int Waiting = 0;
  Loop.RxWaiting = ::ioctl(FMaster, FIONREAD, &Waiting) == 0 && Waiting > 0;
  std::vector<TSimDelivery> Deliveries;
  std::vector<TSimRequest> NewRequests;
  {
    std::lock_guard<std::mutex> Lock(FModuleLock);
    FModule.SetLineRate(FLineRate.load());
    Deliveries = FModule.Receive(Loop.RxChunk, FOnRequest ? &NewRequests : nullptr);
  }
  Loop.RxChunk.clear();
  for (TSimDelivery& Delivery : Deliveries)
    Loop.TxQueue.push_back({Loop.RxDue, std::move(Delivery)});
  if (FOnRequest)
    for (const TSimRequest& Request : NewRequests) FOnRequest(Request);
}

void TSimulatedPort::TakeInjected(TLoop& Loop) {
  std::lock_guard<std::mutex> Lock(FModuleLock);
  for (TSimDelivery& Delivery : FInjected) Loop.TxQueue.push_back({Loop.Now, std::move(Delivery)});
  FInjected.clear();
}

// Starts the next delivery when it is due, and writes each slice of it once the slice's bytes have
// had the time to cross the line. A delivery that pulls the adapter does so once its bytes are out.
void TSimulatedPort::Transmit(TLoop& Loop) {
  const quint32 Rate = FLineRate.load();
  const std::optional<TTime> Due = Loop.NextTxTime(Rate);
  if (!Due || Loop.Now < *Due) return;
  if (!Loop.TxActive) {
    Loop.Tx = std::move(Loop.TxQueue.front().Delivery);
    Loop.TxQueue.pop_front();
    Loop.TxSent = 0;
    Loop.TxActive = true;
    Loop.TxLineFree = *Due;
  } else {
    const ssize_t Count =
        ::write(FMaster, Loop.Tx.Bytes.constData() + Loop.TxSent, size_t(Loop.SliceSize(Rate)));
    if (Count < 0 && errno == EAGAIN) {
      Loop.TxBlocked = true;
      return;
    }
    // Nowhere to send them: the bytes are lost, as on an unplugged line.
    Loop.TxSent = Count < 0 ? Loop.Tx.Bytes.size() : Loop.TxSent + Count;
    Loop.TxLineFree =
        std::max(Loop.TxLineFree + ByteTime(Rate, std::max<ssize_t>(Count, 0)), Loop.Now - CatchUp);
  }
  if (Loop.TxLeft() > 0) return;
  Loop.TxActive = false;
  if (Loop.Tx.Unplug) {
    AwaitClientRead();
    FUnplugged = true;
    CloseTerminal();
  }
}

// A hang-up throws away what the client has not read yet, so the adapter is pulled only once the
// client has read the bytes sent before, or after a second when it reads nothing. Polling the
// slave side first moves bytes still on their way through the terminal to where the client reads
// them, so the count is complete.
void TSimulatedPort::AwaitClientRead() {
  const TTime GiveUp = TClock::now() + std::chrono::seconds(1);
  for (;;) {
    pollfd Slave{FSlave, POLLIN, 0};
    ::poll(&Slave, 1, 0);
    int Waiting = 0;
    if (::ioctl(FSlave, FIONREAD, &Waiting) != 0 || Waiting == 0 || TClock::now() >= GiveUp) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Sleeps until the client writes, the terminal takes more output, a paced byte is due, or Stop or
// Reset wakes the thread. False when polling fails for good.
bool TSimulatedPort::WaitForWork(TLoop& Loop) {
  std::optional<TTime> WakeAt = Loop.NextTxTime(FLineRate.load());
  if (!Loop.RxChunk.isEmpty()) WakeAt = WakeAt ? std::min(*WakeAt, Loop.RxDue) : Loop.RxDue;
  pollfd Fds[3] = {
      {FWake, POLLIN, 0},
      {FMaster, short((Loop.RxChunk.isEmpty() ? POLLIN : 0) | (Loop.TxBlocked ? POLLOUT : 0)), 0},
      {FWatch, POLLIN, 0}};
  timespec Timeout{};
  if (WakeAt) {
    const auto Left = std::max(std::chrono::nanoseconds(0), *WakeAt - TClock::now());
    Timeout.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(Left).count();
    Timeout.tv_nsec = (Left % std::chrono::seconds(1)).count();
  }
  if (::ppoll(Fds, 3, WakeAt ? &Timeout : nullptr, nullptr) < 0) return errno == EINTR;
  if (Fds[0].revents & POLLIN) {
    quint64 Count = 0;
    [[maybe_unused]] ssize_t Read = ::read(FWake, &Count, sizeof Count);
  }
  if (Fds[1].revents & POLLOUT) Loop.TxBlocked = false;
  if (Fds[1].revents & POLLIN) ReadChunk(Loop);
  if (Fds[2].revents & POLLIN) ForgetExclusiveUse();
  return true;
}

// A real serial port forgets TIOCEXCL when its last user closes it; a pseudo-terminal keeps the
// flag while its master is open, so a client that is not root could not open the port again. The
// flag is cleared whenever a client closes the slave path. (Counting opens to find the last close
// is not possible: inotify merges repeated events.) The advisory lock a client takes is untouched.
void TSimulatedPort::ForgetExclusiveUse() {
  alignas(inotify_event) char Buffer[4096];
  while (::read(FWatch, Buffer, sizeof Buffer) > 0) {
  }
  ::ioctl(FSlave, TIOCNXCL);
}
