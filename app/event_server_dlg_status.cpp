// The main dialog's watch over its own service: the checks at a start, the
// wait for a database that is not up yet, the status line, the offline
// events of a clean stop and the retention of recordings.

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "app/service_log.h"
#include "app/service_timers.h"
#include "app/start_checks.h"
#include "app/ui_texts.h"
#include "settings/config.h"
#include "settings/program_dir.h"
#include "text/password_mask.h"

bool CMyVardoEventServerDlg::CheckStartSettings() {
    // A port that is no port would give a service that "started" and never
    // reaches the center. A UDP port of 0 is a site that takes no media.
    // The log line stays English for whoever reads the log; the box speaks
    // the operator's language.
    m_bSettingsRefused = false;
    const std::string tcp = GetDlgItemText(IDC_TCP_PORT);
    const std::string udp = GetDlgItemText(IDC_UDP_PORT);
    std::string problem = app::PortProblem("TCP Port", tcp);
    std::string box;
    if (!problem.empty()) {
        box = app::FillText(
            app::Tr("MessageBadTcpPort", "TCP Port '{}' is no port number (1-65535)"), {tcp});
    } else if (problem = app::MediaPortProblem("UDP Port", udp); !problem.empty()) {
        box = app::FillText(
            app::Tr("MessageBadUdpPort", "UDP Port '{}' is no port number (0-65535, 0: no media)"),
            {udp});
    }
    if (!problem.empty()) {
        m_bSettingsRefused = true;
        Log(app::StartFailedLine(problem));
        MessageBox(box, {}, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }

    std::string warning;
    m_bOfflineAtStop = app::OfflineAtStop(ReadConfigString("EventServer_OfflineAtStop"),
                                          GetDlgItemText(IDC_CONNECT_STRING), warning);
    if (!warning.empty()) {
        Log("warning: " + warning);
        warning.clear();
    }
    m_monitor.SetStatusInterval(
        app::ParseStatusInterval(ReadConfigString("EventServer_StatusInterval"), warning));
    if (!warning.empty()) {
        Log("warning: " + warning);
    }
    std::vector<std::string> warnings;
    m_retention =
        app::ReadRetentionPolicy(ReadConfigString("EventServer_RecordKeepDays"),
                                 ReadConfigString("EventServer_RecordMinFreeMB"), warnings);
    for (const std::string& line : warnings) {
        Log("warning: " + line);
    }
    m_nextRetention = 0;
    m_lastRetentionProblem.clear();
    return true;
}

bool CMyVardoEventServerDlg::StartFailedOnDatabase() {
    const std::string message = "can't connect database:" + text::MaskPasswords(m_strConnect);
    const std::string reason = app::OneLine(text::MaskPasswords(m_db.LastError()));
    if (m_bWaitForDatabase) {
        // The center's reports are received meanwhile: the worker opens the
        // database when it can, and what waits for it is kept until then.
        Log("database not reachable yet (" + reason + "); logging in now, statements wait " +
            (m_storage.journal ? "in the journal" : "in memory") +
            " until the database can be opened (waiting for the database)");
        return true;
    }
    Log(app::StartFailedLine(message, reason));
    // The driver's reason on a line of its own: the operator can tell a
    // wrong password from a server that is down.
    const std::string box = app::FillText(app::Tr("MessageNoDatabase", "can't connect database:{}"),
                                          {text::MaskPasswords(m_strConnect)});
    MessageBox(reason.empty() ? box : box + "\n" + reason, {}, MB_OK | MB_ICONEXCLAMATION);
    return false;
}

app::ServiceStatus CMyVardoEventServerDlg::CollectStatus() const {
    app::ServiceStatus status;
    status.started = m_bServiceStarted;
    if (!m_bServiceStarted) {
        return status;
    }
    char reason[512] = {};
    status.centerState = MyVardoApp_GetCenterState(m_hVardoApp, reason, sizeof reason);
    status.centerReason = reason;
    status.user = m_strUser;
    status.devicesOnline = static_cast<std::size_t>(
        std::count_if(m_devices.begin(), m_devices.end(),
                      [](const device::DeviceRecord& record) { return record.onlineReported; }));
    const db::WorkerCounters c = db::CountedSince(m_countersAtStart, m_worker.Counters());
    status.databaseDownSince = m_worker.DownSince();
    if (status.databaseDownSince == 0 && c.commits == 0) {
        status.databaseDownSince = m_startedWithoutDatabase;
    }
    status.databaseDiskFull = m_worker.DiskFull();
    status.waiting = c.pending;
    status.stored = c.executed;
    status.dropped = c.rejected + c.dropped;
    status.setAside = c.setAside;
    for (const device::DeviceRecord& record : m_devices) {
        status.recordings += static_cast<std::size_t>(
            std::count_if(record.recordStart.begin(), record.recordStart.end(),
                          [](std::int64_t start) { return start != 0; }));
    }
    status.emptyRecordings = MyVardoApp_GetEmptyRecordings(m_hVardoApp);
    status.warning = app::DurationWarning(GetDlgItemText(IDC_RECORD_DURATION));
    return status;
}

void CMyVardoEventServerDlg::StartMetrics() {
    std::string warning;
    const int port = app::ParseMetricsPort(ReadConfigString("EventServer_MetricsPort"), warning);
    if (!warning.empty()) {
        Log("warning: " + warning);
    }
    if (port == 0) {
        return;
    }
    m_metrics = std::make_unique<app::MetricsServer>();
    std::string problem;
    if (!m_metrics->Start(port, problem)) {
        Log(problem);
        m_metrics.reset();
        return;
    }
    Log("metrics on http://127.0.0.1:" + std::to_string(m_metrics->Port()) + "/metrics");
}

void CMyVardoEventServerDlg::PublishMetrics(const app::ServiceStatus& status) {
    const db::WorkerCounters c = m_worker.Counters();
    const auto now = GetClock().SteadyNow();
    if (c.commits != m_commitsSeen) {
        m_commitsSeen = c.commits;
        m_lastCommitAt = now;
    }
    if (!m_metrics) {
        return;
    }
    app::MetricsSnapshot m;
    m.started = status.started;
    m.centerLoggedIn = status.started && status.centerState == CENTER_LOGGED_IN;
    m.databaseUp = status.databaseDownSince == 0;
    m.counters = c;
    m.devicesOnline = status.devicesOnline;
    m.recordings = status.recordings;
    m.emptyRecordings = status.emptyRecordings;
    if (m_lastCommitAt) {
        m.secondsSinceCommit = std::chrono::duration<double>(now - *m_lastCommitAt).count();
    }
    m_metrics->Publish(m);
}

void CMyVardoEventServerDlg::UpdateStatus() {
    const app::ServiceStatus status = CollectStatus();
    PublishMetrics(status);
    const std::string line = m_monitor.Update(status, GetClock().SteadyNow());
    if (GetDlgItem(IDC_STATUS_LINE).Exists()) {
        SetDlgItemText(IDC_STATUS_LINE, line);
    }
}

std::size_t CMyVardoEventServerDlg::MarkDevicesOffline(std::chrono::system_clock::time_point now) {
    std::size_t queued = 0;
    for (device::DeviceRecord& record : m_devices) {
        if (record.onlineReported) {
            // A notification from it later reports it online again.
            record.onlineReported = false;
            // On the center's clock when the center dated the device's events.
            auto at = now;
            if (record.lastCenterAt != std::chrono::system_clock::time_point{}) {
                at = record.lastCenterAt + std::chrono::milliseconds(1);
                record.lastCenterAt = at;
            }
            QueueStatement(db::MakeOfflineEvent(record.name, at));
            ++queued;
        }
    }
    return queued;
}

void CMyVardoEventServerDlg::CheckCenterLink() {
    if (!m_bServiceStarted) {
        return;
    }
    if (MyVardoApp_GetCenterState(m_hVardoApp, nullptr, 0) == CENTER_LOGGED_IN) {
        if (m_devicesMarkedOffline) {
            Log("center link back: devices are reported online as they report again");
        }
        m_centerLostAt.reset();
        m_devicesMarkedOffline = false;
        return;
    }
    const auto now = GetClock().WallNow();
    if (!m_centerLostAt) {
        m_centerLostAt = now;
    }
    if (m_devicesMarkedOffline || now - *m_centerLostAt < m_centerLostGrace) {
        return;
    }
    m_devicesMarkedOffline = true;
    const std::size_t marked = MarkDevicesOffline(now);
    Log("center link lost for " + std::to_string(m_centerLostGrace.count()) +
        " s (EventServer_CenterLostGraceSeconds): " + std::to_string(marked) +
        " devices marked offline");
}

void CMyVardoEventServerDlg::QueueOfflineEvents() {
    if (!m_bServiceStarted || !m_bOfflineAtStop) {
        return;
    }
    const std::size_t queued = MarkDevicesOffline(GetClock().WallNow());
    if (queued == 0) {
        return;
    }
    Log("stopping: " + std::to_string(queued) + " devices still online marked offline");
    // Give the worker a moment to store them while the database takes
    // statements; a database that is down or stuck keeps them queued as any
    // other statement at a stop.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(app::kStopDrainMs);
    auto lastProgress = Clock::now();
    std::uint64_t executed = m_worker.Counters().executed;
    while (m_worker.DownSince() == 0 && m_cmdQueue.Pending() > 0 && Clock::now() < deadline &&
           Clock::now() - lastProgress < std::chrono::milliseconds(app::kStopStallMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (const std::uint64_t now = m_worker.Counters().executed; now != executed) {
            executed = now;
            lastProgress = Clock::now();
        }
    }
}

std::vector<std::string> CMyVardoEventServerDlg::ActiveRecordingFiles() const {
    std::vector<std::string> files;
    for (const auto& [chn, path] : m_recordingFiles) {
        if (MyVardoChn_IsRecording(chn) != 0) {
            files.push_back(path);
        }
    }
    return files;
}

void CMyVardoEventServerDlg::ApplyRetention() {
    if (!m_bServiceStarted || !m_retention.Active()) {
        return;
    }
    const std::int64_t now = NowSeconds();
    if (now < m_nextRetention) {
        return;
    }
    m_nextRetention = now + app::kRetentionPeriodSeconds;
    // Everything that may still be written: running recordings, and the
    // files of channels whose recording the library has not ended yet.
    std::set<std::string> active;
    for (const std::string& file : ActiveRecordingFiles()) {
        active.insert(file);
    }
    for (const device::DeviceRecord& record : m_devices) {
        for (std::size_t i = 0; i < record.channels.size(); ++i) {
            if (record.recordStart[i] != 0) {
                if (const auto it = m_recordingFiles.find(record.channels[i]);
                    it != m_recordingFiles.end()) {
                    active.insert(it->second);
                }
            }
        }
    }
    const app::RetentionOutcome outcome = app::ApplyRetentionPolicy(
        g_strModuleDir + "EventRecord", m_retention, GetClock().WallNow(), active);
    for (const std::string& line : outcome.lines) {
        if (outcome.deleted == 0 && line == m_lastRetentionProblem) {
            continue;
        }
        Log(line);
        if (outcome.deleted == 0) {
            m_lastRetentionProblem = line;
        }
    }
}
