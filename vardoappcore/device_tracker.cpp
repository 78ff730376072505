#include "vardoappcore/device_tracker.h"

#include <type_traits>

namespace vardo {

void DeviceTracker::beginSync() {
    syncing_ = true;
    for (auto& [id, device] : devices_) {
        device.seen = false;
    }
}

void DeviceTracker::finishSync() {
    syncing_ = false;
    for (auto& [id, device] : devices_) {
        if (device.online && !device.seen) {
            device.online = false;
            sink_.notify(NOTIFY_DEVICE_OFFLINE, device.handle);
        }
    }
}

void DeviceTracker::apply(const protocol::Message& message) {
    if (syncing_ && !std::holds_alternative<protocol::Online>(message)) {
        finishSync();
    }
    std::visit(
        [this](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, protocol::Online>) {
                online(m);
            } else if constexpr (std::is_same_v<T, protocol::Gps>) {
                gps(m);
            } else if constexpr (std::is_same_v<T, protocol::Offline>) {
                offline(m.dev);
            } else if constexpr (std::is_same_v<T, protocol::Alarm>) {
                forward(m.dev, NOTIFY_ALARM_FIRST + static_cast<WPARAM>(m.alarm));
            } else if constexpr (std::is_same_v<T, protocol::Event>) {
                const auto kind = static_cast<WPARAM>(m.kind);
                if (kind >= NOTIFY_DEVICE_ONLINE && kind <= NOTIFY_DEVICE_OFFLINE) {
                    // Would bypass the online bookkeeping; those have their own messages.
                    ++ignored_;
                } else {
                    forward(m.dev, kind);
                }
            }
        },
        message);
}

void DeviceTracker::online(const protocol::Online& m) {
    DeviceView view{m.name, m.vehicle, m.driver, m.gps, m.channels};
    auto [it, added] = devices_.try_emplace(m.dev);
    Device& device = it->second;
    if (added) {
        device.handle = table_.addDevice(app_, m.dev, view);
        if (device.handle == 0) {
            devices_.erase(it);
            ++ignored_;
            return;
        }
    } else if (!device.online) {
        table_.pushView(device.handle, view);
    }
    device.seen = true;
    if (!device.online) {
        device.online = true;
        device.latest = std::move(view);
        sink_.notify(NOTIFY_DEVICE_ONLINE, device.handle);
        return;
    }
    // Still online (listed again after a reconnect, or a repeated online):
    // no second online; what changed meanwhile arrives as a GPS update.
    const bool moved = view.gps != device.latest.gps || view.vehicle != device.latest.vehicle ||
                       view.driver != device.latest.driver;
    const bool renamed = view.name != device.latest.name || view.channels != device.latest.channels;
    device.latest = view;
    if (moved) {
        table_.pushView(device.handle, std::move(view));
        sink_.notify(NOTIFY_DEVICE_GPS, device.handle);
    } else if (renamed) {
        table_.updateStatic(device.handle, view.name, view.channels);
    }
}

void DeviceTracker::gps(const protocol::Gps& m) {
    Device* device = onlineDevice(m.dev);
    if (device == nullptr) {
        return;
    }
    device->latest.gps = m.gps;
    if (m.vehicle) {
        device->latest.vehicle = *m.vehicle;
    }
    if (m.driver) {
        device->latest.driver = *m.driver;
    }
    table_.pushView(device->handle, device->latest);
    sink_.notify(NOTIFY_DEVICE_GPS, device->handle);
}

void DeviceTracker::offline(const std::string& id) {
    Device* device = onlineDevice(id);
    if (device == nullptr) {
        return;
    }
    device->online = false;
    sink_.notify(NOTIFY_DEVICE_OFFLINE, device->handle);
}

void DeviceTracker::forward(const std::string& id, WPARAM kind) {
    if (Device* device = onlineDevice(id)) {
        sink_.notify(kind, device->handle);
    }
}

DeviceTracker::Device* DeviceTracker::onlineDevice(const std::string& id) {
    const auto it = devices_.find(id);
    if (it == devices_.end() || !it->second.online) {
        ++ignored_;
        return nullptr;
    }
    return &it->second;
}

void DeviceTracker::endSession(bool report) {
    syncing_ = false;
    for (auto& [id, device] : devices_) {
        if (device.online) {
            device.online = false;
            if (report) {
                sink_.notify(NOTIFY_DEVICE_OFFLINE, device.handle);
            }
        }
    }
}

HVARDODEV DeviceTracker::handleOf(const std::string& id) const {
    const auto it = devices_.find(id);
    return it == devices_.end() ? 0 : it->second.handle;
}

}  // namespace vardo
