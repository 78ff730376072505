#include "tests/app/server_fixture.h"

#include <sqlite3.h>

#include <thread>

#include "settings/program_dir.h"

namespace apptest {

bool TestServerDlg::StartWorker() {
    return failWorkerStart ? false : CMyVardoEventServerDlg::StartWorker();
}

void TestServerDlg::QueueStatement(db::SqlCommand command) {
    statements.push_back(command.text());
    CMyVardoEventServerDlg::QueueStatement(std::move(command));
}

ServerTest::ServerTest() : application(app::res::Resources(), "vardo-event-server", clock) {
    scripted::Reset();
    application.SetMessageBoxSink([](const ui::headless::MessageBoxRecord&) {});
}

ServerTest::~ServerTest() {
    if (dlg) {
        CloseAndDestroy();
    }
}

void ServerTest::WriteConfig(std::vector<std::pair<std::string, std::string>> extra) {
    std::vector<std::pair<std::string, std::string>> values{
        {"EventServer_ConnectString", "sqlite:vardo.db"},
        {"EventServer_CenterServerAddr", "center.test"},
    };
    values.insert(values.end(), extra.begin(), extra.end());
    home.writeConfig(values);
}

void ServerTest::Open() {
    dlg = std::make_unique<TestServerDlg>();
    dlg->SetLogSink([this](std::string_view line) {
        std::lock_guard lock(logMutex);
        logLines.emplace_back(line);
    });
    ASSERT_TRUE(dlg->Create());
    host = ui::headless::HostOf(*dlg);
    ASSERT_NE(host, nullptr);
}

void ServerTest::PressStart() {
    host->PressButton(IDOK);
    host->RunUntilIdle();
}

HVARDODEV ServerTest::Online(scripted::DeviceSpec spec) {
    const HVARDODEV dev = scripted::AddDevice(spec);
    Notify(NOTIFY_DEVICE_ONLINE, dev);
    return dev;
}

void ServerTest::Notify(WPARAM kind, HVARDODEV dev) {
    EXPECT_TRUE(scripted::Notify(kind, dev));
    host->RunUntilIdle();
}

LRESULT ServerTest::Dispatch(WPARAM kind, HVARDODEV dev) {
    return host->Send(WM_DEVICE_NOTIFY, kind, static_cast<LPARAM>(dev));
}

void ServerTest::CloseAndDestroy() {
    if (host != nullptr && !host->IsEnded()) {
        host->ClickCloseBox();
    }
    dlg->DestroyWindow();
    host = nullptr;
    dlg.reset();
}

void ServerTest::RunFor(std::chrono::nanoseconds span) {
    testsupport::RunFor(*host, clock, span);
}

bool ServerTest::WaitForDatabase() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto c = dlg->GetWorkerCounters();
        if (c.pending == 0 && c.executed + c.rejected + c.dropped + c.discarded == c.queued) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

const ui::ListRows& ServerTest::List() const {
    const auto* list = host->List(IDC_DEVICE_LIST);
    if (list == nullptr) {
        throw std::runtime_error("no device list");
    }
    return *list;
}

std::vector<std::string> ServerTest::Row(int row) const {
    return List().Row(row);
}

std::vector<std::string> ServerTest::LibraryCalls(std::string_view prefix) const {
    return scripted::CallsStartingWith(prefix);
}

std::string ServerTest::DatabasePath() const {
    return home.path() + "vardo.db";
}

std::vector<std::string> ServerTest::Query(const std::string& sql) const {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        ADD_FAILURE() << "cannot open " << DatabasePath();
        return rows;
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            if (i != 0) {
                row += '|';
            }
            const auto* text = sqlite3_column_text(statement, i);
            row += text ? reinterpret_cast<const char*>(text) : "NULL";
        }
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::vector<std::string> ServerTest::ServiceLog() const {
    std::lock_guard lock(logMutex);
    std::vector<std::string> lines;
    for (const auto& line : logLines) {
        if (line.starts_with("service ")) {
            lines.push_back(line);
        }
    }
    return lines;
}

void ServerTest::ClearLog() {
    std::lock_guard lock(logMutex);
    logLines.clear();
}

std::string Handle(std::uint32_t handle) {
    return std::to_string(handle);
}

}  // namespace apptest
