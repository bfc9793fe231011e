// The serial seam on Windows: the communications API on a handle opened for overlapped I/O, so
// that the reader's read and line-event wait and the writer's write can be outstanding at once,
// and Windows events for every wait.

#include "serial/SerialPlatform.h"

#include <windows.h>

#include <atomic>
#include <vector>

namespace SerialPlatform {

namespace {

HANDLE HandleOf(const TEvent& Event) { return reinterpret_cast<HANDLE>(Event.Native()); }

// Errors with which a pulled adapter or a port gone bad ends an operation, as drivers report
// them; every one of them is a failure of the line, not a stop.
TIoStatus StatusOfError(DWORD Error) {
  return Error == ERROR_INVALID_HANDLE ? TIoStatus::InvalidHandle : TIoStatus::Failed;
}

bool EndsOnFirstBytes(const TCommTimeouts& T) {
  return T.ReadIntervalTimeout == MaxTimeout && T.ReadTotalTimeoutMultiplier == MaxTimeout &&
         T.ReadTotalTimeoutConstant > 0 && T.ReadTotalTimeoutConstant < MaxTimeout;
}

// Wine's ntdll exports its version; Windows' does not.
bool RunsOnWine() {
  static const bool Wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return Wine;
}

// One overlapped operation: its record, whose event the driver signals when it ends.
class TOverlapped {
 public:
  TOverlapped() { Record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~TOverlapped() {
    if (Record.hEvent) CloseHandle(Record.hEvent);
  }
  TOverlapped(const TOverlapped&) = delete;
  TOverlapped& operator=(const TOverlapped&) = delete;

  bool IsValid() const { return Record.hEvent != nullptr; }
  HANDLE Event() const { return Record.hEvent; }
  // Makes the record ready for a new operation.
  OVERLAPPED* Start() {
    ResetEvent(Record.hEvent);
    Record.Internal = Record.InternalHigh = 0;
    Record.Offset = Record.OffsetHigh = 0;
    Pending = true;
    return &Record;
  }
  // The outcome of the operation, waiting for its end. False with the error in Error.
  bool Finish(HANDLE Port, DWORD& Count, DWORD& Error) {
    Count = 0;
    const BOOL Ok = GetOverlappedResult(Port, &Record, &Count, TRUE);
    Error = Ok ? ERROR_SUCCESS : GetLastError();
    Pending = false;
    return Ok != FALSE;
  }
  // Stops the operation and waits until the driver no longer writes into its record and buffer.
  void Cancel(HANDLE Port, DWORD& Count) {
    if (!Pending) return;
    CancelIoEx(Port, &Record);
    DWORD Error = 0;
    Finish(Port, Count, Error);
  }

  bool Pending = false;

 private:
  OVERLAPPED Record{};
};

class TWin32SerialDevice final : public TSerialDevice {
 public:
  explicit TWin32SerialDevice(HANDLE Port) : FPort(Port) {}
  ~TWin32SerialDevice() override {
    DWORD Count = 0;
    FReadOp.Cancel(FPort, Count);
    FEventOp.Cancel(FPort, Count);
    FWriteOp.Cancel(FPort, Count);
    CloseHandle(FPort);
  }

  bool IsValid() const { return FReadOp.IsValid() && FEventOp.IsValid() && FWriteOp.IsValid(); }
  std::intptr_t Handle() const override { return reinterpret_cast<std::intptr_t>(FPort); }

  bool IsCharDevice() const override {
    const DWORD Type = GetFileType(FPort);
    return Type == FILE_TYPE_CHAR || Type == FILE_TYPE_UNKNOWN;
  }

  bool SetupQueues(quint32 InSize, quint32 OutSize) override {
    return SetupComm(FPort, InSize, OutSize) != FALSE;
  }

  void Purge(bool Input, bool Output) override {
    DWORD Flags = 0;
    if (Input) {
      ++FReadGeneration;
      Flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    }
    if (Output) {
      ++FWriteGeneration;
      Flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    }
    if (Flags) PurgeComm(FPort, Flags);
  }

  bool ApplyLine(const TLineConfig& Config) override;
  quint32 LineRate() const override;

  void ApplyTimeouts(const TCommTimeouts& T) override {
    COMMTIMEOUTS Timeouts{T.ReadIntervalTimeout, T.ReadTotalTimeoutMultiplier,
                          T.ReadTotalTimeoutConstant, T.WriteTotalTimeoutMultiplier,
                          T.WriteTotalTimeoutConstant};
    // Wine's serial layer knows no read that ends on its first bytes; it ends a read after the
    // read interval, so the shortest interval comes closest.
    if (RunsOnWine() && EndsOnFirstBytes(T)) {
      Timeouts.ReadIntervalTimeout = 1;
      Timeouts.ReadTotalTimeoutMultiplier = 0;
    }
    SetCommTimeouts(FPort, &Timeouts);
  }

  // The platform's bits are the seam's: CTS 0x10, DSR 0x20, ring 0x40, carrier detect 0x80.
  quint32 ModemStatus() const override {
    DWORD Status = 0;
    return GetCommModemStatus(FPort, &Status) ? quint32(Status) : 0;
  }

  bool SetEventMask(quint32 Mask) override {
    FEventMask = Mask;
    return SetCommMask(FPort, Mask) != FALSE;
  }

  // The platform's error bits are the seam's.
  bool ClearErrors(quint32& ErrorWord) override {
    DWORD Errors = 0;
    COMSTAT Status{};
    if (!ClearCommError(FPort, &Errors, &Status)) return false;
    ErrorWord = Errors;
    return true;
  }

  TIoStatus Read(TReadRecord& Record, const TEvent& Close, quint32& Events) override;
  TIoStatus Write(const quint8* Data, quint32 Count, const TEvent& Close,
                  quint32& Written) override;

 private:
  TIoStatus StartRead(TReadRecord& Record);
  TIoStatus EndRead(TReadRecord& Record, const TEvent& Close);
  bool StartEventWait(quint32& Events, TIoStatus& Status);
  TIoStatus Abandon(TReadRecord& Record, TIoStatus Status);
  // An operation ended by ERROR_OPERATION_ABORTED: our own stop, our own purge, or neither (the
  // driver gave up on the port).
  static TIoStatus AbortCause(const TEvent& Close, bool Purged) {
    if (Close.IsSignalled()) return TIoStatus::Closed;
    return Purged ? TIoStatus::Aborted : TIoStatus::Failed;
  }

  HANDLE FPort;
  std::atomic<unsigned> FReadGeneration{0};
  std::atomic<unsigned> FWriteGeneration{0};
  // Used by the reader alone.
  TOverlapped FReadOp;
  TOverlapped FEventOp;
  DWORD FEventWord = 0;
  quint32 FEventMask = 0;
  // Used by the writer alone.
  TOverlapped FWriteOp;
};

quint32 TWin32SerialDevice::LineRate() const {
  DCB Dcb{};
  Dcb.DCBlength = sizeof Dcb;
  return GetCommState(FPort, &Dcb) ? quint32(Dcb.BaudRate) : 0;
}

// SetCommState's result alone does not tell: a driver may take a rate it cannot run and run
// another (Wine sets a rate without a termios constant, such as 576000, as 38400 and reports
// success), so the rate is read back. The settable rates of GetCommProperties are no guide either:
// Wine reports 115200 at most and runs 3000000.
bool TWin32SerialDevice::ApplyLine(const TLineConfig& Config) {
  DCB Dcb{};
  Dcb.DCBlength = sizeof Dcb;
  // Every field is set below: a driver that cannot report its state (an unusual rate set by
  // another program) still gets the whole configuration.
  const quint32 Before = GetCommState(FPort, &Dcb) ? quint32(Dcb.BaudRate) : 0;
  Dcb.DCBlength = sizeof Dcb;
  const quint32 F = Config.Flags;
  Dcb.BaudRate = Config.BaudRate;
  Dcb.fBinary = (F & LineFlag::Binary) != 0;
  Dcb.fParity = (F & LineFlag::ParityCheck) != 0;
  Dcb.fOutxCtsFlow = (F & LineFlag::CtsFlow) != 0;
  Dcb.fOutxDsrFlow = (F & LineFlag::DsrFlow) != 0;
  Dcb.fDtrControl = (F & LineFlag::DtrMask) == LineFlag::DtrHandshake ? DTR_CONTROL_HANDSHAKE
                    : (F & LineFlag::DtrMask) == LineFlag::DtrEnable   ? DTR_CONTROL_ENABLE
                                                                       : DTR_CONTROL_DISABLE;
  Dcb.fDsrSensitivity = (F & LineFlag::DsrSensitivity) != 0;
  Dcb.fTXContinueOnXoff = (F & LineFlag::TxContinueOnXoff) != 0;
  Dcb.fOutX = (F & LineFlag::OutXonXoff) != 0;
  Dcb.fInX = (F & LineFlag::InXonXoff) != 0;
  Dcb.fErrorChar = (F & LineFlag::ErrorChar) != 0;
  Dcb.fNull = (F & LineFlag::DiscardNull) != 0;
  Dcb.fRtsControl = (F & LineFlag::RtsMask) >> 12;  // the seam's RTS modes are the DCB's
  Dcb.fAbortOnError = FALSE;
  Dcb.XonLim = Config.XonLimit;
  Dcb.XoffLim = Config.XoffLimit;
  Dcb.ByteSize = Config.ByteSize;
  Dcb.Parity = Config.Parity;
  Dcb.StopBits = Config.StopBits;
  Dcb.XonChar = Config.XonChar;
  Dcb.XoffChar = Config.XoffChar;
  Dcb.ErrorChar = Config.ErrorChar;
  const bool Taken = SetCommState(FPort, &Dcb) && RateTaken(Config.BaudRate, LineRate());
  if (!Taken && Before != 0) {
    Dcb.BaudRate = Before;
    SetCommState(FPort, &Dcb);
  }
  // Drivers that keep the lines as they were until the next handshake get them set outright.
  if (Dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
    EscapeCommFunction(FPort, Dcb.fDtrControl == DTR_CONTROL_ENABLE ? SETDTR : CLRDTR);
  if (Dcb.fRtsControl == RTS_CONTROL_ENABLE || Dcb.fRtsControl == RTS_CONTROL_DISABLE)
    EscapeCommFunction(FPort, Dcb.fRtsControl == RTS_CONTROL_ENABLE ? SETRTS : CLRRTS);
  return Taken;
}

TIoStatus TWin32SerialDevice::StartRead(TReadRecord& Record) {
  Record.Count = 0;
  Record.Generation = FReadGeneration;
  Record.Pending = true;
  if (ReadFile(FPort, Record.Buffer, Record.Wanted, nullptr, FReadOp.Start()) ||
      GetLastError() == ERROR_IO_PENDING)
    return TIoStatus::Done;
  FReadOp.Pending = false;
  Record.Pending = false;
  return StatusOfError(GetLastError());
}

// Takes the outcome of the read, whose event is signalled. Bytes it gathered before a failure
// stay in Record.Count, so the reader hands them on before it reports the failure.
TIoStatus TWin32SerialDevice::EndRead(TReadRecord& Record, const TEvent& Close) {
  DWORD Count = 0;
  DWORD Error = 0;
  const bool Ok = FReadOp.Finish(FPort, Count, Error);
  Record.Pending = false;
  Record.Count = Count;
  if (Ok) return TIoStatus::Done;
  if (Error == ERROR_OPERATION_ABORTED)
    return AbortCause(Close, Record.Generation != FReadGeneration);
  return StatusOfError(Error);
}

// Keeps a line-event wait outstanding while events are watched. True when it completed at once
// with watched events (in Events); false with Status Done while it is pending, or with the
// failure in Status.
bool TWin32SerialDevice::StartEventWait(quint32& Events, TIoStatus& Status) {
  Status = TIoStatus::Done;
  if (FEventMask == 0 || FEventOp.Pending) return false;
  FEventWord = 0;
  if (WaitCommEvent(FPort, &FEventWord, FEventOp.Start())) {
    FEventOp.Pending = false;
    Events = FEventWord & FEventMask;
    return Events != 0;
  }
  const DWORD Error = GetLastError();
  if (Error == ERROR_IO_PENDING) return false;
  FEventOp.Pending = false;
  // A port whose driver cannot watch the lines (Wine's on a pseudo-terminal) is read all the
  // same, without line events.
  if (Error == ERROR_NOT_SUPPORTED)
    FEventMask = 0;
  else
    Status = StatusOfError(Error);
  return false;
}

// Ends the reader's read before it reports Status, keeping the bytes it gathered.
TIoStatus TWin32SerialDevice::Abandon(TReadRecord& Record, TIoStatus Status) {
  if (Record.Pending) {
    DWORD Count = 0;
    FReadOp.Cancel(FPort, Count);
    Record.Count = Count;
    Record.Pending = false;
  }
  return Status;
}

TIoStatus TWin32SerialDevice::Read(TReadRecord& Record, const TEvent& Close, quint32& Events) {
  if (!Record.Pending) {
    const TIoStatus Started = StartRead(Record);
    if (Started != TIoStatus::Done) return Started;
  }
  for (;;) {
    TIoStatus Status;
    if (StartEventWait(Events, Status)) return TIoStatus::LineEvent;
    if (Status != TIoStatus::Done) return Abandon(Record, Status);
    std::vector<HANDLE> Waits{HandleOf(Close), FReadOp.Event()};
    if (FEventOp.Pending) Waits.push_back(FEventOp.Event());
    const DWORD Woken = WaitForMultipleObjects(DWORD(Waits.size()), Waits.data(), FALSE, INFINITE);
    if (Woken == WAIT_OBJECT_0) return Abandon(Record, TIoStatus::Closed);
    if (Woken == WAIT_OBJECT_0 + 1) return EndRead(Record, Close);
    if (Woken != WAIT_OBJECT_0 + 2) return Abandon(Record, TIoStatus::Failed);
    DWORD Count = 0;
    DWORD Error = 0;
    if (!FEventOp.Finish(FPort, Count, Error)) {
      const TIoStatus Failure = Error == ERROR_OPERATION_ABORTED ? AbortCause(Close, false)
                                                                 : StatusOfError(Error);
      return Abandon(Record, Failure);
    }
    // A wait that ends with no watched event (the mask was set again meanwhile) is started anew.
    if ((Events = FEventWord & FEventMask) != 0) return TIoStatus::LineEvent;
  }
}

TIoStatus TWin32SerialDevice::Write(const quint8* Data, quint32 Count, const TEvent& Close,
                                    quint32& Written) {
  Written = 0;
  const unsigned Generation = FWriteGeneration;
  DWORD Done = 0;
  DWORD Error = 0;
  if (!WriteFile(FPort, Data, Count, nullptr, FWriteOp.Start()) &&
      GetLastError() != ERROR_IO_PENDING) {
    FWriteOp.Pending = false;
    return StatusOfError(GetLastError());
  }
  const HANDLE Waits[2] = {HandleOf(Close), FWriteOp.Event()};
  const DWORD Woken = WaitForMultipleObjects(2, Waits, FALSE, INFINITE);
  if (Woken != WAIT_OBJECT_0 + 1) {
    // The block is not finished: stop it before its bytes go away with the caller.
    FWriteOp.Cancel(FPort, Done);
    return Woken == WAIT_OBJECT_0 ? TIoStatus::Closed : TIoStatus::Failed;
  }
  const bool Ok = FWriteOp.Finish(FPort, Done, Error);
  Written = Done;
  if (Ok) return TIoStatus::Done;
  if (Error == ERROR_OPERATION_ABORTED) return AbortCause(Close, Generation != FWriteGeneration);
  return StatusOfError(Error);
}

QString SystemMessage(DWORD Error) {
  wchar_t* Text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, Error, 0, reinterpret_cast<wchar_t*>(&Text), 0, nullptr);
  QString Message = Text ? QString::fromWCharArray(Text).trimmed() : QString();
  LocalFree(Text);
  while (Message.endsWith(u'.')) Message.chop(1);
  return Message.isEmpty() ? QStringLiteral("error %1").arg(Error) : Message;
}

HANDLE OpenPort(const QString& CommName, DWORD Flags) {
  const std::wstring Path = DevicePath(CommName).toStdWString();
  return CreateFileW(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, Flags,
                     nullptr);
}

}  // namespace

TEvent::TEvent()
    : FHandle(reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

TEvent::~TEvent() {
  if (IsValid()) CloseHandle(HandleOf(*this));
}

bool TEvent::IsValid() const { return FHandle != 0; }
void TEvent::Signal() { SetEvent(HandleOf(*this)); }
void TEvent::Reset() { ResetEvent(HandleOf(*this)); }
bool TEvent::IsSignalled() const { return WaitAny({this}, 0) != -1; }

// WaitForMultipleObjects answers the lowest position among those signalled.
int TEvent::WaitAny(std::initializer_list<const TEvent*> Events, int TimeoutMs) {
  std::vector<HANDLE> Handles;
  for (const TEvent* Event : Events) Handles.push_back(HandleOf(*Event));
  const DWORD Woken = WaitForMultipleObjects(DWORD(Handles.size()), Handles.data(), FALSE,
                                             TimeoutMs < 0 ? INFINITE : DWORD(TimeoutMs));
  if (Woken == WAIT_TIMEOUT) return -1;
  if (Woken >= WAIT_OBJECT_0 + Handles.size()) return -2;
  return int(Woken - WAIT_OBJECT_0);
}

// COM10 and above open only in the device namespace; a name with a separator is a path already.
QString DevicePath(const QString& CommName) {
  if (CommName.contains(u'\\') || CommName.contains(u'/')) return CommName;
  return QStringLiteral("\\\\.\\") + CommName;
}

std::unique_ptr<TSerialDevice> OpenSerialDevice(const QString& CommName) {
  const HANDLE Port = OpenPort(CommName, FILE_FLAG_OVERLAPPED);
  if (Port == INVALID_HANDLE_VALUE) return nullptr;
  auto Device = std::make_unique<TWin32SerialDevice>(Port);
  if (!Device->IsValid()) return nullptr;
  return Device;
}

QString DescribeOpenFailure(const QString& CommName) {
  const QString& Name = CommName;  // as the user knows it: "COM5"
  const HANDLE Port = OpenPort(CommName, 0);
  if (Port == INVALID_HANDLE_VALUE) {
    const DWORD Error = GetLastError();
    switch (Error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return QStringLiteral("%1 does not exist; is the adapter plugged in?").arg(Name);
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
        return QStringLiteral("%1 is in use by another program.").arg(Name);
      case ERROR_INVALID_NAME:
        return QStringLiteral("%1 is no serial port.").arg(Name);
      default:
        return QStringLiteral("%1: %2.").arg(Name, SystemMessage(Error));
    }
  }
  DCB Dcb{};
  Dcb.DCBlength = sizeof Dcb;
  const bool IsPort = GetFileType(Port) == FILE_TYPE_CHAR && GetCommState(Port, &Dcb);
  CloseHandle(Port);
  return IsPort ? QStringLiteral("%1 cannot be opened as a serial port.").arg(Name)
                : QStringLiteral("%1 is no serial port.").arg(Name);
}

void RaiseThreadPriority(TThreadPriority Priority) {
  SetThreadPriority(GetCurrentThread(), Priority == TThreadPriority::Highest
                                            ? THREAD_PRIORITY_HIGHEST
                                            : THREAD_PRIORITY_ABOVE_NORMAL);
}

}  // namespace SerialPlatform
