#include "serial/CommThreads.h"

#include <QCoreApplication>

#include <algorithm>
#include <new>
#include <system_error>
#include <vector>

using namespace SerialPlatform;

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
