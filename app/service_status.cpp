#include "app/service_status.h"

#include <ctime>
#include <mutex>

#include "app/ui_texts.h"
#include "vardoappcore/api/vardo_app_core.h"

namespace app {

namespace {

std::mutex g_latestMutex;
std::string g_latestLine;  // guarded by g_latestMutex

std::string CenterPart(const ServiceStatus& s) {
    switch (s.centerState) {
        case CENTER_CONNECTING:
            return Tr("StatusCenterConnecting", "center: connecting");
        case CENTER_LOGGED_IN:
            return FillText(Tr("StatusCenterLoggedIn", "center: logged in as {} with {} devices"),
                            {s.user, std::to_string(s.devicesOnline)});
        case CENTER_RETRYING:
            return FillText(Tr("StatusCenterUnreachable", "center: unreachable ({}), retrying"),
                            {s.centerReason});
        case CENTER_REFUSED:
            return FillText(Tr("StatusCenterRefused", "center: refused: {}"), {s.centerReason});
        default:
            return Tr("StatusCenterIdle", "center: not logged in");
    }
}

std::string DatabasePart(const ServiceStatus& s) {
    if (s.databaseDownSince != 0) {
        return FillText(
            Tr("StatusDatabaseDown", "database: unreachable since {} with {} statements waiting"),
            {LocalTimeText(s.databaseDownSince), std::to_string(s.waiting)});
    }
    if (s.databaseDiskFull) {
        return FillText(Tr("StatusDatabaseDiskFull", "database: disk full, {} statements waiting"),
                        {std::to_string(s.waiting)});
    }
    return Tr("StatusDatabaseUp", "database: connected");
}

}  // namespace

std::string StatusLine(const ServiceStatus& s) {
    if (!s.started) {
        std::string line = Tr("StatusStopped", "service stopped");
        if (!s.warning.empty()) {
            line += "; " + s.warning;
        }
        return line;
    }
    std::string line =
        CenterPart(s) + "; " + DatabasePart(s) + "; " +
        FillText(Tr("StatusCounts", "stored {}, dropped {}"),
                 {std::to_string(s.stored), std::to_string(s.dropped)}) +
        (s.setAside > 0
             ? ", " + FillText(Tr("StatusSetAside", "set aside {}"), {std::to_string(s.setAside)})
             : std::string()) +
        "; " + FillText(Tr("StatusRecordings", "recordings: {}"), {std::to_string(s.recordings)});
    if (s.emptyRecordings > 0) {
        line += ", " + FillText(Tr("StatusEmptyRecordings", "empty recordings: {}"),
                                {std::to_string(s.emptyRecordings)});
    }
    if (!s.warning.empty()) {
        line += "; " + s.warning;
    }
    return line;
}

std::string LocalTimeText(std::int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, n);
}

std::string OneLine(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    bool pendingBreak = false;
    for (const char c : text) {
        if (c == '\n' || c == '\r') {
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
                line.pop_back();
            }
            pendingBreak = true;
            continue;
        }
        if (pendingBreak) {
            if (c == ' ' || c == '\t') {
                continue;
            }
            if (!line.empty()) {
                line += ' ';
            }
            pendingBreak = false;
        }
        line += c;
    }
    return line;
}

void PublishStatusLine(std::string line) {
    const std::lock_guard lock(g_latestMutex);
    g_latestLine = std::move(line);
}

std::string LatestStatusLine() {
    const std::lock_guard lock(g_latestMutex);
    return g_latestLine.empty() ? std::string("service stopped") : g_latestLine;
}

}  // namespace app
