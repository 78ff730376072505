// The device library's API over the network implementation. Each function
// finds its object in the handle table; an unknown handle does nothing.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "vardoappcore/api/vardo_app_acks.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/app_instance.h"
#include "vardoappcore/handle_table.h"
#include "vardoappcore/library_log.h"
#include "vardoappcore/media_counters.h"

using vardo::AppInstance;
using vardo::ChannelRef;
using vardo::HandleTable;

namespace {

std::string text(const char* s) {
    return s ? std::string(s) : std::string();
}

// The channel and its instance, or nothing.
std::pair<std::shared_ptr<AppInstance>, ChannelRef> channelOf(HVARDOCHN chn) {
    auto ref = HandleTable::get().channelRef(chn);
    if (!ref) {
        return {};
    }
    auto app = HandleTable::get().app(ref->app);
    return {std::move(app), std::move(*ref)};
}

}  // namespace

HVARDOAPP MyVardoApp_Construct(HWND hWnd, UINT message) {
    if (hWnd == nullptr) {
        return 0;
    }
    std::shared_ptr<AppInstance> app;
    try {
        app = std::make_shared<AppInstance>(hWnd, message);
    } catch (const std::exception& e) {
        // The caller only learns "no instance"; the reason (no descriptors
        // left, no memory) is for the operator.
        vardo::logLine(std::string("cannot create the library instance: ") + e.what());
        return 0;
    }
    const HVARDOAPP handle = HandleTable::get().addApp(app);
    if (handle == 0) {
        return 0;
    }
    if (!app->start(handle)) {
        HandleTable::get().removeApp(handle);
        return 0;
    }
    return handle;
}

void MyVardoApp_Destruct(HVARDOAPP app) {
    if (auto instance = HandleTable::get().removeApp(app)) {
        instance->shutdown();
    }
}

void MyVardoApp_SetCenterServer(HVARDOAPP app, const char* address, int tcpPort, int udpPort) {
    if (auto instance = HandleTable::get().app(app)) {
        instance->setCenterServer(text(address), tcpPort, udpPort);
    }
}

void MyVardoApp_Login(HVARDOAPP app, const char* user, const char* password) {
    if (auto instance = HandleTable::get().app(app)) {
        instance->login(text(user), text(password));
    }
}

void MyVardoApp_Logout(HVARDOAPP app) {
    if (auto instance = HandleTable::get().app(app)) {
        instance->logout();
    }
}

int MyVardoApp_IsActive(HVARDOAPP app) {
    return HandleTable::get().appActive(app) ? 1 : 0;
}

int MyVardoApp_GetCenterState(HVARDOAPP app, char* reason, int reasonSize) {
    const auto instance = HandleTable::get().app(app);
    const auto [state, why] =
        instance ? instance->centerState() : std::pair<int, std::string>{CENTER_IDLE, {}};
    if (reason != nullptr && reasonSize > 0) {
        const std::size_t n = std::min(why.size(), static_cast<std::size_t>(reasonSize - 1));
        std::memcpy(reason, why.data(), n);
        reason[n] = '\0';
    }
    return state;
}

std::uint64_t MyVardoApp_GetEmptyRecordings(HVARDOAPP app) {
    const auto instance = HandleTable::get().app(app);
    return instance ? instance->emptyRecordings() : 0;
}

int MyVardoDev_GetDevInfo(HVARDODEV dev, int item, void* buffer, int bufferSize) {
    return HandleTable::get().readInfo(dev, item, buffer, bufferSize);
}

void MyVardoDev_SetUserData(HVARDODEV dev, std::uint32_t value) {
    HandleTable::get().setUserData(dev, value);
}

std::uint32_t MyVardoDev_GetUserData(HVARDODEV dev) {
    return HandleTable::get().userData(dev);
}

HVARDOCHN MyVardoDev_CreateChannel(HVARDODEV dev, int channel, HWND /*hWnd*/) {
    // The window would show live video; frames are not drawn by this library.
    return HandleTable::get().channel(dev, channel);
}

void MyVardoChn_VSourceStart(HVARDOCHN chn) {
    if (auto [app, ref] = channelOf(chn); app) {
        app->sourceStart(ref, true, false);
    }
}

void MyVardoChn_VSourceStop(HVARDOCHN chn) {
    if (auto [app, ref] = channelOf(chn); app) {
        app->sourceStop(ref, true, false);
    }
}

void MyVardoChn_ASourceStart(HVARDOCHN chn) {
    if (auto [app, ref] = channelOf(chn); app) {
        app->sourceStart(ref, false, true);
    }
}

void MyVardoChn_ASourceStop(HVARDOCHN chn) {
    if (auto [app, ref] = channelOf(chn); app) {
        app->sourceStop(ref, false, true);
    }
}

void MyVardoChn_RecordStart(HVARDOCHN chn, const char* path, int flags) {
    if (auto [app, ref] = channelOf(chn); app && path != nullptr) {
        app->recordStart(ref, path, flags);
    }
}

void MyVardoChn_RecordStop(HVARDOCHN chn) {
    if (auto [app, ref] = channelOf(chn); app) {
        app->recordStop(ref);
    }
}

int MyVardoChn_IsRecording(HVARDOCHN chn) {
    auto [app, ref] = channelOf(chn);
    return app && app->isRecording(ref) ? 1 : 0;
}

vardo::MediaCounters vardo::mediaCounters(HVARDOAPP app) {
    if (auto instance = HandleTable::get().app(app)) {
        return instance->mediaCounters();
    }
    return {};
}

void MyVardoApp_AckWhenDurable(HVARDOAPP app) {
    if (auto instance = HandleTable::get().app(app)) {
        instance->ackWhenDurable();
    }
}

int MyVardoDev_TakeEventNumber(HVARDODEV dev, VARDO_EVENT_NUMBER* number) {
    VARDO_EVENT_NUMBER taken;
    if (number == nullptr || !HandleTable::get().takeNumber(dev, taken)) {
        return 0;
    }
    *number = taken;
    return 1;
}

void MyVardoApp_SetDurable(HVARDOAPP app, std::uint64_t epoch, std::uint64_t seq) {
    if (auto instance = HandleTable::get().app(app)) {
        instance->setDurable(epoch, seq);
    }
}
