#pragma once
// The simulator's center: the shared server side of the protocol
// (centerlink/event_server_hub.h) with the drawn test pictures and tones of
// media_streamer.h as its media.
//
// Thread: one; every member and handler runs on the io_context's thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "centerlink/event_server_hub.h"
#include "protocol/messages.h"
#include "sim/media_streamer.h"

namespace sim {

struct ServerConfig {
    std::string listen = "127.0.0.1";
    int tcpPort = 24680;
    int udpPort = 24681;
    std::string user = "root";
    std::string password = "kiwa";
    std::chrono::milliseconds silenceLimit{30000};
    MediaConfig media;
};

class CenterServer {
public:
    CenterServer(asio::io_context& io, ServerConfig config);
    ~CenterServer();
    CenterServer(const CenterServer&) = delete;
    CenterServer& operator=(const CenterServer&) = delete;

    // Binds both ports and starts serving; the error text, empty on success.
    std::string open() { return hub_.open(); }
    std::uint16_t tcpPort() const { return hub_.tcpPort(); }
    std::uint16_t udpPort() const { return hub_.udpPort(); }
    // Closes the ports and every client.
    void close() { hub_.close(); }
    // Closes the ports, lets every client receive what is queued for it, then
    // calls `done` (after at most `limit`).
    void closeGracefully(std::chrono::milliseconds limit, std::function<void()> done) {
        hub_.closeGracefully(limit, std::move(done));
    }

    // Device events. Each gives an error text when it cannot be done (a
    // device that is not online, a message the protocol cannot carry).
    // `online` for a device that is online already sends its data again.
    std::string online(const vardo::protocol::Online& device) { return hub_.online(device); }
    std::string gps(const std::string& dev, const std::string& text,
                    const std::optional<std::string>& vehicle = std::nullopt,
                    const std::optional<std::string>& driver = std::nullopt) {
        return hub_.gps(dev, text, vehicle, driver);
    }
    std::string offline(const std::string& dev) { return hub_.offline(dev); }
    std::string alarm(const std::string& dev, int alarm) { return hub_.alarm(dev, alarm); }
    std::string event(const std::string& dev, int kind) { return hub_.event(dev, kind); }
    bool isOnline(const std::string& dev) const { return hub_.isOnline(dev); }

    // Closes every client connection once it has received what was queued
    // for it before (the devices stay online).
    void dropClients() { hub_.dropClients(); }
    std::size_t loggedInClients() const { return hub_.loggedInClients(); }
    // Called whenever a client has logged in.
    void setLoginListener(std::function<void()> listener) {
        hub_.setLoginListener(std::move(listener));
    }

    // GPS updates handed to clients (one per client that got it).
    std::uint64_t gpsSent() const { return hub_.gpsSent(); }
    std::uint64_t logins() const { return hub_.logins(); }
    const MediaCounters& mediaCounters() const { return media_.counters(); }
    std::size_t activeStreams() const { return media_.activeStreams(); }

private:
    class DrawnMedia;

    centerlink::EventServerHub hub_;
    MediaStreamer media_;
    std::unique_ptr<DrawnMedia> provider_;
};

// Writes one line to standard error with the program's name in front.
void logLine(const std::string& line);

}  // namespace sim
