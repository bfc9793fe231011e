#pragma once
// The state of a flash run, shared by the UI thread, the receive callback and the
// flashing worker. The main window holds exactly one record for the life of the process.

#include "loader/OnChipCodec.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

enum TRunState : std::uint8_t {
  StateHandshake,  // port open; resetting the module and sending SYNC until it answers
  StateBurn,       // the boot loader answered; the flashing worker is to start or running
  StateRun,        // the worker finished its last step; the run is to be closed
  StateFinished,   // no run in progress
};

// Lets one thread sleep until another rings, or a time has passed. A ring that comes while
// nobody sleeps is kept for the next sleep, so none is lost between a test and the sleep.
class TWakeUp {
 public:
  void Ring() {
    {
      std::lock_guard Lock(FLock);
      FRung = true;
    }
    FChanged.notify_all();
  }
  void SleepAtMost(std::chrono::microseconds Time) {
    std::unique_lock Lock(FLock);
    FChanged.wait_for(Lock, Time, [this] { return FRung; });
    FRung = false;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FRung = false;
};

// Reply frames handed from the UI thread to the worker, taken in the order they came.
class TReplyQueue {
 public:
  void Put(const std::vector<TReplyFrame>& Frames) {
    std::lock_guard Lock(FLock);
    FFrames.insert(FFrames.end(), Frames.begin(), Frames.end());
  }
  std::optional<TReplyFrame> Take() {
    std::lock_guard Lock(FLock);
    if (FFrames.empty()) return std::nullopt;
    TReplyFrame Frame = FFrames.front();
    FFrames.pop_front();
    return Frame;
  }
  void Clear() {
    std::lock_guard Lock(FLock);
    FFrames.clear();
  }

 private:
  std::mutex FLock;
  std::deque<TReplyFrame> FFrames;
};

// Only the UI thread writes these fields, except BurnOK, which the worker also sets when
// it gives up on a reply, and LastOperationSuccess, which the worker clears before it
// writes each flash block. The flags the worker polls are atomics so a write on one
// thread is seen by the other without a lock.
struct TRunRecord {
  QByteArray SerailBufferA;         // received bytes not yet examined
  std::atomic<bool> BurnOK{false};  // stop flag: the run is over
  TRunState RunState = StateFinished;
  std::atomic<bool> LastOperationSuccess{false};  // the awaited reply arrived
  // The awaited reply arrived with a failure status; cleared with LastOperationSuccess.
  std::atomic<bool> LastOperationFailed{false};
  std::atomic<std::uint8_t> LastErrorCode{0};  // the module's code of the last refusal
  // Rung on the UI thread once a delivery has been examined: a waiting worker looks at the
  // flags at once instead of at its next poll.
  TWakeUp ReplyExamined;
  // While the loader program is uploaded and talked to, every reply frame goes to LoaderReplies
  // instead of the boot ROM's recognition. Set by the worker through a step on the UI thread.
  bool TalkToLoader = false;
  TReplyQueue LoaderReplies;
  bool IsThreadStarted = false;           // a flashing worker is between its first and last step
  std::uint32_t CurrentAddress = 0;       // register of the outstanding READ_REG
  std::uint32_t MACReg0 = 0;              // eFuse word at 0x3FF00050
  std::uint32_t MACReg1 = 0;              // eFuse word at 0x3FF00054
  std::uint32_t MACReg2 = 0;              // eFuse word at 0x3FF00058
  std::uint32_t MACReg3 = 0;              // eFuse word at 0x3FF0005C
  std::array<std::uint8_t, 6> MACAddr{};  // station MAC, first byte first
  std::uint8_t MACFlag = 0;               // bits 16-23 of MACReg1
  std::uint8_t BitFlag = 0;               // bit 12 of MACReg2
  QString APMACStr;                       // soft-AP MAC text, bytes joined by "-"
  QString STAMACStr;                      // station MAC text, bytes joined by ":"
  QString FConfigDir;                     // settings folder, ends with a separator
};
