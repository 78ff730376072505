#include "center/center_status.h"

#include "metrics/prometheus_text.h"

namespace center {

std::string CenterStatusLine(const CenterCounts& c) {
    return "terminals: " + std::to_string(c.terminalsConnected) + " connected, " +
           std::to_string(c.terminalsAuthenticated) +
           " authenticated; media streams: " + std::to_string(c.mediaStreams) +
           "; event servers: " + std::to_string(c.eventServers) + "; reports " +
           std::to_string(c.reports) + ", media frames " + std::to_string(c.mediaFrames) +
           ", refused connections " + std::to_string(c.refusedConnections);
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
    metrics::AppendCounter(out, "vardo_center_refused_connections_total",
                           "Terminal connections refused past --max-terminals",
                           c.refusedConnections);
    metrics::AppendCounter(out, "vardo_center_media_requests_total",
                           "Real-time media requests sent to terminals", c.mediaRequests);
    metrics::AppendCounter(out, "vardo_center_media_frames_total",
                           "Media frames relayed to event servers", c.mediaFrames);
    return out;
}

}  // namespace center
