// Device notifications: dispatch, the device list, the records and the
// statements handed to the database worker.

#include "tests/app/server_fixture.h"

namespace apptest {
namespace {

const std::string kExampleGps =
    "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";

class NotifyTest : public ServerTest {
protected:
    void SetUp() override {
        WriteConfig();
        Open();
        PressStart();
        ASSERT_TRUE(dlg->IsServiceStarted());
    }
    static std::string OnlineEvent(const std::string& name) {
        return "EXEC EVENT_UPDATE @DeviceName='" + name + "',@EventTypeID=6";
    }
    static std::string OfflineEvent(const std::string& name) {
        return "EXEC EVENT_UPDATE @DeviceName='" + name + "',@EventTypeID=7";
    }
    static std::string EmptyFix(const std::string& name) {
        return "EXEC GPS_ADD '" + name + "',0.000000,0.000000,0,0,''";
    }
};

TEST_F(NotifyTest, ADeviceComingOnlineGivesItsOnlineEventThenItsGpsFix) {
    const auto dev = Online(
        {.name = "X7", .vehicle = "V-1", .driver = "Ann", .channels = 4, .gps = kExampleGps});
    EXPECT_EQ(dlg->statements,
              (std::vector<std::string>{
                  OnlineEvent("X7"),
                  "EXEC GPS_ADD 'X7',25.052057,121.676130,18,90,'" + kExampleGps + "'"}));
    EXPECT_EQ(Row(0), (std::vector<std::string>{"X7", "4", "V-1", "Ann", kExampleGps}));
    EXPECT_EQ(scripted::UserData(dev), 0u);
    ASSERT_EQ(dlg->GetDevices().size(), 1u);
    EXPECT_EQ(dlg->GetDevices()[0].device, dev);
    EXPECT_EQ(dlg->GetDevices()[0].name, "X7");
    EXPECT_TRUE(dlg->GetDevices()[0].onlineReported);
}

TEST_F(NotifyTest, SentencesThatDoNotParseLeaveTheColumnEmptyAndSendZeros) {
    const std::string sentences[] = {
        "",
        "garbage",
        // lower-case checksum
        "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6d",
        // status V
        "$GPRMC,100000.000,V,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*7A",
        // mode N right before the '*'
        "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,N*62",
    };
    for (const auto& gps : sentences) {
        dlg->statements.clear();
        const int row = List().GetItemCount();
        Online({.name = "X7", .gps = gps});
        EXPECT_EQ(dlg->statements, (std::vector<std::string>{OnlineEvent("X7"), EmptyFix("X7")}))
            << gps;
        EXPECT_EQ(List().GetItemText(row, 4), "") << gps;
    }
}

TEST_F(NotifyTest, ASecondGpsUpdateQueuesOnlyAFixAndRefreshesVehicleAndDriver) {
    const auto dev = Online({.name = "X7", .vehicle = "V-1", .driver = "Ann"});
    dlg->statements.clear();
    scripted::SetInfo(dev, DEVINFO_VEHICLE_ID, "V-2");
    scripted::SetInfo(dev, DEVINFO_DRIVER_NAME, "Bo");
    scripted::SetInfo(dev, DEVINFO_GPS, kExampleGps);
    scripted::SetInfo(dev, DEVINFO_NAME, "renamed");  // the row keeps the first name
    Notify(NOTIFY_DEVICE_GPS, dev);
    EXPECT_EQ(dlg->statements,
              (std::vector<std::string>{"EXEC GPS_ADD 'X7',25.052057,121.676130,18,90,'" +
                                        kExampleGps + "'"}));
    EXPECT_EQ(Row(0), (std::vector<std::string>{"X7", "4", "V-2", "Bo", kExampleGps}));
}

TEST_F(NotifyTest, TwoOfflinesInARowQueueOneOfflineEvent) {
    const auto dev = Online({.name = "X7", .gps = kExampleGps});
    dlg->statements.clear();
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    EXPECT_EQ(dlg->statements, std::vector<std::string>{OfflineEvent("X7")});
    EXPECT_EQ(List().GetItemText(0, 4), "Device is Offline");
    ASSERT_EQ(dlg->GetDevices().size(), 1u);  // the row and record stay
    EXPECT_FALSE(dlg->GetDevices()[0].onlineReported);
}

TEST_F(NotifyTest, AGpsUpdateAfterOfflineReportsTheDeviceOnlineAgain) {
    const auto dev = Online({.name = "X7", .gps = kExampleGps});
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    dlg->statements.clear();
    Notify(NOTIFY_DEVICE_GPS, dev);
    ASSERT_EQ(dlg->statements.size(), 2u);
    EXPECT_EQ(dlg->statements[0], OnlineEvent("X7"));
    EXPECT_EQ(List().GetItemText(0, 4), kExampleGps);
    EXPECT_EQ(List().GetItemCount(), 1);
}

// Devices come and go all day: one that comes back takes back its own row,
// so the list holds one row per device, not one per visit.
TEST_F(NotifyTest, ADeviceComingBackTakesBackItsOwnRow) {
    const auto dev = Online({.name = "X7", .vehicle = "V-1", .gps = kExampleGps});
    const auto other = Online({.name = "Y1"});
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    const std::string laterGps =
        "$GPRMC,225446,A,4916.45,N,12311.12,W,000.5,054.7,191194,020.3,E*68";
    scripted::SetInfo(dev, DEVINFO_VEHICLE_ID, "V-2");
    scripted::SetInfo(dev, DEVINFO_GPS, laterGps);
    scripted::SetChannelCount(dev, 2);
    host->PressButton(IDC_CHN02);  // ticked since: the returning device gets it
    dlg->statements.clear();
    Notify(NOTIFY_DEVICE_ONLINE, dev);

    EXPECT_EQ(List().GetItemCount(), 2);
    EXPECT_EQ(scripted::UserData(dev), 0u);
    EXPECT_EQ(scripted::UserData(other), 1u);
    EXPECT_EQ(Row(0), (std::vector<std::string>{"X7", "2", "V-2", "", laterGps}));
    ASSERT_EQ(dlg->GetDevices().size(), 2u);
    EXPECT_EQ(dlg->GetDevices()[0].device, dev);
    EXPECT_TRUE(dlg->GetDevices()[0].onlineReported);
    EXPECT_NE(dlg->GetDevices()[0].channels[1], 0u);
    ASSERT_EQ(dlg->statements.size(), 2u);
    EXPECT_EQ(dlg->statements[0], OnlineEvent("X7"));
    // Its next offline marks the same row.
    dlg->statements.clear();
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    EXPECT_EQ(dlg->statements, std::vector<std::string>{OfflineEvent("X7")});
    EXPECT_EQ(List().GetItemText(0, 4), "Device is Offline");
}

// The offline text is in the operator's language; whether a row is idle is
// the device's own state, so a returning device takes back its row whatever
// the list shows.
TEST_F(ServerTest, ADeviceComingBackTakesBackItsRowInAnyLanguage) {
    home.writeFile("Language/zh_CN.ini", "[Language]\nDeviceOffline=设备已离线\n");
    WriteConfig({{"Language File", "zh_CN"}});
    Open();
    PressStart();
    ASSERT_TRUE(dlg->IsServiceStarted());
    const auto dev = Online({.name = "X7"});
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    ASSERT_EQ(List().GetItemText(0, 4), "设备已离线");
    dlg->statements.clear();
    Notify(NOTIFY_DEVICE_ONLINE, dev);
    EXPECT_EQ(List().GetItemCount(), 1);
    EXPECT_EQ(scripted::UserData(dev), 0u);
    ASSERT_EQ(dlg->statements.size(), 2u);
    EXPECT_EQ(dlg->statements[0], "EXEC EVENT_UPDATE @DeviceName='X7',@EventTypeID=6");
}

// Only an idle row of its own, under the same name, is taken back;
// otherwise the device gets a new row, as it always did.
TEST_F(NotifyTest, ADeviceComingBackWithoutAnIdleRowOfItsOwnGetsANewRow) {
    // Online again without an offline in between: its row is not offline.
    const auto twice = Online({.name = "T2", .gps = kExampleGps});
    Notify(NOTIFY_DEVICE_ONLINE, twice);
    EXPECT_EQ(List().GetItemCount(), 2);
    EXPECT_EQ(scripted::UserData(twice), 1u);
    EXPECT_EQ(List().GetItemText(0, 4), kExampleGps);

    // Renamed while it was away: the row keeps the old name.
    const auto renamed = Online({.name = "R1"});
    Notify(NOTIFY_DEVICE_OFFLINE, renamed);
    scripted::SetInfo(renamed, DEVINFO_NAME, "R1-new");
    Notify(NOTIFY_DEVICE_ONLINE, renamed);
    EXPECT_EQ(List().GetItemCount(), 4);
    EXPECT_EQ(List().GetItemText(2, 0), "R1");
    EXPECT_EQ(List().GetItemText(2, 4), "Device is Offline");
    EXPECT_EQ(List().GetItemText(3, 0), "R1-new");

    // Another device of the same name never takes a row that is not its own.
    const auto first = Online({.name = "D1"});
    Notify(NOTIFY_DEVICE_OFFLINE, first);
    const auto namesake = Online({.name = "D1"});
    EXPECT_EQ(List().GetItemCount(), 6);
    EXPECT_EQ(scripted::UserData(namesake), 5u);
    EXPECT_EQ(dlg->GetDevices()[4].device, first);
}

TEST_F(NotifyTest, ChannelsAreCreatedForTheTickedBoxesAtOnlineTimeOnly) {
    struct Case {
        std::vector<int> ticked;  // channel numbers
        std::vector<int> created;
    };
    const Case cases[] = {
        {{1}, {1}}, {{1, 4}, {1, 4}}, {{}, {}}, {{2, 3}, {2, 3}}, {{1, 2, 3, 4}, {1, 2, 3, 4}},
    };
    const int boxes[] = {IDC_CHN01, IDC_CHN02, IDC_CHN03, IDC_CHN04};
    for (const auto& c : cases) {
        for (int n = 1; n <= 4; ++n) {
            const bool tick = std::find(c.ticked.begin(), c.ticked.end(), n) != c.ticked.end();
            if (host->IsChecked(boxes[n - 1]) != tick) {
                host->PressButton(boxes[n - 1]);
            }
        }
        const auto dev = Online({.name = "X7"});
        std::vector<int> created;
        for (auto chn : scripted::ChannelsOf(dev)) {
            created.push_back(scripted::Channel(chn)->number);
            EXPECT_EQ(scripted::Channel(chn)->window, dlg->GetSafeHwnd());
        }
        EXPECT_EQ(created, c.created);
        const auto& record = dlg->GetDevices().back();
        for (int n = 1; n <= 4; ++n) {
            const bool made = std::find(c.created.begin(), c.created.end(), n) != c.created.end();
            EXPECT_EQ(record.channels[static_cast<std::size_t>(n - 1)] != 0, made);
        }
        // Ticking a box later creates nothing for a device already online.
        host->PressButton(IDC_CHN02);
        Notify(NOTIFY_DEVICE_GPS, dev);
        EXPECT_EQ(scripted::ChannelsOf(dev).size(), c.created.size());
    }
}

TEST_F(NotifyTest, AChannelTheLibraryCannotCreateStaysZero) {
    host->PressButton(IDC_CHN02);
    const auto dev = scripted::AddDevice({.name = "X7"});
    scripted::FailChannel(dev, 2);
    Notify(NOTIFY_DEVICE_ONLINE, dev);
    const auto& record = dlg->GetDevices().back();
    EXPECT_NE(record.channels[0], 0u);
    EXPECT_EQ(record.channels[1], 0u);
}

TEST_F(NotifyTest, OtherKindsChangeNothingAndAnswerZero) {
    const auto dev = Online({.name = "X7", .gps = kExampleGps});
    dlg->statements.clear();
    scripted::ClearCalls();
    const WPARAM kinds[] = {0x80, 0x84, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xB0, 0};
    for (WPARAM kind : kinds) {
        EXPECT_EQ(Dispatch(kind, dev), 0) << kind;
    }
    EXPECT_TRUE(dlg->statements.empty());
    EXPECT_EQ(scripted::Calls().size(), std::size(kinds));  // MyVardoApp_IsActive each
    EXPECT_EQ(LibraryCalls("MyVardoApp_IsActive").size(), std::size(kinds));
    EXPECT_EQ(Row(0), (std::vector<std::string>{"X7", "4", "", "", kExampleGps}));
}

TEST_F(NotifyTest, WhileTheLibraryIsInactiveEveryNotificationAnswersOneAndIsIgnored) {
    const auto dev = scripted::AddDevice({.name = "X7"});
    scripted::SetActive(dlg->GetVardoApp(), false);
    const WPARAM kinds[] = {NOTIFY_DEVICE_ONLINE, NOTIFY_DEVICE_GPS, NOTIFY_DEVICE_OFFLINE,
                            NOTIFY_ALARM_FIRST, 0x84};
    for (WPARAM kind : kinds) {
        EXPECT_EQ(Dispatch(kind, dev), 1) << kind;
    }
    EXPECT_EQ(List().GetItemCount(), 0);
    EXPECT_TRUE(dlg->statements.empty());
}

TEST_F(NotifyTest, NotificationsForADeviceWithoutARowAreIgnored) {
    const auto known = Online({.name = "X7", .gps = kExampleGps});
    Online({.name = "Y1"});
    host->PressButton(IDC_CHN03);
    // Never came online: its user data (0) names the row of another device.
    const auto stranger = scripted::AddDevice({.name = "Z9", .gps = kExampleGps});
    // Stale: its user data names a row that does not exist.
    const auto stale = scripted::AddDevice({.name = "Q2"});
    MyVardoDev_SetUserData(stale, 7);
    dlg->statements.clear();
    scripted::ClearCalls();

    for (auto dev : {stranger, stale}) {
        for (WPARAM kind : {NOTIFY_DEVICE_GPS, NOTIFY_DEVICE_OFFLINE, NOTIFY_ALARM_FIRST}) {
            EXPECT_EQ(Dispatch(kind, dev), 0);
        }
    }
    EXPECT_TRUE(dlg->statements.empty());
    EXPECT_TRUE(LibraryCalls("MyVardoChn_").empty());
    EXPECT_EQ(List().GetItemText(0, 4), kExampleGps);
    ASSERT_EQ(dlg->GetDevices().size(), 2u);
    EXPECT_TRUE(dlg->GetDevices()[0].onlineReported);
    EXPECT_EQ(scripted::UserData(known), 0u);
}

TEST_F(NotifyTest, QuotesAndBrokenTextFromDevicesNeverBreakAStatement) {
    Online({.name = "O'Brien\xFF", .vehicle = "V\x80", .driver = "D'x"});
    EXPECT_EQ(Row(0)[0], "O'Brien\xEF\xBF\xBD");
    EXPECT_EQ(Row(0)[2], "V\xEF\xBF\xBD");
    ASSERT_EQ(dlg->statements.size(), 2u);
    EXPECT_EQ(dlg->statements[0],
              "EXEC EVENT_UPDATE @DeviceName='O''Brien\xEF\xBF\xBD',@EventTypeID=6");
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(dlg->GetWorkerCounters().rejected, 0u);
    EXPECT_EQ(Query("SELECT device_name FROM devices"),
              std::vector<std::string>{"O'Brien\xEF\xBF\xBD"});
}

TEST_F(NotifyTest, ChannelCountsShowAsSignedNumbersAndUnknownAsZero) {
    Online({.name = "A", .channels = -1});
    const auto dev = scripted::AddDevice({.name = "B"});
    scripted::ForgetInfo(dev, DEVINFO_CHANNEL);
    Notify(NOTIFY_DEVICE_ONLINE, dev);
    EXPECT_EQ(List().GetItemText(0, 1), "-1");
    EXPECT_EQ(List().GetItemText(1, 1), "0");
}

}  // namespace
}  // namespace apptest
