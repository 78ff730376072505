#pragma once
// An extension of the device library's API (vardo_app_core.h stays as it
// is): the numbers the center gives its events, and the point up to which
// the caller keeps them for good. A caller that uses it lets the library
// acknowledge an event to the center only once the caller has stored what
// the event said, so that a crash of the caller between the notification and
// its storage loses nothing: the center sends the event again at the next
// login. The number also lets the caller recognise an event it stored
// before the crash and receives again.
//
// Both implementations provide these functions: the network library and the
// scripted one of the tests. Against a center that does not number its
// events every number is {0, 0, 0} and the acknowledgements are as without
// this extension.

#include <cstdint>

#include "vardoappcore/api/vardo_app_core.h"

// The center's name for its numbering (0: none) and the event's place in it.
struct VARDO_EVENT_NUMBER {
    std::uint64_t epoch = 0;
    std::uint64_t seq = 0;  // 0: the notification comes from no numbered event
    std::uint32_t flags = 0;
};
// The notification gives the state of the center's list at a login, as of
// event `seq`: the number names the data (the same fix as event `seq`), but
// the events before it may still come, so it is no point to report durable.
constexpr std::uint32_t EVENT_NUMBER_LISTED = 1;

// Called before MyVardoApp_Login: from then on events are acknowledged only
// up to what MyVardoApp_SetDurable says, never merely because their
// notification was posted.
void MyVardoApp_AckWhenDurable(HVARDOAPP app);
// The number of the device's notification being handled. Every notification
// posted for a device has one, queued in posting order: call this once in the
// handler of each notification of the device (whatever its kind), before
// MyVardoDev_GetDevInfo. Returns nonzero when the device is known; an
// unknown device leaves `number` as it was.
int MyVardoDev_TakeEventNumber(HVARDODEV dev, VARDO_EVENT_NUMBER* number);
// Every event of `epoch` up to and including `seq` that the caller has had
// is kept for good (stored, synced). Events are handled in their order, so
// the caller reports the number of the latest one whose storage is synced.
// Any thread.
void MyVardoApp_SetDurable(HVARDOAPP app, std::uint64_t epoch, std::uint64_t seq);
