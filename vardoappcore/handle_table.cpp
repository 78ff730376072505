#include "vardoappcore/handle_table.h"

#include <cstring>
#include <limits>

#include "text/utf8.h"
#include "vardoappcore/app_instance.h"

namespace vardo {

std::string capDeviceText(std::string_view text) {
    return std::string(text.substr(0, text::Utf8PrefixLength(text, kMaxDeviceTextBytes)));
}

HandleTable& HandleTable::get() {
    static HandleTable table;
    return table;
}

std::uint32_t HandleTable::nextHandle() {
    if (lastHandle_ == std::numeric_limits<std::uint32_t>::max()) {
        return 0;
    }
    return ++lastHandle_;
}

HandleTable::Device* HandleTable::findDeviceLocked(HVARDODEV device, FoundDevice& last) const {
    // Elements of the map stay where they are until erased, and every erase
    // forgets the devices found.
    if (last.device != nullptr && last.handle == device) {
        return last.device;
    }
    const auto it = devices_.find(device);
    if (it == devices_.end()) {
        return nullptr;
    }
    last = {device, const_cast<Device*>(&it->second)};
    return last.device;
}

HVARDOAPP HandleTable::addApp(std::shared_ptr<AppInstance> app) {
    const std::lock_guard lock(mutex_);
    const std::uint32_t handle = nextHandle();
    if (handle != 0) {
        apps_.emplace(handle, std::move(app));
    }
    return handle;
}

std::shared_ptr<AppInstance> HandleTable::app(HVARDOAPP handle) const {
    const std::lock_guard lock(mutex_);
    const auto it = apps_.find(handle);
    return it == apps_.end() ? nullptr : it->second;
}

bool HandleTable::appActive(HVARDOAPP handle) const {
    const std::lock_guard lock(mutex_);
    const auto it = apps_.find(handle);
    return it != apps_.end() && it->second && it->second->isActive();
}

std::shared_ptr<AppInstance> HandleTable::removeApp(HVARDOAPP handle) {
    const std::lock_guard lock(mutex_);
    const auto it = apps_.find(handle);
    if (it == apps_.end()) {
        return nullptr;
    }
    auto app = std::move(it->second);
    apps_.erase(it);
    std::erase_if(devices_, [handle](const auto& entry) { return entry.second.owner == handle; });
    forgetFoundLocked();
    std::erase_if(channels_, [handle](const auto& entry) { return entry.second.app == handle; });
    return app;
}

HVARDODEV HandleTable::addDevice(HVARDOAPP owner, const std::string& id, DeviceView first) {
    const std::lock_guard lock(mutex_);
    if (!apps_.contains(owner)) {
        return 0;
    }
    const std::uint32_t handle = nextHandle();
    if (handle != 0) {
        Device device;
        device.owner = owner;
        device.id = id;
        device.views.push_back(std::move(first));
        devices_.emplace(handle, std::move(device));
    }
    return handle;
}

void HandleTable::pushView(HVARDODEV device, DeviceView view) {
    const std::lock_guard lock(mutex_);
    Device* const found = findForWriteLocked(device);
    if (found != nullptr) {
        pushViewLocked(*found, std::move(view));
    }
}

bool HandleTable::pushViewLocked(Device& device, DeviceView view) {
    auto& views = device.views;
    if (device.frontRead) {
        views.pop_front();
        device.frontRead = false;
    }
    views.push_back(std::move(view));
    bool dropped = false;
    while (views.size() > kMaxPendingViews) {
        views.pop_front();
        ++droppedViews_;
        dropped = true;
    }
    return dropped;
}

bool HandleTable::pushFix(HVARDODEV device, std::string_view gps, std::int64_t receivedAtMs,
                          const std::optional<std::string>& vehicle,
                          const std::optional<std::string>& driver,
                          const VARDO_EVENT_NUMBER& number) {
    const std::lock_guard lock(mutex_);
    Device* const found = findForWriteLocked(device);
    if (found == nullptr) {
        return false;
    }
    DeviceView view = found->views.back();
    view.gps = capDeviceText(gps);
    view.receivedAtMs = receivedAtMs;
    if (vehicle) {
        view.vehicle = capDeviceText(*vehicle);
    }
    if (driver) {
        view.driver = capDeviceText(*driver);
    }
    const bool dropped = pushViewLocked(*found, std::move(view));
    pushNumberLocked(*found, number);
    return dropped;
}

void HandleTable::setOfflineAt(HVARDODEV device, std::int64_t receivedAtMs) {
    const std::lock_guard lock(mutex_);
    if (Device* const found = findForWriteLocked(device); found != nullptr) {
        found->offlineAtMs = receivedAtMs;
    }
}

void HandleTable::updateStatic(HVARDODEV device, const std::string& name, std::int32_t channels) {
    const std::lock_guard lock(mutex_);
    Device* const found = findForWriteLocked(device);
    if (found == nullptr) {
        return;
    }
    DeviceView& latest = found->views.back();
    latest.name = name;
    latest.channels = channels;
}

std::optional<DeviceView> HandleTable::latestView(HVARDODEV device) const {
    const std::lock_guard lock(mutex_);
    Device* const found = findForWriteLocked(device);
    if (found == nullptr) {
        return std::nullopt;
    }
    return found->views.back();
}

void HandleTable::forgetDevices(HVARDOAPP owner) {
    const std::lock_guard lock(mutex_);
    std::erase_if(devices_, [owner](const auto& entry) { return entry.second.owner == owner; });
    forgetFoundLocked();
    std::erase_if(channels_, [owner](const auto& entry) { return entry.second.app == owner; });
}

std::size_t HandleTable::deviceCount() const {
    const std::lock_guard lock(mutex_);
    return devices_.size();
}

int HandleTable::readInfo(HVARDODEV device, int item, void* buffer, int bufferSize) {
    if (buffer == nullptr || bufferSize <= 0) {
        return 0;
    }
    const std::lock_guard lock(mutex_);
    Device* const found = findForReadLocked(device);
    if (found == nullptr) {
        return 0;
    }
    auto& views = found->views;
    const DeviceView& view = views.front();
    const std::string* text = nullptr;
    switch (item) {
        case DEVINFO_NAME:
            text = &view.name;
            break;
        case DEVINFO_VEHICLE_ID:
            text = &view.vehicle;
            break;
        case DEVINFO_DRIVER_NAME:
            text = &view.driver;
            break;
        case DEVINFO_GPS:
            text = &view.gps;
            break;
        case DEVINFO_CHANNEL:
            if (bufferSize < static_cast<int>(sizeof(std::int32_t))) {
                return 0;
            }
            std::memcpy(buffer, &view.channels, sizeof(std::int32_t));
            return 1;
        case DEVINFO_RECEIVED_AT:
        case DEVINFO_OFFLINE_AT: {
            if (bufferSize < static_cast<int>(sizeof(std::int64_t))) {
                return 0;
            }
            const std::int64_t at =
                item == DEVINFO_OFFLINE_AT ? found->offlineAtMs : view.receivedAtMs;
            std::memcpy(buffer, &at, sizeof at);
            return 1;
        }
        default:
            return 0;
    }
    // Texts are valid UTF-8 (the decoder saw to that), so a cut at a
    // character boundary keeps them valid.
    const std::size_t length =
        text::Utf8PrefixLength(*text, static_cast<std::size_t>(bufferSize) - 1);
    std::memcpy(buffer, text->data(), length);
    static_cast<char*>(buffer)[length] = '\0';
    if (item == DEVINFO_GPS) {
        if (views.size() > 1) {
            views.pop_front();
        } else {
            found->frontRead = true;
        }
    }
    return 1;
}

bool HandleTable::setUserData(HVARDODEV device, std::uint32_t value) {
    const std::lock_guard lock(mutex_);
    Device* const found = findForReadLocked(device);
    if (found == nullptr) {
        return false;
    }
    found->userData = value;
    return true;
}

std::uint32_t HandleTable::userData(HVARDODEV device) const {
    const std::lock_guard lock(mutex_);
    Device* const found = findForReadLocked(device);
    return found == nullptr ? 0 : found->userData;
}

std::size_t HandleTable::droppedViews() const {
    const std::lock_guard lock(mutex_);
    return droppedViews_;
}

void HandleTable::pushNumber(HVARDODEV device, const VARDO_EVENT_NUMBER& number) {
    const std::lock_guard lock(mutex_);
    Device* const found = findForWriteLocked(device);
    if (found != nullptr) {
        pushNumberLocked(*found, number);
    }
}

void HandleTable::pushNumberLocked(Device& device, const VARDO_EVENT_NUMBER& number) {
    auto& numbers = device.numbers;
    numbers.push_back(number);
    // A caller that never takes them is not harmed: the oldest go.
    while (numbers.size() > kMaxPendingViews) {
        numbers.pop_front();
    }
}

bool HandleTable::takeNumber(HVARDODEV device, VARDO_EVENT_NUMBER& number) {
    const std::lock_guard lock(mutex_);
    Device* const found = findForReadLocked(device);
    if (found == nullptr) {
        return false;
    }
    auto& numbers = found->numbers;
    if (numbers.empty()) {
        number = {};
    } else {
        number = numbers.front();
        numbers.pop_front();
    }
    return true;
}

HVARDOCHN HandleTable::channel(HVARDODEV device, int number) {
    const std::lock_guard lock(mutex_);
    Device* const found = findForReadLocked(device);
    if (found == nullptr || number < 1 || number > 4 || number > found->views.back().channels) {
        return 0;
    }
    HVARDOCHN& slot = found->channels[number - 1];
    if (slot == 0) {
        slot = nextHandle();
        if (slot != 0) {
            channels_.emplace(slot, ChannelRef{found->owner, device, found->id, number});
        }
    }
    return slot;
}

std::optional<ChannelRef> HandleTable::channelRef(HVARDOCHN channel) const {
    const std::lock_guard lock(mutex_);
    const auto it = channels_.find(channel);
    if (it == channels_.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace vardo
