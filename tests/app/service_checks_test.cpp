// The pieces a service's operator relies on, each by itself: the checks of
// the settings at a start, the status line and what the monitor says about
// it, the retention of recordings and the instance lock.

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/metrics_server.h"
#include "app/record_retention.h"
#include "app/service_monitor.h"
#include "app/service_status.h"
#include "app/start_checks.h"
#include "app/ui_texts.h"
#include "files/instance_lock.h"
#include "testsupport/config/temp_program_dir.h"
#include "vardoappcore/api/vardo_app_core.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(StartChecks, PortsAreWholeNumbersFromOneTo65535) {
    EXPECT_EQ(app::ParsePort("1"), 1);
    EXPECT_EQ(app::ParsePort(" 24680 "), 24680);
    EXPECT_EQ(app::ParsePort("65535"), 65535);
    for (const char* bad :
         {"", "0", "65536", "-1", "abc", "12ab", "1.5", "+80", "99999999999999999999999"}) {
        EXPECT_EQ(app::ParsePort(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(app::PortProblem("TCP Port", "abc"), "TCP Port 'abc' is no port number (1-65535)");
    EXPECT_EQ(app::PortProblem("TCP Port", "80"), "");
}

TEST(StartChecks, TheUdpPortMayBeZeroForASiteWithoutMedia) {
    EXPECT_EQ(app::ParseMediaPort("0"), 0);
    EXPECT_EQ(app::ParseMediaPort(" 24681 "), 24681);
    EXPECT_EQ(app::ParseMediaPort("65535"), 65535);
    for (const char* bad : {"", "65536", "-1", "none", "0x10", "99999999999999999999999"}) {
        EXPECT_EQ(app::ParseMediaPort(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(app::MediaPortProblem("UDP Port", "abc"),
              "UDP Port 'abc' is no port number (0-65535, 0: no media)");
    EXPECT_EQ(app::MediaPortProblem("UDP Port", "0"), "");
}

// Our own schemas take the offline events of a stop; a SQL Server site's own
// procedures would read them as a fleet-wide outage at every restart.
TEST(StartChecks, OfflineEventsAtAStopFollowTheSettingElseTheDatabase) {
    struct Case {
        const char* setting;
        const char* connect;
        bool on;
    };
    const Case cases[] = {
        {"", "sqlite:vardo.db", true},
        {"", "postgresql://vardo@db/vardo", true},
        {"", "Provider=SQLOLEDB;Server=db;Initial Catalog=V;User ID=sa;Password=x", false},
        {"", "Driver=FreeTDS;Server=db;UID=sa;PWD=x", false},
        {"1", "Provider=SQLOLEDB;Server=db;User ID=sa;Password=x", true},
        {" yes ", "DSN=site", true},
        {"0", "sqlite:vardo.db", false},
        {"Off", "postgresql://vardo@db/vardo", false},
    };
    for (const Case& c : cases) {
        std::string warning;
        EXPECT_EQ(app::OfflineAtStop(c.setting, c.connect, warning), c.on)
            << c.setting << " " << c.connect;
        EXPECT_EQ(warning, "") << c.setting;
    }
    std::string warning;
    EXPECT_TRUE(app::OfflineAtStop("sometimes", "sqlite:vardo.db", warning));
    EXPECT_NE(warning.find("EventServer_OfflineAtStop: 'sometimes'"), std::string::npos);
    warning.clear();
    EXPECT_FALSE(app::OfflineAtStop("sometimes", "DSN=site", warning));
    EXPECT_NE(warning.find("a stop marks no device offline"), std::string::npos);
}

TEST(StartChecks, ADurationThatIsNoPositiveNumberIsWarnedAbout) {
    for (const char* good : {"1", "90", "2147483647"}) {
        EXPECT_EQ(app::DurationWarning(good), "") << good;
    }
    for (const char* bad : {"0", "-5", "", "ninety", "2147483648", "4294967296"}) {
        const std::string warning = app::DurationWarning(bad);
        EXPECT_NE(warning.find("alarms record about one second"), std::string::npos) << bad;
        EXPECT_NE(warning.find("'" + std::string(bad) + "'"), std::string::npos) << bad;
    }
}

TEST(StatusLine, DriverMessagesOfSeveralLinesBecomeOne) {
    EXPECT_EQ(app::OneLine("connection failed:  \n\tIs the server running?\r\n"),
              "connection failed: Is the server running?");
    EXPECT_EQ(app::OneLine("one line"), "one line");
    EXPECT_EQ(app::OneLine("\n\nlead"), "lead");
}

TEST(StatusLine, SaysEveryPartOfTheState) {
    app::ServiceStatus s;
    EXPECT_EQ(app::StatusLine(s), "service stopped");
    s.started = true;
    s.centerState = CENTER_LOGGED_IN;
    s.user = "root";
    s.devicesOnline = 3;
    s.stored = 120;
    s.dropped = 2;
    s.recordings = 1;
    EXPECT_EQ(app::StatusLine(s),
              "center: logged in as root with 3 devices; database: connected; stored 120, "
              "dropped 2; recordings: 1");
    s.emptyRecordings = 16;
    EXPECT_TRUE(app::StatusLine(s).ends_with("; recordings: 1, empty recordings: 16"))
        << app::StatusLine(s);
    s.centerState = CENTER_REFUSED;
    s.centerReason = "bad credentials";
    s.databaseDownSince = 1796748592;
    s.waiting = 7;
    s.warning = "recording duration '0' is odd";
    const std::string line = app::StatusLine(s);
    EXPECT_NE(line.find("center: refused: bad credentials"), std::string::npos) << line;
    EXPECT_NE(line.find("database: unreachable since " + app::LocalTimeText(1796748592) +
                        " with 7 statements waiting"),
              std::string::npos)
        << line;
    EXPECT_TRUE(line.ends_with("; recording duration '0' is odd")) << line;
    s.databaseDownSince = 0;
    s.databaseDiskFull = true;
    EXPECT_NE(app::StatusLine(s).find("database: disk full, 7 statements waiting"),
              std::string::npos)
        << app::StatusLine(s);
    s.setAside = 1;
    EXPECT_NE(app::StatusLine(s).find("dropped 2, set aside 1;"), std::string::npos)
        << app::StatusLine(s);
}

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest() {
        monitor.SetLog([this](const std::string& line) { lines.push_back(line); });
        monitor.SetOnRefused([this](const std::string& reason) { refusals.push_back(reason); });
        monitor.SetStatusInterval(300s);
    }
    void Tick(const app::ServiceStatus& s) {
        monitor.Update(s, now);
        now += 1s;
    }

    app::ServiceMonitor monitor;
    std::vector<std::string> lines;
    std::vector<std::string> refusals;
    std::chrono::steady_clock::time_point now{};
};

TEST_F(MonitorTest, EachChangeIsSaidOnceAndTheRefusalActsOnce) {
    app::ServiceStatus s;
    s.started = true;
    s.user = "root";
    s.centerState = CENTER_CONNECTING;
    Tick(s);
    s.centerState = CENTER_RETRYING;
    s.centerReason = "Connection refused";
    Tick(s);
    Tick(s);
    s.centerState = CENTER_LOGGED_IN;
    Tick(s);
    Tick(s);
    s.centerState = CENTER_REFUSED;
    s.centerReason = "bad\ncredentials";
    Tick(s);
    Tick(s);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "center server unreachable: Connection refused; trying again",
                         "logged in to the center server as root",
                         "the center server refused the login: bad credentials",
                     }));
    EXPECT_EQ(refusals, std::vector<std::string>{"bad credentials"});
    EXPECT_EQ(app::LatestStatusLine(), monitor.Line());
}

TEST_F(MonitorTest, TheDatabaseOutageIsSaidWhenItStartsAndEndsWithWhatWaited) {
    app::ServiceStatus s;
    s.started = true;
    s.centerState = CENTER_LOGGED_IN;
    Tick(s);
    lines.clear();
    s.databaseDownSince = 1796748592;
    s.waiting = 3;
    Tick(s);
    s.waiting = 40;
    Tick(s);
    s.databaseDownSince = 0;
    s.waiting = 5;  // the worker has already taken some
    Tick(s);
    Tick(s);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "database unreachable since " + app::LocalTimeText(1796748592) +
                            "; 3 statements waiting");
    EXPECT_EQ(lines[1], "database back; 40 statements waited");
}

TEST_F(MonitorTest, TheStatusLineComesEveryIntervalAndAWarningOnce) {
    monitor.SetStatusInterval(10s);
    app::ServiceStatus s;
    s.started = true;
    s.centerState = CENTER_LOGGED_IN;
    s.warning = "recording duration '0' is no positive number";
    for (int i = 0; i < 25; ++i) {
        Tick(s);
    }
    const auto count = [&](std::string_view prefix) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.starts_with(prefix); });
    };
    EXPECT_EQ(count("status: "), 2);
    EXPECT_EQ(count("warning: recording duration"), 1);

    std::string warning;
    EXPECT_EQ(app::ParseStatusInterval("", warning), app::kDefaultStatusInterval);
    EXPECT_EQ(app::ParseStatusInterval("0", warning), 0s);
    EXPECT_EQ(app::ParseStatusInterval("60", warning), 60s);
    EXPECT_TRUE(warning.empty());
    EXPECT_EQ(app::ParseStatusInterval("often", warning), app::kDefaultStatusInterval);
    EXPECT_NE(warning.find("EventServer_StatusInterval 'often'"), std::string::npos);
}

TEST(UiTexts, AMissingKeyOrFileGivesTheBuiltInText) {
    testsupport::TempProgramDir home;
    home.writeFile("Language/xx.ini", "[Language]\nColumnDeviceID=设备\nEmpty=\n");
    app::UiTexts texts;
    EXPECT_EQ(texts.Get("ColumnDeviceID", "DeviceID"), "DeviceID");
    ASSERT_TRUE(texts.Load(home.path() + "Language/xx.ini"));
    EXPECT_EQ(texts.Get("ColumnDeviceID", "DeviceID"), "设备");
    EXPECT_EQ(texts.Get("Missing", "built-in"), "built-in");
    EXPECT_EQ(texts.Get("Empty", "built-in"), "built-in");
    EXPECT_FALSE(texts.Load(home.path() + "Language/none.ini"));
    EXPECT_EQ(texts.Get("ColumnDeviceID", "DeviceID"), "DeviceID");
}

class RetentionTest : public ::testing::Test {
protected:
    RetentionTest() { fs::create_directories(folder); }

    // A recording of `bytes` bytes last written `age` before `now`.
    std::string Recording(const std::string& name, std::chrono::hours age, std::size_t bytes = 1) {
        const std::string path = folder + "/" + name;
        std::ofstream(path) << std::string(bytes, 'x');
        fs::last_write_time(path, fs::file_time_type::clock::from_sys(now - age));
        return path;
    }
    std::vector<std::string> Left() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::TempProgramDir home;
    std::string folder = home.path() + "EventRecord";
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
};

TEST_F(RetentionTest, OldRecordingsGoButNeverOneBeingWrittenNorOtherFiles) {
    Recording("old-a.avi", 24h * 10);
    const std::string writing = Recording("old-but-writing.avi", 24h * 9);
    Recording("notes.txt", 24h * 30);
    Recording("recent.avi", 24h * 2);
    fs::create_directories(folder + "/old.avi");  // a folder, whatever its name
    const app::RetentionOutcome outcome = app::ApplyRetentionPolicy(folder, {7, 0}, now, {writing});
    EXPECT_EQ(outcome.deleted, 1u);
    EXPECT_EQ(Left(), (std::vector<std::string>{"notes.txt", "old-but-writing.avi", "old.avi",
                                                "recent.avi"}));
    ASSERT_EQ(outcome.lines.size(), 1u);
    EXPECT_NE(outcome.lines[0].find("old-a.avi (older than 7 days)"), std::string::npos);
}

TEST_F(RetentionTest, LowFreeSpaceDeletesTheOldestFirstUntilEnoughIsFree) {
    const std::string writing = Recording("a-writing.avi", 5h, 100);
    Recording("b.avi", 4h, 100);
    Recording("c.avi", 3h, 100);
    Recording("d.avi", 2h, 100);
    // The disk frees what the deleted files held.
    std::uint64_t free = 1000;
    const auto space = [&](const std::string&) -> std::optional<std::uint64_t> {
        std::uint64_t held = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            held += entry.file_size();
        }
        return free - held + 400;
    };
    // 1000 - 400 + 400 = 1000 free now; ask for 1150: b and c must go.
    const app::RetentionOutcome outcome =
        app::ApplyRetentionPolicy(folder, {0, 1150}, now, {writing}, space);
    EXPECT_EQ(outcome.deleted, 2u);
    EXPECT_EQ(Left(), (std::vector<std::string>{"a-writing.avi", "d.avi"}));

    // Nothing finished left to delete: said, and nothing else happens.
    const app::RetentionOutcome more =
        app::ApplyRetentionPolicy(folder, {0, 1u << 30}, now, {writing, folder + "/d.avi"}, space);
    EXPECT_EQ(more.deleted, 0u);
    ASSERT_EQ(more.lines.size(), 1u);
    EXPECT_NE(more.lines[0].find("no finished recording left"), std::string::npos);
}

TEST(Retention, SettingsThatAreNoNumbersTurnTheRuleOffWithAWarning) {
    std::vector<std::string> warnings;
    app::RetentionPolicy p = app::ReadRetentionPolicy("30", "500", warnings);
    EXPECT_EQ(p.keepDays, 30);
    EXPECT_EQ(p.minFreeBytes, 500ull << 20);
    EXPECT_TRUE(warnings.empty());
    p = app::ReadRetentionPolicy("", "", warnings);
    EXPECT_FALSE(p.Active());
    p = app::ReadRetentionPolicy("month", "-1", warnings);
    EXPECT_FALSE(p.Active());
    EXPECT_EQ(warnings.size(), 2u);
    // A folder that does not exist yet is no problem.
    EXPECT_EQ(app::ApplyRetentionPolicy("/nonexistent/EventRecord", {1, 0},
                                        std::chrono::system_clock::now(), {})
                  .lines.size(),
              0u);
}

TEST(InstanceLock, ASecondHolderOfTheSameDirectoryIsRefusedUntilTheFirstEnds) {
    testsupport::TempProgramDir home;
    const auto take = [&](files::InstanceLock& lock, const std::string& dir) {
        return lock.Acquire(dir, ".vardo-event-server.lock", "vardo-event-server",
                            "the program directory");
    };
    auto first = std::make_unique<files::InstanceLock>();
    ASSERT_TRUE(take(*first, home.path())) << first->Problem();
    files::InstanceLock second;
    EXPECT_FALSE(take(second, home.path()));
    EXPECT_TRUE(second.HeldByAnother());
    EXPECT_NE(
        second.Problem().find("another vardo-event-server already runs on the program directory"),
        std::string::npos);
    first.reset();
    files::InstanceLock third;
    EXPECT_TRUE(take(third, home.path())) << third.Problem();

    files::InstanceLock nowhere;
    EXPECT_FALSE(take(nowhere, "/nonexistent/vardo/"));
    EXPECT_FALSE(nowhere.HeldByAnother());
}

TEST(Metrics, TheEndpointServesTheLatestSnapshotOnLoopbackOnly) {
    app::MetricsServer server;
    std::string problem;
    ASSERT_TRUE(server.Start(0, problem)) << problem;
    ASSERT_GT(server.Port(), 0);
    app::MetricsSnapshot snapshot;
    snapshot.started = true;
    snapshot.counters.queued = 12;
    snapshot.counters.pending = 3;
    snapshot.devicesOnline = 2;
    snapshot.emptyRecordings = 16;
    server.Publish(snapshot);

    httplib::Client client("127.0.0.1", server.Port());
    auto response = client.Get("/metrics");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    const std::string& body = response->body;
    EXPECT_NE(body.find("# TYPE vardo_statements_queued_total counter\n"
                        "vardo_statements_queued_total 12\n"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("\nvardo_queue_depth 3\n"), std::string::npos) << body;
    EXPECT_NE(body.find("\nvardo_devices_online 2\n"), std::string::npos) << body;
    EXPECT_NE(body.find("\nvardo_recordings_empty_total 16\n"), std::string::npos) << body;
    // No commit yet: no age of one.
    EXPECT_EQ(body.find("vardo_seconds_since_last_commit"), std::string::npos) << body;

    snapshot.secondsSinceCommit = 1.5;
    server.Publish(snapshot);
    response = client.Get("/metrics");
    ASSERT_TRUE(response);
    EXPECT_NE(response->body.find("\nvardo_seconds_since_last_commit 1.5\n"), std::string::npos);
    EXPECT_EQ(client.Get("/other")->status, 404);

    // A second server cannot take the same port; it says so.
    app::MetricsServer second;
    EXPECT_FALSE(second.Start(server.Port(), problem));
    EXPECT_NE(problem.find("cannot listen on 127.0.0.1:"), std::string::npos);
    server.Stop();
    EXPECT_FALSE(httplib::Client("127.0.0.1", server.Port()).Get("/metrics"));

    std::string warning;
    EXPECT_EQ(app::ParseMetricsPort("", warning), 0);
    EXPECT_EQ(app::ParseMetricsPort("9464", warning), 9464);
    EXPECT_TRUE(warning.empty());
    EXPECT_EQ(app::ParseMetricsPort("http", warning), 0);
    EXPECT_NE(warning.find("EventServer_MetricsPort 'http'"), std::string::npos);
}

}  // namespace
