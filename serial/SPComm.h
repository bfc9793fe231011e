#pragma once
// TComm: an event-driven serial port. It opens one port, sets its line, control lines and
// time-outs, sends byte blocks through a writer thread and hands received bytes, line errors
// and modem-line changes back to the thread that owns it as callbacks. Its reader and writer
// threads are in serial/CommThreads.h.

#include "serial/CommThreads.h"
#include "serial/SerialPlatform.h"

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

enum class TParity : quint8 { None, Odd, Even, Mark, Space };
enum class TStopBits : quint8 { _1, _1_5, _2 };
enum class TByteSize : quint8 { _5, _6, _7, _8 };
enum class TDtrControl : quint8 { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : quint8 { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };

// BufferLength received bytes, followed in memory by one zero byte; valid during the call only.
using TReceiveDataEvent =
    std::function<void(QObject* Sender, const quint8* Buffer, quint16 BufferLength)>;
// The line-error word: 0x1 input overflow, 0x2 overrun, 0x4 parity, 0x8 framing, 0x10 break.
using TReceiveErrorEvent = std::function<void(QObject* Sender, quint32 EventMask)>;
// ModemEventRlsd and/or ModemEventRing.
using TModemStateChangeEvent = std::function<void(QObject* Sender, quint32 ModemEvent)>;
using TNotifyEvent = std::function<void(QObject* Sender)>;
using TSendDataEmptyEvent = std::function<void(QObject* Sender)>;

class ECommsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TComm : public QObject {
 public:
  explicit TComm(QObject* AOwner = nullptr);
  ~TComm() override;

  void StartComm();
  void StopComm();
  // Queues a copy of the bytes for the writer; true when queued. Safe from any thread.
  bool WriteCommData(const quint8* pDataToWrite, quint16 dwSizeofDataToWrite);
  quint32 GetModemState() const;
  void SetDtrRtsControl(TDtrControl DtrControl, TRtsControl RtsControl);

  std::intptr_t Handle() const;
  bool SendDataEmpty() const { return FSendDataEmpty; }
  // How many times the line configuration was written to an open port.
  int ConfigWriteCount() const { return FConfigWrites; }

  bool PortOpen() const;
  void SetPortOpen(bool Value);
  quint8 CommPort() const { return FCommPort; }
  void SetCommPort(quint8 Value);
  QString PortOpenError() const { return FPortOpenError; }
  // Setting Output queues its bytes as WriteCommData does; the outcome is not reported.
  QByteArray Output() const { return FOutput; }
  void SetOutput(const QByteArray& Value);
  quint16 InputLen() const { return FInputLen; }
  void SetInputLen(quint16 Value);
  quint16 InBufferSize() const { return FInBufferSize; }
  void SetInBufferSize(quint16 Value);
  QString CommName() const { return FCommName; }
  void SetCommName(const QString& Value) { FCommName = Value; }

  // On an open port, the rate it runs at: one it refuses is not taken. StartComm falls back to
  // the rate the driver runs when it refuses BaudRate's (BaudRate then answers that one).
  quint32 BaudRate() const { return FBaudRate; }
  // False when the open port refuses Value; it stays at its rate.
  bool SetBaudRate(quint32 Value);
  bool ParityCheck() const { return FParityCheck; }
  void SetParityCheck(bool Value) { SetLine(FParityCheck, Value); }
  bool Outx_CtsFlow() const { return FOutx_CtsFlow; }
  void SetOutx_CtsFlow(bool Value) { SetLine(FOutx_CtsFlow, Value); }
  bool Outx_DsrFlow() const { return FOutx_DsrFlow; }
  void SetOutx_DsrFlow(bool Value) { SetLine(FOutx_DsrFlow, Value); }
  TDtrControl DtrControl() const { return FDtrControl; }
  void SetDtrControl(TDtrControl Value) { SetLine(FDtrControl, Value); }
  bool DsrSensitivity() const { return FDsrSensitivity; }
  void SetDsrSensitivity(bool Value) { SetLine(FDsrSensitivity, Value); }
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
  void SetTxContinueOnXoff(bool Value) { SetLine(FTxContinueOnXoff, Value); }
  bool Outx_XonXoffFlow() const { return FOutx_XonXoffFlow; }
  void SetOutx_XonXoffFlow(bool Value) { SetLine(FOutx_XonXoffFlow, Value); }
  bool Inx_XonXoffFlow() const { return FInx_XonXoffFlow; }
  void SetInx_XonXoffFlow(bool Value) { SetLine(FInx_XonXoffFlow, Value); }
  bool ReplaceWhenParityError() const { return FReplaceWhenParityError; }
  void SetReplaceWhenParityError(bool Value) { SetLine(FReplaceWhenParityError, Value); }
  bool IgnoreNullChar() const { return FIgnoreNullChar; }
  void SetIgnoreNullChar(bool Value) { SetLine(FIgnoreNullChar, Value); }
  TRtsControl RtsControl() const { return FRtsControl; }
  void SetRtsControl(TRtsControl Value) { SetLine(FRtsControl, Value); }
  quint16 XonLimit() const { return FXonLimit; }
  void SetXonLimit(quint16 Value) { SetLine(FXonLimit, Value); }
  quint16 XoffLimit() const { return FXoffLimit; }
  void SetXoffLimit(quint16 Value) { SetLine(FXoffLimit, Value); }
  TByteSize ByteSize() const { return FByteSize; }
  void SetByteSize(TByteSize Value) { SetLine(FByteSize, Value); }
  TParity Parity() const { return FParity; }
  void SetParity(TParity Value) { SetLine(FParity, Value); }
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits Value) { SetLine(FStopBits, Value); }
  char XonChar() const { return FXonChar; }
  void SetXonChar(char Value) { SetLine(FXonChar, Value); }
  char XoffChar() const { return FXoffChar; }
  void SetXoffChar(char Value) { SetLine(FXoffChar, Value); }
  char ReplacedChar() const { return FReplacedChar; }
  void SetReplacedChar(char Value) { SetLine(FReplacedChar, Value); }

  quint32 ReadIntervalTimeout() const { return FTimeouts.ReadIntervalTimeout; }
  void SetReadIntervalTimeout(quint32 Value) { SetTimeout(FTimeouts.ReadIntervalTimeout, Value); }
  quint32 ReadTotalTimeoutMultiplier() const { return FTimeouts.ReadTotalTimeoutMultiplier; }
  void SetReadTotalTimeoutMultiplier(quint32 Value) {
    SetTimeout(FTimeouts.ReadTotalTimeoutMultiplier, Value);
  }
  quint32 ReadTotalTimeoutConstant() const { return FTimeouts.ReadTotalTimeoutConstant; }
  void SetReadTotalTimeoutConstant(quint32 Value) {
    SetTimeout(FTimeouts.ReadTotalTimeoutConstant, Value);
  }
  quint32 WriteTotalTimeoutMultiplier() const { return FTimeouts.WriteTotalTimeoutMultiplier; }
  void SetWriteTotalTimeoutMultiplier(quint32 Value) {
    SetTimeout(FTimeouts.WriteTotalTimeoutMultiplier, Value);
  }
  quint32 WriteTotalTimeoutConstant() const { return FTimeouts.WriteTotalTimeoutConstant; }
  void SetWriteTotalTimeoutConstant(quint32 Value) {
    SetTimeout(FTimeouts.WriteTotalTimeoutConstant, Value);
  }

  // Opens the device StartComm uses; tests put a recording device between the component and the
  // platform here.
  std::function<std::unique_ptr<SerialPlatform::TSerialDevice>(const QString& CommName)>
      DeviceOpener = SerialPlatform::OpenSerialDevice;

  TReceiveDataEvent OnReceiveData;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  TNotifyEvent OnRequestHangup;
  TSendDataEmptyEvent OnSendDataEmpty;

 protected:
  // Turns the threads' notifications into callbacks.
  bool event(QEvent* Event) override;

 private:
  template <class T>
  void SetLine(T& Field, T Value) {
    if (Field == Value) return;
    Field = Value;
    if (PortOpen()) ApplyCommState();
  }
  void SetTimeout(quint32& Field, quint32 Value);
  SerialPlatform::TLineConfig LineConfig() const;
  // False when the port does not run FBaudRate.
  bool ApplyCommState();
  void ApplyCommTimeouts();
  // Releases the port and close event after a failed start.
  void AbandonStart(const char* Error);
  void StartThreads();
  void StopReadThread();
  void StopWriteThread();
  void NotifyWindowProc(const TCommNotification& Notification);

  std::unique_ptr<TReadThread> ReadThread;
  std::unique_ptr<TWriteThread> WriteThread;
  std::unique_ptr<SerialPlatform::TSerialDevice> hCommFile;
  std::unique_ptr<SerialPlatform::TEvent> hCloseEvent;
  // The writer's queue while the port is open. WriteCommData may run on a worker thread
  // while StopComm runs on the owner's thread; the lock keeps the two apart.
  std::mutex FWriteQueueLock;
  std::shared_ptr<TWriteQueue> FWriteQueue;
  std::atomic<bool> FSendDataEmpty{true};
  mutable bool FPortOpen = false;
  int FConfigWrites = 0;

  quint8 FCommPort = 1;
  QString FPortOpenError;
  QByteArray FOutput;
  quint16 FInputLen = 1;
  quint16 FInBufferSize = 2048;
  QString FCommName = QStringLiteral("COM1");
  quint32 FBaudRate = 9600;
  bool FParityCheck = false;
  bool FOutx_CtsFlow = false;
  bool FOutx_DsrFlow = false;
  TDtrControl FDtrControl = TDtrControl::DtrDisable;
  bool FDsrSensitivity = false;
  bool FTxContinueOnXoff = false;
  bool FOutx_XonXoffFlow = false;
  bool FInx_XonXoffFlow = false;
  bool FReplaceWhenParityError = false;
  bool FIgnoreNullChar = false;
  TRtsControl FRtsControl = TRtsControl::RtsDisable;
  quint16 FXonLimit = 500;
  quint16 FXoffLimit = 500;
  TByteSize FByteSize = TByteSize::_8;
  TParity FParity = TParity::None;
  TStopBits FStopBits = TStopBits::_1;
  char FXonChar = 0x11;
  char FXoffChar = 0x13;
  char FReplacedChar = 0;
  SerialPlatform::TCommTimeouts FTimeouts{100, 0, 0, 0, 0};
};
