#include "app/LinePulse.h"

#include "serial/SPComm.h"

#include <utility>

namespace {

void BothOff(TComm& Comm) {
  Comm.SetRtsControl(TRtsControl::RtsDisable);
  Comm.SetDtrControl(TDtrControl::DtrDisable);
}

void BothOn(TComm& Comm) {
  Comm.SetRtsControl(TRtsControl::RtsEnable);
  Comm.SetDtrControl(TDtrControl::DtrEnable);
}

}  // namespace

TLinePulser::TLinePulser(TComm& Comm, QObject* Parent) : QObject(Parent), Comm(Comm) {
  Timer.setSingleShot(true);
  // A coarse timer may fire 5 % early: the lines must be held at least as long as asked.
  Timer.setTimerType(Qt::PreciseTimer);
  connect(&Timer, &QTimer::timeout, this, [this] { Next(); });
}

// The setters change an open port's line only when the value changes, so a pulse that starts on
// lines already in its first state makes no update there.
std::deque<TLinePulser::TStep> TLinePulser::StepsOf(TLinePulse Pulse) {
  switch (Pulse) {
    case TLinePulse::StartUp:
      return {{BothOff, 100}, {BothOn, 100}};
    case TLinePulse::Boot:
      return {{[](TComm& Comm) {
                 Comm.SetDtrControl(TDtrControl::DtrEnable);
                 Comm.SetRtsControl(TRtsControl::RtsEnable);
               },
               10},
              {[](TComm& Comm) { Comm.SetDtrControl(TDtrControl::DtrDisable); }, 10},
              {[](TComm& Comm) {
                 Comm.SetDtrRtsControl(TDtrControl::DtrEnable, TRtsControl::RtsDisable);
               },
               50}};
    case TLinePulse::Reset:
      break;
  }
  return {{BothOff, 100}, {BothOn, 0}};
}

void TLinePulser::Start(TLinePulse Pulse, std::function<void()> ThenDo) {
  Steps = StepsOf(Pulse);
  Then = std::move(ThenDo);
  Next();
}

void TLinePulser::Cancel() {
  Timer.stop();
  Steps.clear();
  Then = nullptr;
}

void TLinePulser::Next() {
  if (Steps.empty()) {
    if (auto Done = std::exchange(Then, nullptr)) Done();
    return;
  }
  const TStep Step = Steps.front();
  Steps.pop_front();
  Step.Set(Comm);
  Timer.start(Step.HoldMs);
}
