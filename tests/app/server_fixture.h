#pragma once
// The main dialog on the headless host, with the scripted device library, a
// real SQLite database in a temporary program directory and a manual clock.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "testsupport/clock/manual_clock.h"
#include "testsupport/config/temp_program_dir.h"
#include "testsupport/scripted_device/scripted_device.h"
#include "ui/headless/headless_application.h"

namespace apptest {

// The dialog with its statements visible as they are built, and a switch
// for a worker that cannot start.
class TestServerDlg : public CMyVardoEventServerDlg {
public:
    std::vector<std::string> statements;  // text() of each, in order
    bool failWorkerStart = false;

protected:
    bool StartWorker() override;
    void QueueStatement(db::SqlCommand command) override;
};

class ServerTest : public ::testing::Test {
protected:
    ServerTest();
    ~ServerTest() override;

    // Config.ini with the SQLite database of the program directory, plus
    // whatever else is given.
    void WriteConfig(std::vector<std::pair<std::string, std::string>> extra = {});
    // Opens the dialog as the application would (OnInitDialog runs).
    void Open();
    // Presses button 1 and delivers what follows.
    void PressStart();
    // A device that comes online now (its notification delivered).
    HVARDODEV Online(scripted::DeviceSpec spec);
    // Posts a notification as the library does and delivers it.
    void Notify(WPARAM kind, HVARDODEV dev);
    // Sends a notification straight to the dialog; its result.
    LRESULT Dispatch(WPARAM kind, HVARDODEV dev);
    // Closes the window as the framework would after the modal loop.
    void CloseAndDestroy();
    void RunFor(std::chrono::nanoseconds span);
    // Waits (up to a generous bound) until the worker has dealt with every
    // queued statement.
    bool WaitForDatabase();

    const ui::ListRows& List() const;
    std::vector<std::string> Row(int row) const;
    std::vector<std::string> LibraryCalls(std::string_view prefix) const;
    std::string DatabasePath() const;
    // Rows of a query on the program directory's database, columns joined by '|'.
    std::vector<std::string> Query(const std::string& sql) const;

    testsupport::TempProgramDir home;
    testsupport::ManualClock clock;
    ui::headless::HeadlessApplication application;
    // The service's own lines (start, stop, failure) logged so far; the
    // worker's notes, which come from its thread at any time, are left out.
    std::vector<std::string> ServiceLog() const;
    void ClearLog();

    mutable std::mutex logMutex;
    std::vector<std::string> logLines;  // guarded by logMutex
    std::unique_ptr<TestServerDlg> dlg;
    ui::headless::HeadlessHost* host = nullptr;
};

std::string Handle(std::uint32_t handle);

}  // namespace apptest
