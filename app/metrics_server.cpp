#include "app/metrics_server.h"

#include "app/start_checks.h"
#include "metrics/prometheus_text.h"

namespace app {

std::string MetricsText(const MetricsSnapshot& s) {
    const db::WorkerCounters& c = s.counters;
    std::string out;
    const auto counter = [&](std::string_view name, std::string_view help, std::uint64_t value) {
        metrics::AppendCounter(out, name, help, value);
    };
    const auto gauge = [&](std::string_view name, std::string_view help, std::uint64_t value) {
        metrics::AppendGauge(out, name, help, value);
    };
    gauge("vardo_service_started", "1 while the service runs", s.started ? 1 : 0);
    gauge("vardo_center_logged_in", "1 while logged in to the center server",
          s.centerLoggedIn ? 1 : 0);
    gauge("vardo_database_up", "0 while the database cannot be reached", s.databaseUp ? 1 : 0);
    counter("vardo_statements_queued_total", "Statements queued for the database", c.queued);
    counter("vardo_statements_executed_total", "Statements the database ran", c.executed);
    counter("vardo_statements_rejected_total", "Statements the database refused (dropped)",
            c.rejected);
    counter("vardo_statements_dropped_total", "Oldest statements dropped past the queue's bound",
            c.dropped);
    counter("vardo_statements_retried_total", "Retries after a failed open or a busy database",
            c.retried);
    counter("vardo_statements_discarded_total", "Statements still queued at a stop", c.discarded);
    counter("vardo_commits_total", "Transactions committed", c.commits);
    counter("vardo_statements_set_aside_total",
            "Statements the database kept timing out on, kept in the dead-letter file", c.setAside);
    gauge("vardo_queue_depth", "Statements waiting or in a transaction", c.pending);
    gauge("vardo_devices_online", "Devices online", s.devicesOnline);
    gauge("vardo_recordings_active", "Alarm recordings being written", s.recordings);
    counter("vardo_recordings_empty_total",
            "Alarm recordings that got no media (files removed): check the UDP port and firewall",
            s.emptyRecordings);
    if (s.secondsSinceCommit) {
        metrics::AppendMetric(out, "vardo_seconds_since_last_commit", "gauge",
                              "Seconds since the database last committed",
                              metrics::MetricNumber(*s.secondsSinceCommit));
    }
    return out;
}

int ParseMetricsPort(std::string_view text, std::string& warning) {
    if (text.empty() || text == "0") {
        return 0;
    }
    if (const std::optional<int> port = ParsePort(text)) {
        return *port;
    }
    warning = "EventServer_MetricsPort '" + std::string(text) +
              "' is no port number (1-65535); no metrics endpoint";
    return 0;
}

bool MetricsServer::Start(int port, std::string& problem) {
    if (!endpoint_.Start(port, problem)) {
        return false;
    }
    Publish(MetricsSnapshot{});
    return true;
}

void MetricsServer::Stop() {
    endpoint_.Stop();
}

void MetricsServer::Publish(const MetricsSnapshot& snapshot) {
    endpoint_.Publish(MetricsText(snapshot));
}

}  // namespace app
