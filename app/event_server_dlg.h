#pragma once
// The main dialog: the operator's console (settings fields, channel boxes,
// the start/stop button, the device list) and the owner of all service
// state: the device-library instance, one DeviceRecord per list row, the
// database connection, the statement queue and the database worker.
//
// Threads: every handler runs on the window thread, the device library's
// notifications included (they arrive as posted WM_DEVICE_NOTIFY messages),
// so the list, the records and the scratch buffer take no lock. The worker
// thread shares the queue (which has its own lock) and the connection, which
// the window thread touches only before the worker starts and after it has
// been joined.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/metrics_server.h"
#include "app/record_retention.h"
#include "app/service_monitor.h"
#include "app/service_status.h"
#include "db/command_queue.h"
#include "db/db_connection.h"
#include "db/db_worker.h"
#include "db/dead_letters.h"
#include "db/storage_settings.h"
#include "device/alarm_recording.h"
#include "device/device_record.h"
#include "device/device_text.h"
#include "ui/dialog.h"
#include "vardoappcore/api/vardo_app_acks.h"
#include "vardoappcore/api/vardo_app_core.h"

namespace app {
// The statement journal's folder: journal/ in the program directory.
std::filesystem::path JournalDir();
// Posted by the window to itself behind a run of notifications: the
// journal's writer is woken once for the statements they queued.
inline constexpr UINT WM_WAKE_JOURNAL = WM_USER + 0x200;
}  // namespace app

class CMyVardoEventServerDlg : public CDialog {
public:
    using LogSink = std::function<void(std::string_view line)>;

    CMyVardoEventServerDlg();
    ~CMyVardoEventServerDlg() override;

    BOOL DestroyWindow() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnSysCommand(UINT nID, LPARAM lParam) override;
    void OnTimer(UINT_PTR nIDEvent) override;

    void StopService();

    LRESULT OnDeviceNotify(WPARAM wParam, LPARAM lParam);
    void NotifyDevice(WPARAM wParam, HVARDODEV hDev);
    void OnDeviceOnline(HVARDODEV hDev);
    void OnDeviceGps(HVARDODEV hDev);
    void OnDeviceOffline(HVARDODEV hDev);
    void OnDeviceAlarm(HVARDODEV hDev);

    // One line per start, stop and failed start (and the worker's notes),
    // passwords masked. Set before the window opens; may be called from the
    // worker thread.
    void SetLogSink(LogSink sink);
    void SetWorkerOptions(const db::WorkerOptions& options) { m_worker.SetOptions(options); }
    // A start whose database cannot be opened tries again by itself (1 s,
    // doubling to 30 s), with a log line each time, instead of showing the
    // box: for a service that boots before its database. Set before the
    // window opens.
    void SetWaitForDatabase(bool wait) { m_bWaitForDatabase = wait; }
    // Called once per start when the center refuses the login for good.
    void SetOnLoginRefused(app::ServiceMonitor::RefusedAction action) {
        m_monitor.SetOnRefused(std::move(action));
    }

    // For main and tests.
    bool IsServiceStarted() const { return m_bServiceStarted; }
    HVARDOAPP GetVardoApp() const { return m_hVardoApp; }
    const std::vector<device::DeviceRecord>& GetDevices() const { return m_devices; }
    // Waiting, and taken by the worker but not yet committed.
    std::size_t PendingStatements() const { return m_cmdQueue.Pending(); }
    db::WorkerCounters GetWorkerCounters() const { return m_worker.Counters(); }
    // The last start was refused for its settings (a port that is no port):
    // starting again with the same Config.ini would be refused again.
    bool StartRefusedBySettings() const { return m_bSettingsRefused; }
    // Whether alarms record: not when the UDP port is 0 (no media).
    bool AlarmRecordingOn() const { return !m_bMediaOff; }
    // The status line under the list, as last shown.
    const std::string& StatusText() const { return m_monitor.Line(); }
    // The port the metrics endpoint listens on; 0 when there is none.
    int MetricsPort() const { return m_metrics ? m_metrics->Port() : 0; }
    app::ServiceStatus CollectStatus() const;
    // Files of the recordings that run now.
    std::vector<std::string> ActiveRecordingFiles() const;

protected:
    // Starts the database worker; a seam for tests of a failed start.
    virtual bool StartWorker();
    // Opens the statement journal of the program directory and hands it to
    // the queue (when Config.ini keeps it on); false, with `error` set, when
    // it cannot be used.
    bool OpenJournal(std::string& error);
    // Hands a statement to the worker's queue; a seam for tests that read
    // the statements as they are built.
    virtual void QueueStatement(db::SqlCommand command);

private:
    // The row of `hDev` when its user data names a row that belongs to it;
    // -1 for a device that has no row (it never came online since the
    // service started, or its user data is stale).
    int RowOf(HVARDODEV hDev) const;
    // The row a device coming online again may take back: its own row, under
    // the same name and offline (recording or not); -1 when there is none.
    int ReusableRowOf(HVARDODEV hDev, const std::string& strName) const;
    // Queues the device's online event unless it has been queued since its
    // last offline event.
    // The time of the message in hand: the center's where it dates its
    // messages (noted in the record), else this server's clock.
    std::chrono::system_clock::time_point EventTime(HVARDODEV hDev, int item,
                                                    device::DeviceRecord& record);
    void ReportOnline(device::DeviceRecord& record, std::chrono::system_clock::time_point now);
    // Shows what the device reports now (vehicle, driver, GPS sentence) in
    // its row and queues the fix.
    void ShowDeviceInfo(int nRow, HVARDODEV hDev, std::chrono::system_clock::time_point now);
    // The id of a statement made from the notification in hand: derived from
    // the center's number of its event when it has one, so that the event
    // received again after a restart (or named by the login list) is
    // stored once; a fresh one otherwise.
    db::StatementId EventStatementId(db::StatementId::EventPart part) const;
    // The event in hand is handled: once the journal has synced what it
    // queued, the library may acknowledge it.
    void NoteEventHandled();
    // Tells the library how far the journal has synced the handled events.
    void ReportDurableEvents();
    // The same with the journal's synced mark read already.
    void ReportDurableEvents(std::uint64_t syncedUpTo);
    void EnableSettingFields(BOOL bEnable);
    std::int64_t NowSeconds() const;
    void Log(const std::string& line) const;
    // Reads the settings of this start's extras (status interval, retention)
    // and refuses ports that are no port; false with the box shown.
    bool CheckStartSettings();
    // A database that cannot be opened at the start: with --wait-for-database
    // the start goes on (true); otherwise it fails with the box shown.
    bool StartFailedOnDatabase();
    void UpdateStatus();
    // At a clean stop: an offline event for every device still online, given
    // to the worker before it stops.
    void QueueOfflineEvents();
    // Queues an offline event for every device reported online; how many.
    std::size_t MarkDevicesOffline(std::chrono::system_clock::time_point now);
    // Past the grace period without the center, the devices are offline:
    // nothing can be known of them until the link is back.
    void CheckCenterLink();
    void ApplyRetention();
    // The metrics endpoint, when EventServer_MetricsPort names one.
    void StartMetrics();
    void PublishMetrics(const app::ServiceStatus& status);

    HICON m_hIcon;
    CListCtrl m_listDevices;
    HVARDOAPP m_hVardoApp = 0;
    std::vector<device::DeviceRecord> m_devices;
    CMyDbConnection m_db;
    std::string m_strConnect;
    CMyCommandQueue m_cmdQueue;
    char m_szDevInfo[device::kDevInfoSize];
    // The center's number of the notification being handled.
    VARDO_EVENT_NUMBER m_event{};
    // Handled events waiting for the journal's sync: the journal seq of the
    // last statement queued up to and with each, and its number; oldest
    // first.
    struct PendingAck {
        std::uint64_t journalSeq = 0;
        VARDO_EVENT_NUMBER event;
    };
    std::deque<PendingAck> m_pendingAcks;
    // A WM_WAKE_JOURNAL is on its way: statements queued meanwhile leave the
    // journal's writer asleep until it comes.
    bool m_journalWakePosted = false;
    device::RecordingPaths m_recordingPaths;
    bool m_bServiceStarted = false;
    db::WorkerCounters m_countersAtStart;  // the stop line counts this run only
    db::StorageSettings m_storage;         // read from Config.ini with the window
    LogSink m_log;
    std::string m_strUser;
    std::chrono::seconds m_centerLostGrace{60};  // EventServer_CenterLostGraceSeconds
    // When the center link was last seen lost (none while logged in), and
    // whether its devices were marked offline for it.
    std::optional<std::chrono::system_clock::time_point> m_centerLostAt;
    bool m_devicesMarkedOffline = false;
    app::ServiceMonitor m_monitor;
    bool m_bWaitForDatabase = false;
    bool m_bSettingsRefused = false;
    // This start's UDP port is 0: the center sends no media, alarms record nothing.
    bool m_bMediaOff = false;
    // Whether a clean stop marks the devices still online offline
    // (EventServer_OfflineAtStop, read at each start).
    bool m_bOfflineAtStop = true;
    // Unix seconds of a start without the database (0: it opened): shown as
    // down until the worker has committed something.
    std::int64_t m_startedWithoutDatabase = 0;
    // The file each recording channel writes, for the retention that must
    // never delete one being written.
    std::map<HVARDOCHN, std::string> m_recordingFiles;
    std::int64_t m_nextRetention = 0;
    app::RetentionPolicy m_retention;
    std::string m_lastRetentionProblem;  // said once until it changes
    std::unique_ptr<app::MetricsServer> m_metrics;
    std::uint64_t m_commitsSeen = 0;
    std::optional<std::chrono::steady_clock::time_point> m_lastCommitAt;
    // Statements the database kept timing out on, beside the journal.
    db::CDeadLetters m_deadLetters{app::JournalDir()};
    // Last, so that it is destroyed first: its destructor joins the thread
    // while the queue and the connection it uses still exist.
    CDbWorker m_worker;
};
