#include "vardoappcore/library_log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace vardo {
namespace {

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

}  // namespace

void setLogSink(LogSink sink) {
    const std::lock_guard lock(logMutex());
    currentSink() = std::move(sink);
}

void logLine(std::string_view line) {
    const std::lock_guard lock(logMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    std::string text = "vardoappcore: ";
    text.append(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace vardo
