// Alarm recording through the dialog: the library calls of an alarm, the
// file names and the one-second timer that ends each recording.

#include "tests/app/server_fixture.h"

namespace apptest {
namespace {

using namespace std::chrono_literals;

class AlarmTest : public ServerTest {
protected:
    void Start(std::vector<std::pair<std::string, std::string>> config = {}) {
        WriteConfig(std::move(config));
        Open();
        PressStart();
        ASSERT_TRUE(dlg->IsServiceStarted());
    }
    // A device online with channels 1 and 3.
    HVARDODEV OnlineWithChannelsOneAndThree(const std::string& name) {
        if (!host->IsChecked(IDC_CHN03)) {
            host->PressButton(IDC_CHN03);
        }
        return Online({.name = name});
    }
    bool Recording(HVARDOCHN chn) const { return scripted::Channel(chn)->recording; }
    std::string Path(const std::string& file) const { return home.path() + "EventRecord/" + file; }
};

TEST_F(AlarmTest, AnAlarmRecordsEveryCreatedChannelWithAudioOnChannelOneOnly) {
    Start();
    const auto dev = OnlineWithChannelsOneAndThree("X7");
    const auto channels = scripted::ChannelsOf(dev);
    ASSERT_EQ(channels.size(), 2u);
    const auto c1 = Handle(channels[0]);
    const auto c3 = Handle(channels[1]);
    scripted::ClearCalls();
    Notify(NOTIFY_ALARM_FIRST, dev);
    EXPECT_EQ(LibraryCalls("MyVardoChn_"), (std::vector<std::string>{
                                               "MyVardoChn_IsRecording(" + c1 + ")",
                                               "MyVardoChn_VSourceStart(" + c1 + ")",
                                               "MyVardoChn_ASourceStart(" + c1 + ")",
                                               "MyVardoChn_RecordStart(" + c1 + ", \"" +
                                                   Path("X7-chn01-20261208-164952.avi") + "\", 0)",
                                               "MyVardoChn_IsRecording(" + c1 + ")",
                                               "MyVardoChn_IsRecording(" + c3 + ")",
                                               "MyVardoChn_VSourceStart(" + c3 + ")",
                                               "MyVardoChn_RecordStart(" + c3 + ", \"" +
                                                   Path("X7-chn03-20261208-164952.avi") + "\", 0)",
                                               "MyVardoChn_IsRecording(" + c3 + ")",
                                           }));
    const auto start =
        std::chrono::duration_cast<std::chrono::seconds>(clock.WallNow().time_since_epoch())
            .count();
    EXPECT_EQ(dlg->GetDevices()[0].recordStart, (std::array<std::int64_t, 4>{start, 0, start, 0}));
}

TEST_F(AlarmTest, AllEightAlarmKindsRecord) {
    Start();
    for (WPARAM kind = NOTIFY_ALARM_FIRST; kind <= NOTIFY_ALARM_LAST; ++kind) {
        const auto dev = Online({.name = "A" + std::to_string(kind)});
        Notify(kind, dev);
        EXPECT_TRUE(Recording(scripted::ChannelsOf(dev)[0])) << kind;
    }
}

TEST_F(AlarmTest, ASecondAlarmChangesNothingAndTheStopStaysRelativeToTheFirst) {
    Start();
    const auto dev = Online({.name = "X7"});
    const auto chn = scripted::ChannelsOf(dev)[0];
    Notify(NOTIFY_ALARM_FIRST, dev);
    RunFor(30s);
    scripted::ClearCalls();
    Notify(NOTIFY_ALARM_FIRST + 3, dev);
    EXPECT_EQ(LibraryCalls("MyVardoChn_"),
              std::vector<std::string>{"MyVardoChn_IsRecording(" + Handle(chn) + ")"});
    EXPECT_EQ(scripted::Channel(chn)->recordings, 1);
    RunFor(61s);  // 91 s after the first alarm
    EXPECT_FALSE(Recording(chn));
}

TEST_F(AlarmTest, TheTimerStopsARecordingAtTheFirstTickPastStartPlusDuration) {
    struct Case {
        const char* duration;  // field 1010, from Config.ini
        std::chrono::seconds stillRecording;
        std::chrono::seconds stopped;
    };
    const Case cases[] = {
        {"90", 90s, 91s}, {"5", 5s, 6s},
        {"0", 0s, 1s},    {"-5", 0s, 1s},  // stops at the first tick after its start
        {"soon", 0s, 1s},                  // no number: 0
    };
    for (const auto& c : cases) {
        scripted::Reset();
        Start({{"EventServer_RecordDuration", c.duration}});
        const auto dev = Online({.name = "X7"});
        const auto chn = scripted::ChannelsOf(dev)[0];
        Notify(NOTIFY_ALARM_FIRST, dev);
        ASSERT_TRUE(Recording(chn)) << c.duration;
        RunFor(c.stillRecording);
        EXPECT_TRUE(Recording(chn)) << c.duration << " after " << c.stillRecording.count() << " s";
        scripted::ClearCalls();
        RunFor(c.stopped - c.stillRecording);
        EXPECT_FALSE(Recording(chn)) << c.duration << " after " << c.stopped.count() << " s";
        const auto h = Handle(chn);
        EXPECT_EQ(LibraryCalls("MyVardoChn_"),
                  (std::vector<std::string>{
                      "MyVardoChn_IsRecording(" + h + ")", "MyVardoChn_VSourceStop(" + h + ")",
                      "MyVardoChn_ASourceStop(" + h + ")", "MyVardoChn_RecordStop(" + h + ")"}))
            << c.duration;
        EXPECT_EQ(dlg->GetDevices()[0].recordStart[0], 0);
        CloseAndDestroy();
    }
}

TEST_F(AlarmTest, ARecordingOfADeviceThatWentOfflineStillStopsOnTime) {
    Start({{"EventServer_RecordDuration", "10"}});
    const auto dev = Online({.name = "X7"});
    const auto chn = scripted::ChannelsOf(dev)[0];
    Notify(NOTIFY_ALARM_FIRST, dev);
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    RunFor(11s);
    EXPECT_FALSE(Recording(chn));
}

// The library hands a device that comes back the channels it had. A start
// the library refused must not leave a time behind that later stops the
// recording of the device's next alarm early.
TEST_F(AlarmTest, ARefusedStartNeverCutsALaterRecordingShort) {
    Start({{"EventServer_RecordDuration", "5"}});
    const auto dev = Online({.name = "X7"});
    const auto chn = scripted::ChannelsOf(dev)[0];
    scripted::RefuseRecordings(chn, true);
    Notify(NOTIFY_ALARM_FIRST, dev);
    ASSERT_FALSE(Recording(chn));
    scripted::RefuseRecordings(chn, false);
    RunFor(10s);
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    Notify(NOTIFY_DEVICE_ONLINE, dev);
    Notify(NOTIFY_ALARM_FIRST, dev);
    ASSERT_TRUE(Recording(chn));
    RunFor(5s);
    EXPECT_TRUE(Recording(chn)) << "stopped before its duration";
    RunFor(1s);
    EXPECT_FALSE(Recording(chn));
}

// Sources are started for a recording only: when it does not start, or the
// library ends it (disk full), they stop too instead of streaming on.
TEST_F(AlarmTest, SourcesStopWhenTheRecordingDoesNotStartOrTheLibraryEndsIt) {
    Start();
    const auto dev = Online({.name = "X7"});
    const auto chn = scripted::ChannelsOf(dev)[0];
    scripted::RefuseRecordings(chn, true);
    Notify(NOTIFY_ALARM_FIRST, dev);
    EXPECT_FALSE(scripted::Channel(chn)->video);
    EXPECT_FALSE(scripted::Channel(chn)->audio);
    EXPECT_EQ(dlg->GetDevices()[0].recordStart[0], 0);

    scripted::RefuseRecordings(chn, false);
    Notify(NOTIFY_ALARM_FIRST, dev);
    ASSERT_TRUE(scripted::Channel(chn)->video);
    RunFor(1s);
    scripted::EndRecording(chn);
    RunFor(1s);
    EXPECT_FALSE(scripted::Channel(chn)->video);
    EXPECT_FALSE(scripted::Channel(chn)->audio);
    EXPECT_EQ(dlg->GetDevices()[0].recordStart[0], 0);
    // The next alarm records again.
    Notify(NOTIFY_ALARM_FIRST, dev);
    EXPECT_TRUE(Recording(chn));
}

// A vehicle that loses its link during an alarm takes back its row when it
// comes back; the recording still ends on time, a second alarm while it runs
// changes nothing, and the list never grows however often it happens.
TEST_F(AlarmTest, ADeviceThatComesBackWhileItsRowRecordsTakesItBack) {
    Start({{"EventServer_RecordDuration", "10"}});
    const auto dev = Online({.name = "X7"});
    const auto chn = scripted::ChannelsOf(dev)[0];
    Notify(NOTIFY_ALARM_FIRST, dev);
    const std::int64_t started = dlg->GetDevices()[0].recordStart[0];
    ASSERT_NE(started, 0);
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    Notify(NOTIFY_DEVICE_ONLINE, dev);
    ASSERT_EQ(List().GetItemCount(), 1);
    EXPECT_EQ(scripted::UserData(dev), 0u);
    EXPECT_EQ(dlg->GetDevices()[0].recordStart[0], started);
    EXPECT_EQ(dlg->GetDevices()[0].channels[0], chn);
    RunFor(5s);
    Notify(NOTIFY_ALARM_FIRST, dev);
    EXPECT_EQ(dlg->GetDevices()[0].recordStart[0], started);
    RunFor(6s);
    EXPECT_FALSE(Recording(chn));
    EXPECT_EQ(dlg->GetDevices()[0].recordStart[0], 0);

    for (int cycle = 0; cycle < 50; ++cycle) {
        Notify(NOTIFY_ALARM_FIRST, dev);
        Notify(NOTIFY_DEVICE_OFFLINE, dev);
        Notify(NOTIFY_DEVICE_ONLINE, dev);
        RunFor(1s);
    }
    EXPECT_EQ(List().GetItemCount(), 1);
    EXPECT_EQ(dlg->GetDevices().size(), 1u);
    RunFor(11s);
    EXPECT_FALSE(Recording(chn));
}

// With UDP port 0 the center sends no media: an alarm records nothing, so no
// empty file is left behind.
TEST_F(AlarmTest, WithoutMediaAnAlarmRecordsNothing) {
    Start({{"EventServer_CenterServerUdpPort", "0"}});
    const auto dev = Online({.name = "X7"});
    const auto chn = scripted::ChannelsOf(dev)[0];
    Notify(NOTIFY_ALARM_FIRST, dev);
    EXPECT_FALSE(Recording(chn));
    EXPECT_EQ(dlg->GetDevices()[0].recordStart[0], 0);
    EXPECT_TRUE(dlg->ActiveRecordingFiles().empty());
}

TEST_F(AlarmTest, AnAlarmForADeviceWithoutChannelsDoesNothing) {
    Start();
    host->PressButton(IDC_CHN01);  // untick
    const auto dev = Online({.name = "X7"});
    scripted::ClearCalls();
    Notify(NOTIFY_ALARM_FIRST, dev);
    EXPECT_TRUE(LibraryCalls("MyVardoChn_").empty());
}

TEST_F(AlarmTest, RecordingsOfDevicesWithTheSameSafeNameNeverShareAFile) {
    Start();
    const auto a = Online({.name = "bus/7"});
    const auto b = Online({.name = "bus_7"});
    const auto again = Online({.name = "bus/7"});
    Notify(NOTIFY_ALARM_FIRST, a);
    Notify(NOTIFY_ALARM_FIRST, b);
    Notify(NOTIFY_ALARM_FIRST, again);
    EXPECT_EQ(scripted::Channel(scripted::ChannelsOf(a)[0])->path,
              Path("bus_7-chn01-20261208-164952.avi"));
    EXPECT_EQ(scripted::Channel(scripted::ChannelsOf(b)[0])->path,
              Path("bus_7-chn01-20261208-164952-2.avi"));
    EXPECT_EQ(scripted::Channel(scripted::ChannelsOf(again).back())->path,
              Path("bus_7-chn01-20261208-164952-3.avi"));
    // A later alarm of the first device gets a new file, not the old one.
    RunFor(91s);
    Notify(NOTIFY_ALARM_FIRST, a);
    EXPECT_EQ(scripted::Channel(scripted::ChannelsOf(a)[0])->path,
              Path("bus_7-chn01-20261208-165123.avi"));
}

TEST_F(AlarmTest, TicksWhileTheServiceIsStoppedDoNothing) {
    Start();
    const auto dev = Online({.name = "X7"});
    Notify(NOTIFY_ALARM_FIRST, dev);
    PressStart();  // stop: the records go without a stop call
    ASSERT_FALSE(dlg->IsServiceStarted());
    scripted::ClearCalls();
    RunFor(200s);
    EXPECT_TRUE(scripted::Calls().empty());
}

}  // namespace
}  // namespace apptest
