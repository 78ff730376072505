#pragma once
// The server side of the center protocol (docs/center-protocol.md), shared by
// the simulator and the real center: accepts event servers, checks their
// login, sends every logged-in one the list of online devices and then the
// device events as they happen, answers pings, and hands media requests to a
// MediaProvider. It keeps the state of the devices that are online.
//
// Thread: one; every member and handler runs on the io_context's thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "centerlink/address_guard.h"
#include "centerlink/datagram_batch.h"
#include "centerlink/event_log.h"
#include "centerlink/media_provider.h"
#include "centerlink/tcp_listener.h"
#include "protocol/media_datagram.h"
#include "protocol/messages.h"

namespace centerlink {

struct Credentials {
    std::string user;
    std::string password;
};

struct HubConfig {
    std::string listen = "127.0.0.1";
    int tcpPort = 24680;
    int udpPort = 24681;
    std::vector<Credentials> users{{"root", "kiwa"}};
    std::chrono::milliseconds silenceLimit{30000};
    // One line of the log, without the program's name (the caller adds it).
    std::function<void(const std::string&)> log;
    // Events kept for event servers that acknowledge (login with `acks`)
    // until each of them has acknowledged them; past this many bytes the
    // oldest go, with a log line.
    std::size_t maxUnacknowledgedBytes = std::size_t{256} << 20;
    // The login line must be complete this soon after connecting, however
    // slowly it comes.
    std::chrono::milliseconds loginLimit{30000};
    // Connections that have not logged in, in all and from one address.
    std::size_t maxUnauthenticated = 256;
    std::size_t maxUnauthenticatedPerAddress = 16;
    // How often refused logins and media registrations are summed up.
    std::chrono::milliseconds refusalLogPeriod{60000};
    // How failed logins make further tries from an address wait.
    BackOffPolicy backOff{};
};

class EventServerHub {
public:
    EventServerHub(asio::io_context& io, HubConfig config);
    ~EventServerHub();
    EventServerHub(const EventServerHub&) = delete;
    EventServerHub& operator=(const EventServerHub&) = delete;

    // Where media requests go; without one, every media_open is refused.
    // The provider must outlive the hub or be replaced before it goes.
    void setMediaProvider(MediaProvider* provider);

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
    // online, gps and offline carry the time they were handed over here (an
    // `online` that names its own `at` keeps it), so event servers sharing a
    // database can order a device's state by the center's clock; the list
    // sent to a client that logs in keeps each device's time of coming online.
    std::string online(const vardo::protocol::Online& device);
    std::string gps(const std::string& dev, std::string text,
                    std::optional<std::string> vehicle = std::nullopt,
                    std::optional<std::string> driver = std::nullopt);
    // A device the hub has heard of. Kept once made, so that what waits to
    // be applied, and a caller's handle, can point at it: a fleet's devices
    // are few and known (the center's are its registered terminals), and a
    // report then costs no look-up by name (one, without a handle).
    // Its fields are the hub's own.
    struct Device {
        const std::string* name = nullptr;                    // its key in `devices_`
        std::list<vardo::protocol::Online>::iterator listed;  // while `inList`
        bool inList = false;  // in `online_`, which follows what was sent
        bool live = false;    // online by the latest events, sent or not
    };
    // The device named so, as a handle that stays good for the hub's life;
    // null for one never heard of. A caller that reports for the same device
    // again and again (a terminal's session) keeps it and spares every
    // report a search by name.
    Device* device(const std::string& dev);
    std::string gps(Device& device, std::string text,
                    std::optional<std::string> vehicle = std::nullopt,
                    std::optional<std::string> driver = std::nullopt);
    // `atMs` dates an offline that must sort before an event another center
    // stamped (the terminal logged in there); the handing-over time otherwise.
    std::string offline(const std::string& dev, std::optional<std::int64_t> atMs = std::nullopt);
    std::string alarm(const std::string& dev, int alarm);
    std::string event(const std::string& dev, int kind);
    bool isOnline(const std::string& dev) const {
        const auto it = devices_.find(dev);
        return it != devices_.end() && it->second.live;
    }

    // With a log, every numbered event is appended to it and sent (and shown
    // in the list a login gets) only once `durable` has passed its number.
    // Set before open; the log must outlive the hub or be unset first.
    void setEventLog(EventLog* log) { eventLog_ = log; }
    // What the log kept from an earlier run: the numbering goes on from it,
    // and its events wait for the event servers that have not acknowledged
    // them. Before open.
    struct Kept {
        std::uint64_t seq;
        std::string line;
    };
    void restore(std::uint64_t epoch, std::uint64_t lastSeq,
                 const std::map<std::string, std::uint64_t>& acked, std::vector<Kept> events);
    // Every event up to `seq` is on disk.
    void durable(std::uint64_t seq);
    // Events waiting for the log to sync them.
    std::size_t unsynced() const { return unsynced_.size(); }
    // The number of the latest event.
    std::uint64_t lastNumber() const { return nextSeq_ - 1; }

    // Closes every client connection once it has received what was queued
    // for it before (the devices stay online).
    void dropClients();
    std::size_t loggedInClients() const;
    // Called whenever a client has logged in.
    void setLoginListener(std::function<void()> listener) { loginListener_ = std::move(listener); }

    // Sends one media datagram from the UDP port; false when the socket
    // refused it (its buffer full: the datagram is lost, nothing waits).
    bool sendDatagram(const asio::ip::udp::endpoint& to, std::span<const std::uint8_t> bytes);
    // Sends the datagrams of one frame, laid end to end, each `segment` bytes
    // but the last, at the end of the io thread's pass with every other
    // frame of the pass, in as few system calls as the kernel allows.
    void sendDatagrams(const asio::ip::udp::endpoint& to, std::span<const std::uint8_t> datagrams,
                       std::size_t segment);
    // Datagrams lost to a full buffer, in all.
    std::uint64_t unsentDatagrams() const { return batch_.unsent(); }

    // GPS updates handed to clients (one per client that got it).
    std::uint64_t gpsSent() const { return gpsSent_; }
    std::uint64_t logins() const { return logins_; }
    // Events kept for acknowledging event servers, and those the bound
    // dropped before every one of them had acknowledged them.
    std::size_t unacknowledged() const { return retained_.size(); }
    std::uint64_t droppedUnacknowledged() const { return droppedUnacknowledged_; }
    // The numbering of this hub's events (never 0).
    std::uint64_t epoch() const { return epoch_; }
    std::uint64_t refusedLogins() const { return loginRefusals_.refused(); }
    std::uint64_t refusedMediaRegistrations() const { return mediaRefusals_.refused(); }

private:
    class Client;
    friend class Client;

    void log(const std::string& line) const;
    bool knownUser(const vardo::protocol::Login& login) const;
    // A media key no other client holds, drawn from the kernel's entropy: a
    // stranger cannot work out another client's key from its own. 64 bits
    // for a client that reads them, else 32; nothing without entropy.
    std::optional<vardo::protocol::MediaKey> newMediaKey(bool wide);
    void receiveUdp();
    void onRegistration(const vardo::protocol::MediaKey& key, const asio::ip::udp::endpoint& from);
    void summarise();
    // Sends to every logged-in client; `receivers` counts them.
    // With a log, `apply` (the change to the list of online devices) waits
    // with the event until it is durable.
    std::string broadcast(const vardo::protocol::Message& message,
                          std::function<void()> apply = {});
    // The same for a message already written as its line: its op, its
    // number (0: none) and whether it is a `gps`. A `gps` event's change to
    // the list is `fix`, kept as it is rather than wrapped in a function:
    // one allocation less for every report.
    std::string broadcastLine(const char* op, std::uint64_t seq, bool gps,
                              std::shared_ptr<std::string> line, std::function<void()> apply,
                              std::optional<vardo::protocol::Gps> fix = std::nullopt,
                              Device* device = nullptr);
    struct Unsynced {
        std::uint64_t seq;
        std::shared_ptr<std::string> line;
        std::function<void()> apply;
        std::optional<vardo::protocol::Gps> fix;
        Device* device = nullptr;  // the fix's
        bool gps;
    };
    // A device's latest fix, vehicle and driver into the list a login gets.
    void applyFix(const vardo::protocol::Gps& event, Device& device);
    void deliver(Unsynced& event);
    // The marks changed: the log keeps them.
    void marksChanged();
    // The next event number.
    std::uint64_t number() { return nextSeq_++; }
    void retain(std::uint64_t seq, const std::shared_ptr<std::string>& line);
    // A line to write an event into: one kept from an event every event
    // server has, when there is one. At ten thousand reports a second, a
    // new line for each, freed thousands at a time as acknowledgements
    // come, was a tenth of the center's work in the allocator.
    std::shared_ptr<std::string> takeLine();
    // Keeps `line` for takeLine when nothing else holds it any more.
    void recycle(std::shared_ptr<std::string>& line);
    void acknowledged(const std::string& user, std::uint64_t seq);
    void trimRetained();
    void loggedIn(Client& client);
    void forget(const Client* client);
    void mediaOpen(const Client& client, const vardo::protocol::MediaOpen& request,
                   const MediaProvider::Answer& answer);
    void closeClients();

    asio::io_context& io_;
    HubConfig config_;
    TcpListener listener_;
    asio::ip::udp::socket udp_;
    asio::ip::udp::endpoint udpPeer_;
    std::array<std::uint8_t, 2048> udpBuffer_{};
    DatagramBatch batch_;
    // Clients live as long as one of their handlers is pending (asio's usual
    // shared ownership); this list is how the hub reaches them.
    std::vector<std::shared_ptr<Client>> clients_;
    std::list<vardo::protocol::Online> online_;  // in the order they came online
    std::unordered_map<std::string, Device> devices_;
    NoMedia noMedia_{"this center has no media"};
    MediaProvider* media_ = &noMedia_;
    std::function<void()> loginListener_;
    std::uint64_t gpsSent_ = 0;
    std::uint64_t logins_ = 0;
    std::uint64_t epoch_ = 0;
    std::uint64_t nextSeq_ = 1;
    // The last event sent; below nextSeq_ only while the log syncs.
    std::uint64_t delivered_ = 0;
    EventLog* eventLog_ = nullptr;
    std::deque<Unsynced> unsynced_;
    // What acknowledging event servers (by user) have not all acknowledged,
    // oldest first, and how far each of them has acknowledged.
    struct Retained {
        std::uint64_t seq;
        std::shared_ptr<std::string> line;
    };
    std::deque<Retained> retained_;
    std::vector<std::shared_ptr<std::string>> spareLines_;
    std::size_t retainedBytes_ = 0;
    std::map<std::string, std::uint64_t> acked_;
    std::uint64_t droppedUnacknowledged_ = 0;
    std::random_device keySource_;
    AddressSlots unauthenticated_;
    LoginBackOff backOff_;
    RefusalSummary loginRefusals_;
    RefusalSummary mediaRefusals_;
    asio::steady_timer summaryTimer_;
    std::unique_ptr<asio::steady_timer> closingTimer_;
};

}  // namespace centerlink
