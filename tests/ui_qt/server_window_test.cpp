// The event server's main dialog in a real window: start-up, the start path
// from the keyboard, the locked fields, the About box, and the device list
// filling as the scripted device library brings devices online.

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <thread>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "tests/ui_qt/host_fixture.h"
#include "testsupport/config/temp_program_dir.h"
#include "testsupport/scripted_device/scripted_device.h"
#include "ui/qt/report_view.h"

namespace qttest {
namespace {

using ui::qt::QtDialogHost;

constexpr int kSettingFields[] = {IDC_CONNECT_STRING, IDC_CENTER_SERVER, IDC_TCP_PORT,
                                  IDC_UDP_PORT,       IDC_USER_NAME,     IDC_PASSWORD,
                                  IDC_RECORD_DURATION};
constexpr int kNeverLocked[] = {IDC_CHN01,       IDC_CHN02, IDC_CHN03, IDC_CHN04,
                                IDC_DEVICE_LIST, IDOK,      IDCANCEL};

class ServerWindowTest : public QtHostTest {
protected:
    ServerWindowTest() {
        scripted::Reset();
        home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"},
                          {"EventServer_CenterServerAddr", "center.test"},
                          {"EventServer_CenterServerTcpPort", "6605"},
                          {"EventServer_UserName", "operator"},
                          {"EventServer_Password", "s3cret"}});
        app.SetMessageBoxHook([this](QMessageBox& box) {
            boxes.push_back({box.icon(), box.windowTitle(), box.text(),
                             static_cast<int>(box.buttons().size())});
        });
    }
    ~ServerWindowTest() override {
        if (dlg) {
            if (host != nullptr && !host->IsEnded()) {
                host->Window()->close();
            }
            dlg->DestroyWindow();
        }
    }

    void OpenServer() {
        dlg = std::make_unique<CMyVardoEventServerDlg>();
        host = &Open(*dlg);
        ASSERT_NE(dlg->GetVardoApp(), 0u);
        host->Window()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(host->Window()));
    }

    QLineEdit* Field(int id) const { return qobject_cast<QLineEdit*>(host->Control(id)); }
    ui::qt::ReportView& List() const { return *host->List(IDC_DEVICE_LIST); }

    // Types into a field as a user would, replacing what was there, and
    // presses Enter in it.
    void TypeAndEnter(int id, const QString& text) {
        QLineEdit* field = Field(id);
        field->setFocus();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }

    // The cell as the view shows it, once the view has heard of it.
    QString Shown(int row, int column) const {
        return List().model()->index(row, column).data().toString();
    }

    struct Box {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        int buttons;
    };

    testsupport::TempProgramDir home;
    std::unique_ptr<CMyVardoEventServerDlg> dlg;
    QtDialogHost* host = nullptr;
    std::vector<Box> boxes;
};

TEST_F(ServerWindowTest, StartsWithItsColumnsSettingsIconTimerAndOnlyChn01Ticked) {
    OpenServer();
    const ui::qt::ReportView& list = List();
    const QStringList headings{"DeviceID", "Channel", "VehicleID", "DriverName", "GPSInfo"};
    const int widths[] = {80, 60, 80, 80, 420};
    ASSERT_EQ(list.model()->columnCount(), 5);
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(list.model()->headerData(column, Qt::Horizontal).toString(), headings[column]);
        EXPECT_EQ(list.horizontalHeader()->sectionSize(column), widths[column]) << column;
    }
    EXPECT_EQ(list.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list.model()->rowCount(), 0);
    const std::pair<int, bool> boxesTicked[] = {
        {IDC_CHN01, true}, {IDC_CHN02, false}, {IDC_CHN03, false}, {IDC_CHN04, false}};
    for (const auto& [id, ticked] : boxesTicked) {
        EXPECT_EQ(qobject_cast<QCheckBox*>(host->Control(id))->isChecked(), ticked) << id;
    }
    EXPECT_EQ(Field(IDC_CONNECT_STRING)->text(), "sqlite:vardo.db");
    EXPECT_EQ(Field(IDC_TCP_PORT)->text(), "6605");
    EXPECT_EQ(Field(IDC_PASSWORD)->text(), "s3cret");
    EXPECT_EQ(Field(IDC_PASSWORD)->echoMode(), QLineEdit::Password);
    EXPECT_EQ(host->Icon(true), IDR_MAINFRAME);
    EXPECT_EQ(host->Icon(false), IDR_MAINFRAME);
    EXPECT_FALSE(host->Window()->windowIcon().isNull());
    ASSERT_NE(host->Timer(1), nullptr);
    EXPECT_TRUE(host->Timer(1)->isActive());
    EXPECT_EQ(host->Timer(1)->interval(), 1000);
    ASSERT_NE(host->SystemCommand(IDM_ABOUTBOX), nullptr);
}

TEST_F(ServerWindowTest, EnterInTheConnectionFieldRunsTheStartPathAndAFailingDatabaseSaysSo) {
    OpenServer();
    // A database below a file cannot be made.
    const QString unreachable = "sqlite:Config.ini/<b>vardo</b>.db";
    TypeAndEnter(IDC_CONNECT_STRING, unreachable);
    ASSERT_EQ(boxes.size(), 1u);
    // The string as typed (markup shown as text), the driver's reason below.
    EXPECT_TRUE(boxes[0].text.startsWith("can't connect database:" + unreachable + "\n"))
        << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
    EXPECT_EQ(boxes[0].title, "vardo-event-server");
    EXPECT_EQ(boxes[0].buttons, 1);
    EXPECT_FALSE(dlg->IsServiceStarted());
    EXPECT_TRUE(scripted::CallsStartingWith("MyVardoApp_Login").empty());
    for (int id : kSettingFields) {
        EXPECT_TRUE(host->Control(id)->isEnabled()) << id;
    }
}

TEST_F(ServerWindowTest, ARunningServiceLocksTheSevenFieldsButNotTheChannelBoxes) {
    OpenServer();
    TypeAndEnter(IDC_USER_NAME, "ops");
    ASSERT_TRUE(boxes.empty()) << boxes.front().text.toStdString();
    ASSERT_TRUE(dlg->IsServiceStarted());
    EXPECT_EQ(scripted::CallsStartingWith("MyVardoApp_Login").size(), 1u);
    for (int id : kSettingFields) {
        EXPECT_FALSE(host->Control(id)->isEnabled()) << id;
    }
    for (int id : kNeverLocked) {
        EXPECT_TRUE(host->Control(id)->isEnabled()) << id;
    }
    // A channel box can still be ticked by the operator while it runs.
    QTest::mouseClick(host->Control(IDC_CHN03), Qt::LeftButton);
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_CHN03), BST_CHECKED);
    // Enter (focus is on a locked field no more: on the button) stops it again.
    host->Control(IDOK)->setFocus();
    QTest::keyClick(host->Control(IDOK), Qt::Key_Return);
    EXPECT_FALSE(dlg->IsServiceStarted());
    for (int id : kSettingFields) {
        EXPECT_TRUE(host->Control(id)->isEnabled()) << id;
    }
}

TEST_F(ServerWindowTest, RowsAppearAsTheLibraryBringsDevicesOnline) {
    OpenServer();
    qobject_cast<QPushButton*>(host->Control(IDOK))->click();
    ASSERT_TRUE(dlg->IsServiceStarted());
    const char* const gps = "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";
    std::vector<HVARDODEV> devices;
    for (int i = 0; i < 3; ++i) {
        devices.push_back(scripted::AddDevice({"X" + std::to_string(i), "V" + std::to_string(i),
                                               "Driver " + std::to_string(i), 4, gps}));
    }
    // The library posts from a thread of its own.
    std::thread library([&] {
        for (HVARDODEV dev : devices) {
            scripted::Notify(NOTIFY_DEVICE_ONLINE, dev);
        }
        scripted::Notify(NOTIFY_DEVICE_OFFLINE, devices[1]);
    });
    library.join();
    ASSERT_TRUE(ProcessEventsUntil(
        [&] { return List().model()->rowCount() == 3 && Shown(1, 4) == "Device is Offline"; }));
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(Shown(row, 0), QString("X%1").arg(row));
        EXPECT_EQ(Shown(row, 1), "4");
        EXPECT_EQ(Shown(row, 2), QString("V%1").arg(row));
        EXPECT_EQ(Shown(row, 3), QString("Driver %1").arg(row));
        if (row != 1) {
            EXPECT_EQ(Shown(row, 4), gps);
        }
    }
    // Stopping empties the list the operator sees.
    qobject_cast<QPushButton*>(host->Control(IDOK))->click();
    EXPECT_EQ(List().model()->rowCount(), 0);
}

TEST_F(ServerWindowTest, TheAboutBoxOpensFromItsMenuItem) {
    OpenServer();
    std::vector<QString> seen;
    app.SetInitHook([&](QtDialogHost& box) {
        if (box.Template().id != IDD_ABOUTBOX) {
            return;
        }
        QTimer::singleShot(0, box.Window(), [&seen, &box] {
            seen.push_back(box.Window()->windowTitle());
            for (std::size_t i = 0; i < box.Template().controls.size(); ++i) {
                if (auto* label = qobject_cast<QLabel*>(box.ControlAt(i));
                    label != nullptr && label->pixmap().isNull()) {
                    seen.push_back(label->text());
                }
            }
            QTest::keyClick(box.Window(), Qt::Key_Return);  // its default button
        });
    });
    host->SystemCommand(IDM_ABOUTBOX)->trigger();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "关于 VardoEventServer");
    EXPECT_EQ(seen[1], "VardoEventServer 1.0 版");
    EXPECT_TRUE(host->Window()->isVisible());
    EXPECT_FALSE(host->IsEnded());
}

TEST_F(ServerWindowTest, TheCloseBoxStopsARunningServiceBeforeTheWindowGoes) {
    OpenServer();
    qobject_cast<QPushButton*>(host->Control(IDOK))->click();
    ASSERT_TRUE(dlg->IsServiceStarted());
    const HVARDOAPP instance = dlg->GetVardoApp();
    host->Window()->close();
    EXPECT_TRUE(host->IsEnded());
    EXPECT_FALSE(dlg->IsServiceStarted());
    EXPECT_EQ(scripted::Instance(instance)->logouts, 1);
    EXPECT_FALSE(scripted::Instance(instance)->destroyed);
    dlg->DestroyWindow();
    EXPECT_TRUE(scripted::Instance(instance)->destroyed);
    dlg.reset();
}

}  // namespace
}  // namespace qttest
