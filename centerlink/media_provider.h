#pragma once
// Where the media of a center comes from: the simulator draws it, the real
// center relays it from its terminals. The hub (event_server_hub.h) owns the
// event servers' connections and their UDP registrations; the provider owns
// the streams and sends datagrams through the hub's socket.
//
// Thread: the hub's io_context thread calls every member.

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <string>

#include "protocol/messages.h"

namespace centerlink {

class MediaProvider {
public:
    using ClientId = std::uint64_t;  // the event server connection's media key

    virtual ~MediaProvider() = default;

    // A media_open that the hub checked already: the device is online, the
    // channel within its count, and video or audio was asked for. The answer
    // is a MediaOk or a MediaFailed.
    virtual vardo::protocol::Message open(ClientId client,
                                          const vardo::protocol::MediaOpen& request,
                                          const vardo::protocol::Online& device) = 0;
    // The same for a provider whose answer has to wait (a terminal must
    // first be asked to stream): `answer` is called once, now or later, on
    // the hub's thread; it does nothing when the connection has gone.
    using Answer = std::function<void(const vardo::protocol::Message&)>;
    virtual void openAsync(ClientId client, const vardo::protocol::MediaOpen& request,
                           const vardo::protocol::Online& device, Answer answer) {
        answer(open(client, request, device));
    }
    virtual void close(ClientId client, const vardo::protocol::MediaClose& request) = 0;
    // The connection ended: everything it opened stops.
    virtual void forgetClient(ClientId client) = 0;
    // Where a connection's media goes (its registration datagram).
    virtual void setEndpoint(ClientId client, const asio::ip::udp::endpoint& endpoint) = 0;

    virtual void deviceOnline(const vardo::protocol::Online& device) = 0;
    virtual void deviceOffline(const std::string& dev) = 0;
    // The hub closes: end every stream.
    virtual void stop() = 0;
};

// A center without media: every media_open is answered with media_failed.
class NoMedia final : public MediaProvider {
public:
    explicit NoMedia(std::string reason) : reason_(std::move(reason)) {}
    vardo::protocol::Message open(ClientId, const vardo::protocol::MediaOpen& request,
                                  const vardo::protocol::Online&) override {
        return vardo::protocol::MediaFailed{request.dev, request.chn, reason_};
    }
    void close(ClientId, const vardo::protocol::MediaClose&) override {}
    void forgetClient(ClientId) override {}
    void setEndpoint(ClientId, const asio::ip::udp::endpoint&) override {}
    void deviceOnline(const vardo::protocol::Online&) override {}
    void deviceOffline(const std::string&) override {}
    void stop() override {}

private:
    std::string reason_;
};

}  // namespace centerlink
