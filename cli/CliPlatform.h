#pragma once
// What ferrule-cli needs of the platform besides the serial ports: whether its output is a
// terminal, and the user's Ctrl+C. One implementation per platform, chosen by the build.

#include <QObject>

#include <functional>
#include <memory>

namespace CliPlatform {

// Whether standard output is a terminal that takes escape sequences (cursor moves, colours).
bool StandardOutputIsTerminal();

// While the returned object lives, every Ctrl+C (and, where the platform has it, a request to
// terminate) calls OnInterrupt on the event loop of Context's thread instead of ending the process.
std::unique_ptr<QObject> CatchInterrupts(QObject* Context, std::function<void()> OnInterrupt);

}  // namespace CliPlatform
