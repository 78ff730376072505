// The operator's language on the real window: the shipped zh_CN file gives
// the labels, column headings, status line, About box and the offline text;
// the shipped en_US file changes nothing from the built-in texts.

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/event_server_dlg.h"
#include "app/language_setup.h"
#include "app/res/resource.h"
#include "tests/ui_qt/host_fixture.h"
#include "testsupport/config/temp_program_dir.h"
#include "testsupport/scripted_device/scripted_device.h"
#include "ui/qt/report_view.h"

namespace qttest {
namespace {

std::string Shipped(const std::string& name) {
    std::ifstream in(std::string(VARDO_SOURCE_DIR) + "/app/Language/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Everything the window shows as text, in template order: the caption, then
// each label's and button's text.
std::vector<QString> WindowTexts(ui::qt::QtDialogHost& host) {
    std::vector<QString> texts{host.Window()->windowTitle()};
    for (std::size_t i = 0; i < host.Template().controls.size(); ++i) {
        if (host.Template().controls[i].id == IDC_STATUS_LINE) {
            continue;
        }
        if (auto* label = qobject_cast<QLabel*>(host.ControlAt(i))) {
            texts.push_back(label->text());
        } else if (auto* button = qobject_cast<QPushButton*>(host.ControlAt(i))) {
            texts.push_back(button->text());
        }
    }
    return texts;
}

class LanguageWindowTest : public ::testing::Test {
protected:
    LanguageWindowTest() {
        scripted::Reset();
        home.writeFile("Language/en_US.ini", Shipped("en_US.ini"));
        home.writeFile("Language/zh_CN.ini", Shipped("zh_CN.ini"));
        home.makeDirectory("image");
    }

    // Chooses the language as main does before any window, then opens the
    // main dialog on a widget application built from those templates.
    void OpenIn(const std::string& code) {
        home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"},
                          {"EventServer_CenterServerAddr", "center.test"},
                          {"Language File", code}});
        app::PrepareProgramLanguage([this](const std::string& line) { logged.push_back(line); });
        application =
            std::make_unique<ui::qt::QtApplication>(app::ProgramResources(), "vardo-event-server");
        dlg = std::make_unique<CMyVardoEventServerDlg>();
        ASSERT_TRUE(dlg->Create());
        host = ui::qt::HostOf(*dlg);
        ASSERT_NE(host, nullptr);
    }
    ~LanguageWindowTest() override {
        if (dlg) {
            if (!host->IsEnded()) {
                host->Window()->close();
            }
            dlg->DestroyWindow();
        }
        QCoreApplication::processEvents();
    }

    QString Heading(int column) const {
        return host->List(IDC_DEVICE_LIST)->model()->headerData(column, Qt::Horizontal).toString();
    }
    QString Status() const { return qobject_cast<QLabel*>(host->Control(IDC_STATUS_LINE))->text(); }

    testsupport::TempProgramDir home;
    std::vector<std::string> logged;
    std::unique_ptr<ui::qt::QtApplication> application;
    std::unique_ptr<CMyVardoEventServerDlg> dlg;
    ui::qt::QtDialogHost* host = nullptr;
};

TEST_F(LanguageWindowTest, ChineseTextsComeFromItsLanguageFile) {
    OpenIn("zh_CN");
    const std::vector<QString> texts = WindowTexts(*host);
    EXPECT_NE(std::find(texts.begin(), texts.end(), QString("数据库:")), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), QString("录像时长:")), texts.end());
    EXPECT_EQ(Heading(0), "设备ID");
    EXPECT_EQ(Heading(4), "GPS信息");
    EXPECT_EQ(Status(), "服务已停止");

    qobject_cast<QPushButton*>(host->Control(IDOK))->click();
    ASSERT_TRUE(dlg->IsServiceStarted());
    const HVARDODEV dev = scripted::AddDevice({"X7"});
    scripted::Notify(NOTIFY_DEVICE_ONLINE, dev);
    scripted::Notify(NOTIFY_DEVICE_OFFLINE, dev);
    const auto* model = host->List(IDC_DEVICE_LIST)->model();
    ASSERT_TRUE(ProcessEventsUntil(
        [&] { return model->rowCount() == 1 && model->index(0, 4).data() == "设备已离线"; }));
    ASSERT_TRUE(ProcessEventsUntil([&] { return Status().startsWith("中心: 已以 root 登录"); }))
        << Status().toStdString();
    EXPECT_TRUE(logged.empty()) << logged.front();
}

TEST_F(LanguageWindowTest, EnglishChangesNoBuiltInText) {
    OpenIn("en_US");
    const std::vector<QString> shipped = WindowTexts(*host);
    const QString heading = Heading(0);
    const QString status = Status();
    dlg->DestroyWindow();
    dlg.reset();

    // The same window without any language file.
    std::filesystem::remove_all(home.path() + "Language");
    OpenIn("");
    EXPECT_EQ(WindowTexts(*host), shipped);
    EXPECT_EQ(Heading(0), heading);
    EXPECT_EQ(Heading(0), "DeviceID");
    EXPECT_EQ(Status(), status);
    EXPECT_EQ(shipped[0], "VardoEventServer");
}

TEST_F(LanguageWindowTest, AnUnknownCodeKeepsTheBuiltInTextsAndIsLoggedOnce) {
    OpenIn("xx_XX");
    EXPECT_EQ(Heading(0), "DeviceID");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "language 'xx_XX' is not available; using en_US");
    // A second window, a second choice: said once per process.
    dlg->DestroyWindow();
    dlg.reset();
    logged.clear();
    OpenIn("xx_XX");
    EXPECT_TRUE(logged.empty());
}

}  // namespace
}  // namespace qttest
