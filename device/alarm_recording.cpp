#include "device/alarm_recording.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace device {
namespace {

// File names are limited to 255 bytes on the usual file systems; the rest
// of the name ("-chn01-20261208-164952-99.avi") takes under 40.
constexpr std::size_t kMaxNameBytes = 200;

bool IsReserved(unsigned char c) {
    switch (c) {
        case '/':
        case '\\':
        case '<':
        case '>':
        case ':':
        case '"':
        case '|':
        case '?':
        case '*':
            return true;
        default:
            return c < 0x20 || c == 0x7F;
    }
}

std::string TimeStamp(std::chrono::system_clock::time_point start) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(start);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d%02d%02d-%02d%02d%02d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text.data();
}

std::string ChannelPart(int channel) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "-chn%02d-", channel);
    return text.data();
}

bool ExistsOnDisk(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::path(path), error);
}

}  // namespace

std::string SafeFileNamePart(std::string_view deviceName) {
    std::string safe;
    safe.reserve(deviceName.size());
    for (const char c : deviceName) {
        safe.push_back(IsReserved(static_cast<unsigned char>(c)) ? '_' : c);
    }
    if (safe.size() > kMaxNameBytes) {
        std::size_t cut = kMaxNameBytes;
        // Back up to the start of a character.
        while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        safe.resize(cut);
    }
    if (safe.empty()) {
        safe = "unnamed";
    }
    return safe;
}

std::string RecordingPath(std::string_view moduleDir, std::string_view deviceName, int channel,
                          std::chrono::system_clock::time_point start) {
    std::string path(moduleDir);
    path += "EventRecord/";
    path += SafeFileNamePart(deviceName);
    path += ChannelPart(channel);
    path += TimeStamp(start);
    path += ".avi";
    return path;
}

std::string RecordingPaths::Next(std::string_view moduleDir, std::string_view deviceName,
                                 int channel, std::chrono::system_clock::time_point start) {
    const auto second =
        std::chrono::duration_cast<std::chrono::seconds>(start.time_since_epoch()).count();
    if (second != second_) {
        second_ = second;
        issued_.clear();
    }
    const std::string base = RecordingPath(moduleDir, deviceName, channel, start);
    std::string path = base;
    const std::string stem = base.substr(0, base.size() - 4);  // without ".avi"
    for (int n = 2; issued_.count(path) != 0 || ExistsOnDisk(path); ++n) {
        path = stem + "-" + std::to_string(n) + ".avi";
    }
    issued_.insert(path);
    return path;
}

namespace {

// Video, audio and the recording, in that order; the audio stop is harmless
// on a channel whose audio never started.
void StopChannel(HVARDOCHN channel) {
    MyVardoChn_VSourceStop(channel);
    MyVardoChn_ASourceStop(channel);
    MyVardoChn_RecordStop(channel);
}

// Starts what an alarm starts on `record`; gives the slots that record now.
std::array<bool, kMaxChannels> StartSlots(DeviceRecord& record, std::int64_t now,
                                          const std::function<std::string(int channel)>& pathFor) {
    std::array<bool, kMaxChannels> started{};
    for (int slot = 0; slot < kMaxChannels; ++slot) {
        const auto j = static_cast<std::size_t>(slot);
        const HVARDOCHN channel = record.channels[j];
        if (channel == 0) {
            continue;
        }
        // A running recording is neither restarted nor lengthened.
        if (MyVardoChn_IsRecording(channel) != 0) {
            continue;
        }
        MyVardoChn_VSourceStart(channel);
        if (slot == 0) {
            MyVardoChn_ASourceStart(channel);
        }
        const std::string path = pathFor(slot + 1);
        MyVardoChn_RecordStart(channel, path.c_str(), 0);
        // The library may refuse (no file, no thread): a start time is noted
        // only for a recording that runs, and sources started for nothing
        // would stream until logout.
        if (MyVardoChn_IsRecording(channel) == 0) {
            StopChannel(channel);
            record.recordStart[j] = 0;
            continue;
        }
        record.recordStart[j] = now;
        started[j] = true;
    }
    return started;
}

}  // namespace

int StartAlarmRecording(DeviceRecord& record, std::int64_t now,
                        const std::function<std::string(int channel)>& pathFor) {
    const auto started = StartSlots(record, now, pathFor);
    return static_cast<int>(std::count(started.begin(), started.end(), true));
}

int StartAlarmRecording(std::vector<DeviceRecord>& records, std::size_t index, std::int64_t now,
                        const std::function<std::string(int channel)>& pathFor) {
    DeviceRecord& owner = records[index];
    const auto started = StartSlots(owner, now, pathFor);
    const auto count = static_cast<int>(std::count(started.begin(), started.end(), true));
    if (count == 0) {
        return 0;
    }
    // Rows of the same device share its channels. A channel that was free to
    // start cannot be recording for another row: a time such a row still
    // holds is stale and would stop this recording early.
    for (std::size_t i = 0; i < records.size(); ++i) {
        DeviceRecord& other = records[i];
        if (i == index || other.device != owner.device) {
            continue;
        }
        for (std::size_t j = 0; j < kMaxChannels; ++j) {
            if (started[j] && other.channels[j] == owner.channels[j]) {
                other.recordStart[j] = 0;
            }
        }
    }
    return count;
}

int StopDueRecordings(std::vector<DeviceRecord>& records, std::int64_t durationSeconds,
                      std::int64_t now) {
    int stopped = 0;
    for (auto& record : records) {
        for (std::size_t slot = 0; slot < kMaxChannels; ++slot) {
            const HVARDOCHN channel = record.channels[slot];
            // Only an alarm starts a recording, and it notes its start; a
            // slot without one has nothing for the timer to end. This keeps
            // the tick from asking the library about every channel of every
            // device each second.
            if (channel == 0 || record.recordStart[slot] == 0) {
                continue;
            }
            if (MyVardoChn_IsRecording(channel) == 0) {
                // The library ended it (disk full, write error): its sources
                // would stream on until logout, and the library still holds
                // the ended recording.
                StopChannel(channel);
                record.recordStart[slot] = 0;
                continue;
            }
            if (record.recordStart[slot] + durationSeconds < now) {
                StopChannel(channel);
                record.recordStart[slot] = 0;
                ++stopped;
            }
        }
    }
    return stopped;
}

}  // namespace device
