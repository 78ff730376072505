#include "testsupport/process/event_server_run.h"

#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace {

// Runs a query on the program directory's events.db, read-only; no rows
// when the file or the tables are not there yet.
template <class Row, class Read>
std::vector<Row> query(const std::string& home, const char* sql, Read read) {
    std::vector<Row> rows;
    sqlite3* db = nullptr;
    const std::string path = home + "/events.db";
    if (!std::filesystem::exists(path) ||
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            rows.push_back(read(statement));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::string text(sqlite3_stmt* s, int column) {
    const auto* p = sqlite3_column_text(s, column);
    return p ? reinterpret_cast<const char*>(p) : "";
}

}  // namespace

std::string eventServerPath() {
    return VARDO_EVENT_SERVER_PATH;
}

bool FixRow::operator==(const FixRow& o) const {
    return device == o.device && std::fabs(latitude - o.latitude) < 5e-7 &&
           std::fabs(longitude - o.longitude) < 5e-7 && speed == o.speed && course == o.course &&
           gps == o.gps;
}

std::ostream& operator<<(std::ostream& os, const EventRow& row) {
    return os << "(" << row.device << ", " << row.type << ")";
}

std::ostream& operator<<(std::ostream& os, const FixRow& row) {
    return os << "(" << row.device << ", " << row.latitude << ", " << row.longitude << ", "
              << row.speed << ", " << row.course << ", '" << row.gps << "')";
}

EventServerRun::EventServerRun(std::uint16_t centerPort, const std::string& password)
    : EventServerRun(centerPort, RunSettings{.password = password}) {}

EventServerRun::EventServerRun(std::uint16_t centerPort, const RunSettings& settings)
    : args_(settings.args),
      program_(settings.program.empty() ? eventServerPath() : settings.program) {
    char dir[] = "/tmp/vardo-e2e-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        throw std::runtime_error("cannot create a program directory");
    }
    home_ = dir;
    std::ofstream(home_ + "/Config.ini")
        << "[VardoEventServer]\n"
        << "EventServer_ConnectString=" << settings.connectString << "\n"
        << "EventServer_CenterServerAddr=127.0.0.1\n"
        << "EventServer_CenterServerTcpPort=" << centerPort
        << "\n"
        // A run without media still needs a port the start accepts; nothing
        // listens on the TCP port's number over UDP.
        << "EventServer_CenterServerUdpPort="
        << (settings.udpPort != 0 ? settings.udpPort : centerPort) << "\n"
        << "EventServer_UserName=root\n"
        << "EventServer_Password=" << settings.password << "\n"
        << "EventServer_RecordDuration=" << settings.recordDuration << "\n";
}

EventServerRun::~EventServerRun() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}

void EventServerRun::start() {
    std::vector<std::string> args{program_, "--headless", "--home", home_};
    args.insert(args.end(), args_.begin(), args_.end());
    process_ = std::make_unique<testsim::ChildProcess>(args);
}

int EventServerRun::stop() {
    return process_ ? process_->stop(SIGTERM) : -1;
}

void EventServerRun::kill() {
    if (process_) {
        process_->stop(SIGKILL);
    }
}

bool EventServerRun::waitForLog(const std::string& text, int count) const {
    return process_ && process_->waitForErrors(text, count);
}

std::vector<EventRow> EventServerRun::events() const {
    return query<EventRow>(home_,
                           "SELECT device_name, event_type_id FROM device_events ORDER BY id",
                           [](sqlite3_stmt* s) {
                               return EventRow{text(s, 0), sqlite3_column_int(s, 1)};
                           });
}

std::vector<FixRow> EventServerRun::fixes() const {
    return query<FixRow>(home_,
                         "SELECT device_name, latitude, longitude, speed, course, gps_info "
                         "FROM gps_fixes ORDER BY id",
                         [](sqlite3_stmt* s) {
                             return FixRow{text(s, 0),
                                           sqlite3_column_double(s, 1),
                                           sqlite3_column_double(s, 2),
                                           sqlite3_column_int(s, 3),
                                           sqlite3_column_int(s, 4),
                                           text(s, 5)};
                         });
}

bool EventServerRun::waitForRows(std::size_t events, std::size_t fixes,
                                 std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (this->events().size() < events || this->fixes().size() < fixes) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace e2e
