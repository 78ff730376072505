#pragma once
// The device library's API. The event server is written against these
// functions only; two implementations provide them: the network library in
// vardoappcore/ (speaking the center protocol) and the scripted library in
// testsupport/ that tests drive. A program links exactly one of them.
//
// Handles are opaque 32-bit numbers; 0 is never a valid handle. Device and
// channel handles are unique across all instances of one process.
//
// Threads: every function may be called from the window thread while the
// library's own thread runs. The library never calls into the caller: it only
// posts `WM_DEVICE_NOTIFY`-style messages (the number given to
// MyVardoApp_Construct) to the window, with the notification kind as wParam
// and the device handle as lParam.

#include <cstdint>

#include "vardoappcore/api/win_types.h"

using HVARDOAPP = std::uint32_t;
using HVARDODEV = std::uint32_t;
using HVARDOCHN = std::uint32_t;

// The message by which the library reports (WM_USER + 0x100).
constexpr UINT WM_DEVICE_NOTIFY = 0x500;

// Notification kinds (wParam of WM_DEVICE_NOTIFY).
constexpr WPARAM NOTIFY_DEVICE_ONLINE = 0x81;
constexpr WPARAM NOTIFY_DEVICE_GPS = 0x82;
constexpr WPARAM NOTIFY_DEVICE_OFFLINE = 0x83;
constexpr WPARAM NOTIFY_ALARM_FIRST = 0xA8;
constexpr WPARAM NOTIFY_ALARM_LAST = 0xAF;

// Items of MyVardoDev_GetDevInfo.
constexpr int DEVINFO_NAME = 0;         // NUL-terminated UTF-8, cut to the buffer
constexpr int DEVINFO_VEHICLE_ID = 1;   // as DEVINFO_NAME
constexpr int DEVINFO_DRIVER_NAME = 2;  // as DEVINFO_NAME
constexpr int DEVINFO_CHANNEL = 3;      // std::int32_t, buffer of 4 bytes
constexpr int DEVINFO_GPS = 7;          // latest GPS text, as DEVINFO_NAME

// Instance. Construct gives 0 on failure.
HVARDOAPP MyVardoApp_Construct(HWND hWnd, UINT message);
void MyVardoApp_Destruct(HVARDOAPP app);
void MyVardoApp_SetCenterServer(HVARDOAPP app, const char* address, int tcpPort, int udpPort);
// Starts logging in in the background; the result shows through
// MyVardoApp_IsActive and the notifications.
void MyVardoApp_Login(HVARDOAPP app, const char* user, const char* password);
void MyVardoApp_Logout(HVARDOAPP app);
// Nonzero from a successful login until logout.
int MyVardoApp_IsActive(HVARDOAPP app);

// States of the connection to the center server (MyVardoApp_GetCenterState).
constexpr int CENTER_IDLE = 0;        // no login asked for, or logged out
constexpr int CENTER_CONNECTING = 1;  // the first attempt after a login runs
constexpr int CENTER_LOGGED_IN = 2;
constexpr int CENTER_RETRYING = 3;  // unreachable or lost; tried again after a back-off
constexpr int CENTER_REFUSED = 4;   // the login was refused or cannot work; not tried again
// The state of the center connection; `reason` (may be null) receives why
// the last attempt failed, as NUL-terminated UTF-8 cut to the buffer (empty
// when nothing failed).
int MyVardoApp_GetCenterState(HVARDOAPP app, char* reason, int reasonSize);
// Recordings of the instance that ended without a single frame or sound (a
// wrong UDP port, a firewall); their files are removed. 0 for an unknown app.
std::uint64_t MyVardoApp_GetEmptyRecordings(HVARDOAPP app);

// Devices. GetDevInfo fills the buffer and returns nonzero when the device and
// item are known; an unknown device or item leaves the buffer as it was.
int MyVardoDev_GetDevInfo(HVARDODEV dev, int item, void* buffer, int bufferSize);
void MyVardoDev_SetUserData(HVARDODEV dev, std::uint32_t value);
std::uint32_t MyVardoDev_GetUserData(HVARDODEV dev);
// Channel number 1 to 4; 0 when the channel cannot be created.
HVARDOCHN MyVardoDev_CreateChannel(HVARDODEV dev, int channel, HWND hWnd);

// Channels.
void MyVardoChn_VSourceStart(HVARDOCHN chn);
void MyVardoChn_VSourceStop(HVARDOCHN chn);
void MyVardoChn_ASourceStart(HVARDOCHN chn);
void MyVardoChn_ASourceStop(HVARDOCHN chn);
// Path is UTF-8 and valid only during the call; flags must be 0. The library
// creates the folder when it is missing.
void MyVardoChn_RecordStart(HVARDOCHN chn, const char* path, int flags);
void MyVardoChn_RecordStop(HVARDOCHN chn);
int MyVardoChn_IsRecording(HVARDOCHN chn);
