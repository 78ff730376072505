#include "tests/ui_qt/host_fixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <stdexcept>

#include "app/res/resource.h"

namespace qttest {

namespace {

constexpr int kColumnWidths[] = {80, 60, 80, 80, 420};
constexpr const char* kColumnHeadings[] = {"DeviceID", "Channel", "VehicleID", "DriverName",
                                           "GPSInfo"};

}  // namespace

QIcon ProgramIcon() {
    QIcon icon(QStringLiteral(":/vardo-event-server.svg"));
    icon.addFile(QStringLiteral(":/vardo-event-server.png"));
    return icon;
}

bool ProcessEventsUntil(const std::function<bool()>& done) {
    QElapsedTimer cap;
    cap.start();
    while (!done()) {
        if (cap.elapsed() > 20000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

PlainMainDialog::PlainMainDialog() : CDialog(IDD_VARDOEVENTSERVER_DIALOG) {}

BOOL PlainMainDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    if (CMenu* menu = GetSystemMenu(FALSE)) {
        menu->AppendMenu(MF_SEPARATOR);
        menu->AppendMenu(MF_STRING, IDM_ABOUTBOX, ui::LoadString(IDS_ABOUTBOX));
    }
    SetIcon(IDR_MAINFRAME, TRUE);
    SetIcon(IDR_MAINFRAME, FALSE);
    for (int i = 0; i < 5; ++i) {
        list.InsertColumn(i, kColumnHeadings[i], LVCFMT_LEFT, kColumnWidths[i]);
    }
    list.SetExtendedStyle(list.GetExtendedStyle() | LVS_EX_FULLROWSELECT);
    CheckDlgButton(IDC_CHN01, BST_CHECKED);
    SetTimer(1, 1000);
    return TRUE;
}

void PlainMainDialog::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, IDC_DEVICE_LIST, list);
}

void PlainMainDialog::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CDialog about(IDD_ABOUTBOX);
        aboutResult = about.DoModal();
        ++abouts;
        return;
    }
    CDialog::OnSysCommand(nID, lParam);
}

LRESULT PlainMainDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) {
        received.push_back({message, wParam, lParam});
        return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

QtHostTest::QtHostTest() : app(app::res::Resources(), "vardo-event-server") {
    app.SetIcon(IDR_MAINFRAME, ProgramIcon());
}

QtHostTest::~QtHostTest() {
    // Nothing a test leaves behind may reach the next one.
    QCoreApplication::processEvents();
}

ui::qt::QtDialogHost& QtHostTest::Open(CDialog& dialog) {
    if (!dialog.Create()) {
        throw std::runtime_error("the dialog did not open");
    }
    auto* host = ui::qt::HostOf(dialog);
    if (host == nullptr) {
        throw std::runtime_error("the dialog has no widget host");
    }
    return *host;
}

}  // namespace qttest
