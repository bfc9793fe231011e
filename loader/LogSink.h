#pragma once
// Where a component appends its log lines ("Note: ...", "Warning: ...", "Error: ...").
// The main window routes it to its log page; tests collect the lines.

#include <QString>

#include <functional>

using TLogSink = std::function<void(const QString& line)>;
