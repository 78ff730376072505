#pragma once
// The media side of an instance: which channels' video and audio the window
// asked for, the media_open/media_close requests that follow, and the
// server's answers. Frames (UDP), their reassembly and recording build on
// this; for now recording reports "not recording".
//
// Thread: the instance's I/O thread only.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "vardoappcore/center_session.h"
#include "vardoappcore/protocol/messages.h"

namespace vardo {

class MediaControl {
public:
    explicit MediaControl(CenterSession& session) : session_(session) {}

    // Asks for (start) or stops the named parts of a channel's media.
    void start(const std::string& dev, int channel, bool video, bool audio);
    void stop(const std::string& dev, int channel, bool video, bool audio);

    // A connection logged in: after a reconnect the server knows nothing of
    // what was asked before, so every running request goes out again.
    void onLoggedIn(bool again, std::uint32_t mediaKey);
    void onMessage(const protocol::Message& message);
    // Logout: forget every request.
    void reset();

private:
    struct Wanted {
        bool video = false;
        bool audio = false;
    };
    using Key = std::pair<std::string, int>;

    CenterSession& session_;
    std::map<Key, Wanted> wanted_;
    std::uint32_t mediaKey_ = 0;
};

}  // namespace vardo
