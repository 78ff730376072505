#pragma once
// Alarm recording: which channels of a device start recording on an alarm,
// what their files are called, and when the timer stops them.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "device/device_record.h"

namespace device {

// A device name as one safe file-name part: path separators, control
// characters and the characters other systems reserve (<>:"|?*) become '_',
// an empty name becomes "unnamed", and a long one is cut (never inside a
// character) so that the whole file name stays within common limits.
std::string SafeFileNamePart(std::string_view deviceName);

// "<dir>EventRecord/<safe name>-chn<NN>-<YYYYMMDD-HHMMSS>.avi", the time in
// UTC. `moduleDir` ends in '/' (or is empty for the current directory).
std::string RecordingPath(std::string_view moduleDir, std::string_view deviceName, int channel,
                          std::chrono::system_clock::time_point start);

// Hands out recording paths that no other recording of this process uses
// and that name no file already on disk: a clash (two devices whose names
// become the same safe text, or two recordings within the same second) gets
// "-2", "-3", ... before ".avi".
class RecordingPaths {
public:
    std::string Next(std::string_view moduleDir, std::string_view deviceName, int channel,
                     std::chrono::system_clock::time_point start);

private:
    // Paths handed out during the current second: the library may not have
    // created their files yet. Older ones are on disk or never will be.
    std::int64_t second_ = 0;
    std::unordered_set<std::string> issued_;
};

// Starts every created channel of `record` that is not recording: video,
// audio on channel 1 only, then the recording into pathFor(channel number).
// A recording that runs gets `now` (seconds since 1970) as its start; one the
// library did not start gets its sources stopped again and no start time.
// So a start time always means "a recording this record started runs".
// Gives how many started.
int StartAlarmRecording(DeviceRecord& record, std::int64_t now,
                        const std::function<std::string(int channel)>& pathFor);
// The same for records[index], which also clears the start time another
// record of the same device (an earlier row of a device that came back)
// still holds for a channel started here.
int StartAlarmRecording(std::vector<DeviceRecord>& records, std::size_t index, std::int64_t now,
                        const std::function<std::string(int channel)>& pathFor);

// Stops every recording whose start plus `durationSeconds` is strictly
// before `now`: video, audio and recording, in that order. Gives how many
// stopped. A slot with a start time whose channel no longer records (the
// library ended it) gets the same three calls and loses its start time,
// without counting as stopped.
int StopDueRecordings(std::vector<DeviceRecord>& records, std::int64_t durationSeconds,
                      std::int64_t now);

}  // namespace device
