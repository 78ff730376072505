// Draws the main window as an operator sees it a few minutes after start:
// the service running on a SQLite database, a dozen devices online through
// the scripted device library, one gone offline, one row selected. Writes
// the window's image as PNG; needs no display (Qt's offscreen platform).
//
//   vardo_ui_qt_screenshot OUT.png
//   vardo_ui_qt_screenshot --render-icon IN.svg OUT.png SIZE

#include <stdlib.h>

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "gps/nmea_checksum.h"
#include "settings/program_dir.h"
#include "testsupport/scripted_device/scripted_device.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/qt_host.h"
#include "ui/qt/report_view.h"

namespace {

struct Device {
    const char* name;
    const char* vehicle;
    const char* driver;
    int channels;
};

// Sentences with their checksums, as the devices send them.
std::string Rmc(const char* time, const char* lat, const char* lon, const char* knots,
                const char* course) {
    char body[128];
    std::snprintf(body, sizeof body, "GPRMC,%s.000,A,%s,N,%s,E,%s,%s,081226,,,A", time, lat, lon,
                  knots, course);
    return std::string("$") + body + "*" + gps::nmeaChecksum(body);
}

int RenderIcon(const char* svg, const char* png, int size) {
    QImageReader reader(QString::fromLocal8Bit(svg));
    reader.setScaledSize(QSize(size, size));
    const QImage image = reader.read();
    if (image.isNull()) {
        std::fprintf(stderr, "cannot read %s: %s\n", svg, qPrintable(reader.errorString()));
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(png))) {
        std::fprintf(stderr, "cannot write %s\n", png);
        return 1;
    }
    return 0;
}

int Shoot(const char* out) {
    char pattern[] = "/tmp/vardo-screenshot-XXXXXX";
    const std::string home = mkdtemp(pattern);
    std::ofstream(home + "/Config.ini") << "[VardoEventServer]\n"
                                           "EventServer_ConnectString=sqlite:vardo.db\n"
                                           "EventServer_CenterServerAddr=center.fleet.example\n"
                                           "EventServer_CenterServerTcpPort=6605\n"
                                           "EventServer_CenterServerUdpPort=6606\n"
                                           "EventServer_UserName=operator\n"
                                           "EventServer_Password=secret\n"
                                           "EventServer_RecordDuration=60\n";
    SetModuleDir(home);

    ui::qt::QtApplication application(app::res::Resources(), "vardo-event-server");
    QIcon icon(QStringLiteral(":/vardo-event-server.svg"));
    icon.addFile(QStringLiteral(":/vardo-event-server.png"));
    application.SetIcon(IDR_MAINFRAME, icon);
    std::vector<std::string> boxes;
    application.SetMessageBoxHook(
        [&boxes](QMessageBox&) { boxes.emplace_back("a message box opened"); });

    int status = 0;
    {
        CMyVardoEventServerDlg dlg;
        if (!dlg.Create()) {
            std::fprintf(stderr, "the window did not open\n");
            return 1;
        }
        ui::qt::QtDialogHost* host = ui::qt::HostOf(dlg);
        dlg.CheckDlgButton(IDC_CHN02, BST_CHECKED);
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
        if (!dlg.IsServiceStarted()) {
            std::fprintf(stderr, "the service did not start\n");
            status = 1;
        }

        const std::vector<Device> devices = {
            {"BUS-0417", "粤B·3K721", "王建国", 4}, {"BUS-0422", "粤B·3K785", "李秀英", 4},
            {"VAN-1093", "粤B·7Q102", "陈志强", 2}, {"BUS-0431", "粤B·3L016", "张伟", 4},
            {"TRK-2207", "粤B·9F338", "刘洋", 4},   {"BUS-0436", "粤B·3L094", "黄丽", 4},
            {"VAN-1101", "粤B·7Q260", "赵敏", 2},   {"BUS-0440", "粤B·3L117", "周杰", 4},
            {"TRK-2215", "粤B·9F402", "吴磊", 4},   {"BUS-0452", "粤B·3L251", "孙倩", 4},
            {"VAN-1117", "粤B·7Q391", "马超", 1},
        };
        std::vector<HVARDODEV> handles;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const Device& d = devices[i];
            char lat[16];
            char lon[16];
            char knots[8];
            char course[8];
            char time[8];
            std::snprintf(lat, sizeof lat, "22%02zu.%04zu", 30 + i * 3 % 17, 1000 + i * 733 % 8999);
            std::snprintf(lon, sizeof lon, "114%02zu.%04zu", 1 + i * 5 % 13, 2000 + i * 419 % 7999);
            std::snprintf(knots, sizeof knots, "%zu.%zu", i * 7 % 38, i % 10);
            std::snprintf(course, sizeof course, "%zu.0", i * 47 % 360);
            std::snprintf(time, sizeof time, "0930%02zu", 10 + i * 4);
            const std::string gps = Rmc(time, lat, lon, knots, course);
            handles.push_back(scripted::AddDevice({d.name, d.vehicle, d.driver, d.channels, gps}));
        }
        for (HVARDODEV dev : handles) {
            scripted::Notify(NOTIFY_DEVICE_ONLINE, dev);
        }
        scripted::Notify(NOTIFY_DEVICE_OFFLINE, handles[6]);
        ui::qt::ReportView* list = host->List(IDC_DEVICE_LIST);
        for (int i = 0; i < 50 && list->Model().PublishedRows() < static_cast<int>(handles.size());
             ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        list->Model().Publish();
        // The status line under the list follows each second: wait for the
        // devices and the stored statements to show in it.
        for (int i = 0; i < 100 && (dlg.StatusText().find("with 10 devices") == std::string::npos ||
                                    dlg.StatusText().find("stored 0,") != std::string::npos);
             ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        list->selectRow(2);
        host->Control(IDC_DEVICE_LIST)->setFocus();
        QCoreApplication::processEvents();

        const QPixmap shot = host->Window()->grab();
        if (!shot.save(QString::fromLocal8Bit(out), "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", out);
            status = 1;
        } else {
            std::printf("%s: %dx%d, %d devices\n", out, shot.width(), shot.height(),
                        list->GetItemCount());
        }
        for (const std::string& box : boxes) {
            std::fprintf(stderr, "%s\n", box.c_str());
        }
        host->Window()->close();
        dlg.DestroyWindow();
    }
    std::filesystem::remove_all(home);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication qtApp(argc, argv);
    if (argc == 5 && std::string(argv[1]) == "--render-icon") {
        return RenderIcon(argv[2], argv[3], std::atoi(argv[4]));
    }
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: %s OUT.png\n"
                     "       %s --render-icon IN.svg OUT.png SIZE\n",
                     argv[0], argv[0]);
        return 2;
    }
    return Shoot(argv[1]);
}
