#include "app/metrics_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <charconv>
#include <chrono>

#include "app/start_checks.h"

namespace app {

namespace {

void Metric(std::string& out, std::string_view name, std::string_view type, std::string_view help,
            const std::string& value) {
    const auto line = [&](std::string_view prefix, std::string_view text) {
        out += prefix;
        out += name;
        out += ' ';
        out += text;
        out += '\n';
    };
    line("# HELP ", help);
    line("# TYPE ", type);
    line("", value);
}

std::string Number(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("NaN");
}

}  // namespace

std::string MetricsText(const MetricsSnapshot& s) {
    const db::WorkerCounters& c = s.counters;
    std::string out;
    const auto counter = [&](std::string_view name, std::string_view help, std::uint64_t value) {
        Metric(out, name, "counter", help, std::to_string(value));
    };
    const auto gauge = [&](std::string_view name, std::string_view help, std::uint64_t value) {
        Metric(out, name, "gauge", help, std::to_string(value));
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
        Metric(out, "vardo_seconds_since_last_commit", "gauge",
               "Seconds since the database last committed", Number(*s.secondsSinceCommit));
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

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer() {
    Stop();
}

bool MetricsServer::Start(int port, std::string& problem) {
    Stop();
    server_ = std::make_unique<httplib::Server>();
    // The library's default also sets SO_REUSEPORT, which would let a second
    // service share the port and answer half the scrapes: address reuse only.
    server_->set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        MetricsSnapshot snapshot;
        {
            const std::lock_guard lock(mutex_);
            snapshot = snapshot_;
        }
        response.set_content(MetricsText(snapshot), "text/plain; version=0.0.4; charset=utf-8");
    });
    const char* host = "127.0.0.1";
    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
    } else {
        port_ = server_->bind_to_port(host, port) ? port : -1;
    }
    if (port_ <= 0) {
        problem = "metrics: cannot listen on 127.0.0.1:" + std::to_string(port);
        server_.reset();
        port_ = 0;
        return false;
    }
    thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
    // A stop before the loop runs would not reach it: wait until it does.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void MetricsServer::Stop() {
    if (server_) {
        server_->stop();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    server_.reset();
    port_ = 0;
}

void MetricsServer::Publish(const MetricsSnapshot& snapshot) {
    const std::lock_guard lock(mutex_);
    snapshot_ = snapshot;
}

}  // namespace app
