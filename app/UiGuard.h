#pragma once
// Every entry point of the user interface (callbacks, timer ticks, start-up steps) runs behind
// this guard: an exception that escapes it is shown in a message box with its text, and never
// crosses the event loop.

#include <QWidget>

#include <functional>
#include <utility>

void RunGuarded(QWidget* Window, const std::function<void()>& Step);

// A callback for a signal: runs Step behind the guard, ignoring the signal's arguments.
template <class F>
auto Guarded(QWidget* Window, F Step) {
  return [Window, Step = std::move(Step)](auto&&...) { RunGuarded(Window, Step); };
}
