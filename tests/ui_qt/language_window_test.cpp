// The operator's language on the real window: the shipped zh_CN file gives
// the labels, column headings, status line, About box and the offline text;
// the shipped en_US file gives every one of them in English.

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

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Every text of every template and string resource the program would show.
std::vector<std::string> ResourceTexts() {
    std::vector<std::string> texts;
    for (const ui::DialogTemplate& dialog : app::ProgramResources().dialogs) {
        texts.emplace_back(dialog.caption);
        for (const ui::ControlTemplate& control : dialog.controls) {
            texts.emplace_back(control.text);
        }
    }
    for (const ui::StringResource& string : app::ProgramResources().strings) {
        texts.emplace_back(string.text);
    }
    return texts;
}

TEST_F(LanguageWindowTest, EnglishGivesEveryTextInEnglish) {
    OpenIn("en_US");
    for (const QString& text : WindowTexts(*host)) {
        EXPECT_TRUE(IsAscii(text.toStdString())) << text.toStdString();
    }
    EXPECT_EQ(qobject_cast<QPushButton*>(host->Control(IDOK))->text(), "OK");
    EXPECT_EQ(qobject_cast<QPushButton*>(host->Control(IDCANCEL))->text(), "Cancel");
    EXPECT_EQ(Heading(0), "DeviceID");
    EXPECT_EQ(Status(), "service stopped");
    // The About box and its menu entry too.
    const std::vector<std::string> texts = ResourceTexts();
    for (const std::string& text : texts) {
        EXPECT_TRUE(IsAscii(text)) << text;
    }
    EXPECT_NE(std::find(texts.begin(), texts.end(), "About VardoEventServer"), texts.end());
}

TEST_F(LanguageWindowTest, ChineseKeepsItsButtonsAndAboutBox) {
    OpenIn("zh_CN");
    EXPECT_EQ(qobject_cast<QPushButton*>(host->Control(IDOK))->text(), "确定");
    EXPECT_EQ(qobject_cast<QPushButton*>(host->Control(IDCANCEL))->text(), "取消");
    const std::vector<std::string> texts = ResourceTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "关于 VardoEventServer"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "车载视频设备事件服务"), texts.end());
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
