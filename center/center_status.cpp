#include "center/center_status.h"

#include <cstdio>

#include "metrics/prometheus_text.h"

namespace center {
namespace {

std::string JournalText(const CenterCounts& c) {
    if (!c.journalOn) {
        return "journal off";
    }
    char size[32];
    std::snprintf(size, sizeof size, "%.1f MiB", static_cast<double>(c.journalBytes) / (1 << 20));
    return std::string("journal ") + size + (c.journalFull ? " (FULL)" : "") +
           ", reports refused while full " + std::to_string(c.reportsRefusedFull);
}

}  // namespace

std::string CenterStatusLine(const CenterCounts& c) {
    return "terminals: " + std::to_string(c.terminalsConnected) + " connected, " +
           std::to_string(c.terminalsAuthenticated) +
           " authenticated; media streams: " + std::to_string(c.mediaStreams) +
           "; event servers: " + std::to_string(c.eventServers) + "; reports " +
           std::to_string(c.reports) + ", media frames " + std::to_string(c.mediaFrames) +
           ", refused connections " + std::to_string(c.refusedConnections) + ", reports repeated " +
           std::to_string(c.reportsRepeated) + "; events unacknowledged " +
           std::to_string(c.eventsUnacknowledged) + ", dropped " + std::to_string(c.eventsDropped) +
           "; " + JournalText(c);
}

std::string CenterMetricsText(const CenterCounts& c) {
    std::string out;
    metrics::AppendGauge(out, "vardo_center_terminals_connected", "Terminal connections open",
                         c.terminalsConnected);
    metrics::AppendGauge(out, "vardo_center_terminals_authenticated",
                         "Terminals logged in (online)", c.terminalsAuthenticated);
    metrics::AppendGauge(out, "vardo_center_media_streams",
                         "Streams requested from terminals for event servers", c.mediaStreams);
    metrics::AppendGauge(out, "vardo_center_event_servers", "Event servers logged in",
                         c.eventServers);
    metrics::AppendCounter(out, "vardo_center_location_reports_total",
                           "Location reports of authenticated terminals", c.reports);
    metrics::AppendCounter(out, "vardo_center_location_reports_repeated_total",
                           "Location reports with the position and time of one already numbered, "
                           "answered with its event",
                           c.reportsRepeated);
    metrics::AppendCounter(out, "vardo_center_refused_connections_total",
                           "Terminal connections refused past --max-terminals",
                           c.refusedConnections);
    metrics::AppendCounter(out, "vardo_center_media_requests_total",
                           "Real-time media requests sent to terminals", c.mediaRequests);
    metrics::AppendCounter(out, "vardo_center_media_frames_total",
                           "Media frames relayed to event servers", c.mediaFrames);
    metrics::AppendGauge(out, "vardo_center_events_unacknowledged",
                         "Events kept until every event server acknowledges them",
                         c.eventsUnacknowledged);
    metrics::AppendCounter(out, "vardo_center_events_dropped_total",
                           "Unacknowledged events given up past the bound", c.eventsDropped);
    if (c.journalOn) {
        metrics::AppendGauge(out, "vardo_center_journal_bytes", "Bytes of the journal on disk",
                             c.journalBytes);
        metrics::AppendGauge(out, "vardo_center_journal_full",
                             "1 while the journal is full and reports are refused",
                             c.journalFull ? 1 : 0);
        metrics::AppendCounter(
            out, "vardo_center_reports_refused_journal_full_total",
            "Location reports answered with a failure while the journal was full",
            c.reportsRefusedFull);
    }
    return out;
}

}  // namespace center
