#pragma once
// The device library, scripted: every function of vardoappcore/api/
// vardo_app_core.h implemented in-process, plus this control API for tests.
// A test adds devices, sets what they report, posts their notifications to
// the window the instance was built with, and reads back every call the
// program made to the library, in order.
//
// Calls are recorded as text, `Function(arg, arg, ...)`, handles in decimal
// and strings in double quotes, e.g. `MyVardoChn_RecordStart(12, "EventRecord/x.avi", 0)`.
//
// Threads: every function, of the library and of the control API, may be
// called from any thread; one lock guards the state. Notifications are
// posted after the lock is released.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vardoappcore/api/vardo_app_acks.h"
#include "vardoappcore/api/vardo_app_core.h"

namespace scripted {

struct DeviceSpec {
    std::string name = {};
    std::string vehicle = {};
    std::string driver = {};
    std::int32_t channels = 4;
    std::string gps = {};
};

enum class LoginOutcome {
    Succeed,  // the instance is active as soon as Login returns
    Fail,     // it stays inactive, and the center state says refused
    Pending,  // it stays inactive until SetActive(app, true)
};

// Forgets everything but the handle counter: handles stay unique per process.
void Reset();

// Devices. A new device's user data is 0.
HVARDODEV AddDevice(const DeviceSpec& spec);
// Raw bytes of a text item (invalid UTF-8 and embedded NULs included).
void SetInfo(HVARDODEV dev, int item, std::string_view bytes);
void SetChannelCount(HVARDODEV dev, std::int32_t channels);
// Makes MyVardoDev_GetDevInfo refuse this item.
void ForgetInfo(HVARDODEV dev, int item);
// MyVardoDev_CreateChannel gives 0 for this channel number from now on.
void FailChannel(HVARDODEV dev, int channel);

// Instances.
void SetConstructFails(bool fails);
void SetLoginOutcome(LoginOutcome outcome);
void SetActive(HVARDOAPP app, bool active);
// What MyVardoApp_GetEmptyRecordings answers for the instance.
void SetEmptyRecordings(HVARDOAPP app, std::uint64_t count);
// The instance made last and not destroyed, or 0.
HVARDOAPP LastInstance();

// Notifications: posts the instance's message with wParam = kind and
// lParam = dev to its window. False when there is no such live instance.
bool Notify(WPARAM kind, HVARDODEV dev);
bool Notify(HVARDOAPP app, WPARAM kind, HVARDODEV dev);

// The library ends a recording by itself (disk full, device gone).
void EndRecording(HVARDOCHN chn);
// MyVardoChn_RecordStart does not start a recording on this channel (the
// file cannot be made, too many open files) until refuse is false again.
void RefuseRecordings(HVARDOCHN chn, bool refuse);

// Inspection.
struct InstanceState {
    HWND window = nullptr;
    UINT message = 0;
    std::string address;
    int tcpPort = 0;
    int udpPort = 0;
    std::string user;
    std::string password;
    bool active = false;
    bool destroyed = false;
    int logins = 0;
    int logouts = 0;
    int centerState = 0;  // CENTER_* of the API
    std::uint64_t emptyRecordings = 0;
};
std::optional<InstanceState> Instance(HVARDOAPP app);

struct ChannelState {
    HVARDODEV device = 0;
    int number = 0;
    HWND window = nullptr;
    bool video = false;
    bool audio = false;
    bool recording = false;
    std::string path;    // of the latest recording
    int recordings = 0;  // how many were started
};
std::optional<ChannelState> Channel(HVARDOCHN chn);
// Channels created for the device, oldest first. Like the network library,
// MyVardoDev_CreateChannel gives a device one channel per number: asked
// again, it hands out the same handle.
std::vector<HVARDOCHN> ChannelsOf(HVARDODEV dev);
std::uint32_t UserData(HVARDODEV dev);

// The extension of vardo_app_acks.h is not in the call log (the calls of
// the core API stay as a test expects them): its state shows here.
// The number MyVardoDev_TakeEventNumber gives for the notification posted
// with it (one per Notify; a Notify without one queues {}).
bool Notify(HVARDOAPP app, WPARAM kind, HVARDODEV dev, const VARDO_EVENT_NUMBER& number);
struct AckState {
    bool whenDurable = false;  // MyVardoApp_AckWhenDurable was called
    std::uint64_t epoch = 0;   // the latest MyVardoApp_SetDurable
    std::uint64_t seq = 0;
};
std::optional<AckState> Acks(HVARDOAPP app);

// The call log. Turned off, calls are not recorded (for benchmarks).
void SetCallLog(bool enabled);
std::vector<std::string> Calls();
std::vector<std::string> CallsStartingWith(std::string_view prefix);
void ClearCalls();

}  // namespace scripted
