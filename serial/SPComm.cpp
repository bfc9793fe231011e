#include "serial/SPComm.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

using namespace SerialPlatform;

namespace {

constexpr quint32 DtrFlags[] = {LineFlag::DtrEnable, 0, LineFlag::DtrHandshake};
constexpr quint32 RtsFlags[] = {LineFlag::RtsEnable, 0, LineFlag::RtsHandshake,
                                LineFlag::RtsToggle};

bool Launch(TCommThread& Thread, TThreadPriority Priority) {
  try {
    Thread.Start(Priority);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

TComm::TComm(QObject* AOwner) : QObject(AOwner) {}

// Threads still running would post to a component that no longer exists: stop them first.
TComm::~TComm() { StopComm(); }

bool TComm::PortOpen() const {
  FPortOpen = hCommFile != nullptr;
  return FPortOpen;
}

void TComm::SetPortOpen(bool Value) {
  if (Value)
    StartComm();
  else
    StopComm();
}

std::intptr_t TComm::Handle() const { return hCommFile ? hCommFile->Handle() : 0; }

void TComm::SetCommPort(quint8 Value) {
  if (Value == 0 || Value == FCommPort) return;
  FCommPort = Value;
  FCommName = QStringLiteral("COM%1").arg(Value);
}

// A block count is 16 bits wide: longer values go out as several blocks, in order, rather
// than cut to their length modulo 65536.
void TComm::SetOutput(const QByteArray& Value) {
  FOutput = Value;
  constexpr qsizetype MaxBlock = 0xFFFF;
  for (qsizetype Offset = 0; Offset < Value.size(); Offset += MaxBlock)
    WriteCommData(reinterpret_cast<const quint8*>(Value.constData() + Offset),
                  quint16(std::min(MaxBlock, Value.size() - Offset)));
}

void TComm::SetInputLen(quint16 Value) {
  if (Value == 0)
    FInputLen = FInBufferSize;
  else if (Value <= FInBufferSize)
    FInputLen = Value;
}

void TComm::SetInBufferSize(quint16 Value) { FInBufferSize = Value == 0 ? 1 : Value; }

void TComm::SetTimeout(quint32& Field, quint32 Value) {
  if (Field == Value) return;
  Field = Value;
  if (PortOpen()) ApplyCommTimeouts();
}

void TComm::SetDtrRtsControl(TDtrControl ADtrControl, TRtsControl ARtsControl) {
  if (FDtrControl == ADtrControl && FRtsControl == ARtsControl) return;
  FDtrControl = ADtrControl;
  FRtsControl = ARtsControl;
  if (PortOpen()) ApplyCommState();
}

quint32 TComm::GetModemState() const { return hCommFile ? hCommFile->ModemStatus() : 0; }

TLineConfig TComm::LineConfig() const {
  TLineConfig Config;
  Config.BaudRate = FBaudRate;
  Config.Flags = LineFlag::Binary | FlagIf(FParityCheck, LineFlag::ParityCheck) |
                 FlagIf(FOutx_CtsFlow, LineFlag::CtsFlow) |
                 FlagIf(FOutx_DsrFlow, LineFlag::DsrFlow) | DtrFlags[int(FDtrControl)] |
                 FlagIf(FDsrSensitivity, LineFlag::DsrSensitivity) |
                 FlagIf(FTxContinueOnXoff, LineFlag::TxContinueOnXoff) |
                 FlagIf(FOutx_XonXoffFlow, LineFlag::OutXonXoff) |
                 FlagIf(FInx_XonXoffFlow, LineFlag::InXonXoff) |
                 FlagIf(FReplaceWhenParityError, LineFlag::ErrorChar) |
                 FlagIf(FIgnoreNullChar, LineFlag::DiscardNull) | RtsFlags[int(FRtsControl)];
  Config.XonLimit = FXonLimit;
  Config.XoffLimit = FXoffLimit;
  Config.ByteSize = quint8(int(FByteSize) + 5);
  Config.Parity = quint8(FParity);
  Config.StopBits = quint8(FStopBits);
  Config.XonChar = FXonChar;
  Config.XoffChar = FXoffChar;
  Config.ErrorChar = FReplacedChar;
  return Config;
}

bool TComm::ApplyCommState() {
  ++FConfigWrites;
  return hCommFile->ApplyLine(LineConfig());
}

bool TComm::SetBaudRate(quint32 Value) {
  if (FBaudRate == Value) return true;
  const quint32 Before = std::exchange(FBaudRate, Value);
  if (!PortOpen() || ApplyCommState()) return true;
  FBaudRate = Before;
  return false;
}

void TComm::ApplyCommTimeouts() { hCommFile->ApplyTimeouts(FTimeouts); }

void TComm::StartComm() {
  FPortOpenError.clear();
  FPortOpen = false;
  if (hCommFile) {
    FPortOpenError = QStringLiteral("This serial port already opened");
    return;
  }
  std::unique_ptr<TSerialDevice> Device = DeviceOpener(FCommName);
  if (!Device) {
    FPortOpenError = QStringLiteral("Error opening serial port");
    return;
  }
  if (!Device->IsCharDevice()) {
    FPortOpenError = QStringLiteral("File handle is not a comm handle ");
    return;
  }
  if (!Device->SetupQueues(4096, 4096)) {
    FPortOpenError = QStringLiteral("Cannot setup comm buffer");
    throw ECommsError("Cannot setup comm buffer");
  }
  hCommFile = std::move(Device);
  hCommFile->Purge(true, true);
  FSendDataEmpty = true;
  ApplyCommTimeouts();
  if (!ApplyCommState() && hCommFile->LineRate() != 0) FBaudRate = hCommFile->LineRate();
  hCloseEvent = std::make_unique<TEvent>();
  if (!hCloseEvent->IsValid()) {
    AbandonStart("Unable to create event");
    return;
  }
  StartThreads();
}

void TComm::AbandonStart(const char* Error) {
  hCloseEvent.reset();
  hCommFile.reset();
  FPortOpenError = QString::fromLatin1(Error);
}

// The reader starts first, then the writer; the writer's queue takes blocks from then on.
void TComm::StartThreads() {
  auto Queue = std::make_shared<TWriteQueue>(FSendDataEmpty);
  ReadThread = std::make_unique<TReadThread>();
  ReadThread->hCommFile = hCommFile.get();
  ReadThread->hCloseEvent = hCloseEvent.get();
  ReadThread->hComm32Window = this;
  ReadThread->FInputLen = FInputLen;
  ReadThread->FInBufferSize = FInBufferSize;
  if (!Launch(*ReadThread, TThreadPriority::Highest)) {
    ReadThread.reset();
    AbandonStart("Unable to create read thread");
    return;
  }
  WriteThread = std::make_unique<TWriteThread>();
  WriteThread->hCommFile = hCommFile.get();
  WriteThread->hCloseEvent = hCloseEvent.get();
  WriteThread->hComm32Window = this;
  WriteThread->Queue = Queue;
  if (!Queue->IsValid() || !Launch(*WriteThread, TThreadPriority::AboveNormal)) {
    WriteThread.reset();
    StopReadThread();
    AbandonStart("Unable to create write thread");
    return;
  }
  std::lock_guard Lock(FWriteQueueLock);
  FWriteQueue = std::move(Queue);
}

void TComm::StopComm() {
  FPortOpenError.clear();
  FPortOpen = false;
  if (!hCommFile) return;
  {
    std::lock_guard Lock(FWriteQueueLock);
    FWriteQueue.reset();
  }
  StopReadThread();
  StopWriteThread();
  hCloseEvent.reset();
  hCommFile.reset();
}

void TComm::StopReadThread() {
  if (!ReadThread) return;
  hCloseEvent->Signal();
  hCommFile->Purge(true, false);
  ReadThread->WaitFor();
  ReadThread.reset();
}

void TComm::StopWriteThread() {
  if (!WriteThread) return;
  hCloseEvent->Signal();
  hCommFile->Purge(false, true);
  FSendDataEmpty = true;
  WriteThread->WaitFor();
  WriteThread.reset();
}

bool TComm::WriteCommData(const quint8* pDataToWrite, quint16 dwSizeofDataToWrite) {
  if (dwSizeofDataToWrite == 0) return false;
  std::lock_guard Lock(FWriteQueueLock);
  if (!FWriteQueue) return false;
  try {
    return FWriteQueue->Post(
        QByteArray(reinterpret_cast<const char*>(pDataToWrite), dwSizeofDataToWrite));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool TComm::event(QEvent* Event) {
  auto* Notification = dynamic_cast<TCommNotification*>(Event);
  if (!Notification) return QObject::event(Event);
  TakeOver(Notification);
  NotifyWindowProc(*Notification);
  return true;
}

void TComm::NotifyWindowProc(const TCommNotification& Notification) {
  switch (int(Notification.type())) {
    case NotifyReceiveData:
      if (OnReceiveData)
        OnReceiveData(this, reinterpret_cast<const quint8*>(Notification.Data.constData()),
                      quint16(Notification.Param));
      break;
    case NotifyReceiveError:
      if (OnReceiveError) OnReceiveError(this, Notification.Param);
      break;
    case NotifyRequestHangup:
      if (OnRequestHangup) OnRequestHangup(this);
      break;
    case NotifyModemStateChange:
      if (OnModemStateChange) OnModemStateChange(this, Notification.Param);
      break;
    case NotifySendDataEmpty:
      if (OnSendDataEmpty) OnSendDataEmpty(this);
      break;
    default:
      break;
  }
}
