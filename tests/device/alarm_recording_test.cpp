// Alarm recording: file names, which channels start, and when the timer
// stops them.

#include "device/alarm_recording.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "testsupport/scripted_device/scripted_device.h"

namespace {

using std::chrono::seconds;
using std::chrono::system_clock;

// 2026-12-08 16:49:52 UTC
const system_clock::time_point kStart{seconds(1796748592)};

TEST(RecordingFileName, DeviceNamesBecomeSafeFileNameParts) {
    struct Case {
        std::string name;
        std::string safe;
    };
    const Case cases[] = {
        {"X7", "X7"},
        {"车辆-01", "车辆-01"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"a\\b:c*d?e\"f<g>h|i", "a_b_c_d_e_f_g_h_i"},
        {std::string("tab\there\nnul\0x", 14), "tab_here_nul_x"},
        {"", "unnamed"},
        {".", "."},
        {std::string(300, 'n'), std::string(200, 'n')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(device::SafeFileNamePart(c.name), c.safe) << testing::PrintToString(c.name);
    }
}

TEST(RecordingFileName, LongNamesAreNeverCutInsideACharacter) {
    std::string name;
    for (int i = 0; i < 100; ++i) {
        name += "车";  // 3 bytes each: 200 is not a character boundary
    }
    EXPECT_EQ(device::SafeFileNamePart(name), name.substr(0, 198));
}

TEST(RecordingFileName, CarriesNameChannelAndUtcStart) {
    EXPECT_EQ(device::RecordingPath("/srv/vardo/", "X7", 1, kStart),
              "/srv/vardo/EventRecord/X7-chn01-20261208-164952.avi");
    EXPECT_EQ(device::RecordingPath("", "a/b", 4, kStart + seconds(8)),
              "EventRecord/a_b-chn04-20261208-165000.avi");
}

TEST(RecordingFileName, ClashesGetANumberInsteadOfOverwriting) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("vardo-rec-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "EventRecord");
    const std::string moduleDir = dir.string() + "/";
    std::ofstream(dir / "EventRecord/Y1-chn01-20261208-164952.avi") << "earlier run";

    device::RecordingPaths paths;
    const std::string first = paths.Next(moduleDir, "a/b", 1, kStart);
    const std::string sameName = paths.Next(moduleDir, "a_b", 1, kStart);  // same safe name
    const std::string third = paths.Next(moduleDir, "a/b", 1, kStart);
    const std::string onDisk = paths.Next(moduleDir, "Y1", 1, kStart);
    const std::string nextSecond = paths.Next(moduleDir, "a/b", 1, kStart + seconds(1));
    std::filesystem::remove_all(dir);

    const std::string base = moduleDir + "EventRecord/";
    EXPECT_EQ(first, base + "a_b-chn01-20261208-164952.avi");
    EXPECT_EQ(sameName, base + "a_b-chn01-20261208-164952-2.avi");
    EXPECT_EQ(third, base + "a_b-chn01-20261208-164952-3.avi");
    EXPECT_EQ(onDisk, base + "Y1-chn01-20261208-164952-2.avi");
    EXPECT_EQ(nextSecond, base + "a_b-chn01-20261208-164953.avi");
}

class AlarmRecording : public ::testing::Test {
protected:
    void SetUp() override {
        scripted::Reset();
        dev = scripted::AddDevice({.name = "X7"});
    }
    HVARDOCHN Create(int number) { return MyVardoDev_CreateChannel(dev, number, nullptr); }
    static std::string Path(int channel) { return "rec-" + std::to_string(channel) + ".avi"; }
    static std::string Call(const char* function, HVARDOCHN chn) {
        return std::string(function) + "(" + std::to_string(chn) + ")";
    }

    HVARDODEV dev = 0;
};

TEST_F(AlarmRecording, StartsCreatedChannelsWithAudioOnChannelOneOnly) {
    device::DeviceRecord record{dev, {Create(1), 0, Create(3), 0}, {}};
    scripted::ClearCalls();
    EXPECT_EQ(device::StartAlarmRecording(record, 1000, Path), 2);
    const auto c1 = std::to_string(record.channels[0]);
    const auto c3 = std::to_string(record.channels[2]);
    EXPECT_EQ(scripted::Calls(), (std::vector<std::string>{
                                     "MyVardoChn_IsRecording(" + c1 + ")",
                                     "MyVardoChn_VSourceStart(" + c1 + ")",
                                     "MyVardoChn_ASourceStart(" + c1 + ")",
                                     "MyVardoChn_RecordStart(" + c1 + ", \"rec-1.avi\", 0)",
                                     "MyVardoChn_IsRecording(" + c1 + ")",
                                     "MyVardoChn_IsRecording(" + c3 + ")",
                                     "MyVardoChn_VSourceStart(" + c3 + ")",
                                     "MyVardoChn_RecordStart(" + c3 + ", \"rec-3.avi\", 0)",
                                     "MyVardoChn_IsRecording(" + c3 + ")",
                                 }));
    EXPECT_EQ(record.recordStart, (std::array<std::int64_t, 4>{1000, 0, 1000, 0}));
}

TEST_F(AlarmRecording, ARunningRecordingIsNeitherRestartedNorLengthened) {
    device::DeviceRecord record{dev, {Create(1), Create(2), 0, 0}, {}};
    device::StartAlarmRecording(record, 1000, Path);
    scripted::EndRecording(record.channels[1]);  // the library ended this one itself
    scripted::ClearCalls();
    EXPECT_EQ(device::StartAlarmRecording(record, 1050, Path), 1);
    EXPECT_EQ(record.recordStart, (std::array<std::int64_t, 4>{1000, 1050, 0, 0}));
    EXPECT_EQ(scripted::CallsStartingWith("MyVardoChn_RecordStart").size(), 1u);
}

TEST_F(AlarmRecording, ADeviceWithoutChannelsRecordsNothing) {
    device::DeviceRecord record{dev, {}, {}};
    scripted::ClearCalls();
    EXPECT_EQ(device::StartAlarmRecording(record, 1000, Path), 0);
    EXPECT_TRUE(scripted::Calls().empty());
}

TEST_F(AlarmRecording, TheTimerStopsOnlyOnceStartPlusDurationIsPast) {
    struct Case {
        std::int64_t duration;
        std::int64_t now;
        bool stops;
    };
    const Case cases[] = {
        {90, 1000, false}, {90, 1090, false}, {90, 1091, true},
        {0, 1000, false},  {0, 1001, true},   {-5, 1000, true},
        {-5, 996, true},   {-5, 995, false},  {2147483647, 1'900'000'000, false},
    };
    for (const auto& c : cases) {
        dev = scripted::AddDevice({.name = "X7"});  // a channel that is not recording
        std::vector<device::DeviceRecord> records{{dev, {Create(1), 0, 0, 0}, {}}};
        device::StartAlarmRecording(records[0], 1000, Path);
        const HVARDOCHN chn = records[0].channels[0];
        scripted::ClearCalls();
        EXPECT_EQ(device::StopDueRecordings(records, c.duration, c.now), c.stops ? 1 : 0)
            << c.duration << " at " << c.now;
        if (c.stops) {
            EXPECT_EQ(scripted::Calls(), (std::vector<std::string>{
                                             Call("MyVardoChn_IsRecording", chn),
                                             Call("MyVardoChn_VSourceStop", chn),
                                             Call("MyVardoChn_ASourceStop", chn),
                                             Call("MyVardoChn_RecordStop", chn),
                                         }));
            EXPECT_EQ(records[0].recordStart[0], 0);
        } else {
            EXPECT_EQ(records[0].recordStart[0], 1000);
        }
    }
}

TEST_F(AlarmRecording, EveryStoppedChannelGetsAllThreeStopsAndOthersAreLeftAlone) {
    const auto other = scripted::AddDevice({.name = "Y1"});
    std::vector<device::DeviceRecord> records{
        {dev, {Create(1), 0, Create(3), 0}, {}},
        {other, {MyVardoDev_CreateChannel(other, 1, nullptr), 0, 0, 0}, {}},
    };
    device::StartAlarmRecording(records[0], 1000, Path);
    device::StartAlarmRecording(records[1], 1060, Path);
    scripted::EndRecording(records[0].channels[2]);  // ended by the library: only tidied up
    EXPECT_EQ(device::StopDueRecordings(records, 90, 1100), 1);
    EXPECT_EQ(scripted::CallsStartingWith("MyVardoChn_RecordStop"),
              (std::vector<std::string>{Call("MyVardoChn_RecordStop", records[0].channels[0]),
                                        Call("MyVardoChn_RecordStop", records[0].channels[2])}));
    EXPECT_TRUE(scripted::Channel(records[1].channels[0])->recording);
    EXPECT_EQ(records[1].recordStart[0], 1060);
}

// A start time means "a recording this record started runs": a start the
// library refused gets none, and the sources started for it stop again.
TEST_F(AlarmRecording, AStartTheLibraryRefusesLeavesNoStartTimeAndNoSources) {
    device::DeviceRecord record{dev, {Create(1), Create(2), 0, 0}, {}};
    record.recordStart[0] = 900;  // from an earlier recording the library ended
    scripted::RefuseRecordings(record.channels[0], true);
    EXPECT_EQ(device::StartAlarmRecording(record, 1000, Path), 1);
    EXPECT_EQ(record.recordStart, (std::array<std::int64_t, 4>{0, 1000, 0, 0}));
    const auto refused = scripted::Channel(record.channels[0]);
    EXPECT_FALSE(refused->recording);
    EXPECT_FALSE(refused->video);
    EXPECT_FALSE(refused->audio);
    EXPECT_TRUE(scripted::Channel(record.channels[1])->video);
}

// The library ended a recording by itself (disk full): the next tick stops
// its sources and forgets its start, whatever the duration.
TEST_F(AlarmRecording, TheTimerStopsTheSourcesOfARecordingTheLibraryEnded) {
    std::vector<device::DeviceRecord> records{{dev, {Create(1), 0, 0, 0}, {}}};
    const HVARDOCHN chn = records[0].channels[0];
    device::StartAlarmRecording(records[0], 1000, Path);
    scripted::EndRecording(chn);
    ASSERT_TRUE(scripted::Channel(chn)->video);
    scripted::ClearCalls();
    EXPECT_EQ(device::StopDueRecordings(records, 90, 1001), 0);
    EXPECT_EQ(scripted::Calls(),
              (std::vector<std::string>{
                  Call("MyVardoChn_IsRecording", chn), Call("MyVardoChn_VSourceStop", chn),
                  Call("MyVardoChn_ASourceStop", chn), Call("MyVardoChn_RecordStop", chn)}));
    EXPECT_FALSE(scripted::Channel(chn)->video);
    EXPECT_FALSE(scripted::Channel(chn)->audio);
    EXPECT_EQ(records[0].recordStart[0], 0);
    scripted::ClearCalls();
    EXPECT_EQ(device::StopDueRecordings(records, 90, 1002), 0);
    EXPECT_TRUE(scripted::Calls().empty());
}

// Two rows of one device (it came back while its old row recorded) share
// its channels. The old row's time, left from a recording the library ended,
// must not stop the new row's recording before its own duration.
TEST_F(AlarmRecording, AnotherRowsStaleStartNeverStopsALaterRecording) {
    const HVARDOCHN chn = Create(1);
    const auto other = scripted::AddDevice({.name = "Y1"});
    const HVARDOCHN otherChn = MyVardoDev_CreateChannel(other, 1, nullptr);
    std::vector<device::DeviceRecord> records{
        {dev, {chn, 0, 0, 0}, {}}, {other, {otherChn, 0, 0, 0}, {}}, {dev, {chn, 0, 0, 0}, {}}};
    device::StartAlarmRecording(records, 0, 1000, Path);
    device::StartAlarmRecording(records, 1, 1000, Path);
    scripted::EndRecording(chn);  // between two ticks
    EXPECT_EQ(device::StartAlarmRecording(records, 2, 1050, Path), 1);
    EXPECT_EQ(records[0].recordStart[0], 0);
    EXPECT_EQ(records[1].recordStart[0], 1000);  // another device: left alone
    EXPECT_EQ(device::StopDueRecordings(records, 5, 1052), 1);
    EXPECT_TRUE(scripted::Channel(chn)->recording);
    EXPECT_EQ(device::StopDueRecordings(records, 5, 1056), 1);
    EXPECT_FALSE(scripted::Channel(chn)->recording);
}

}  // namespace
