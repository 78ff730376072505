#include "testsupport/scripted_device/scripted_device.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace scripted {
namespace {

struct Device {
    std::map<int, std::string> texts;  // item -> raw bytes
    std::optional<std::int32_t> channels;
    std::uint32_t userData = 0;
    std::set<int> failedChannels;
    std::vector<HVARDOCHN> created;
    std::deque<VARDO_EVENT_NUMBER> numbers;  // of posted notifications, oldest first
};

struct State {
    std::mutex mutex;
    // Handles of every kind come from one counter, so that a handle passed
    // where another kind belongs is never found.
    std::uint32_t nextHandle = 1;
    bool constructFails = false;
    LoginOutcome loginOutcome = LoginOutcome::Succeed;
    bool callLog = true;
    HVARDOAPP lastInstance = 0;
    std::map<HVARDOAPP, InstanceState> instances;
    std::unordered_map<HVARDODEV, Device> devices;
    std::unordered_map<HVARDOCHN, ChannelState> channels;
    std::set<HVARDOCHN> refusedRecordings;
    std::vector<std::string> calls;
    std::map<HVARDOAPP, AckState> acks;

    std::uint32_t NewHandle() {
        const std::uint32_t handle = nextHandle++;
        if (nextHandle == 0) {
            nextHandle = 1;
        }
        return handle;
    }
};

State& S() {
    static State state;
    return state;
}

std::string Quote(const char* text) {
    if (text == nullptr) {
        return "null";
    }
    return '"' + std::string(text) + '"';
}

// Builds "Name(a, b, ...)" from already formatted arguments.
template <typename... Args>
void Log(State& s, const char* function, const Args&... args) {
    if (!s.callLog) {
        return;
    }
    std::string call = function;
    call += '(';
    bool first = true;
    auto add = [&](const std::string& arg) {
        if (!first) {
            call += ", ";
        }
        call += arg;
        first = false;
    };
    (add(args), ...);
    call += ')';
    s.calls.push_back(std::move(call));
}

std::string N(std::uint64_t value) {
    return std::to_string(value);
}
std::string I(std::int64_t value) {
    return std::to_string(value);
}

InstanceState* FindInstance(State& s, HVARDOAPP app) {
    const auto it = s.instances.find(app);
    if (it == s.instances.end() || it->second.destroyed) {
        return nullptr;
    }
    return &it->second;
}

ChannelState* FindChannel(State& s, HVARDOCHN chn) {
    const auto it = s.channels.find(chn);
    return it == s.channels.end() ? nullptr : &it->second;
}

void FinishAllRecordings(State& s) {
    for (auto& [handle, channel] : s.channels) {
        channel.recording = false;
        channel.video = false;
        channel.audio = false;
    }
}

}  // namespace

void Reset() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.constructFails = false;
    s.loginOutcome = LoginOutcome::Succeed;
    s.callLog = true;
    s.lastInstance = 0;
    s.instances.clear();
    s.devices.clear();
    s.acks.clear();
    s.refusedRecordings.clear();
    s.channels.clear();
    s.calls.clear();
}

HVARDODEV AddDevice(const DeviceSpec& spec) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const HVARDODEV dev = s.NewHandle();
    Device& device = s.devices[dev];
    device.texts[DEVINFO_NAME] = spec.name;
    device.texts[DEVINFO_VEHICLE_ID] = spec.vehicle;
    device.texts[DEVINFO_DRIVER_NAME] = spec.driver;
    device.texts[DEVINFO_GPS] = spec.gps;
    device.channels = spec.channels;
    return dev;
}

void SetInfo(HVARDODEV dev, int item, std::string_view bytes) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.devices.find(dev);
    if (it != s.devices.end()) {
        it->second.texts[item] = std::string(bytes);
    }
}

void SetChannelCount(HVARDODEV dev, std::int32_t channels) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.devices.find(dev);
    if (it != s.devices.end()) {
        it->second.channels = channels;
    }
}

void ForgetInfo(HVARDODEV dev, int item) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.devices.find(dev);
    if (it == s.devices.end()) {
        return;
    }
    if (item == DEVINFO_CHANNEL) {
        it->second.channels.reset();
    } else {
        it->second.texts.erase(item);
    }
}

void FailChannel(HVARDODEV dev, int channel) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.devices.find(dev);
    if (it != s.devices.end()) {
        it->second.failedChannels.insert(channel);
    }
}

void SetConstructFails(bool fails) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.constructFails = fails;
}

void SetLoginOutcome(LoginOutcome outcome) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.loginOutcome = outcome;
}

void SetActive(HVARDOAPP app, bool active) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (InstanceState* instance = FindInstance(s, app)) {
        instance->active = active;
        instance->centerState = active ? CENTER_LOGGED_IN : CENTER_RETRYING;
    }
}

void SetEmptyRecordings(HVARDOAPP app, std::uint64_t count) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (InstanceState* instance = FindInstance(s, app)) {
        instance->emptyRecordings = count;
    }
}

HVARDOAPP LastInstance() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    return FindInstance(s, s.lastInstance) ? s.lastInstance : 0;
}

bool Notify(WPARAM kind, HVARDODEV dev) {
    return Notify(LastInstance(), kind, dev);
}

bool Notify(HVARDOAPP app, WPARAM kind, HVARDODEV dev) {
    return Notify(app, kind, dev, VARDO_EVENT_NUMBER{});
}

std::optional<AckState> Acks(HVARDOAPP app) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (s.instances.find(app) == s.instances.end()) {
        return std::nullopt;
    }
    return s.acks[app];
}

bool Notify(HVARDOAPP app, WPARAM kind, HVARDODEV dev, const VARDO_EVENT_NUMBER& number) {
    HWND window = nullptr;
    UINT message = 0;
    {
        State& s = S();
        std::lock_guard lock(s.mutex);
        const InstanceState* instance = FindInstance(s, app);
        if (instance == nullptr || instance->window == nullptr) {
            return false;
        }
        window = instance->window;
        message = instance->message;
        if (const auto it = s.devices.find(dev); it != s.devices.end()) {
            it->second.numbers.push_back(number);
        }
    }
    window->PostMessage(message, kind, static_cast<LPARAM>(dev));
    return true;
}

void RefuseRecordings(HVARDOCHN chn, bool refuse) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (refuse) {
        s.refusedRecordings.insert(chn);
    } else {
        s.refusedRecordings.erase(chn);
    }
}

void EndRecording(HVARDOCHN chn) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (ChannelState* channel = FindChannel(s, chn)) {
        channel->recording = false;
    }
}

std::optional<InstanceState> Instance(HVARDOAPP app) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.instances.find(app);
    if (it == s.instances.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<ChannelState> Channel(HVARDOCHN chn) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const ChannelState* channel = FindChannel(s, chn);
    if (channel == nullptr) {
        return std::nullopt;
    }
    return *channel;
}

std::vector<HVARDOCHN> ChannelsOf(HVARDODEV dev) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.devices.find(dev);
    return it == s.devices.end() ? std::vector<HVARDOCHN>() : it->second.created;
}

std::uint32_t UserData(HVARDODEV dev) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.devices.find(dev);
    return it == s.devices.end() ? 0 : it->second.userData;
}

void SetCallLog(bool enabled) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.callLog = enabled;
}

std::vector<std::string> Calls() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    return s.calls;
}

std::vector<std::string> CallsStartingWith(std::string_view prefix) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    std::vector<std::string> matching;
    std::copy_if(s.calls.begin(), s.calls.end(), std::back_inserter(matching),
                 [&](const std::string& call) { return call.starts_with(prefix); });
    return matching;
}

void ClearCalls() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.calls.clear();
}

}  // namespace scripted

// The library's functions.

using scripted::S;

HVARDOAPP MyVardoApp_Construct(HWND hWnd, UINT message) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoApp_Construct", std::string(hWnd ? "hwnd" : "null"),
                  scripted::N(message));
    if (s.constructFails) {
        return 0;
    }
    const HVARDOAPP app = s.NewHandle();
    scripted::InstanceState instance;
    instance.window = hWnd;
    instance.message = message;
    s.instances[app] = instance;
    s.lastInstance = app;
    return app;
}

void MyVardoApp_Destruct(HVARDOAPP app) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoApp_Destruct", scripted::N(app));
    if (scripted::InstanceState* instance = scripted::FindInstance(s, app)) {
        instance->active = false;
        instance->destroyed = true;
        scripted::FinishAllRecordings(s);
    }
}

void MyVardoApp_SetCenterServer(HVARDOAPP app, const char* address, int tcpPort, int udpPort) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoApp_SetCenterServer", scripted::N(app), scripted::Quote(address),
                  scripted::I(tcpPort), scripted::I(udpPort));
    if (scripted::InstanceState* instance = scripted::FindInstance(s, app)) {
        instance->address = address ? address : "";
        instance->tcpPort = tcpPort;
        instance->udpPort = udpPort;
    }
}

void MyVardoApp_Login(HVARDOAPP app, const char* user, const char* password) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoApp_Login", scripted::N(app), scripted::Quote(user),
                  scripted::Quote(password));
    if (scripted::InstanceState* instance = scripted::FindInstance(s, app)) {
        instance->user = user ? user : "";
        instance->password = password ? password : "";
        ++instance->logins;
        instance->active = s.loginOutcome == scripted::LoginOutcome::Succeed;
        switch (s.loginOutcome) {
            case scripted::LoginOutcome::Succeed:
                instance->centerState = CENTER_LOGGED_IN;
                break;
            case scripted::LoginOutcome::Fail:
                instance->centerState = CENTER_REFUSED;
                break;
            case scripted::LoginOutcome::Pending:
                instance->centerState = CENTER_CONNECTING;
                break;
        }
    }
}

void MyVardoApp_Logout(HVARDOAPP app) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoApp_Logout", scripted::N(app));
    if (scripted::InstanceState* instance = scripted::FindInstance(s, app)) {
        instance->active = false;
        instance->centerState = CENTER_IDLE;
        ++instance->logouts;
        // Logging out finishes every open recording.
        scripted::FinishAllRecordings(s);
    }
}

int MyVardoApp_IsActive(HVARDOAPP app) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoApp_IsActive", scripted::N(app));
    const scripted::InstanceState* instance = scripted::FindInstance(s, app);
    return instance != nullptr && instance->active ? 1 : 0;
}

// Not written to the call log: the dialog asks every second, and the log is
// for the calls that change something.
int MyVardoApp_GetCenterState(HVARDOAPP app, char* reason, int reasonSize) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    const scripted::InstanceState* instance = scripted::FindInstance(s, app);
    const int state = instance != nullptr ? instance->centerState : CENTER_IDLE;
    const std::string why = state == CENTER_REFUSED ? "login refused by the script" : "";
    if (reason != nullptr && reasonSize > 0) {
        const std::size_t n = std::min(why.size(), static_cast<std::size_t>(reasonSize - 1));
        std::memcpy(reason, why.data(), n);
        reason[n] = '\0';
    }
    return state;
}

std::uint64_t MyVardoApp_GetEmptyRecordings(HVARDOAPP app) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    const scripted::InstanceState* instance = scripted::FindInstance(s, app);
    return instance != nullptr ? instance->emptyRecordings : 0;
}

int MyVardoDev_GetDevInfo(HVARDODEV dev, int item, void* buffer, int bufferSize) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoDev_GetDevInfo", scripted::N(dev), scripted::I(item),
                  scripted::I(bufferSize));
    const auto it = s.devices.find(dev);
    if (it == s.devices.end() || buffer == nullptr || bufferSize <= 0) {
        return 0;
    }
    const scripted::Device& device = it->second;
    if (item == DEVINFO_CHANNEL) {
        if (!device.channels || bufferSize < static_cast<int>(sizeof(std::int32_t))) {
            return 0;
        }
        const std::int32_t channels = *device.channels;
        std::memcpy(buffer, &channels, sizeof channels);
        return 1;
    }
    const auto text = device.texts.find(item);
    if (text == device.texts.end()) {
        return 0;
    }
    const std::size_t length =
        std::min(text->second.size(), static_cast<std::size_t>(bufferSize) - 1);
    std::memcpy(buffer, text->second.data(), length);
    static_cast<char*>(buffer)[length] = '\0';
    return 1;
}

void MyVardoDev_SetUserData(HVARDODEV dev, std::uint32_t value) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoDev_SetUserData", scripted::N(dev), scripted::N(value));
    const auto it = s.devices.find(dev);
    if (it != s.devices.end()) {
        it->second.userData = value;
    }
}

std::uint32_t MyVardoDev_GetUserData(HVARDODEV dev) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoDev_GetUserData", scripted::N(dev));
    const auto it = s.devices.find(dev);
    return it == s.devices.end() ? 0 : it->second.userData;
}

HVARDOCHN MyVardoDev_CreateChannel(HVARDODEV dev, int channel, HWND hWnd) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoDev_CreateChannel", scripted::N(dev), scripted::I(channel),
                  std::string(hWnd ? "hwnd" : "null"));
    const auto it = s.devices.find(dev);
    if (it == s.devices.end() || channel < 1 || channel > 4 ||
        it->second.failedChannels.count(channel) != 0) {
        return 0;
    }
    // As the network library: one channel per device and number, so a
    // device that comes online again gets the handles it had.
    for (const HVARDOCHN existing : it->second.created) {
        if (s.channels[existing].number == channel) {
            s.channels[existing].window = hWnd;
            return existing;
        }
    }
    const HVARDOCHN chn = s.NewHandle();
    scripted::ChannelState state;
    state.device = dev;
    state.number = channel;
    state.window = hWnd;
    s.channels[chn] = state;
    it->second.created.push_back(chn);
    return chn;
}

namespace {

template <typename Change>
void OnChannel(const char* function, HVARDOCHN chn, Change change) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, function, scripted::N(chn));
    if (scripted::ChannelState* channel = scripted::FindChannel(s, chn)) {
        change(*channel);
    }
}

}  // namespace

void MyVardoChn_VSourceStart(HVARDOCHN chn) {
    OnChannel("MyVardoChn_VSourceStart", chn, [](auto& c) { c.video = true; });
}

void MyVardoChn_VSourceStop(HVARDOCHN chn) {
    OnChannel("MyVardoChn_VSourceStop", chn, [](auto& c) { c.video = false; });
}

void MyVardoChn_ASourceStart(HVARDOCHN chn) {
    OnChannel("MyVardoChn_ASourceStart", chn, [](auto& c) { c.audio = true; });
}

void MyVardoChn_ASourceStop(HVARDOCHN chn) {
    OnChannel("MyVardoChn_ASourceStop", chn, [](auto& c) { c.audio = false; });
}

void MyVardoChn_RecordStart(HVARDOCHN chn, const char* path, int flags) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoChn_RecordStart", scripted::N(chn), scripted::Quote(path),
                  scripted::I(flags));
    scripted::ChannelState* channel = scripted::FindChannel(s, chn);
    if (channel == nullptr || path == nullptr || flags != 0 ||
        s.refusedRecordings.count(chn) != 0) {
        return;
    }
    channel->recording = true;
    channel->path = path;
    ++channel->recordings;
}

void MyVardoChn_RecordStop(HVARDOCHN chn) {
    OnChannel("MyVardoChn_RecordStop", chn, [](auto& c) { c.recording = false; });
}

int MyVardoChn_IsRecording(HVARDOCHN chn) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    scripted::Log(s, "MyVardoChn_IsRecording", scripted::N(chn));
    const scripted::ChannelState* channel = scripted::FindChannel(s, chn);
    return channel != nullptr && channel->recording ? 1 : 0;
}

void MyVardoApp_AckWhenDurable(HVARDOAPP app) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    if (scripted::FindInstance(s, app) != nullptr) {
        s.acks[app].whenDurable = true;
    }
}

int MyVardoDev_TakeEventNumber(HVARDODEV dev, VARDO_EVENT_NUMBER* number) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    const auto it = s.devices.find(dev);
    if (it == s.devices.end() || number == nullptr) {
        return 0;
    }
    auto& numbers = it->second.numbers;
    if (numbers.empty()) {
        *number = {};
    } else {
        *number = numbers.front();
        numbers.pop_front();
    }
    return 1;
}

void MyVardoApp_SetDurable(HVARDOAPP app, std::uint64_t epoch, std::uint64_t seq) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    if (scripted::FindInstance(s, app) != nullptr) {
        s.acks[app] = {s.acks[app].whenDurable, epoch, seq};
    }
}
