#include "serial/SPComm.h"

#include <QCoreApplication>

#include <algorithm>
#include <new>
#include <system_error>
#include <vector>

using namespace SerialPlatform;

namespace {

// A notification changes threads inside Qt's event queue, which is not built for
// ThreadSanitizer: it would see the hand-over only when the event loop's wake-up descriptor
// happens to carry it. These mark that the poster's writes come before the delivery.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_release(void* Address);
extern "C" void __tsan_acquire(void* Address);
void HandOver(void* Payload) { __tsan_release(Payload); }
void TakeOver(void* Payload) { __tsan_acquire(Payload); }
#else
void HandOver(void*) {}
void TakeOver(void*) {}
#endif

constexpr quint32 DtrFlags[] = {LineFlag::DtrEnable, 0, LineFlag::DtrHandshake};
constexpr quint32 RtsFlags[] = {LineFlag::RtsEnable, 0, LineFlag::RtsHandshake,
                                LineFlag::RtsToggle};

quint32 FlagIf(bool Condition, quint32 Flag) { return Condition ? Flag : 0; }

bool Launch(TCommThread& Thread, TThreadPriority Priority) {
  try {
    Thread.Start(Priority);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

TCommNotification::TCommNotification(QEvent::Type Code, quint32 AParam, QByteArray AData)
    : QEvent(Code), Param(AParam), Data(std::move(AData)) {}

// ---------------------------------------------------------------- write queue

bool TWriteQueue::Post(QByteArray Block) {
  std::lock_guard Lock(FLock);
  if (FClosed) return false;
  FBlocks.push_back(std::move(Block));
  FSendDataEmpty = false;
  FWake.Signal();
  return true;
}

bool TWriteQueue::Take(QByteArray& Block) {
  std::lock_guard Lock(FLock);
  if (FBlocks.empty()) {
    FSendDataEmpty = true;
    return false;
  }
  Block = std::move(FBlocks.front());
  FBlocks.pop_front();
  return true;
}

void TWriteQueue::Close() {
  std::lock_guard Lock(FLock);
  FClosed = true;
  FBlocks.clear();
  FSendDataEmpty = true;
}

// ---------------------------------------------------------------- threads

TCommThread::~TCommThread() { WaitFor(); }

void TCommThread::Start(TThreadPriority Priority) {
  FThread = std::thread([this, Priority] {
    RaiseThreadPriority(Priority);
    Execute();
  });
}

void TCommThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

void TCommThread::PostHangupCall() { Post(NotifyRequestHangup, 0); }

void TCommThread::Post(QEvent::Type Code, quint32 Param, QByteArray Data) {
  auto* Notification = new TCommNotification(Code, Param, std::move(Data));
  HandOver(Notification);
  QCoreApplication::postEvent(hComm32Window, Notification);
}

void TReadThread::Execute() {
  // The buffer always holds a whole read, whatever InBufferSize was set to after InputLen.
  std::vector<quint8> Buffer(std::max(FInBufferSize, FInputLen));
  TReadRecord Record;
  Record.Buffer = Buffer.data();
  Record.Wanted = FInputLen;
  // A read that fails (an adapter pulled while a reply was arriving) may have gathered bytes:
  // they are handed over before the reader reports its end. False when that failed, which
  // has already been reported.
  const auto HandOverGathered = [&] {
    return Record.Count == 0 || HandleReadData(Record.Buffer, Record.Count);
  };
  bool GoOn = hCommFile->SetEventMask(EventRlsd | EventErr | EventRing);
  if (!GoOn) PostHangupCall();
  while (GoOn) {
    quint32 Events = 0;
    switch (hCommFile->Read(Record, *hCloseEvent, Events)) {
      case TIoStatus::Done:
        GoOn = HandleReadData(Record.Buffer, Record.Count);
        break;
      case TIoStatus::LineEvent:
        GoOn = HandleCommEvent(Events);
        break;
      case TIoStatus::Closed:
        GoOn = false;
        break;
      case TIoStatus::InvalidHandle:
        HandOverGathered();
        GoOn = false;
        break;
      case TIoStatus::Aborted:
      case TIoStatus::Failed:
        if (HandOverGathered()) PostHangupCall();
        GoOn = false;
        break;
    }
  }
  hCommFile->Purge(true, false);
}

bool TReadThread::HandleReadData(const quint8* Buffer, quint32 Count) {
  if (Count == 0) return false;
  try {
    Post(NotifyReceiveData, Count, QByteArray(reinterpret_cast<const char*>(Buffer), Count));
  } catch (const std::bad_alloc&) {
    PostHangupCall();
    return false;
  }
  return true;
}

// A line error is reported before a modem change that completed in the same wait.
bool TReadThread::HandleCommEvent(quint32 EvtMask) {
  bool Result = false;
  if (EvtMask & EventErr) {
    quint32 Errors = 0;
    if (!hCommFile->ClearErrors(Errors)) {
      PostHangupCall();
      return false;
    }
    Post(NotifyReceiveError, Errors);
    Result = true;
  }
  const quint32 ModemEvent =
      FlagIf(EvtMask & EventRlsd, ModemEventRlsd) | FlagIf(EvtMask & EventRing, ModemEventRing);
  if (ModemEvent != 0) {
    Post(NotifyModemStateChange, ModemEvent);
    Result = true;
  }
  if (!Result) PostHangupCall();  // a wait that ended without any watched event
  return Result;
}

void TWriteThread::Execute() {
  bool DrainNotice = true;  // post a notice the next time the queue runs empty
  for (;;) {
    Queue->ResetWake();
    QByteArray Block;
    if (!Queue->Take(Block)) {
      if (DrainNotice) Post(NotifySendDataEmpty, 0);
      DrainNotice = false;
      const int Woken = TEvent::WaitAny({hCloseEvent, &Queue->Wake()}, -1);
      if (Woken == 1) continue;
      if (Woken != 0) PostHangupCall();
      break;
    }
    if (hCloseEvent->IsSignalled() || !WriteBlock(Block)) break;
    DrainNotice = true;
  }
  hCommFile->Purge(false, true);
  Queue->Close();
}

bool TWriteThread::WriteBlock(const QByteArray& Block) {
  const auto* Data = reinterpret_cast<const quint8*>(Block.constData());
  const auto Count = quint32(Block.size());
  for (quint32 Offset = 0; Offset < Count;) {
    quint32 Written = 0;
    switch (hCommFile->Write(Data + Offset, Count - Offset, *hCloseEvent, Written)) {
      case TIoStatus::Done:
        Offset += Written;
        break;
      case TIoStatus::Closed:
      case TIoStatus::InvalidHandle:
        return false;
      default:
        PostHangupCall();
        return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- component

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

void TComm::ApplyCommState() {
  hCommFile->ApplyLine(LineConfig());
  ++FConfigWrites;
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
  ApplyCommState();
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
