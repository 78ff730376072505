#pragma once
// The center server side of the protocol: accepts clients, checks their
// login, sends every logged-in client the list of online devices and then
// the device events as they happen, answers pings, and refuses media for
// now. It keeps the state of the simulated devices that are online.
//
// Thread: one; every member and handler runs on the io_context's thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vardoappcore/protocol/messages.h"

namespace sim {

struct ServerConfig {
    std::string listen = "127.0.0.1";
    int tcpPort = 24680;
    int udpPort = 24681;
    std::string user = "root";
    std::string password = "kiwa";
    std::chrono::milliseconds silenceLimit{30000};
};

class CenterServer {
public:
    CenterServer(asio::io_context& io, ServerConfig config);
    ~CenterServer();
    CenterServer(const CenterServer&) = delete;
    CenterServer& operator=(const CenterServer&) = delete;

    // Binds both ports and starts serving; the error text, empty on success.
    std::string open();
    std::uint16_t tcpPort() const;
    std::uint16_t udpPort() const;
    // Closes the ports and every client.
    void close();
    // Closes the ports, lets every client receive what is queued for it, then
    // calls `done` (after at most `limit`).
    void closeGracefully(std::chrono::milliseconds limit, std::function<void()> done);

    // Device events. Each gives an error text when it cannot be done (a
    // device that is not online, a message the protocol cannot carry).
    // `online` for a device that is online already sends its data again.
    std::string online(const vardo::protocol::Online& device);
    std::string gps(const std::string& dev, const std::string& text,
                    const std::optional<std::string>& vehicle = std::nullopt,
                    const std::optional<std::string>& driver = std::nullopt);
    std::string offline(const std::string& dev);
    std::string alarm(const std::string& dev, int alarm);
    std::string event(const std::string& dev, int kind);
    bool isOnline(const std::string& dev) const { return index_.contains(dev); }
    std::size_t onlineCount() const { return index_.size(); }

    // Closes every client connection once it has received what was queued
    // for it before (the devices stay online).
    void dropClients();
    std::size_t loggedInClients() const;
    // Called whenever a client has logged in.
    void setLoginListener(std::function<void()> listener) { loginListener_ = std::move(listener); }

    // GPS updates handed to clients (one per client that got it).
    std::uint64_t gpsSent() const { return gpsSent_; }
    std::uint64_t logins() const { return logins_; }

private:
    class Client;
    friend class Client;

    void accept();
    void receiveUdp();
    // Sends to every logged-in client; `receivers` counts them.
    std::string broadcast(const vardo::protocol::Message& message,
                          std::size_t* receivers = nullptr);
    void loggedIn(Client& client);
    void forget(const Client* client);
    void closeClients();

    asio::io_context& io_;
    ServerConfig config_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::udp::socket udp_;
    asio::ip::udp::endpoint udpPeer_;
    std::array<std::uint8_t, 2048> udpBuffer_{};
    // Clients live as long as one of their handlers is pending (asio's usual
    // shared ownership); this list is how the server reaches them.
    std::vector<std::shared_ptr<Client>> clients_;
    std::list<vardo::protocol::Online> online_;  // in the order they came online
    std::unordered_map<std::string, std::list<vardo::protocol::Online>::iterator> index_;
    std::unordered_map<std::uint32_t, asio::ip::udp::endpoint> mediaPeers_;
    std::function<void()> loginListener_;
    std::uint64_t gpsSent_ = 0;
    std::uint64_t logins_ = 0;
    std::uint32_t nextMediaKey_ = 0;
    std::unique_ptr<asio::steady_timer> closingTimer_;
};

// Writes one line to standard error with the program's name in front.
void logLine(const std::string& line);

}  // namespace sim
