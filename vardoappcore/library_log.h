#pragma once
// The device library's log: one line per event worth an operator's eye
// (login refused, connection lost, protocol errors). By default the lines go
// to standard error with a "vardoappcore: " prefix; tests capture them.

#include <functional>
#include <string_view>

namespace vardo {

using LogSink = std::function<void(std::string_view line)>;

// Replaces where log lines go; an empty sink restores standard error.
// Callable from any thread.
void setLogSink(LogSink sink);

void logLine(std::string_view line);

}  // namespace vardo
