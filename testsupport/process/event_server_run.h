#pragma once
// One run of the event server for end-to-end tests: a program directory of
// its own with a Config.ini on SQLite, `vardo-event-server --headless --home
// DIR` as a child process, and the rows it stored read back with SQLite.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/process/child_process.h"

namespace e2e {

struct EventRow {
    std::string device;
    int type = 0;
    bool operator==(const EventRow&) const = default;
};

struct FixRow {
    std::string device;
    double latitude = 0;
    double longitude = 0;
    int speed = 0;
    int course = 0;
    std::string gps;
    // Positions compare to the printed six decimals.
    bool operator==(const FixRow& o) const;
};

std::ostream& operator<<(std::ostream& os, const EventRow& row);
std::ostream& operator<<(std::ostream& os, const FixRow& row);

// What a run's Config.ini and command line say beyond the center's TCP port.
struct RunSettings {
    std::string password = "kiwa";
    std::uint16_t udpPort = 0;        // 0: no media (the TCP port number is given)
    int recordDuration = 90;          // seconds
    std::vector<std::string> args{};  // after --headless --home DIR
    std::string connectString = "sqlite:events.db";
    std::string program{};  // empty: the build's own vardo-event-server
};

class EventServerRun {
public:
    // Writes the program directory; `password` goes into Config.ini.
    EventServerRun(std::uint16_t centerPort, const std::string& password = "kiwa");
    EventServerRun(std::uint16_t centerPort, const RunSettings& settings);
    ~EventServerRun();

    void start();
    // SIGTERM, as systemd would stop it; the exit status.
    int stop();
    // SIGKILL: a crash, or the OOM killer. The next start() runs again on the
    // same program directory.
    void kill();
    std::string log() const { return process_ ? process_->errors() : std::string(); }
    bool waitForLog(const std::string& text, int count = 1) const;

    std::vector<EventRow> events() const;
    std::vector<FixRow> fixes() const;
    // Waits until at least this many rows are stored; false at the deadline.
    bool waitForRows(std::size_t events, std::size_t fixes,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

    const std::string& home() const { return home_; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }

private:
    std::string home_;
    std::vector<std::string> args_;
    std::string program_;
    std::unique_ptr<testsim::ChildProcess> process_;
};

std::string eventServerPath();

}  // namespace e2e
