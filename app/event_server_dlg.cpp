#include "app/event_server_dlg.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "app/about_dlg.h"
#include "app/language_setup.h"
#include "app/res/resource.h"
#include "app/service_log.h"
#include "app/service_timers.h"
#include "app/setting_fields.h"
#include "app/start_checks.h"
#include "app/ui_texts.h"
#include "db/fix_upkeep.h"
#include "db/statement_journal.h"
#include "gps/rmc_parser.h"
#include "settings/config.h"
#include "settings/language.h"
#include "settings/program_dir.h"
#include "text/password_mask.h"
#include "text/utf8.h"

namespace {

using app::kOpenTimeoutSeconds;
using app::kRecordTimer;
using app::kRecordTimerPeriodMs;
using app::kStopWaitMs;

constexpr std::string_view kOfflineText = "Device is Offline";

struct ColumnSpec {
    const char* heading;  // null ends the table
    const char* textKey;  // in the language file
    int width;            // pixels
};

constexpr ColumnSpec kColumns[] = {
    {"DeviceID", "ColumnDeviceID", 80},   {"Channel", "ColumnChannel", 60},
    {"VehicleID", "ColumnVehicleID", 80}, {"DriverName", "ColumnDriverName", 80},
    {"GPSInfo", "ColumnGPSInfo", 420},    {nullptr, nullptr, 0},
};

enum Column { kColName = 0, kColChannel = 1, kColVehicle = 2, kColDriver = 3, kColGps = 4 };

// The check box of channel number n is kChannelBoxes[n - 1].
constexpr std::array<int, device::kMaxChannels> kChannelBoxes{IDC_CHN01, IDC_CHN02, IDC_CHN03,
                                                              IDC_CHN04};

}  // namespace

CMyVardoEventServerDlg::CMyVardoEventServerDlg()
    : CDialog(IDD_VARDOEVENTSERVER_DIALOG),
      m_hIcon(IDR_MAINFRAME),
      m_szDevInfo{},
      m_worker(m_cmdQueue, m_db) {}

CMyVardoEventServerDlg::~CMyVardoEventServerDlg() {
    // Normally DestroyWindow has done this. A dialog torn down with its
    // window still open must not leave the library posting to it.
    if (m_hVardoApp != 0) {
        MyVardoApp_Destruct(m_hVardoApp);
        m_hVardoApp = 0;
    }
    m_worker.Stop(kStopWaitMs);
}

std::filesystem::path app::JournalDir() {
    return std::filesystem::path(g_strModuleDir.empty() ? "." : g_strModuleDir) / "journal";
}

void CMyVardoEventServerDlg::SetLogSink(LogSink sink) {
    m_log = std::move(sink);
    m_monitor.SetLog([this](const std::string& line) { Log(line); });
    if (m_log) {
        m_worker.SetLogSink(
            // A driver's message may run over several lines: one log line each.
            [log = m_log](const std::string& note) {
                log("database: " + app::OneLine(text::MaskPasswords(note)));
            });
    } else {
        m_worker.SetLogSink({});
    }
}

void CMyVardoEventServerDlg::Log(const std::string& line) const {
    if (m_log) {
        m_log(line);
    }
}

BOOL CMyVardoEventServerDlg::DestroyWindow() {
    MyVardoApp_Destruct(m_hVardoApp);
    m_hVardoApp = 0;
    return CDialog::DestroyWindow();
}

// The message map.
LRESULT CMyVardoEventServerDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICE_NOTIFY) {
        return OnDeviceNotify(wParam, lParam);
    }
    if (message == app::WM_WAKE_JOURNAL) {
        m_journalWakePosted = false;
        m_cmdQueue.WakeJournal();
        return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

void CMyVardoEventServerDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_DEVICE_LIST, m_listDevices);
}

BOOL CMyVardoEventServerDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    m_hVardoApp = MyVardoApp_Construct(GetSafeHwnd(), WM_DEVICE_NOTIFY);
    if (m_hVardoApp == 0) {
        return FALSE;
    }

    if (CMenu* pSysMenu = GetSystemMenu(FALSE)) {
        const std::string strAboutMenu = ui::LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.empty()) {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    SelectLanguageAndSkin();
    app::LoadLanguageTexts([this](const std::string& line) { Log(line); });

    for (int i = 0; kColumns[i].heading != nullptr; ++i) {
        m_listDevices.InsertColumn(i, app::Tr(kColumns[i].textKey, kColumns[i].heading),
                                   LVCFMT_LEFT, kColumns[i].width);
    }
    m_listDevices.SetExtendedStyle(m_listDevices.GetExtendedStyle() | LVS_EX_FULLROWSELECT);

    for (const SettingBinding* binding = g_settingBindings; binding->nID != 0; ++binding) {
        SetDlgItemText(binding->nID, ReadConfigString(binding->pszKey, binding->pszDefault));
    }

    CheckDlgButton(IDC_CHN01, BST_CHECKED);

    // Not dialog fields: how many waiting statements share a commit.
    db::WorkerOptions workerOptions = m_worker.Options();
    const std::string groupWarning =
        db::ApplyGroupSettings(ReadConfigString("EventServer_GroupCommit"),
                               ReadConfigString("EventServer_GroupSize"), workerOptions);
    const std::string attemptsWarning = db::ApplyStatementAttempts(
        ReadConfigString("EventServer_StatementAttempts"), workerOptions);
    const std::string retentionWarning = db::ReadFixRetentionDays(
        ReadConfigString("EventServer_FixRetentionDays"), workerOptions.fixRetentionDays);
    m_worker.SetOptions(workerOptions);
    m_worker.SetDeadLetterSink(
        [this](const db::SqlCommand& command, const std::string& error, std::string& why) {
            return m_deadLetters.Add(command, error, why);
        });
    if (!groupWarning.empty()) {
        Log(groupWarning);
    }
    if (!attemptsWarning.empty()) {
        Log(attemptsWarning);
    }
    const std::string graceWarning = app::ParseCenterLostGrace(
        ReadConfigString("EventServer_CenterLostGraceSeconds"), m_centerLostGrace);
    if (!graceWarning.empty()) {
        Log(graceWarning);
    }
    if (!retentionWarning.empty()) {
        Log(retentionWarning);
    }
    const std::string storageWarning = db::ReadStorageSettings(
        ReadConfigString("EventServer_Journal"), ReadConfigString("EventServer_JournalSyncMs"),
        ReadConfigString("EventServer_JournalMaxMB"), ReadConfigString("EventServer_QueueLimit"),
        m_storage);
    m_cmdQueue.SetMaxSize(m_storage.queueLimit);
    if (!storageWarning.empty()) {
        Log(storageWarning);
    }

    SetTimer(kRecordTimer, kRecordTimerPeriodMs, nullptr);
    StartMetrics();
    UpdateStatus();
    return TRUE;
}

void CMyVardoEventServerDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
        return;
    }
    CDialog::OnSysCommand(nID, lParam);
}

void CMyVardoEventServerDlg::OnCancel() {
    StopService();
    CDialog::OnCancel();
}

bool CMyVardoEventServerDlg::StartWorker() {
    return m_worker.Start();
}

bool CMyVardoEventServerDlg::OpenJournal(std::string& error) {
    if (!m_storage.journal) {
        return true;
    }
    db::JournalOptions options;
    options.dir = app::JournalDir();
    options.target = text::MaskPasswords(m_strConnect);
    options.syncEvery = m_storage.syncEvery;
    options.maxBytes = m_storage.journalMaxMB << 20;
    auto journal = db::CStatementJournal::Open(
        options,
        [log = m_log](const std::string& line) {
            if (log) {
                log(line);
            }
        },
        error);
    if (!journal) {
        return false;
    }
    m_cmdQueue.AttachJournal(std::move(journal));
    return true;
}

void CMyVardoEventServerDlg::QueueStatement(db::SqlCommand command) {
    // Woken for every statement, the journal's writer wrote each record
    // alone and slept again, and every wake cost this thread a system call
    // and the scheduler's work. The notifications of one pass of the
    // library's thread come posted together: a message posted behind them
    // wakes the writer once for all their statements, after them.
    if (!m_journalWakePosted) {
        m_journalWakePosted = PostMessage(app::WM_WAKE_JOURNAL) != FALSE;
    }
    m_cmdQueue.Push(std::move(command),
                    m_journalWakePosted ? db::JournalWake::Later : db::JournalWake::Now);
}

void CMyVardoEventServerDlg::EnableSettingFields(BOOL bEnable) {
    for (const SettingBinding* binding = g_settingBindings; binding->nID != 0; ++binding) {
        GetDlgItem(binding->nID).EnableWindow(bEnable);
    }
}

void CMyVardoEventServerDlg::OnOK() {
    // A service that was started stops, whether or not the library has
    // become active since: the operator may be correcting a login that
    // never succeeded, and a second worker must never start.
    if (MyVardoApp_IsActive(m_hVardoApp) != 0 || m_bServiceStarted) {
        StopService();
        return;
    }

    if (!CheckStartSettings()) {
        return;
    }
    m_strConnect = GetDlgItemText(IDC_CONNECT_STRING);
    m_db.SetBaseDirectory(g_strModuleDir);
    m_startedWithoutDatabase = 0;
    if (!m_db.Open(m_strConnect, kOpenTimeoutSeconds)) {
        if (!StartFailedOnDatabase()) {
            return;
        }
        m_startedWithoutDatabase = std::max<std::int64_t>(1, NowSeconds());
    }

    // Counted from before the worker runs: statements of an earlier run that
    // it commits at once belong to this run's counts.
    m_countersAtStart = m_worker.Counters();
    std::string journalError;
    if (!OpenJournal(journalError)) {
        m_db.Close();
        const std::string message = "can't open the statement journal:" + journalError;
        Log(app::StartFailedLine(message, "EventServer_Journal=0 runs without it"));
        MessageBox(app::FillText(app::Tr("MessageNoJournal", "can't open the statement journal:{}"),
                                 {journalError}),
                   {}, MB_OK | MB_ICONEXCLAMATION);
        return;
    }

    m_worker.SetConnectionString(m_strConnect);
    if (!StartWorker()) {
        // Without a worker nothing would use the connection; an open one
        // would also make the next start ignore a corrected field 1001.
        m_worker.Stop(kStopWaitMs);
        m_db.Close();
        m_cmdQueue.DetachJournal();
        const std::string message = "can't create thread!";
        Log(app::StartFailedLine(message));
        MessageBox(app::Tr("MessageNoThread", message), {}, MB_OK | MB_ICONEXCLAMATION);
        return;
    }

    const std::string strAddress = GetDlgItemText(IDC_CENTER_SERVER);
    // Checked by CheckStartSettings.
    const int nUdpPort = app::ParseMediaPort(GetDlgItemText(IDC_UDP_PORT)).value_or(0);
    const int nTcpPort = app::ParsePort(GetDlgItemText(IDC_TCP_PORT)).value_or(0);
    MyVardoApp_SetCenterServer(m_hVardoApp, strAddress.c_str(), nTcpPort, nUdpPort);
    m_bMediaOff = nUdpPort == 0;
    if (nUdpPort == 0) {
        Log("no media: alarm recording off");
    }

    const std::string strUser = GetDlgItemText(IDC_USER_NAME);
    const std::string strPassword = GetDlgItemText(IDC_PASSWORD);
    // An event is acknowledged to the center once its statements are in the
    // synced journal, not when it reaches this window: a crash in between
    // then loses nothing, the center sends it again.
    m_pendingAcks.clear();
    MyVardoApp_AckWhenDurable(m_hVardoApp);
    MyVardoApp_Login(m_hVardoApp, strUser.c_str(), strPassword.c_str());

    EnableSettingFields(FALSE);
    m_bServiceStarted = true;
    m_centerLostAt.reset();
    m_devicesMarkedOffline = false;
    m_strUser = strUser;
    m_monitor.Reset();
    Log(app::StartedLine({m_strConnect, strAddress, nTcpPort, nUdpPort, strUser}));
    UpdateStatus();
}

void CMyVardoEventServerDlg::StopService() {
    QueueOfflineEvents();
    m_worker.Stop(kStopWaitMs);
    m_devices.clear();
    m_recordingFiles.clear();
    MyVardoApp_Logout(m_hVardoApp);
    m_listDevices.DeleteAllItems();
    m_db.Close();
    // With the journal, what waits stays there for the next start.
    const bool journal = m_cmdQueue.HasJournal();
    const std::size_t waiting = m_cmdQueue.Clear();
    EnableSettingFields(TRUE);

    if (m_bServiceStarted) {
        m_bServiceStarted = false;
        Log(app::StoppedLine(
            {db::CountedSince(m_countersAtStart, m_worker.Counters()), journal, waiting}));
    }
    UpdateStatus();
}

LRESULT CMyVardoEventServerDlg::OnDeviceNotify(WPARAM wParam, LPARAM lParam) {
    const auto hDev = static_cast<HVARDODEV>(lParam);
    // Taken for every notification, so that the next one finds its own.
    m_event = {};
    MyVardoDev_TakeEventNumber(hDev, &m_event);
    if (MyVardoApp_IsActive(m_hVardoApp) == 0) {
        return 1;
    }
    NotifyDevice(wParam, hDev);
    NoteEventHandled();
    m_event = {};
    return 0;
}

void CMyVardoEventServerDlg::NotifyDevice(WPARAM wParam, HVARDODEV hDev) {
    if (wParam == NOTIFY_DEVICE_ONLINE) {
        OnDeviceOnline(hDev);
    } else if (wParam == NOTIFY_DEVICE_GPS) {
        OnDeviceGps(hDev);
    } else if (wParam == NOTIFY_DEVICE_OFFLINE) {
        OnDeviceOffline(hDev);
    } else if (wParam >= NOTIFY_ALARM_FIRST && wParam <= NOTIFY_ALARM_LAST) {
        OnDeviceAlarm(hDev);
    }
}

db::StatementId CMyVardoEventServerDlg::EventStatementId(db::StatementId::EventPart part) const {
    if (m_event.epoch == 0 || m_event.seq == 0) {
        return db::StatementId::New();
    }
    return db::StatementId::ForEvent(m_event.epoch, m_event.seq, part);
}

void CMyVardoEventServerDlg::NoteEventHandled() {
    // A listed device names an old event: the events before it may still
    // come, so it marks no point up to which everything is kept.
    if (m_event.epoch == 0 || m_event.seq == 0 || (m_event.flags & EVENT_NUMBER_LISTED) != 0) {
        return;
    }
    // While the journal's disk refuses records, nothing syncs: past the
    // bound the newest event takes the last place, which only makes the
    // ones it replaces wait for its sync.
    constexpr std::size_t kMaxPendingAcks = 65536;
    const CMyCommandQueue::JournalProgress progress = m_cmdQueue.GetJournalProgress();
    const PendingAck handled{progress.lastPushed, m_event};
    if (m_pendingAcks.size() >= kMaxPendingAcks) {
        m_pendingAcks.back() = handled;
    } else {
        m_pendingAcks.push_back(handled);
    }
    ReportDurableEvents(progress.syncedUpTo);
}

void CMyVardoEventServerDlg::ReportDurableEvents() {
    ReportDurableEvents(m_cmdQueue.GetJournalProgress().syncedUpTo);
}

void CMyVardoEventServerDlg::ReportDurableEvents(std::uint64_t syncedUpTo) {
    std::optional<VARDO_EVENT_NUMBER> durable;
    while (!m_pendingAcks.empty() && m_pendingAcks.front().journalSeq <= syncedUpTo) {
        durable = m_pendingAcks.front().event;
        m_pendingAcks.pop_front();
    }
    if (durable) {
        MyVardoApp_SetDurable(m_hVardoApp, durable->epoch, durable->seq);
    }
}

int CMyVardoEventServerDlg::RowOf(HVARDODEV hDev) const {
    const std::uint32_t row = MyVardoDev_GetUserData(hDev);
    if (row >= m_devices.size() || m_devices[row].device != hDev ||
        static_cast<int>(row) >= m_listDevices.GetItemCount()) {
        return -1;
    }
    return static_cast<int>(row);
}

std::int64_t CMyVardoEventServerDlg::NowSeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(GetClock().WallNow().time_since_epoch())
        .count();
}

int CMyVardoEventServerDlg::ReusableRowOf(HVARDODEV hDev, const std::string& strName) const {
    const int nRow = RowOf(hDev);
    if (nRow < 0) {
        return -1;
    }
    const device::DeviceRecord& record = m_devices[static_cast<std::size_t>(nRow)];
    if (record.name != strName || record.onlineReported) {
        return -1;
    }
    return nRow;
}

void CMyVardoEventServerDlg::OnDeviceOnline(HVARDODEV hDev) {
    const std::string strName = device::ReadDevInfoText(hDev, DEVINFO_NAME, m_szDevInfo);

    // A device that comes back takes back its own offline row, so devices
    // that come and go do not grow the list without end; a vehicle that
    // loses its link during an alarm is no exception (see below).
    int nRow = ReusableRowOf(hDev, strName);
    if (nRow < 0) {
        // Rows and records grow together, so a row's index is its record's.
        nRow = static_cast<int>(m_devices.size());
        m_listDevices.InsertItem(nRow, strName);
        m_devices.emplace_back();
    }
    MyVardoDev_SetUserData(hDev, static_cast<std::uint32_t>(nRow));

    m_listDevices.SetItemText(nRow, kColChannel, std::to_string(device::ReadChannelCount(hDev)));

    device::DeviceRecord record;
    record.device = hDev;
    record.name = strName;
    // The boxes are read only here: a change affects devices that come
    // online later.
    for (int n = 1; n <= device::kMaxChannels; ++n) {
        if (IsDlgButtonChecked(kChannelBoxes[static_cast<std::size_t>(n - 1)]) == BST_CHECKED) {
            record.channels[static_cast<std::size_t>(n - 1)] =
                MyVardoDev_CreateChannel(hDev, n, GetSafeHwnd());
        }
    }
    device::DeviceRecord& stored = m_devices[static_cast<std::size_t>(nRow)];
    // A recording the row still runs keeps its channel and start time, so
    // the timer ends it on time. The library hands a returning device the
    // channels it had, so the handle is the one the device uses now.
    for (std::size_t i = 0; i < stored.recordStart.size(); ++i) {
        if (stored.device == hDev && stored.recordStart[i] != 0) {
            record.channels[i] = stored.channels[i];
            record.recordStart[i] = stored.recordStart[i];
        }
    }
    stored = std::move(record);

    // Dated by the center where it says: event servers sharing a database
    // then agree on which of a device's states is the newest.
    const auto now = EventTime(hDev, DEVINFO_RECEIVED_AT, stored);
    ReportOnline(stored, now);
    ShowDeviceInfo(nRow, hDev, now);
}

void CMyVardoEventServerDlg::OnDeviceGps(HVARDODEV hDev) {
    const int nRow = RowOf(hDev);
    if (nRow < 0) {
        return;
    }
    device::DeviceRecord& record = m_devices[static_cast<std::size_t>(nRow)];
    const auto now = EventTime(hDev, DEVINFO_RECEIVED_AT, record);
    // A fix from a device marked offline, with no online notification in
    // between, means it is back: the database hears so before the fix.
    ReportOnline(record, now);
    ShowDeviceInfo(nRow, hDev, now);
}

std::chrono::system_clock::time_point CMyVardoEventServerDlg::EventTime(
    HVARDODEV hDev, int item, device::DeviceRecord& record) {
    const auto wall = GetClock().WallNow();
    const auto at = device::ReadCenterTime(hDev, item, wall);
    if (at != wall) {
        record.lastCenterAt = std::max(record.lastCenterAt, at);
    }
    return at;
}

void CMyVardoEventServerDlg::ReportOnline(device::DeviceRecord& record,
                                          std::chrono::system_clock::time_point now) {
    if (!record.onlineReported) {
        record.onlineReported = true;
        QueueStatement(db::MakeOnlineEvent(record.name, now,
                                           EventStatementId(db::StatementId::EventPart::Online)));
    }
}

void CMyVardoEventServerDlg::ShowDeviceInfo(int nRow, HVARDODEV hDev,
                                            std::chrono::system_clock::time_point now) {
    m_listDevices.SetItemText(nRow, kColVehicle,
                              device::ReadDevInfoText(hDev, DEVINFO_VEHICLE_ID, m_szDevInfo));
    m_listDevices.SetItemText(nRow, kColDriver,
                              device::ReadDevInfoText(hDev, DEVINFO_DRIVER_NAME, m_szDevInfo));

    // Read last, and once: reading the GPS item moves the device on to the
    // data of its next notification, so the vehicle and driver above belong
    // to this one, and a second read would give the next fix.
    const std::string_view rawGps = device::ReadDevInfoBytes(hDev, DEVINFO_GPS, m_szDevInfo);
    std::string strGps = text::MakeValidUtf8(rawGps);
    db::GpsFix fix;
    // rawGps ends at the NUL the read leaves in the scratch buffer; the
    // checksum is over the bytes as the device sent them, not the repaired
    // text. An empty sentence does not parse either.
    if (!ParseGPRMC(rawGps.data(), &fix.latitude, &fix.longitude, &fix.speed, &fix.course)) {
        strGps.clear();
        fix = {};
    }
    m_listDevices.SetItemText(nRow, kColGps, strGps);

    const device::DeviceRecord& record = m_devices[static_cast<std::size_t>(nRow)];
    // The row has its copy: the statement takes the text itself.
    QueueStatement(db::MakeGpsFix(record.name, fix, std::move(strGps), now,
                                  EventStatementId(db::StatementId::EventPart::Fix)));
}

void CMyVardoEventServerDlg::OnDeviceOffline(HVARDODEV hDev) {
    const int nRow = RowOf(hDev);
    if (nRow < 0) {
        return;
    }
    m_listDevices.SetItemText(nRow, kColGps, app::Tr("DeviceOffline", kOfflineText));
    device::DeviceRecord& record = m_devices[static_cast<std::size_t>(nRow)];
    const auto at = EventTime(hDev, DEVINFO_OFFLINE_AT, record);
    if (record.onlineReported) {
        record.onlineReported = false;
        QueueStatement(db::MakeOfflineEvent(record.name, at,
                                            EventStatementId(db::StatementId::EventPart::Offline)));
    }
    // The row and its record stay; a running recording goes on until the
    // timer ends it.
}

void CMyVardoEventServerDlg::OnDeviceAlarm(HVARDODEV hDev) {
    const int nRow = RowOf(hDev);
    // With no media from the center a recording would only leave an empty file.
    if (nRow < 0 || !AlarmRecordingOn()) {
        return;
    }
    const std::string& strName = m_devices[static_cast<std::size_t>(nRow)].name;
    const auto now = GetClock().WallNow();
    const std::int64_t nowSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    device::StartAlarmRecording(
        m_devices, static_cast<std::size_t>(nRow), nowSeconds, [&](int channel) {
            std::string path = m_recordingPaths.Next(g_strModuleDir, strName, channel, now);
            const HVARDOCHN chn = m_devices[static_cast<std::size_t>(nRow)]
                                      .channels[static_cast<std::size_t>(channel - 1)];
            m_recordingFiles[chn] = path;
            return path;
        });
}

void CMyVardoEventServerDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent == kRecordTimer && !m_devices.empty()) {
        // Counted in seconds; a field that holds no number counts as 0.
        const auto nDuration =
            static_cast<std::int32_t>(GetDlgItemInt(IDC_RECORD_DURATION, nullptr, TRUE));
        device::StopDueRecordings(m_devices, nDuration, NowSeconds());
    }
    if (nIDEvent == kRecordTimer) {
        ReportDurableEvents();
        CheckCenterLink();
        UpdateStatus();
        ApplyRetention();
    }
    CDialog::OnTimer(nIDEvent);
}
