#pragma once
// What the center server says about devices, turned into the library's
// notifications: one online per online period, offline only for a device
// reported online, and after a reconnect a reconciliation against the
// server's list, so that a device that stayed online is not reported twice
// and one that vanished meanwhile is reported offline.
//
// What a device's messages say is kept once, in the handle table, cut to
// what the API can deliver. A device identifier longer than any real one
// (kMaxDeviceIdBytes) is refused: it would be kept in full, in several
// places, for as long as the device is known.
//
// Thread: the instance's I/O thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "protocol/messages.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/handle_table.h"

namespace vardo {

class NotificationSink {
public:
    virtual void notify(WPARAM kind, HVARDODEV device) = 0;

protected:
    ~NotificationSink() = default;
};

class DeviceTracker {
public:
    static constexpr std::size_t kMaxDeviceIdBytes = 255;

    DeviceTracker(HVARDOAPP app, HandleTable& table, NotificationSink& sink)
        : app_(app), table_(table), sink_(sink) {}

    // After login_ok: the `online` messages that follow are the server's list
    // of online devices, up to `synced` or the first other message.
    void beginSync();
    // A message from the server after login_ok. `comesAgain`: a listed
    // `online` whose changes the server sends again as events after the
    // list, so a device still online takes them from there, in order.
    // `number`: the center's number of the message, given to the
    // notifications it causes.
    void apply(const protocol::Message& message, bool comesAgain = false,
               const VARDO_EVENT_NUMBER& number = {});
    // Every device is offline from now on. With `report`, the devices that
    // were online are reported offline (the session ended for good);
    // without, nothing is posted (the caller is logging out).
    void endSession(bool report);
    // Forgets every device (logout: the window has no rows of them any
    // more); a device that comes back later gets a new handle.
    void forgetDevices();

    // The device's handle, 0 when it has never been online.
    HVARDODEV handleOf(const std::string& id) const;
    // Events that named an unknown or offline device, or that tried to pass
    // an online/GPS/offline kind as a plain event.
    std::size_t ignoredEvents() const { return ignored_; }

private:
    struct Device {
        HVARDODEV handle = 0;
        bool online = false;
        bool seen = false;  // listed since the last beginSync
    };

    void finishSync();
    void online(const protocol::Online& m, bool comesAgain);
    void gps(const protocol::Gps& m);
    // Reports the device of a fix sent again online, when it is not.
    // The device of a numbered fix, made online when it was not; null when
    // it cannot be (counted as ignored).
    Device* comeBackFor(const protocol::Gps& m);
    void offline(const protocol::Offline& m);
    void forward(const std::string& id, WPARAM kind);
    // Reports the device offline; `at` is the center's time, or 0.
    void reportOffline(Device& device, std::int64_t at);
    void noteTime(const protocol::ReceivedAtMs& at);
    // Posts the notification with the number of the message in hand.
    void post(WPARAM kind, HVARDODEV device);
    Device* onlineDevice(const std::string& id);

    HVARDOAPP app_;
    HandleTable& table_;
    NotificationSink& sink_;
    std::unordered_map<std::string, Device> devices_;
    bool syncing_ = false;
    bool longIdLogged_ = false;  // once per login
    std::size_t ignored_ = 0;
    std::uint64_t viewsDropped_ = 0;  // unread notifications' data the table's bound dropped
    // The newest center time heard. An offline the library concludes itself
    // (the device missing from the list, the session ended) is dated just
    // after it: on the center's clock, after everything the center said, and
    // before anything it says later.
    std::int64_t lastAtMs_ = 0;
    VARDO_EVENT_NUMBER number_{};  // of the message being applied
};

}  // namespace vardo
