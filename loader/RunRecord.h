#pragma once
// The state of one station's flash run: where its state machine stands, and the channel through
// which the station hands the module's replies to the run's worker. Each station has its own.

#include "loader/FrameCodec.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

enum TRunState : std::uint8_t {
  StateHandshake,   // port open; resetting the module and sending SYNC until it answers
  StateJobRunning,  // the boot loader answered; the flashing worker is to start or running
  StateJobEnded,    // the worker finished its last step; the run is to be closed
  StateFinished,    // no run in progress
};

// Reply frames from the station's thread to the worker, taken in the order they came, and the
// run's stop, which wakes a worker waiting for a reply.
class TReplyChannel {
 public:
  // A new run: no frames, not stopped.
  void Open();
  void Put(const std::vector<TReplyFrame>& Frames);
  // The next frame, waited for at most TimeoutMs (0: only one already in); nothing on a time-out.
  // Once the run is stopped nothing is waited for, but frames that came before are still handed
  // out: a reply the module sent is never lost.
  std::optional<TReplyFrame> Next(int TimeoutMs);
  void Stop();
  bool Stopped() const { return FStopped; }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<TReplyFrame> FFrames;
  std::atomic<bool> FStopped{false};
};

inline void TReplyChannel::Open() {
  std::lock_guard Lock(FLock);
  FFrames.clear();
  FStopped = false;
}

inline void TReplyChannel::Put(const std::vector<TReplyFrame>& Frames) {
  if (Frames.empty()) return;
  {
    std::lock_guard Lock(FLock);
    FFrames.insert(FFrames.end(), Frames.begin(), Frames.end());
  }
  FChanged.notify_all();
}

inline std::optional<TReplyFrame> TReplyChannel::Next(int TimeoutMs) {
  std::unique_lock Lock(FLock);
  FChanged.wait_for(Lock, std::chrono::milliseconds(TimeoutMs),
                    [this] { return FStopped || !FFrames.empty(); });
  if (FFrames.empty()) return std::nullopt;
  TReplyFrame Frame = std::move(FFrames.front());
  FFrames.pop_front();
  return Frame;
}

inline void TReplyChannel::Stop() {
  {
    std::lock_guard Lock(FLock);
    FStopped = true;
  }
  FChanged.notify_all();
}

// Only the station's thread writes these fields; the worker reads the channel.
struct TRunRecord {
  TRunState RunState = StateFinished;
  bool IsThreadStarted = false;  // a flashing worker is between its first and last step
  TReplyChannel Replies;
  QString FConfigDir;            // settings folder, ends with a separator
};
