#pragma once
// The process-wide table of library handles: instances, devices and
// channels. Handles come from one counter, so they are unique across kinds
// and instances and never reused.
//
// Devices carry a queue of views, one per online or GPS notification posted
// for them: a notification's handler reads the data of that notification
// even when later updates have arrived meanwhile. Reading DEVINFO_GPS, the
// last item a handler reads, is done with the view: the next read answers
// from the next view, or, when none has come yet, from the view still there
// until the next one arrives. A caller that never reads GPS is not harmed:
// the queue is bounded and drops its oldest views.
//
// Texts are kept once, here, and no longer than the API can deliver them
// (see capDeviceText). A device is kept while its instance is logged in;
// at logout (after which the window has no rows of them and no recording
// runs) the instance's devices are forgotten. Their handles are not reused.
//
// Threads: every member takes the table's lock; the I/O threads add and
// update devices, the window thread reads them.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "vardoappcore/api/vardo_app_acks.h"
#include "vardoappcore/api/vardo_app_core.h"

namespace vardo {

class AppInstance;

struct DeviceView {
    std::string name;
    std::string vehicle;
    std::string driver;
    std::string gps;
    std::int32_t channels = 0;
    std::int64_t receivedAtMs = 0;  // the center's time of the message; 0: not said
    bool operator==(const DeviceView&) const = default;
};

// Texts read through MyVardoDev_GetDevInfo come in 512-byte buffers, the
// terminating NUL included: more is never delivered, so more is not kept.
inline constexpr std::size_t kMaxDeviceTextBytes = 511;
// The text cut to kMaxDeviceTextBytes at a character boundary (it is valid
// UTF-8).
std::string capDeviceText(std::string_view text);

struct ChannelRef {
    HVARDOAPP app = 0;
    HVARDODEV device = 0;
    std::string deviceId;
    int number = 0;
};

class HandleTable {
public:
    // Views kept per device before the oldest unread one is dropped.
    static constexpr std::size_t kMaxPendingViews = 1024;

    static HandleTable& get();

    // Instances. Returns 0 when the handles are exhausted.
    HVARDOAPP addApp(std::shared_ptr<AppInstance> app);
    std::shared_ptr<AppInstance> app(HVARDOAPP handle) const;
    // Whether the instance is known and logged in: asked for every
    // notification, so answered under the lock without a counted copy of
    // the instance.
    bool appActive(HVARDOAPP handle) const;
    // Removes the instance with its devices and channels.
    std::shared_ptr<AppInstance> removeApp(HVARDOAPP handle);

    // Devices, with the view of their first online. Returns 0 when the owner
    // is unknown or handles are exhausted.
    HVARDODEV addDevice(HVARDOAPP owner, const std::string& id, DeviceView first);
    void pushView(HVARDODEV device, DeviceView view);
    // A GPS notification's view (the latest with the fix, its time and the
    // texts that came with it) and its number, pushed together. True when
    // the bound dropped an unread view to make room: a notification's data
    // is gone.
    bool pushFix(HVARDODEV device, std::string_view gps, std::int64_t receivedAtMs,
                 const std::optional<std::string>& vehicle,
                 const std::optional<std::string>& driver, const VARDO_EVENT_NUMBER& number);
    // The center's time of the device's latest offline (0: not known), read
    // through DEVINFO_OFFLINE_AT. The latest, not one per notification: a
    // handler that lags sees a later time, never an earlier one, so the
    // device's state still ends where the center left it.
    void setOfflineAt(HVARDODEV device, std::int64_t receivedAtMs);
    // Changes name and channel count in place, without a new view.
    void updateStatic(HVARDODEV device, const std::string& name, std::int32_t channels);
    // The newest view of the device; nothing for an unknown one.
    std::optional<DeviceView> latestView(HVARDODEV device) const;
    // Forgets the instance's devices and their channels (logout).
    void forgetDevices(HVARDOAPP owner);
    std::size_t deviceCount() const;
    // MyVardoDev_GetDevInfo. Returns nonzero when filled.
    int readInfo(HVARDODEV device, int item, void* buffer, int bufferSize);
    bool setUserData(HVARDODEV device, std::uint32_t value);
    std::uint32_t userData(HVARDODEV device) const;
    std::size_t droppedViews() const;
    // The center's numbers of the device's notifications, one per posted
    // notification, taken in order by MyVardoDev_TakeEventNumber (bounded
    // like the views). takeNumber: false for an unknown device; {} when the
    // queue is empty.
    void pushNumber(HVARDODEV device, const VARDO_EVENT_NUMBER& number);
    bool takeNumber(HVARDODEV device, VARDO_EVENT_NUMBER& number);

    // Channels: one per device and channel number, created at the first
    // request. Returns 0 for an unknown device or a number outside 1 to the
    // device's channel count.
    HVARDOCHN channel(HVARDODEV device, int number);
    std::optional<ChannelRef> channelRef(HVARDOCHN channel) const;

private:
    struct Device {
        HVARDOAPP owner = 0;
        std::string id;
        std::deque<DeviceView> views;  // front: what reads answer; never empty
        // The front's GPS text has been read: the next view replaces it.
        bool frontRead = false;
        std::int64_t offlineAtMs = 0;
        std::uint32_t userData = 0;
        HVARDOCHN channels[4] = {0, 0, 0, 0};
        std::deque<VARDO_EVENT_NUMBER> numbers;  // oldest first
    };

    // The device a caller found last: the handler of a notification asks
    // for the same device several times in a row. Lock held; forgotten at
    // every erase.
    struct FoundDevice {
        HVARDODEV handle = 0;
        Device* device = nullptr;
    };

    std::uint32_t nextHandle();  // 0 when exhausted; lock held
    // Null when unknown. Readers (the window thread) and writers (the I/O
    // threads) keep the device they found last apart: a fix for another
    // device, stored between two reads of a handler, then does not send
    // the handler's next read to the map.
    Device* findDeviceLocked(HVARDODEV device, FoundDevice& last) const;
    Device* findForReadLocked(HVARDODEV device) const {
        return findDeviceLocked(device, lastRead_);
    }
    Device* findForWriteLocked(HVARDODEV device) const {
        return findDeviceLocked(device, lastWritten_);
    }
    void forgetFoundLocked() { lastRead_ = lastWritten_ = {}; }
    bool pushViewLocked(Device& device, DeviceView view);  // true: one dropped
    static void pushNumberLocked(Device& device, const VARDO_EVENT_NUMBER& number);

    mutable std::mutex mutex_;
    std::uint32_t lastHandle_ = 0;
    std::unordered_map<std::uint32_t, std::shared_ptr<AppInstance>> apps_;
    std::unordered_map<std::uint32_t, Device> devices_;
    std::unordered_map<std::uint32_t, ChannelRef> channels_;
    std::size_t droppedViews_ = 0;
    mutable FoundDevice lastRead_;
    mutable FoundDevice lastWritten_;
};

}  // namespace vardo
