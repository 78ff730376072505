#pragma once
// The device library's log: one line per event worth an operator's eye
// (login refused, connection lost, protocol errors). By default the lines go
// to standard error with a "vardoappcore: " prefix, control bytes escaped so
// that an entry stays one line; tests capture them.

#include <functional>
#include <string>
#include <string_view>

namespace vardo {

using LogSink = std::function<void(std::string_view line)>;

// Replaces where log lines go; an empty sink restores standard error.
// Callable from any thread.
void setLogSink(LogSink sink);

void logLine(std::string_view line);

// Pieces of log lines that hold text from outside, escaped and quoted (see
// text/log_text.h): "device 'X7' channel 1", and a file's path, which is
// shown whole up to a generous length.
std::string channelLabel(std::string_view dev, int channel);
std::string pathText(std::string_view path);

}  // namespace vardo
