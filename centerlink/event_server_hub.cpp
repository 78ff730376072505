#include "centerlink/event_server_hub.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "net/bounded_writer.h"
#include "protocol/json_codec.h"
#include "protocol/line_reader.h"
#include "protocol/media_datagram.h"
#include "text/log_text.h"
#include "text/same_secret.h"
#include "text/secret_random.h"

namespace centerlink {

namespace protocol = vardo::protocol;
using asio::ip::tcp;

namespace {

// A client that does not read this much is dropped rather than buffered.
constexpr std::size_t kMaxBacklogBytes = 64 * 1024 * 1024;

using Line = std::shared_ptr<const std::string>;

}  // namespace

// ---- one client connection -------------------------------------------------

class EventServerHub::Client : public std::enable_shared_from_this<Client> {
public:
    Client(EventServerHub& server, tcp::socket socket, std::string address,
           AddressSlots::Ticket unauthenticated)
        : server_(server),
          socket_(std::move(socket)),
          timer_(server.io_),
          writer_(socket_, kMaxBacklogBytes,
                  {[this] { return shared_from_this(); },
                   [this](const asio::error_code& error) { close("lost: " + error.message()); },
                   [this] { onDrained(); }}),
          address_(std::move(address)),
          unauthenticated_(std::move(unauthenticated)) {
        asio::error_code ec;
        const auto endpoint = socket_.remote_endpoint(ec);
        peer_ = ec ? std::string("?") : address_ + ":" + std::to_string(endpoint.port());
        socket_.set_option(tcp::no_delay(true), ec);
    }

    void start() {
        connected_ = lastReceived_ = std::chrono::steady_clock::now();
        read();
        tick();
    }

    void send(Line line) {
        if (closed_ || overflowed_) {
            return;
        }
        if (!writer_.send(std::move(line))) {
            overflowed_ = true;
            // Not from inside the caller's loop over the clients.
            asio::post(server_.io_, [self = shared_from_this()] {
                self->close("does not read; more than 64 MiB waiting");
            });
        }
    }

    void close(const std::string& why) {
        if (closed_) {
            return;
        }
        closed_ = true;
        // Connections that never logged in are summed up per address.
        if (loggedIn_ || server_.loginRefusals_.count(address_)) {
            server_.log("client " + peer_ + " " + why);
        }
        unauthenticated_.release();
        asio::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        timer_.cancel();
        writer_.clear();
        server_.forget(this);
    }

    // Takes no more messages and closes once everything queued is written.
    void finish(const std::string& why) {
        closing_ = true;
        finishReason_ = why;
        if (writer_.idle() && !closed_) {
            close(why);
        }
    }

    // Lines sent in between leave in one write (net/bounded_writer.h).
    void hold() { writer_.hold(); }
    void release() { writer_.release(); }

    bool loggedIn() const { return loggedIn_ && !closed_ && !closing_; }
    bool acks() const { return acks_; }
    const std::string& user() const { return user_; }
    const protocol::MediaKey& mediaKey() const { return mediaKey_; }
    const std::string& address() const { return address_; }

private:
    void read() {
        socket_.async_read_some(
            asio::buffer(buffer_),
            [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                self->onRead(error, n);
            });
    }

    void onRead(const asio::error_code& error, std::size_t n) {
        if (closed_) {
            return;
        }
        if (error) {
            close(error == asio::error::eof ? "disconnected" : "lost: " + error.message());
            return;
        }
        lastReceived_ = std::chrono::steady_clock::now();
        reader_.append(std::string_view(buffer_.data(), n));
        const auto status = reader_.forEachLine([this](std::string_view line) {
            if (!line.empty()) {
                onLine(line);
            }
            return !closed_ && !closing_;
        });
        if (status == protocol::LineReader::Status::TooLong) {
            close("closed: protocol error: a line longer than 64 KiB");
            return;
        }
        if (status == protocol::LineReader::Status::NeedMore) {
            read();
        }
    }

    void onLine(std::string_view line) {
        const auto decoded = protocol::decodeLine(line);
        if (decoded.status == protocol::DecodeResult::Status::Error) {
            close("closed: protocol error: " + decoded.error);
            return;
        }
        if (decoded.status == protocol::DecodeResult::Status::Ignored) {
            return;
        }
        const auto& message = decoded.message;
        if (!loggedIn_) {
            const auto* login = std::get_if<protocol::Login>(&message);
            if (login == nullptr) {
                close(std::string("closed: '") + protocol::opName(message) + "' before login");
                return;
            }
            std::string refusal;
            const auto now = std::chrono::steady_clock::now();
            if (login->version < protocol::kOldestProtocolVersion ||
                login->version > protocol::kProtocolVersion) {
                // The words a newer client looks for to log in again with
                // an older version.
                refusal = "unsupported protocol version " + std::to_string(login->version);
            } else if (server_.backOff_.waiting(address_, now)) {
                refusal = "too many refused logins; try again later";  // not even compared
            } else if (!server_.knownUser(*login)) {
                refusal = "bad credentials";
                server_.backOff_.failed(address_, now);
            }
            if (!refusal.empty()) {
                if (server_.loginRefusals_.count(address_)) {
                    server_.log("client " + peer_ + ": login of user " +
                                text::PeerText(login->user) + " refused: " + refusal);
                }
                closing_ = true;
                send(std::make_shared<const std::string>(
                    protocol::encodeLine(protocol::LoginFailed{refusal})));
                return;
            }
            // A version-1 client reads a 32-bit key only.
            const auto key = server_.newMediaKey(login->version >= protocol::kWideMediaKeyVersion);
            if (!key) {
                server_.log("client " + peer_ + ": no entropy for a media key; login refused");
                closing_ = true;
                send(std::make_shared<const std::string>(protocol::encodeLine(
                    protocol::LoginFailed{"the server cannot draw a media key"})));
                return;
            }
            loggedIn_ = true;
            acks_ = login->acks;
            user_ = login->user;
            unauthenticated_.release();
            mediaKey_ = *key;
            server_.log("client " + peer_ + " logged in as " + text::PeerText(login->user) +
                        (acks_ ? ", acknowledging" : ""));
            send(std::make_shared<const std::string>(protocol::encodeLine(
                protocol::LoginOk{mediaKey_.value, acks_ ? server_.epoch_ : 0, mediaKey_.wide})));
            server_.loggedIn(*this);
            return;
        }
        if (std::holds_alternative<protocol::Ping>(message)) {
            send(std::make_shared<const std::string>(protocol::encodeLine(protocol::Pong{})));
        } else if (const auto* ack = std::get_if<protocol::Ack>(&message)) {
            if (acks_) {
                server_.acknowledged(user_, ack->seq);
            }
        } else if (std::holds_alternative<protocol::Logout>(message)) {
            close("logged out");
        } else if (const auto* open = std::get_if<protocol::MediaOpen>(&message)) {
            server_.mediaOpen(
                *this, *open, [weak = weak_from_this()](const protocol::Message& answer) {
                    if (const auto self = weak.lock(); self && self->loggedIn()) {
                        self->send(
                            std::make_shared<const std::string>(protocol::encodeLine(answer)));
                    }
                });
        } else if (const auto* close = std::get_if<protocol::MediaClose>(&message)) {
            server_.media_->close(mediaKey_.value, *close);
        }
    }

    void onDrained() {
        if (closing_) {
            close(finishReason_.empty() ? "closed after the refused login" : finishReason_);
        }
    }

    void tick() {
        timer_.expires_after(std::chrono::seconds(1));
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (error || self->closed_) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            const auto loginLimit = self->server_.config_.loginLimit;
            if (!self->loggedIn_ && now - self->connected_ >= loginLimit) {
                self->close(
                    "closed: no login within " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(loginLimit).count()) +
                    " s of connecting");
                return;
            }
            const auto silent = now - self->lastReceived_;
            if (silent >= self->server_.config_.silenceLimit) {
                self->close("closed: silent for " +
                            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                               self->server_.config_.silenceLimit)
                                               .count()) +
                            " s");
                return;
            }
            self->tick();
        });
    }

    EventServerHub& server_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    std::string peer_;
    protocol::LineReader reader_;
    std::array<char, 16 * 1024> buffer_{};
    net::BoundedWriter writer_;
    bool overflowed_ = false;  // the close for it is on its way
    bool acks_ = false;
    std::string user_;
    bool loggedIn_ = false;
    bool closing_ = false;  // close once the outbox is written
    std::string finishReason_;
    bool closed_ = false;
    protocol::MediaKey mediaKey_;
    std::string address_;
    AddressSlots::Ticket unauthenticated_;  // held until logged in
    std::chrono::steady_clock::time_point connected_;
    std::chrono::steady_clock::time_point lastReceived_;
};

// ---- the server ------------------------------------------------------------

EventServerHub::EventServerHub(asio::io_context& io, HubConfig config)
    : io_(io),
      config_(std::move(config)),
      listener_(io),
      udp_(io),
      unauthenticated_(config_.maxUnauthenticated, config_.maxUnauthenticatedPerAddress),
      backOff_(config_.backOff),
      loginRefusals_("refused logins", config_.refusalLogPeriod, config_.log),
      mediaRefusals_("refused media registrations", config_.refusalLogPeriod, config_.log),
      summaryTimer_(io) {
    // A new numbering for every hub: an event server that kept numbers of an
    // earlier run of the center must not take new events for old ones.
    const std::uint64_t drawn = (std::uint64_t{keySource_()} << 32) | keySource_();
    epoch_ = (drawn & protocol::kMaxSequence) | 1;
}

std::optional<protocol::MediaKey> EventServerHub::newMediaKey(bool wide) {
    for (;;) {
        const auto drawn = text::SecretRandom64();
        if (!drawn) {
            return std::nullopt;
        }
        const protocol::MediaKey key{wide ? *drawn : (*drawn & 0xFFFFFFFF), wide};
        // 0 stands for "none"; the media provider knows a client by the
        // value alone, whatever its width.
        if (key.value != 0 && std::none_of(clients_.begin(), clients_.end(), [&key](const auto& c) {
                return c->mediaKey().value == key.value;
            })) {
            return key;
        }
    }
}

void EventServerHub::summarise() {
    summaryTimer_.expires_after(config_.refusalLogPeriod);
    summaryTimer_.async_wait([this](const asio::error_code& error) {
        if (error) {
            return;
        }
        loginRefusals_.flush();
        mediaRefusals_.flush();
        summarise();
    });
}

EventServerHub::~EventServerHub() {
    close();
}

void EventServerHub::setMediaProvider(MediaProvider* provider) {
    media_ = provider != nullptr ? provider : &noMedia_;
}

void EventServerHub::log(const std::string& line) const {
    if (config_.log) {
        config_.log(line);
    }
}

bool EventServerHub::knownUser(const protocol::Login& login) const {
    // Every user is compared, whole: the time taken tells nothing about
    // which part of a guess was right.
    bool known = false;
    for (const Credentials& c : config_.users) {
        const bool user = text::SameSecret(login.user, c.user);
        const bool password = text::SameSecret(login.password, c.password);
        known |= user & password;
    }
    return known;
}

std::string EventServerHub::open() {
    if (std::string error = listener_.open(config_.listen, config_.tcpPort, "event servers");
        !error.empty()) {
        return error;
    }
    if (std::string error = openUdp(udp_, config_.listen, config_.udpPort, "event servers' media");
        !error.empty()) {
        return error;
    }
    asio::error_code ec;
    // Frames go out in bursts; a full buffer drops a datagram, it never
    // holds up the server.
    udp_.set_option(asio::socket_base::send_buffer_size(4 * 1024 * 1024), ec);
    udp_.non_blocking(true, ec);
    listener_.start([this](tcp::socket socket) {
        asio::error_code error;
        const auto endpoint = socket.remote_endpoint(error);
        if (error) {
            return;  // gone already
        }
        std::string address = addressKey(endpoint.address());
        auto ticket = unauthenticated_.take(address);
        if (!ticket.held()) {
            if (loginRefusals_.count(address)) {
                log("client " + address + " refused: too many connections without a login");
            }
            socket.close(error);
            return;
        }
        auto client = std::make_shared<Client>(*this, std::move(socket), std::move(address),
                                               std::move(ticket));
        clients_.push_back(client);
        client->start();
    });
    receiveUdp();
    summarise();
    return {};
}

std::uint16_t EventServerHub::tcpPort() const {
    return listener_.port();
}

std::uint16_t EventServerHub::udpPort() const {
    asio::error_code ec;
    return udp_.local_endpoint(ec).port();
}

void EventServerHub::close() {
    listener_.close();
    summaryTimer_.cancel();
    asio::error_code ec;
    udp_.close(ec);
    media_->stop();
    closeClients();
}

void EventServerHub::closeGracefully(std::chrono::milliseconds limit, std::function<void()> done) {
    listener_.close();
    summaryTimer_.cancel();
    asio::error_code ec;
    udp_.close(ec);
    media_->stop();
    const auto clients = clients_;
    for (const auto& client : clients) {
        client->finish("closed at exit");
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    closingTimer_ = std::make_unique<asio::steady_timer>(io_);
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [this, deadline, done = std::move(done), poll]() {
        if (clients_.empty() || std::chrono::steady_clock::now() >= deadline) {
            closeClients();
            done();
            *poll = nullptr;  // ends the self-reference
            return;
        }
        closingTimer_->expires_after(std::chrono::milliseconds(10));
        closingTimer_->async_wait([poll](const asio::error_code&) {
            if (*poll) {
                (*poll)();
            }
        });
    };
    (*poll)();
}

void EventServerHub::receiveUdp() {
    udp_.async_receive_from(
        asio::buffer(udpBuffer_), udpPeer_, [this](const asio::error_code& error, std::size_t n) {
            if (error == asio::error::operation_aborted || !udp_.is_open()) {
                return;
            }
            if (!error) {
                if (const auto key = protocol::decodeRegister(std::span(udpBuffer_.data(), n))) {
                    onRegistration(*key, udpPeer_);
                }
            }
            receiveUdp();
        });
}

void EventServerHub::onRegistration(const protocol::MediaKey& key,
                                    const asio::ip::udp::endpoint& from) {
    // Only the keys of logged-in clients, and from the address of the key's
    // control connection: a stranger's datagrams must not make the server
    // keep anything or send a client's media elsewhere. Within that address
    // the latest registration wins: a client opens a new socket for the
    // next stream after its last one closed.
    const std::string address = addressKey(from.address());
    const auto it = std::find_if(clients_.begin(), clients_.end(), [&](const auto& c) {
        return c->loggedIn() && c->mediaKey() == key;
    });
    const char* refusal = nullptr;
    if (it == clients_.end()) {
        refusal = "no client holds the key";
    } else if ((*it)->address() != address) {
        refusal = "not from the address of the key's control connection";
    }
    if (refusal != nullptr) {
        if (mediaRefusals_.count(address)) {
            log("media registration from " + address + ":" + std::to_string(from.port()) +
                " refused: " + refusal);
        }
        return;
    }
    media_->setEndpoint(key.value, from);
}

void EventServerHub::forget(const Client* client) {
    if (client->mediaKey().value != 0) {
        media_->forgetClient(client->mediaKey().value);
    }
    std::erase_if(clients_, [client](const auto& c) { return c.get() == client; });
}

bool EventServerHub::sendDatagram(const asio::ip::udp::endpoint& to,
                                  std::span<const std::uint8_t> bytes) {
    asio::error_code ec;
    udp_.send_to(asio::buffer(bytes.data(), bytes.size()), to, 0, ec);
    return !ec;
}

void EventServerHub::sendDatagrams(const asio::ip::udp::endpoint& to,
                                   std::span<const std::uint8_t> datagrams, std::size_t segment) {
    batch_.queue(udp_, to, datagrams, segment);
}

void EventServerHub::mediaOpen(const Client& client, const protocol::MediaOpen& request,
                               const MediaProvider::Answer& answer) {
    const auto refuse = [&](const std::string& reason) {
        answer(protocol::MediaFailed{request.dev, request.chn, reason});
    };
    const auto it = devices_.find(request.dev);
    if (it == devices_.end() || !it->second.inList) {
        return refuse("device '" + request.dev + "' is not online");
    }
    const protocol::Online& device = *it->second.listed;
    if (request.chn < 1 || request.chn > device.channels) {
        return refuse("device '" + request.dev + "' has " + std::to_string(device.channels) +
                      (device.channels == 1 ? " channel" : " channels"));
    }
    if (!request.video && !request.audio) {
        return refuse("neither video nor audio asked for");
    }
    media_->openAsync(client.mediaKey().value, request, device, answer);
}

void EventServerHub::dropClients() {
    const auto clients = clients_;  // finishing edits the list
    for (const auto& client : clients) {
        client->finish("dropped");
    }
}

void EventServerHub::closeClients() {
    const auto clients = clients_;  // close() edits the list
    for (const auto& client : clients) {
        client->close("closed");
    }
}

std::size_t EventServerHub::loggedInClients() const {
    std::size_t n = 0;
    for (const auto& client : clients_) {
        n += client->loggedIn() ? 1 : 0;
    }
    return n;
}

void EventServerHub::loggedIn(Client& client) {
    ++logins_;
    for (const auto& device : online_) {
        client.send(std::make_shared<const std::string>(protocol::encodeLine(device)));
    }
    client.send(std::make_shared<const std::string>(
        protocol::encodeLine(protocol::Synced{static_cast<std::uint32_t>(online_.size())})));
    if (client.acks()) {
        // What this event server has not acknowledged follows the list, in
        // its order: it may have been lost with the last connection. The
        // first to log in at a center with a log gets what the log kept
        // while none had: nobody else will store it.
        const bool nobodyBefore = acked_.empty();
        const auto [it, first] = acked_.try_emplace(client.user(), delivered_);
        if (first && nobodyBefore && eventLog_ != nullptr && !retained_.empty()) {
            it->second = retained_.front().seq - 1;
        }
        std::size_t resent = 0;
        for (const Retained& r : retained_) {
            if (r.seq > it->second) {
                client.send(r.line);
                ++resent;
            }
        }
        if (!first) {
            const std::uint64_t oldest = retained_.empty() ? delivered_ + 1 : retained_.front().seq;
            if (oldest > it->second + 1) {
                log("event server " + text::PeerText(client.user()) + " misses events " +
                    std::to_string(it->second + 1) + "-" + std::to_string(oldest - 1) +
                    ": they passed the bound of unacknowledged events");
            }
        }
        if (resent > 0) {
            log("event server " + text::PeerText(client.user()) + ": " + std::to_string(resent) +
                " unacknowledged events sent again");
        }
        if (first) {
            marksChanged();
        }
    }
    if (loginListener_) {
        loginListener_();
    }
}

void EventServerHub::restore(std::uint64_t epoch, std::uint64_t lastSeq,
                             const std::map<std::string, std::uint64_t>& acked,
                             std::vector<Kept> events) {
    epoch_ = epoch;
    nextSeq_ = lastSeq + 1;
    delivered_ = lastSeq;
    acked_ = acked;
    retained_.clear();
    retainedBytes_ = 0;
    for (Kept& event : events) {
        auto line = std::make_shared<std::string>(std::move(event.line));
        retainedBytes_ += line->size();
        retained_.push_back({event.seq, std::move(line)});
    }
}

void EventServerHub::marksChanged() {
    if (eventLog_ == nullptr) {
        return;
    }
    std::uint64_t everyone = delivered_;
    for (const auto& [user, seq] : acked_) {
        everyone = std::min(everyone, seq);
    }
    eventLog_->acknowledged(everyone, acked_);
}

void EventServerHub::retain(std::uint64_t seq, const std::shared_ptr<std::string>& line) {
    if (acked_.empty() && eventLog_ == nullptr) {
        return;  // no event server has asked for acknowledgements
    }
    retained_.push_back({seq, line});
    retainedBytes_ += line->size();
    if (retainedBytes_ <= config_.maxUnacknowledgedBytes) {
        return;
    }
    const std::uint64_t first = retained_.front().seq;
    std::uint64_t dropped = 0;
    while (retainedBytes_ > config_.maxUnacknowledgedBytes && !retained_.empty()) {
        retainedBytes_ -= retained_.front().line->size();
        recycle(retained_.front().line);
        retained_.pop_front();
        ++dropped;
    }
    // Loud, but not once per event: at the first drop and every 10,000 after.
    if (droppedUnacknowledged_ / 10000 != (droppedUnacknowledged_ + dropped) / 10000 ||
        droppedUnacknowledged_ == 0) {
        log("LOSS: event servers have not acknowledged " +
            std::to_string(config_.maxUnacknowledgedBytes >> 20) +
            " MiB of events; the oldest are dropped (events " + std::to_string(first) + "-" +
            std::to_string(first + dropped - 1) + ", " +
            std::to_string(droppedUnacknowledged_ + dropped) +
            " in all): an event server that lost them does not get them again");
    }
    droppedUnacknowledged_ += dropped;
}

void EventServerHub::acknowledged(const std::string& user, std::uint64_t seq) {
    auto it = acked_.find(user);
    if (it == acked_.end() || seq > delivered_) {
        return;  // a number this hub never sent is no acknowledgement
    }
    if (seq > it->second) {
        it->second = seq;
        trimRetained();
        marksChanged();
    }
}

void EventServerHub::trimRetained() {
    std::uint64_t everyone = delivered_;
    for (const auto& [user, seq] : acked_) {
        everyone = std::min(everyone, seq);
    }
    while (!retained_.empty() && retained_.front().seq <= everyone) {
        retainedBytes_ -= retained_.front().line->size();
        recycle(retained_.front().line);
        retained_.pop_front();
    }
}

namespace {
// Lines kept for use again: enough for the events of a few syncs at ten
// thousand a second, a few hundred KiB. A line much longer than a report's
// (a long name in it) is let go: the kept ones stay small.
constexpr std::size_t kSpareLines = 2048;
constexpr std::size_t kSpareLineBytes = 1024;
}  // namespace

std::shared_ptr<std::string> EventServerHub::takeLine() {
    if (spareLines_.empty()) {
        return std::make_shared<std::string>();
    }
    std::shared_ptr<std::string> line = std::move(spareLines_.back());
    spareLines_.pop_back();
    return line;
}

void EventServerHub::recycle(std::shared_ptr<std::string>& line) {
    // A client that has not written it yet still holds it (and frees it).
    if (line.use_count() == 1 && line->capacity() <= kSpareLineBytes &&
        spareLines_.size() < kSpareLines) {
        spareLines_.push_back(std::move(line));
    }
}

std::string EventServerHub::broadcast(const protocol::Message& message,
                                      std::function<void()> apply) {
    return broadcastLine(protocol::opName(message), protocol::sequenceOf(message),
                         std::holds_alternative<protocol::Gps>(message),
                         std::make_shared<std::string>(protocol::encodeLine(message)),
                         std::move(apply));
}

std::string EventServerHub::broadcastLine(const char* op, std::uint64_t seq, bool gps,
                                          std::shared_ptr<std::string> line,
                                          std::function<void()> apply,
                                          std::optional<protocol::Gps> fix, Device* device) {
    if (line->size() > protocol::kMaxLineBytes + 1) {
        return std::string(op) + ": the message would be longer than 64 KiB";
    }
    Unsynced event{seq, std::move(line), std::move(apply), std::move(fix), device, gps};
    if (eventLog_ != nullptr && event.seq != 0) {
        eventLog_->append(event.seq, *event.line);
        unsynced_.push_back(std::move(event));
        return {};
    }
    deliver(event);
    return {};
}

void EventServerHub::durable(std::uint64_t seq) {
    // The events of one sync go to each event server in one write.
    for (const auto& client : clients_) {
        client->hold();
    }
    while (!unsynced_.empty() && unsynced_.front().seq <= seq) {
        deliver(unsynced_.front());
        unsynced_.pop_front();
    }
    for (const auto& client : clients_) {
        client->release();
    }
}

void EventServerHub::deliver(Unsynced& event) {
    if (event.apply) {
        event.apply();
    }
    if (event.fix && event.device != nullptr) {
        applyFix(*event.fix, *event.device);
    }
    if (event.seq != 0) {
        delivered_ = std::max(delivered_, event.seq);
        retain(event.seq, event.line);
    }
    std::size_t n = 0;
    for (const auto& client : clients_) {
        if (client->loggedIn()) {
            client->send(event.line);
            ++n;
        }
    }
    if (event.gps) {
        gpsSent_ += n;
    }
}

namespace {
std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
}  // namespace

std::string EventServerHub::online(const protocol::Online& device) {
    if (device.dev.empty()) {
        return "online: the device identifier is empty";
    }
    protocol::Online numbered = device;
    numbered.seq = number();
    if (!numbered.at) {
        numbered.at = NowMs();
    }
    const auto [entry, made] = devices_.try_emplace(device.dev);
    Device& known = entry->second;
    if (made) {
        known.name = &entry->first;
    }
    if (std::string error = broadcast(numbered,
                                      [this, numbered, &known] {
                                          if (known.inList) {
                                              *known.listed = numbered;
                                          } else {
                                              online_.push_back(numbered);
                                              known.listed = std::prev(online_.end());
                                              known.inList = true;
                                          }
                                      });
        !error.empty()) {
        return error;
    }
    known.live = true;
    media_->deviceOnline(device);
    return {};
}

std::string EventServerHub::gps(const std::string& dev, std::string text,
                                std::optional<std::string> vehicle,
                                std::optional<std::string> driver) {
    const auto known = devices_.find(dev);
    if (known == devices_.end()) {
        return "gps: device '" + dev + "' is not online";
    }
    return gps(known->second, std::move(text), std::move(vehicle), std::move(driver));
}

EventServerHub::Device* EventServerHub::device(const std::string& dev) {
    const auto known = devices_.find(dev);
    return known == devices_.end() ? nullptr : &known->second;
}

std::string EventServerHub::gps(Device& device, std::string text,
                                std::optional<std::string> vehicle,
                                std::optional<std::string> driver) {
    const std::string& dev = *device.name;
    if (!device.live) {
        return "gps: device '" + dev + "' is not online";
    }
    // Every report of every terminal comes here: its texts are moved into
    // the message, and from the message into the step that applies it,
    // rather than copied for each.
    protocol::Gps event{dev,      std::move(text), std::move(vehicle), std::move(driver),
                        number(), std::nullopt};
    // With no journal, no event server to send it to and none to keep it
    // for, the line is not worth writing: the device's state is what a
    // later login gets.
    if (eventLog_ == nullptr && acked_.empty() && loggedInClients() == 0) {
        applyFix(event, device);
        delivered_ = std::max(delivered_, event.seq);
        return {};
    }
    event.at = NowMs();
    std::shared_ptr<std::string> line = takeLine();
    protocol::encodeLine(event, *line);
    const std::uint64_t seq = event.seq;
    return broadcastLine("gps", seq, true, std::move(line), {}, std::move(event), &device);
}

void EventServerHub::applyFix(const protocol::Gps& event, Device& device) {
    if (!device.inList) {
        return;
    }
    // The list at a login names the event its data came from.
    protocol::Online& listed = *device.listed;
    listed.seq = event.seq;
    listed.gps = event.gps;
    if (event.vehicle) {
        listed.vehicle = *event.vehicle;
    }
    if (event.driver) {
        listed.driver = *event.driver;
    }
}

std::string EventServerHub::offline(const std::string& dev, std::optional<std::int64_t> atMs) {
    const auto known = devices_.find(dev);
    if (known == devices_.end() || !known->second.live) {
        return "offline: device '" + dev + "' is not online";
    }
    Device& device = known->second;
    broadcast(protocol::Offline{dev, number(), atMs ? std::min(*atMs, NowMs()) : NowMs()},
              [this, &device] {
                  if (device.inList) {
                      online_.erase(device.listed);
                      device.inList = false;
                  }
              });
    device.live = false;
    media_->deviceOffline(dev);
    return {};
}

std::string EventServerHub::alarm(const std::string& dev, int alarm) {
    if (!isOnline(dev)) {
        return "alarm: device '" + dev + "' is not online";
    }
    return broadcast(protocol::Alarm{dev, alarm, number()});
}

std::string EventServerHub::event(const std::string& dev, int kind) {
    if (!isOnline(dev)) {
        return "event: device '" + dev + "' is not online";
    }
    return broadcast(protocol::Event{dev, kind, number()});
}

}  // namespace centerlink
