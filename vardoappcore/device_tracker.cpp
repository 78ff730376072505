#include "vardoappcore/device_tracker.h"

#include <type_traits>

#include "text/log_text.h"
#include "vardoappcore/library_log.h"

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
            reportOffline(device, lastAtMs_ > 0 ? lastAtMs_ + 1 : 0);
        }
    }
}

void DeviceTracker::apply(const protocol::Message& message, bool comesAgain,
                          const VARDO_EVENT_NUMBER& number) {
    if (syncing_ && !std::holds_alternative<protocol::Online>(message)) {
        // The offlines of vanished devices come from no event.
        number_ = {};
        finishSync();
    }
    number_ = number;
    std::visit(
        [this, comesAgain](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, protocol::Online>) {
                online(m, comesAgain);
            } else if constexpr (std::is_same_v<T, protocol::Gps>) {
                gps(m);
            } else if constexpr (std::is_same_v<T, protocol::Offline>) {
                offline(m);
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
    number_ = {};
}

void DeviceTracker::post(WPARAM kind, HVARDODEV device) {
    table_.pushNumber(device, number_);
    sink_.notify(kind, device);
}

void DeviceTracker::online(const protocol::Online& m, bool comesAgain) {
    if (m.dev.size() > kMaxDeviceIdBytes) {
        ++ignored_;
        if (!longIdLogged_) {
            longIdLogged_ = true;
            logLine("device " + text::PeerText(m.dev) + " ignored: its identifier is longer than " +
                    std::to_string(kMaxDeviceIdBytes) + " bytes (further ones are not logged)");
        }
        return;
    }
    noteTime(m.at);
    DeviceView view{capDeviceText(m.name),
                    capDeviceText(m.vehicle),
                    capDeviceText(m.driver),
                    capDeviceText(m.gps),
                    m.channels,
                    m.at.value_or(0)};
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
        post(NOTIFY_DEVICE_ONLINE, device.handle);
        return;
    }
    // Still online (listed again after a reconnect, or a repeated online):
    // no second online; what changed meanwhile arrives as a GPS update, or
    // as the events themselves when the server sends them again.
    if (comesAgain) {
        return;
    }
    const DeviceView latest = table_.latestView(device.handle).value_or(DeviceView{});
    const bool moved =
        view.gps != latest.gps || view.vehicle != latest.vehicle || view.driver != latest.driver;
    const bool renamed = view.name != latest.name || view.channels != latest.channels;
    if (moved) {
        table_.pushView(device.handle, std::move(view));
        post(NOTIFY_DEVICE_GPS, device.handle);
    } else if (renamed) {
        table_.updateStatic(device.handle, view.name, view.channels);
    }
}

DeviceTracker::Device* DeviceTracker::comeBackFor(const protocol::Gps& m) {
    if (m.dev.size() > kMaxDeviceIdBytes) {
        ++ignored_;
        return nullptr;
    }
    auto [it, added] = devices_.try_emplace(m.dev);
    Device& device = it->second;
    if (device.online) {
        return &device;
    }
    DeviceView view{capDeviceText(m.dev),
                    capDeviceText(m.vehicle.value_or("")),
                    capDeviceText(m.driver.value_or("")),
                    capDeviceText(m.gps),
                    0,
                    m.at.value_or(0)};
    if (added) {
        device.handle = table_.addDevice(app_, m.dev, view);
        if (device.handle == 0) {
            devices_.erase(it);
            ++ignored_;
            return nullptr;
        }
    } else {
        table_.pushView(device.handle, view);
    }
    device.online = true;
    post(NOTIFY_DEVICE_ONLINE, device.handle);
    return &device;
}

void DeviceTracker::gps(const protocol::Gps& m) {
    // A numbered fix of a device that is not online here was sent again
    // after a restart (of the center, or of this client) that forgot the
    // device meanwhile: it was online when it reported, and its fix is
    // still to be kept, once.
    Device* device = m.seq != 0 ? comeBackFor(m) : onlineDevice(m.dev);
    if (device == nullptr) {
        return;
    }
    noteTime(m.at);
    // The view and the number in one visit of the table: one a fix of
    // every terminal.
    if (table_.pushFix(device->handle, m.gps, m.at.value_or(0), m.vehicle, m.driver, number_)) {
        // The caller has not read this device's last kMaxPendingViews
        // notifications: the oldest one's data (a fix, mostly) is gone. Said
        // at the first and every 10,000th, with the count.
        if (viewsDropped_++ % 10000 == 0) {
            logLine("device " + text::PeerText(m.dev) + ": " +
                    std::to_string(HandleTable::kMaxPendingViews) +
                    " notifications unread, the oldest one's data dropped; " +
                    std::to_string(viewsDropped_) +
                    " lost so far because the window does not keep up");
        }
    }
    sink_.notify(NOTIFY_DEVICE_GPS, device->handle);
}

void DeviceTracker::offline(const protocol::Offline& m) {
    Device* device = onlineDevice(m.dev);
    if (device == nullptr) {
        return;
    }
    noteTime(m.at);
    reportOffline(*device, m.at.value_or(0));
}

void DeviceTracker::reportOffline(Device& device, std::int64_t at) {
    device.online = false;
    table_.setOfflineAt(device.handle, at);
    post(NOTIFY_DEVICE_OFFLINE, device.handle);
}

void DeviceTracker::noteTime(const protocol::ReceivedAtMs& at) {
    if (at && *at > lastAtMs_) {
        lastAtMs_ = *at;
    }
}

void DeviceTracker::forward(const std::string& id, WPARAM kind) {
    if (Device* device = onlineDevice(id)) {
        post(kind, device->handle);
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
            if (report) {
                reportOffline(device, lastAtMs_ > 0 ? lastAtMs_ + 1 : 0);
            } else {
                device.online = false;
            }
        }
    }
}

void DeviceTracker::forgetDevices() {
    syncing_ = false;
    longIdLogged_ = false;
    devices_.clear();
    table_.forgetDevices(app_);
}

HVARDODEV DeviceTracker::handleOf(const std::string& id) const {
    const auto it = devices_.find(id);
    return it == devices_.end() ? 0 : it->second.handle;
}

}  // namespace vardo
