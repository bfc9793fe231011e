#pragma once
// The simulated module behind a pseudo-terminal: a client opens the slave path as it would open a
// USB-serial adapter and talks to the model in a thread of this object's own. Every byte in either
// direction takes the time it would take on a real line (10 bits per byte at the rate the client
// set on its side of the pseudo-terminal), and the model's delivery delays are honoured.

#include "tools/rq53sim/SimulatedModule.h"

#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

class ESimPortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TSimulatedPort {
 public:
  // Called on the simulator's thread for each request the module has taken in.
  using TRequestEvent = std::function<void(const TSimRequest& Request)>;

  // Opens the pseudo-terminal and starts serving Module on it. FallbackRate paces the line as long
  // as the client's rate cannot be read. Throws ESimPortError when no pseudo-terminal can be had.
  explicit TSimulatedPort(TSimulatedModule Module, quint32 FallbackRate = 115200,
                          TRequestEvent OnRequest = {});
  ~TSimulatedPort();
  TSimulatedPort(const TSimulatedPort&) = delete;
  TSimulatedPort& operator=(const TSimulatedPort&) = delete;

  // The path a client opens, e.g. /dev/pts/3.
  QString SlavePath() const { return FSlavePath; }
  // The rate the line is paced at now: the client's, once it has sent something.
  quint32 LineRate() const { return FLineRate.load(); }

  // Runs Fn with the module while the simulator's thread keeps its hands off it: to inspect the
  // flash and the requests, or to change a misbehaviour during a run.
  void WithModule(const std::function<void(TSimulatedModule&)>& Fn);
  // Resets the module; its reset banner goes out on the line.
  void Reset();
  // Sends Bytes bytes of console text (TSimulatedModule::ConsoleText) at the line rate, after
  // whatever is already on its way; replies asked for meanwhile follow the text.
  void SendConsoleText(qsizetype Bytes);
  // Pulls the adapter: the simulator's thread ends and both sides of the pseudo-terminal close, so
  // a client sees a hang-up (its reads find the end of input) and the slave path goes away. The
  // module's Unplug misbehaviour does the same from the simulator's thread. Not to be called from
  // OnRequest.
  void Unplug();
  bool Unplugged() const { return FUnplugged.load(); }
  // Ends the simulator's thread; the pseudo-terminal stays open until destruction.
  void Stop();

 private:
  struct TLoop;

  void OpenTerminal();
  void CloseTerminal();
  void Wake();
  void Run();
  void FinishReceiving(TLoop& Loop);
  void ReadChunk(TLoop& Loop);
  void TakeInjected(TLoop& Loop);
  void Transmit(TLoop& Loop);
  void AwaitClientRead();
  bool WaitForWork(TLoop& Loop);
  void ForgetExclusiveUse();
  quint32 RefreshLineRate();

  TSimulatedModule FModule;
  const quint32 FFallbackRate;
  TRequestEvent FOnRequest;
  int FMaster = -1;
  int FSlave = -1;  // held open so the master never sees a hang-up while no client has the port
  int FWake = -1;   // eventfd: Stop and Reset wake the thread through it
  int FWatch = -1;  // inotify on the slave path: clients closing it
  QString FSlavePath;
  std::atomic<quint32> FLineRate;
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FUnplugged{false};
  std::mutex FModuleLock;               // guards FModule, FInjected and changes of the descriptors
  std::vector<TSimDelivery> FInjected;  // bytes to send unasked
  std::thread FThread;
};
