#pragma once
// The platform seam of the serial component: one open port, the events its threads wait on
// and thread priorities. SerialPosix.cpp implements it with termios, ioctl, poll and eventfd;
// another platform supplies its own implementation of the same declarations.

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <initializer_list>
#include <memory>

namespace SerialPlatform {

// A manual-reset event: it stays signalled until reset, so every waiter sees one signal.
class TEvent {
 public:
  TEvent();
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  bool IsValid() const;
  void Signal();
  void Reset();
  bool IsSignalled() const;
  std::intptr_t Native() const { return FHandle; }

  // Waits until one of Events is signalled and answers the lowest position signalled;
  // -1 when TimeoutMs passed (a negative TimeoutMs waits without limit), -2 when the wait failed.
  static int WaitAny(std::initializer_list<const TEvent*> Events, int TimeoutMs);

 private:
  std::intptr_t FHandle;
};

// Bits of TLineConfig::Flags.
namespace LineFlag {
constexpr quint32 Binary = 0x1;
constexpr quint32 ParityCheck = 0x2;
constexpr quint32 CtsFlow = 0x4;
constexpr quint32 DsrFlow = 0x8;
constexpr quint32 DtrMask = 0x30;
constexpr quint32 DtrEnable = 0x10;
constexpr quint32 DtrHandshake = 0x20;
constexpr quint32 DsrSensitivity = 0x40;
constexpr quint32 TxContinueOnXoff = 0x80;
constexpr quint32 OutXonXoff = 0x100;
constexpr quint32 InXonXoff = 0x200;
constexpr quint32 ErrorChar = 0x400;
constexpr quint32 DiscardNull = 0x800;
constexpr quint32 RtsMask = 0x3000;
constexpr quint32 RtsEnable = 0x1000;
constexpr quint32 RtsHandshake = 0x2000;
constexpr quint32 RtsToggle = 0x3000;
}  // namespace LineFlag

// The whole line configuration, written to the port in one step (speed, framing, flow
// control and the DTR and RTS modes).
struct TLineConfig {
  quint32 BaudRate = 9600;
  quint32 Flags = LineFlag::Binary;
  quint16 XonLimit = 0;
  quint16 XoffLimit = 0;
  quint8 ByteSize = 8;  // data bits, 5 to 8
  quint8 Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  quint8 StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0x11;
  char XoffChar = 0x13;
  char ErrorChar = 0;
};

// All in milliseconds. A read ends when it has every byte asked for, when more than
// ReadIntervalTimeout ms pass without a byte after the first one (0: no interval limit), or
// when Multiplier * bytes asked + Constant ms have passed (both 0: no total limit). A write
// ends when all its bytes are out or its total limit has passed.
// As on the platform the component was made for, ReadIntervalTimeout and
// ReadTotalTimeoutMultiplier both MaxTimeout with a Constant above 0 and below MaxTimeout make a
// read end as soon as it has any byte, or empty after Constant ms without one.
constexpr quint32 MaxTimeout = 0xFFFFFFFF;
struct TCommTimeouts {
  quint32 ReadIntervalTimeout = 0;
  quint32 ReadTotalTimeoutMultiplier = 0;
  quint32 ReadTotalTimeoutConstant = 0;
  quint32 WriteTotalTimeoutMultiplier = 0;
  quint32 WriteTotalTimeoutConstant = 0;
};

// Line events the reader watches, and the bits of the line-error word.
constexpr quint32 EventRlsd = 0x20;
constexpr quint32 EventErr = 0x80;
constexpr quint32 EventRing = 0x100;
constexpr quint32 ErrorRxOver = 0x1;
constexpr quint32 ErrorOverrun = 0x2;
constexpr quint32 ErrorRxParity = 0x4;
constexpr quint32 ErrorFrame = 0x8;
constexpr quint32 ErrorBreak = 0x10;

// The driver's running counts of modem-line changes and line errors.
struct TLineCounters {
  quint32 Dcd = 0;
  quint32 Rng = 0;
  quint32 Frame = 0;
  quint32 Overrun = 0;
  quint32 Parity = 0;
  quint32 Brk = 0;
  quint32 BufOverrun = 0;
};

// A driver that reads a rate back within this part of the one asked for (its clock's nearest
// divisor) runs it: a UART at either end still samples such bytes right.
constexpr double RateTolerance = 0.02;
inline bool RateTaken(quint32 Asked, quint32 ReadBack) {
  const double Off = double(ReadBack) - double(Asked);
  return Asked != 0 && (Off < 0 ? -Off : Off) <= RateTolerance * Asked;
}

// The watched line events (within Mask) that happened between two readings of the counters;
// the line errors among them are added to ErrorWord.
quint32 LineEventsBetween(const TLineCounters& Before, const TLineCounters& After, quint32 Mask,
                          quint32& ErrorWord);

enum class TIoStatus {
  Done,           // the operation completed (a read may have ended by a time-out)
  Closed,         // the close event was signalled
  LineEvent,      // a watched line event happened; the read stays in progress
  Aborted,        // a purge aborted the operation
  InvalidHandle,  // the port was closed under the operation
  Failed,         // any other failure (the device went away, ...)
};

// A read in progress. It lives in the reader and survives a line event that interrupts the
// wait, so the bytes gathered so far stay in the same read.
struct TReadRecord {
  quint8* Buffer = nullptr;
  quint32 Wanted = 0;
  quint32 Count = 0;
  bool Pending = false;
  std::int64_t StartMs = 0;
  std::int64_t LastByteMs = 0;
  TCommTimeouts Timeouts;
  unsigned Generation = 0;
};

// One open serial port. Read is called only by the reader, Write only by the writer; the
// other operations may overlap them.
class TSerialDevice {
 public:
  virtual ~TSerialDevice() = default;
  virtual std::intptr_t Handle() const = 0;
  virtual bool IsCharDevice() const = 0;
  virtual bool SetupQueues(quint32 InSize, quint32 OutSize) = 0;
  // Discards queued bytes and aborts the read or write in progress in each chosen direction.
  virtual void Purge(bool Input, bool Output) = 0;
  // Writes the whole configuration; false when the driver does not run the line at Config's rate
  // afterwards (refused, or read back as another rate): the line then stays at its previous rate,
  // with the rest of Config in force. Other settings the driver refuses are not reported.
  virtual bool ApplyLine(const TLineConfig& Config) = 0;
  // The rate the driver runs the line at now; 0 when it cannot tell.
  virtual quint32 LineRate() const = 0;
  virtual void ApplyTimeouts(const TCommTimeouts& Timeouts) = 0;
  // CTS 0x10, DSR 0x20, ring 0x40, carrier detect 0x80; 0 when they cannot be read.
  virtual quint32 ModemStatus() const = 0;
  virtual bool SetEventMask(quint32 Mask) = 0;
  // Reads and clears the line-error word.
  virtual bool ClearErrors(quint32& ErrorWord) = 0;
  // Starts a read of Record.Wanted bytes into Record.Buffer, or goes on with the one in
  // progress, until it completes, a watched line event happens (Events) or Close is signalled.
  virtual TIoStatus Read(TReadRecord& Record, const TEvent& Close, quint32& Events) = 0;
  virtual TIoStatus Write(const quint8* Data, quint32 Count, const TEvent& Close,
                          quint32& Written) = 0;
};

// A CommName containing '/' is a path; any other names a device under /dev.
QString DevicePath(const QString& CommName);
// Opens the port for this process alone; nullptr when it is absent or held elsewhere.
std::unique_ptr<TSerialDevice> OpenSerialDevice(const QString& CommName);
// Why OpenSerialDevice fails for CommName, in words a user can act on (e.g. "/dev/ttyUSB0:
// Permission denied; add your user to the dialout group.").
QString DescribeOpenFailure(const QString& CommName);

enum class TThreadPriority { Highest, AboveNormal };
// Raises the calling thread's priority where the system allows it; a refusal is ignored.
void RaiseThreadPriority(TThreadPriority Priority);

}  // namespace SerialPlatform
