// What the operator finds when the window opens, and how it closes.

#include "tests/app/server_fixture.h"

namespace apptest {
namespace {

using StartupTest = ServerTest;

constexpr int kSettingFields[] = {IDC_CONNECT_STRING, IDC_CENTER_SERVER, IDC_TCP_PORT,
                                  IDC_UDP_PORT,       IDC_USER_NAME,     IDC_PASSWORD,
                                  IDC_RECORD_DURATION};

TEST_F(StartupTest, WithoutConfigIniTheFieldsShowTheDefaults) {
    Open();
    const std::pair<int, const char*> expected[] = {
        {IDC_CONNECT_STRING,
         "Provider=SQLOLEDB;Server=127.0.0.1;Initial Catalog=VardoPlatform;User "
         "ID=sa;Password=nobe274"},
        {IDC_CENTER_SERVER, "127.0.0.1"},
        {IDC_TCP_PORT, "24680"},
        {IDC_UDP_PORT, "24681"},
        {IDC_USER_NAME, "root"},
        {IDC_PASSWORD, "kiwa"},
        {IDC_RECORD_DURATION, "90"},
    };
    for (const auto& [id, text] : expected) {
        EXPECT_EQ(host->Text(id), text) << id;
    }
    EXPECT_EQ(host->ShownText(IDC_PASSWORD), "****");
}

TEST_F(StartupTest, ConfigIniValuesFillTheFieldsAndEmptyOnesFallBack) {
    WriteConfig({{"EventServer_UserName", ""},
                 {"EventServer_CenterServerTcpPort", "5000"},
                 {"EventServer_RecordDuration", "30"}});
    Open();
    EXPECT_EQ(host->Text(IDC_CONNECT_STRING), "sqlite:vardo.db");
    EXPECT_EQ(host->Text(IDC_CENTER_SERVER), "center.test");
    EXPECT_EQ(host->Text(IDC_TCP_PORT), "5000");
    EXPECT_EQ(host->Text(IDC_USER_NAME), "root");
    EXPECT_EQ(host->Text(IDC_RECORD_DURATION), "30");
}

TEST_F(StartupTest, OnlyChannelOneIsTickedAndEveryFieldIsEditable) {
    Open();
    EXPECT_TRUE(host->IsChecked(IDC_CHN01));
    EXPECT_FALSE(host->IsChecked(IDC_CHN02));
    EXPECT_FALSE(host->IsChecked(IDC_CHN03));
    EXPECT_FALSE(host->IsChecked(IDC_CHN04));
    for (int id : kSettingFields) {
        EXPECT_TRUE(host->IsControlEnabled(id)) << id;
    }
}

TEST_F(StartupTest, TheListHasFiveColumnsSelectsWholeRowsAndStartsEmpty) {
    Open();
    const std::pair<const char*, int> columns[] = {
        {"DeviceID", 80}, {"Channel", 60}, {"VehicleID", 80}, {"DriverName", 80}, {"GPSInfo", 420},
    };
    ASSERT_EQ(List().Columns().size(), std::size(columns));
    for (std::size_t i = 0; i < std::size(columns); ++i) {
        EXPECT_EQ(List().Columns()[i].heading, columns[i].first);
        EXPECT_EQ(List().Columns()[i].width, columns[i].second);
        EXPECT_EQ(List().Columns()[i].format, LVCFMT_LEFT);
    }
    EXPECT_EQ(List().GetExtendedStyle() & LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    EXPECT_EQ(List().GetItemCount(), 0);
}

TEST_F(StartupTest, TheLibraryIsBoundToTheWindowAndTheTimerRunsEverySecond) {
    Open();
    const auto app = dlg->GetVardoApp();
    ASSERT_NE(app, 0u);
    const auto instance = scripted::Instance(app);
    ASSERT_TRUE(instance);
    EXPECT_EQ(instance->window, dlg->GetSafeHwnd());
    EXPECT_EQ(instance->message, 0x500u);
    EXPECT_EQ(host->Timers(), std::vector<UINT_PTR>{1});
    EXPECT_EQ(host->TimerPeriod(1), std::chrono::milliseconds(1000));
    EXPECT_EQ(host->Icon(true), IDR_MAINFRAME);
    EXPECT_EQ(host->Icon(false), IDR_MAINFRAME);
}

TEST_F(StartupTest, TheSystemMenuGetsTheAboutEntry) {
    Open();
    ASSERT_EQ(host->SystemMenuItems().size(), 2u);
    EXPECT_EQ(host->SystemMenuItems()[0].flags, MF_SEPARATOR);
    EXPECT_EQ(host->SystemMenuItems()[1].commandId, IDM_ABOUTBOX);
    EXPECT_EQ(host->SystemMenuItems()[1].text, "关于 VardoEventServer(&A)...");
}

TEST_F(StartupTest, TheAboutEntryOpensTheAboutBoxModally) {
    Open();
    int aboutOpened = 0;
    application.SetInitHook([&](ui::headless::HeadlessHost& about) {
        if (about.Template().id == IDD_ABOUTBOX) {
            ++aboutOpened;
            about.PressButton(IDOK);  // closes it
        }
    });
    EXPECT_TRUE(host->ChooseSystemCommand(IDM_ABOUTBOX));
    EXPECT_EQ(aboutOpened, 1);
    EXPECT_FALSE(host->IsEnded());
}

TEST_F(StartupTest, WithoutALibraryInstanceTheDialogOpensBare) {
    WriteConfig();
    scripted::SetConstructFails(true);
    Open();
    EXPECT_EQ(dlg->GetVardoApp(), 0u);
    EXPECT_EQ(List().Columns().size(), 0u);
    EXPECT_TRUE(host->Timers().empty());
    EXPECT_TRUE(host->SystemMenuItems().empty());
    EXPECT_EQ(host->Text(IDC_CONNECT_STRING), "");
    EXPECT_FALSE(host->IsChecked(IDC_CHN01));
    EXPECT_FALSE(host->IsEnded());
}

TEST_F(StartupTest, EveryWayOutStopsTheServiceFirstThenDestroysTheLibrary) {
    const std::pair<const char*, std::function<bool(ui::headless::HeadlessHost&)>> ways[] = {
        {"button 2", [](auto& h) { return h.PressButton(IDCANCEL); }},
        {"Escape", [](auto& h) { return h.PressKey(ui::headless::Key::Escape); }},
        {"close box", [](auto& h) { return h.ClickCloseBox(); }},
    };
    for (const auto& [way, act] : ways) {
        scripted::Reset();
        WriteConfig();
        Open();
        PressStart();
        ASSERT_TRUE(dlg->IsServiceStarted()) << way;
        const auto app = Handle(dlg->GetVardoApp());
        scripted::ClearCalls();
        EXPECT_TRUE(act(*host)) << way;
        EXPECT_TRUE(host->IsEnded()) << way;
        EXPECT_EQ(host->Result(), IDCANCEL) << way;
        EXPECT_FALSE(dlg->IsServiceStarted()) << way;
        dlg->DestroyWindow();
        EXPECT_EQ(scripted::Calls(), (std::vector<std::string>{"MyVardoApp_Logout(" + app + ")",
                                                               "MyVardoApp_Destruct(" + app + ")"}))
            << way;
        dlg.reset();
        host = nullptr;
    }
}

}  // namespace
}  // namespace apptest
