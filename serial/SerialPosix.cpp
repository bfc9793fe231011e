// The serial seam on Linux: termios and termios2 for the line, the modem-control ioctls for
// DTR and RTS, poll for every wait, eventfd for events and flock for exclusive ownership.

#include "serial/SerialPlatform.h"
#include "serial/Termios2.h"

#include <QFile>

#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <limits>
#include <mutex>
#include <vector>

namespace SerialPlatform {

namespace {

// How often the reader looks at the driver's counters of line errors and modem changes.
constexpr int LineEventPollMs = 20;

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int FdOf(const TEvent& Event) { return static_cast<int>(Event.Native()); }

// Narrows a wait of Ms milliseconds (negative: none so far) to at most Limit.
void LimitWait(std::int64_t& Ms, std::int64_t Limit) {
  Limit = std::max<std::int64_t>(Limit, 0);
  Ms = Ms < 0 ? Limit : std::min(Ms, Limit);
}

bool ReadCounters(int Fd, TLineCounters& Counters) {
  serial_icounter_struct Icount{};
  if (ioctl(Fd, TIOCGICOUNT, &Icount) != 0) return false;
  Counters = {quint32(Icount.dcd),        quint32(Icount.rng),    quint32(Icount.frame),
              quint32(Icount.overrun),    quint32(Icount.parity), quint32(Icount.brk),
              quint32(Icount.buf_overrun)};
  return true;
}

// True when another holder has marked the tty for exclusive use. Root may open it all the same,
// so it asks; a device that is no tty answers no.
bool HeldExclusive(int Fd) {
  int Exclusive = 0;
  return ioctl(Fd, TIOCGEXCL, &Exclusive) == 0 && Exclusive != 0;
}

tcflag_t SizeFlag(quint8 ByteSize) {
  switch (ByteSize) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

tcflag_t ParityFlags(quint8 Parity) {
  switch (Parity) {
    case 1:
      return PARENB | PARODD;
    case 2:
      return PARENB;
    case 3:
      return PARENB | PARODD | CMSPAR;
    case 4:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

void BuildTermios(termios& Tio, const TLineConfig& Config) {
  cfmakeraw(&Tio);
  Tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  Tio.c_cflag |= CREAD | CLOCAL | SizeFlag(Config.ByteSize) | ParityFlags(Config.Parity);
  if (Config.StopBits != 0) Tio.c_cflag |= CSTOPB;  // 1.5 stop bits exist only as "more than one"
  const bool RtsHandshake = (Config.Flags & LineFlag::RtsMask) == LineFlag::RtsHandshake;
  if ((Config.Flags & LineFlag::CtsFlow) || RtsHandshake) Tio.c_cflag |= CRTSCTS;
  if (Config.Flags & LineFlag::ParityCheck) Tio.c_iflag |= INPCK;
  if (Config.Flags & LineFlag::OutXonXoff) Tio.c_iflag |= IXON;
  if (Config.Flags & LineFlag::InXonXoff) Tio.c_iflag |= IXOFF;
  Tio.c_cc[VSTART] = cc_t(Config.XonChar);
  Tio.c_cc[VSTOP] = cc_t(Config.XoffChar);
  Tio.c_cc[VMIN] = 1;
  Tio.c_cc[VTIME] = 0;
}

// Drives DTR and RTS as their modes say. The driver's handshake modes keep the line asserted
// until flow control takes it over; a device without modem lines (a pseudo-terminal) refuses
// the ioctls, which is not an error.
void ApplyControlLines(int Fd, quint32 Flags) {
  int Lines = 0;
  if (ioctl(Fd, TIOCMGET, &Lines) != 0) return;
  const bool Dtr = (Flags & LineFlag::DtrMask) != 0;
  const bool Rts = (Flags & LineFlag::RtsMask) != 0;
  Lines = Dtr ? Lines | TIOCM_DTR : Lines & ~TIOCM_DTR;
  Lines = Rts ? Lines | TIOCM_RTS : Lines & ~TIOCM_RTS;
  ioctl(Fd, TIOCMSET, &Lines);
}

class TPosixSerialDevice final : public TSerialDevice {
 public:
  explicit TPosixSerialDevice(int Fd) : FFd(Fd) {}
  ~TPosixSerialDevice() override {
    ioctl(FFd, TIOCNXCL);  // leave the tty open to others again (root or not)
    close(FFd);
  }

  bool IsValid() const { return FReadAbort.IsValid() && FWriteAbort.IsValid(); }
  std::intptr_t Handle() const override { return FFd; }

  bool IsCharDevice() const override {
    struct stat St {};
    return fstat(FFd, &St) == 0 && S_ISCHR(St.st_mode);
  }

  // The kernel's tty queues have a fixed size, so there is nothing to set; but only a terminal
  // has them: any other character device (/dev/null, ...) is no serial port.
  bool SetupQueues(quint32, quint32) override { return isatty(FFd) == 1; }

  void Purge(bool Input, bool Output) override {
    if (Input) Abort(FReadGeneration, FReadAbort);
    if (Output) Abort(FWriteGeneration, FWriteAbort);
    if (Input || Output) tcflush(FFd, Input && Output ? TCIOFLUSH : Input ? TCIFLUSH : TCOFLUSH);
  }

  // The rate goes through termios2 (any rate) and is read back: a driver that cannot run it
  // refuses it or answers the rate it chose instead.
  bool ApplyLine(const TLineConfig& Config) override {
    termios Tio{};
    bool Taken = false;
    if (tcgetattr(FFd, &Tio) == 0) {
      const quint32 Before = Termios2Baud(FFd);
      BuildTermios(Tio, Config);
      tcsetattr(FFd, TCSANOW, &Tio);
      Taken = SetTermios2Baud(FFd, Config.BaudRate) && RateTaken(Config.BaudRate, LineRate());
      if (!Taken && Before != 0) SetTermios2Baud(FFd, Before);
    }
    ApplyControlLines(FFd, Config.Flags);
    return Taken;
  }

  quint32 LineRate() const override { return Termios2Baud(FFd); }

  void ApplyTimeouts(const TCommTimeouts& Timeouts) override {
    std::lock_guard Lock(FTimeoutsLock);
    FTimeouts = Timeouts;
  }

  quint32 ModemStatus() const override {
    int Lines = 0;
    if (ioctl(FFd, TIOCMGET, &Lines) != 0) return 0;
    return (Lines & TIOCM_CTS ? 0x10 : 0) | (Lines & TIOCM_DSR ? 0x20 : 0) |
           (Lines & TIOCM_RI ? 0x40 : 0) | (Lines & TIOCM_CD ? 0x80 : 0);
  }

  // The driver's counters are watched only where it keeps them (not on a pseudo-terminal).
  bool SetEventMask(quint32 Mask) override {
    FEventMask = Mask;
    FWatchLine = Mask != 0 && ReadCounters(FFd, FCounters);
    return true;
  }

  bool ClearErrors(quint32& ErrorWord) override {
    TLineCounters Now;
    if (!ReadCounters(FFd, Now)) return false;
    LineEventsBetween(FCounters, Now, EventErr, FErrorWord);
    FCounters = Now;
    ErrorWord = FErrorWord;
    FErrorWord = 0;
    return true;
  }

  TIoStatus Read(TReadRecord& Record, const TEvent& Close, quint32& Events) override;
  TIoStatus Write(const quint8* Data, quint32 Count, const TEvent& Close,
                  quint32& Written) override;

 private:
  static void Abort(std::atomic<unsigned>& Generation, TEvent& Wake) {
    ++Generation;
    Wake.Signal();
  }
  TCommTimeouts Timeouts() const {
    std::lock_guard Lock(FTimeoutsLock);
    return FTimeouts;
  }
  quint32 PendingLineEvents();
  std::int64_t ReadWaitMs(const TReadRecord& Record) const;
  static bool EndsOnFirstBytes(const TCommTimeouts& T);
  static std::int64_t ReadTotalMs(const TReadRecord& Record);
  static bool ReadComplete(const TReadRecord& Record);
  TIoStatus ReadAvailable(TReadRecord& Record, short Revents);
  // Closed when the close event is signalled (it wins over everything else), Aborted after a
  // purge of the input since the read began, else Done.
  TIoStatus Interruption(const TReadRecord& Record, const TEvent& Close) const {
    // The purge counter is read first: a stop signals the close event before it purges.
    const bool Purged = Record.Generation != FReadGeneration;
    if (Close.IsSignalled()) return TIoStatus::Closed;
    return Purged ? TIoStatus::Aborted : TIoStatus::Done;
  }
  static TIoStatus EndRead(TReadRecord& Record, TIoStatus Status) {
    Record.Pending = false;
    return Status;
  }

  int FFd;
  TEvent FReadAbort;
  TEvent FWriteAbort;
  std::atomic<unsigned> FReadGeneration{0};
  std::atomic<unsigned> FWriteGeneration{0};
  mutable std::mutex FTimeoutsLock;
  TCommTimeouts FTimeouts;
  // Used by the reader alone.
  bool FWatchLine = false;
  quint32 FEventMask = 0;
  TLineCounters FCounters;
  quint32 FErrorWord = 0;
};

quint32 TPosixSerialDevice::PendingLineEvents() {
  TLineCounters Now;
  if (!FWatchLine || !ReadCounters(FFd, Now)) return 0;
  const quint32 Events = LineEventsBetween(FCounters, Now, FEventMask, FErrorWord);
  FCounters = Now;
  return Events;
}

std::int64_t TPosixSerialDevice::ReadWaitMs(const TReadRecord& Record) const {
  const TCommTimeouts& T = Record.Timeouts;
  const std::int64_t Now = NowMs();
  std::int64_t Wait = -1;
  const std::int64_t Total = ReadTotalMs(Record);
  if (Total > 0) LimitWait(Wait, Record.StartMs + Total - Now);
  if (Record.Count > 0 && T.ReadIntervalTimeout > 0 && !EndsOnFirstBytes(T))
    LimitWait(Wait, Record.LastByteMs + T.ReadIntervalTimeout + 1 - Now);
  if (FWatchLine) LimitWait(Wait, LineEventPollMs);
  return std::min<std::int64_t>(Wait, std::numeric_limits<int>::max());
}

bool TPosixSerialDevice::EndsOnFirstBytes(const TCommTimeouts& T) {
  return T.ReadIntervalTimeout == MaxTimeout && T.ReadTotalTimeoutMultiplier == MaxTimeout &&
         T.ReadTotalTimeoutConstant > 0 && T.ReadTotalTimeoutConstant < MaxTimeout;
}

std::int64_t TPosixSerialDevice::ReadTotalMs(const TReadRecord& Record) {
  const TCommTimeouts& T = Record.Timeouts;
  if (EndsOnFirstBytes(T)) return T.ReadTotalTimeoutConstant;
  return std::int64_t(T.ReadTotalTimeoutMultiplier) * Record.Wanted + T.ReadTotalTimeoutConstant;
}

bool TPosixSerialDevice::ReadComplete(const TReadRecord& Record) {
  const TCommTimeouts& T = Record.Timeouts;
  const std::int64_t Now = NowMs();
  const std::int64_t Total = ReadTotalMs(Record);
  if (Record.Count > 0 && EndsOnFirstBytes(T)) return true;
  return Record.Count == Record.Wanted ||
         (Record.Count > 0 && T.ReadIntervalTimeout > 0 &&
          Now - Record.LastByteMs > T.ReadIntervalTimeout) ||
         (Total > 0 && Now - Record.StartMs >= Total);
}

TIoStatus TPosixSerialDevice::ReadAvailable(TReadRecord& Record, short Revents) {
  const ssize_t N = ::read(FFd, Record.Buffer + Record.Count, Record.Wanted - Record.Count);
  if (N > 0) {
    Record.Count += quint32(N);
    Record.LastByteMs = NowMs();
    return TIoStatus::Done;
  }
  if (N < 0 && errno == EBADF) return TIoStatus::InvalidHandle;
  if (N < 0 && (errno == EAGAIN || errno == EINTR)) return TIoStatus::Done;
  // End of input or a read error: the device went away (for a pty: its other side closed).
  return N == 0 && !(Revents & (POLLHUP | POLLERR)) ? TIoStatus::Done : TIoStatus::Failed;
}

TIoStatus TPosixSerialDevice::Read(TReadRecord& Record, const TEvent& Close, quint32& Events) {
  if (!Record.Pending) {
    Record.Pending = true;
    Record.Count = 0;
    Record.StartMs = NowMs();
    Record.Timeouts = Timeouts();
    Record.Generation = FReadGeneration;
  }
  for (;;) {
    pollfd Fds[3] = {{FdOf(Close), POLLIN, 0}, {FdOf(FReadAbort), POLLIN, 0}, {FFd, POLLIN, 0}};
    if (poll(Fds, 3, int(ReadWaitMs(Record))) < 0) {
      if (errno == EINTR) continue;
      return EndRead(Record, TIoStatus::Failed);
    }
    if (Fds[1].revents) FReadAbort.Reset();
    if (const TIoStatus Status = Interruption(Record, Close); Status != TIoStatus::Done)
      return EndRead(Record, Status);
    if ((Events = PendingLineEvents()) != 0) return TIoStatus::LineEvent;
    if (Fds[2].revents & POLLNVAL) return EndRead(Record, TIoStatus::InvalidHandle);
    if (Fds[2].revents) {
      TIoStatus Status = ReadAvailable(Record, Fds[2].revents);
      // A purge may have come between the wait and the read: bytes read after it would
      // follow a gap, so the read ends aborted instead.
      if (Status == TIoStatus::Done) Status = Interruption(Record, Close);
      if (Status != TIoStatus::Done) return EndRead(Record, Status);
    }
    if (ReadComplete(Record)) return EndRead(Record, TIoStatus::Done);
  }
}

TIoStatus TPosixSerialDevice::Write(const quint8* Data, quint32 Count, const TEvent& Close,
                                    quint32& Written) {
  const TCommTimeouts T = Timeouts();
  const std::int64_t Total =
      std::int64_t(T.WriteTotalTimeoutMultiplier) * Count + T.WriteTotalTimeoutConstant;
  const std::int64_t StartMs = NowMs();
  const unsigned Generation = FWriteGeneration;
  Written = 0;
  while (Written < Count) {
    const ssize_t N = ::write(FFd, Data + Written, Count - Written);
    if (N > 0) {
      Written += quint32(N);
      continue;
    }
    if (N < 0 && errno == EBADF) return TIoStatus::InvalidHandle;
    if (N < 0 && errno != EAGAIN && errno != EINTR) return TIoStatus::Failed;
    std::int64_t Wait = -1;
    if (Total > 0) LimitWait(Wait, StartMs + Total - NowMs());
    pollfd Fds[3] = {{FdOf(Close), POLLIN, 0}, {FdOf(FWriteAbort), POLLIN, 0}, {FFd, POLLOUT, 0}};
    const int Ready = poll(Fds, 3, int(Wait));
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready < 0) return TIoStatus::Failed;
    if (Ready == 0) return TIoStatus::Done;  // the total time-out passed: a partial write
    if (Fds[0].revents) return TIoStatus::Closed;
    if (Fds[1].revents) {
      FWriteAbort.Reset();
      if (Generation != FWriteGeneration) return TIoStatus::Aborted;
    }
    if (Fds[2].revents & POLLNVAL) return TIoStatus::InvalidHandle;
    if ((Fds[2].revents & (POLLERR | POLLHUP)) && !(Fds[2].revents & POLLOUT))
      return TIoStatus::Failed;
  }
  return TIoStatus::Done;
}

}  // namespace

TEvent::TEvent() : FHandle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TEvent::~TEvent() {
  if (IsValid()) close(FdOf(*this));
}

bool TEvent::IsValid() const { return FHandle >= 0; }

void TEvent::Signal() {
  const std::uint64_t One = 1;
  [[maybe_unused]] const ssize_t N = write(FdOf(*this), &One, sizeof One);
}

void TEvent::Reset() {
  std::uint64_t Count = 0;
  [[maybe_unused]] const ssize_t N = read(FdOf(*this), &Count, sizeof Count);
}

bool TEvent::IsSignalled() const { return WaitAny({this}, 0) != -1; }

int TEvent::WaitAny(std::initializer_list<const TEvent*> Events, int TimeoutMs) {
  std::vector<pollfd> Fds;
  for (const TEvent* Event : Events) Fds.push_back({FdOf(*Event), POLLIN, 0});
  int Ready;
  while ((Ready = poll(Fds.data(), Fds.size(), TimeoutMs)) < 0 && errno == EINTR) {
  }
  if (Ready < 0) return -2;
  if (Ready == 0) return -1;
  const auto Signalled =
      std::find_if(Fds.begin(), Fds.end(), [](const pollfd& P) { return P.revents; });
  return int(Signalled - Fds.begin());
}

quint32 LineEventsBetween(const TLineCounters& Before, const TLineCounters& After, quint32 Mask,
                          quint32& ErrorWord) {
  quint32 Errors = 0;
  if (After.BufOverrun != Before.BufOverrun) Errors |= ErrorRxOver;
  if (After.Overrun != Before.Overrun) Errors |= ErrorOverrun;
  if (After.Parity != Before.Parity) Errors |= ErrorRxParity;
  if (After.Frame != Before.Frame) Errors |= ErrorFrame;
  if (After.Brk != Before.Brk) Errors |= ErrorBreak;
  quint32 Events = 0;
  if (Errors && (Mask & EventErr)) {
    ErrorWord |= Errors;
    Events |= EventErr;
  }
  if (After.Dcd != Before.Dcd) Events |= Mask & EventRlsd;
  if (After.Rng != Before.Rng) Events |= Mask & EventRing;
  return Events;
}

QString DevicePath(const QString& CommName) {
  return CommName.contains(QLatin1Char('/')) ? CommName : QStringLiteral("/dev/") + CommName;
}

// TIOCEXCL keeps other (non-root) processes out of the tty; the advisory lock also keeps out
// root and every other component that opens ports this way.
std::unique_ptr<TSerialDevice> OpenSerialDevice(const QString& CommName) {
  const int Fd = open(QFile::encodeName(DevicePath(CommName)).constData(),
                      O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) return nullptr;
  if (HeldExclusive(Fd) || flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    close(Fd);
    return nullptr;
  }
  ioctl(Fd, TIOCEXCL);
  auto Device = std::make_unique<TPosixSerialDevice>(Fd);
  if (!Device->IsValid()) return nullptr;
  return Device;
}

QString DescribeOpenFailure(const QString& CommName) {
  const QString Path = DevicePath(CommName);
  const int Fd = open(QFile::encodeName(Path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    const int Error = errno;
    if (Error == ENOENT) return QStringLiteral("%1 does not exist; is the adapter plugged in?").arg(Path);
    if (Error == EACCES || Error == EPERM)
      return QStringLiteral("%1: Permission denied; add your user to the dialout group.").arg(Path);
    if (Error == EBUSY) return QStringLiteral("%1 is in use by another program.").arg(Path);
    if (Error == EISDIR) return QStringLiteral("%1 is no serial port.").arg(Path);
    return QStringLiteral("%1: %2.").arg(Path, QString::fromLocal8Bit(strerror(Error)));
  }
  QString Reason = QStringLiteral("%1 cannot be opened as a serial port.").arg(Path);
  if (!isatty(Fd))
    Reason = QStringLiteral("%1 is no serial port.").arg(Path);
  else if (HeldExclusive(Fd) || flock(Fd, LOCK_EX | LOCK_NB) != 0)
    Reason = QStringLiteral("%1 is in use by another program.").arg(Path);
  close(Fd);
  return Reason;
}

void RaiseThreadPriority(TThreadPriority Priority) {
  setpriority(PRIO_PROCESS, gettid(), Priority == TThreadPriority::Highest ? -10 : -5);
}

}  // namespace SerialPlatform
