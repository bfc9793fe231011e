#pragma once
// Where a component appends its log lines ("Note: ...", "Warning: ...", "Error: ...").
// A front end routes it to its log (the window's log page, ferrule-cli's output); tests collect
// the lines.

#include <QString>

#include <functional>

using TLogSink = std::function<void(const QString& line)>;
