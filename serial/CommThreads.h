#pragma once
// The serial component's reader and writer threads, the writer's queue of blocks, and the
// notifications the threads post to the component.

#include "serial/SerialPlatform.h"

#include <QByteArray>
#include <QEvent>
#include <QObject>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

constexpr quint32 ModemEventRlsd = 8;  // the carrier-detect line changed
constexpr quint32 ModemEventRing = 4;  // the ring indicator fired

// Notifications posted by the threads to the component, delivered in posting order.
constexpr QEvent::Type NotifyReceiveData = QEvent::Type(1025);
constexpr QEvent::Type NotifyReceiveError = QEvent::Type(1026);
constexpr QEvent::Type NotifyRequestHangup = QEvent::Type(1027);
constexpr QEvent::Type NotifyModemStateChange = QEvent::Type(1028);
constexpr QEvent::Type NotifySendDataEmpty = QEvent::Type(1029);

// One notification. A NotifyReceiveData event owns the received bytes (a QByteArray keeps a
// zero after them) and releases them with itself, also when it is never delivered.
class TCommNotification : public QEvent {
 public:
  TCommNotification(QEvent::Type Code, quint32 Param, QByteArray Data = {});
  const quint32 Param;
  const QByteArray Data;
};

// Blocks waiting for the writer, in the order they were posted from any thread.
class TWriteQueue {
 public:
  // SendDataEmpty is the component's flag: true while no block is queued or being written.
  explicit TWriteQueue(std::atomic<bool>& SendDataEmpty) : FSendDataEmpty(SendDataEmpty) {}
  bool IsValid() const { return FWake.IsValid(); }
  // Queues Block and clears the drained flag; false once the queue is closed.
  bool Post(QByteArray Block);
  // Takes the next block; false when there is none, which also marks the writer drained.
  bool Take(QByteArray& Block);
  // Refuses further blocks, discards those still queued and marks the writer drained.
  void Close();
  const SerialPlatform::TEvent& Wake() const { return FWake; }
  void ResetWake() { FWake.Reset(); }

 private:
  std::mutex FLock;
  std::deque<QByteArray> FBlocks;
  bool FClosed = false;
  SerialPlatform::TEvent FWake;
  std::atomic<bool>& FSendDataEmpty;
};

// What the reader and the writer share: the fields given before the start, posting to the
// component, and the thread itself.
class TCommThread {
 public:
  virtual ~TCommThread();
  SerialPlatform::TSerialDevice* hCommFile = nullptr;
  const SerialPlatform::TEvent* hCloseEvent = nullptr;
  QObject* hComm32Window = nullptr;

  // Throws std::system_error when the thread cannot be created.
  void Start(SerialPlatform::TThreadPriority Priority);
  void WaitFor();
  // The thread met an error it cannot recover from and is ending.
  void PostHangupCall();

 protected:
  // Posting to the component never blocks and never fails: Qt's event queue has no bound.
  void Post(QEvent::Type Code, quint32 Param, QByteArray Data = {});
  virtual void Execute() = 0;

 private:
  std::thread FThread;
};

class TReadThread : public TCommThread {
 public:
  quint16 FInBufferSize = 0;
  quint16 FInputLen = 0;

  // Each gives true when the reader goes on.
  // Reports the line errors and modem-line changes of a completed line-event wait.
  bool HandleCommEvent(quint32 EvtMask);
  // Posts a copy of a received chunk; a chunk of no bytes ends the reader.
  bool HandleReadData(const quint8* Buffer, quint32 Count);

 protected:
  void Execute() override;
};

class TWriteThread : public TCommThread {
 public:
  std::shared_ptr<TWriteQueue> Queue;

 protected:
  void Execute() override;

 private:
  bool WriteBlock(const QByteArray& Block);
};

// ThreadSanitizer's marks that the poster's writes come before a notification's delivery.
void HandOver(void* Payload);
void TakeOver(void* Payload);

inline quint32 FlagIf(bool Condition, quint32 Flag) { return Condition ? Flag : 0; }
