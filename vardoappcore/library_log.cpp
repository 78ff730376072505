#include "vardoappcore/library_log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "text/log_text.h"

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
    const std::string entry = "vardoappcore: " + text::EscapeControlBytes(line) + "\n";
    std::fwrite(entry.data(), 1, entry.size(), stderr);
    std::fflush(stderr);
}

std::string channelLabel(std::string_view dev, int channel) {
    return "device " + text::PeerText(dev) + " channel " + std::to_string(channel);
}

std::string pathText(std::string_view path) {
    return text::PeerText(path, 1024);
}

}  // namespace vardo
