#include "sim/center_server.h"

#include <cstdio>

namespace sim {

namespace protocol = vardo::protocol;

void logLine(const std::string& line) {
    const std::string text = "vardo-center-sim: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// The streamer behind the hub's media seam.
class CenterServer::DrawnMedia final : public centerlink::MediaProvider {
public:
    explicit DrawnMedia(MediaStreamer& media) : media_(media) {}

    protocol::Message open(ClientId client, const protocol::MediaOpen& request,
                           const protocol::Online& device) override {
        if (request.video && !media_.problem().empty()) {
            return protocol::MediaFailed{request.dev, request.chn, "no video: " + media_.problem()};
        }
        return media_.open(client, request, device.name);
    }
    void close(ClientId client, const protocol::MediaClose& request) override {
        media_.close(client, request);
    }
    void forgetClient(ClientId client) override { media_.forgetClient(client); }
    void setEndpoint(ClientId client, const asio::ip::udp::endpoint& endpoint) override {
        media_.setEndpoint(client, endpoint);
    }
    void deviceOnline(const protocol::Online& device) override {
        media_.deviceOnline(device.dev, device.name);
    }
    void deviceOffline(const std::string& dev) override { media_.deviceOffline(dev); }
    void stop() override { media_.stop(); }

private:
    MediaStreamer& media_;
};

CenterServer::CenterServer(asio::io_context& io, ServerConfig config)
    : hub_(io, centerlink::HubConfig{config.listen,
                                     config.tcpPort,
                                     config.udpPort,
                                     {{config.user, config.password}},
                                     config.silenceLimit,
                                     logLine}),
      media_(io, config.media,
             [this](const asio::ip::udp::endpoint& to, std::span<const std::uint8_t> bytes) {
                 return hub_.sendDatagram(to, bytes);
             }),
      provider_(std::make_unique<DrawnMedia>(media_)) {
    hub_.setMediaProvider(provider_.get());
}

CenterServer::~CenterServer() {
    // The hub stops the media as it closes; the provider must still be there.
    hub_.close();
    hub_.setMediaProvider(nullptr);
}

}  // namespace sim
