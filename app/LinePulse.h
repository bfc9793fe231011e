#pragma once
// The control-line pulses of a flash run, as timed steps on the station's thread: each step sets
// DTR and RTS and holds them a while before the next one, on a timer, so that nothing sleeps on a
// thread that other stations share.

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

class TComm;

enum class TLinePulse {
  StartUp,  // both lines off for 100 ms, then on for 100 ms: the start of a run
  Boot,     // DTR and RTS on; 10 ms; DTR off; 10 ms; DTR on with RTS off; 50 ms: into the boot loader
  Reset,    // both lines off for 100 ms, then on: the new firmware starts
};

class TLinePulser : public QObject {
 public:
  explicit TLinePulser(TComm& Comm, QObject* Parent = nullptr);

  // Starts Pulse; Then runs once it is over. A pulse still going is cut short.
  void Start(TLinePulse Pulse, std::function<void()> Then = {});
  bool Busy() const { return !Steps.empty() || Timer.isActive(); }
  // Ends a pulse going without its Then (the port is being closed).
  void Cancel();

 private:
  struct TStep {
    std::function<void(TComm&)> Set;
    int HoldMs;
  };
  static std::deque<TStep> StepsOf(TLinePulse Pulse);
  void Next();

  TComm& Comm;
  QTimer Timer;
  std::deque<TStep> Steps;
  std::function<void()> Then;
};
