#include "vardoappcore/center_session.h"

#include <netdb.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>

#include "protocol/json_codec.h"
#include "text/log_text.h"
#include "vardoappcore/library_log.h"

namespace vardo {
namespace {

constexpr std::size_t kMaxOutboxBytes = 1024 * 1024;
// Events handed on before an acknowledgement goes out without waiting for
// the next tick.
constexpr std::uint64_t kAckEvery = 256;

std::string seconds(std::chrono::milliseconds ms) {
    if (ms.count() % 1000 == 0) {
        return std::to_string(ms.count() / 1000) + " s";
    }
    return std::to_string(ms.count()) + " ms";
}

}  // namespace

CenterSession::CenterSession(asio::io_context& io, Listener& listener)
    : io_(io),
      listener_(listener),
      socket_(io),
      retryTimer_(io),
      tickTimer_(io),
      writer_(
          socket_, kMaxOutboxBytes,
          {nullptr, [this](const asio::error_code& error) { lose(error.message()); }, nullptr}) {}

CenterSession::~CenterSession() {
    cancelLookup();
}

void CenterSession::cancelLookup() {
    if (lookup_) {
        const std::lock_guard lock(lookup_->mutex);
        lookup_->io = nullptr;
    }
    lookup_.reset();
}

std::string CenterSession::where() const {
    return config_.address + ":" + std::to_string(config_.tcpPort);
}

void CenterSession::start(CenterConfig config) {
    stop();
    config_ = std::move(config);
    backoff_ = config_.timing.firstRetry;
    logins_ = 0;
    loginVersion_ = protocol::kProtocolVersion;
    if (config_.address.empty()) {
        giveUp("no center server address is set");
        return;
    }
    if (config_.tcpPort < 1 || config_.tcpPort > 65535) {
        giveUp("center server TCP port " + std::to_string(config_.tcpPort) +
               " is not between 1 and 65535");
        return;
    }
    listener_.onCenterState(CENTER_CONNECTING, {});
    connect();
    armTick();
}

void CenterSession::stop() {
    if (state_ == State::LoggedIn && !writer_.writing()) {
        // Best effort: a peer that does not read must not hold us up.
        asio::error_code ec;
        socket_.non_blocking(true, ec);
        const std::string line = protocol::encodeLine(protocol::Logout{});
        socket_.send(asio::buffer(line), 0, ec);
    }
    closeSocket();
    if (state_ != State::Idle) {
        listener_.onCenterState(CENTER_IDLE, {});
    }
    state_ = State::Idle;
    ++session_;
    retryTimer_.cancel();
    tickTimer_.cancel();
}

asio::ip::address CenterSession::peerAddress() const {
    asio::error_code ec;
    const auto endpoint = socket_.remote_endpoint(ec);
    return ec ? asio::ip::address() : endpoint.address();
}

asio::ip::address CenterSession::localAddress() const {
    asio::error_code ec;
    const auto endpoint = socket_.local_endpoint(ec);
    return ec ? asio::ip::address() : endpoint.address();
}

bool CenterSession::send(const protocol::Message& message) {
    if (state_ != State::LoggedIn) {
        return false;
    }
    write(protocol::encodeLine(message));
    return true;
}

void CenterSession::connect() {
    closeSocket();
    state_ = State::Connecting;
    attemptStart_ = Clock::now();
    const auto port = static_cast<std::uint16_t>(config_.tcpPort);
    asio::error_code ec;
    const auto address = asio::ip::make_address(config_.address, ec);
    if (!ec) {
        connectTo(asio::ip::tcp::endpoint(address, port));
        return;
    }
    lookUp(port);
}

void CenterSession::lookUp(std::uint16_t port) {
    // On a thread of its own: getaddrinfo cannot be interrupted, and asio's
    // resolver would make the instance's destruction wait for a dead name
    // server. The answer is dropped once the lookup has been cancelled.
    lookup_ = std::make_shared<PendingLookup>();
    lookup_->io = &io_;
    try {
        std::thread([lookup = lookup_, host = config_.address, port, this, epoch = epoch_] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
            std::vector<asio::ip::tcp::endpoint> endpoints;
            for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
                asio::ip::tcp::endpoint e;
                if (a->ai_addrlen <= e.capacity()) {
                    std::memcpy(e.data(), a->ai_addr, a->ai_addrlen);
                    e.resize(a->ai_addrlen);
                    endpoints.push_back(e);
                }
            }
            if (found != nullptr) {
                freeaddrinfo(found);
            }
            const std::string error = rc != 0 ? gai_strerror(rc) : "no address";
            const std::lock_guard lock(lookup->mutex);
            if (lookup->io != nullptr) {
                asio::post(*lookup->io, [this, epoch, endpoints = std::move(endpoints), error] {
                    onLookedUp(epoch, endpoints, error);
                });
            }
        }).detach();
    } catch (const std::system_error& e) {
        lose(std::string("cannot look up the address: ") + e.what());
    }
}

void CenterSession::onLookedUp(std::uint64_t epoch,
                               const std::vector<asio::ip::tcp::endpoint>& endpoints,
                               const std::string& error) {
    if (epoch != epoch_) {
        return;
    }
    if (endpoints.empty()) {
        lose("cannot resolve " + config_.address + ": " + error);
        return;
    }
    asio::async_connect(socket_, endpoints, [this, epoch](const asio::error_code& e, const auto&) {
        if (epoch != epoch_) {
            return;
        }
        if (e) {
            lose(e.message());
        } else {
            onConnected();
        }
    });
}

void CenterSession::connectTo(const asio::ip::tcp::endpoint& endpoint) {
    socket_.async_connect(endpoint, [this, epoch = epoch_](const asio::error_code& error) {
        if (epoch != epoch_) {
            return;
        }
        if (error) {
            lose(error.message());
        } else {
            onConnected();
        }
    });
}

void CenterSession::onConnected() {
    state_ = State::LoggingIn;
    lastReceived_ = Clock::now();
    asio::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    write(
        protocol::encodeLine(protocol::Login{loginVersion_, config_.user, config_.password, true}));
    read();
}

void CenterSession::read() {
    socket_.async_read_some(asio::buffer(readBuffer_), [this, epoch = epoch_](
                                                           const asio::error_code& error,
                                                           std::size_t n) {
        if (epoch != epoch_) {
            return;
        }
        if (error) {
            lose(error == asio::error::eof ? std::string("closed by the server") : error.message());
            return;
        }
        lastReceived_ = Clock::now();
        reader_.append(std::string_view(readBuffer_.data(), n));
        // Ended however the lines end (a line may close the connection, a
        // fault may throw).
        struct Lines {
            Listener& listener;
            explicit Lines(Listener& l) : listener(l) { listener.onLinesBegin(); }
            ~Lines() {
                try {
                    listener.onLinesEnd();
                } catch (...) {
                    // Out of memory: what the window could not take is lost,
                    // as a post from the line itself would have been.
                }
            }
            Lines(const Lines&) = delete;
            Lines& operator=(const Lines&) = delete;
        };
        std::optional<Lines> lines;
        lines.emplace(listener_);
        const auto status = reader_.forEachLine([this, epoch](std::string_view line) {
            if (!line.empty()) {
                onLine(line);
            }
            return epoch == epoch_;  // false: the line ended this connection
        });
        lines.reset();
        if (status == protocol::LineReader::Status::TooLong) {
            lose("protocol error: a line longer than 64 KiB");
            return;
        }
        if (status == protocol::LineReader::Status::NeedMore) {
            read();
        }
    });
}

void CenterSession::onLine(std::string_view line) {
    auto decoded = protocol::decodeLine(line);
    if (decoded.status == protocol::DecodeResult::Status::Error) {
        lose("protocol error: " + decoded.error);
        return;
    }
    if (decoded.status == protocol::DecodeResult::Status::Ignored) {
        return;
    }
    const protocol::Message& message = decoded.message;
    if (state_ == State::LoggingIn) {
        if (const auto* ok = std::get_if<protocol::LoginOk>(&message)) {
            state_ = State::LoggedIn;
            ++logins_;
            listing_ = true;
            // The same numbering as before: the server knows this client and
            // sends again what it has not acknowledged.
            resumed_ = ok->epoch != 0 && ok->epoch == numbering_;
            if (!resumed_) {
                // Another numbering (or none): nothing handled before counts.
                numbering_ = ok->epoch;
                handled_ = 0;
                notified_.clear();
            }
            // An acknowledgement lost with the last connection goes again.
            acknowledged_ = 0;
            backoff_ = config_.timing.firstRetry;
            lastPing_ = Clock::now();
            listener_.onCenterState(CENTER_LOGGED_IN, {});
            if (logins_ > 1) {
                logLine("logged in to the center server " + where() + " again");
            }
            listener_.onLoggedIn(logins_ > 1, protocol::MediaKey{ok->mediaKey, ok->wideKey});
        } else if (const auto* failed = std::get_if<protocol::LoginFailed>(&message)) {
            if (loginVersion_ > protocol::kOldestProtocolVersion &&
                failed->reason.starts_with("unsupported protocol version")) {
                // A server of an older release: it speaks the first version
                // (32-bit media keys) and said so; ask again in its words.
                logLine("the center server " + where() + " does not speak version " +
                        std::to_string(loginVersion_) + "; logging in with version " +
                        std::to_string(protocol::kOldestProtocolVersion));
                loginVersion_ = protocol::kOldestProtocolVersion;
                connect();
                return;
            }
            giveUp("the center server " + where() + " refused the login of user '" + config_.user +
                   "': " +
                   (failed->reason.empty() ? "no reason given" : text::PeerText(failed->reason)));
        }
        // Anything else before the answer to the login is not for us yet.
        return;
    }
    if (state_ != State::LoggedIn) {
        return;
    }
    const bool listed = std::holds_alternative<protocol::Online>(message);
    if (listing_ && !listed) {
        listing_ = false;
    }
    const std::uint64_t seq = numbering_ != 0 ? protocol::sequenceOf(message) : 0;
    // An event handed on before, sent again after a reconnect because its
    // acknowledgement had not gone out. The list's `online`s always go on:
    // they tell the state, not an event.
    if (seq != 0 && seq <= handled_ && !listing_) {
        return;
    }
    listener_.onMessage(message, resumed_ && listing_ && seq > handled_);
    if (seq != 0 && !listing_) {
        handled(seq);
    }
}

void CenterSession::handled(std::uint64_t seq) {
    handled_ = std::max(handled_, seq);
    if (ackable() >= acknowledged_ + kAckEvery) {
        sendAck();
    }
}

void CenterSession::setDurable(std::uint64_t epoch, std::uint64_t seq) {
    const std::lock_guard lock(durableMutex_);
    if (epoch != durableEpoch_) {
        durableEpoch_ = epoch;
        durableSeq_ = seq;
    } else {
        durableSeq_ = std::max(durableSeq_, seq);
    }
}

std::uint64_t CenterSession::ackable() const {
    if (!ackWhenDurable_) {
        return handled_;
    }
    // Handed on is not kept: the caller may still lose what waits in its
    // window, so only what it said it stored is acknowledged. Past the last
    // notification it kept, the events that made none follow: nothing else
    // would ever move the acknowledgement past them.
    const std::lock_guard lock(durableMutex_);
    const std::uint64_t durable = durableEpoch_ == numbering_ ? durableSeq_ : 0;
    while (!notified_.empty() && notified_.front() <= durable) {
        notified_.pop_front();
    }
    return notified_.empty() ? handled_ : std::min(handled_, durable);
}

void CenterSession::notified(std::uint64_t seq) {
    if (notified_.empty() || notified_.back() < seq) {
        notified_.push_back(seq);
    }
}

void CenterSession::sendAck() {
    const std::uint64_t upTo = ackable();
    if (state_ != State::LoggedIn || numbering_ == 0 || upTo <= acknowledged_) {
        return;
    }
    acknowledged_ = upTo;
    write(protocol::encodeLine(protocol::Ack{upTo}));
}

void CenterSession::write(std::string line) {
    if (!writer_.send(std::move(line))) {
        lose("the server does not read what we send");
    }
}

void CenterSession::armTick() {
    const auto& t = config_.timing;
    const auto period = std::clamp(std::min(t.pingInterval, t.silenceLimit) / 4,
                                   std::chrono::milliseconds(5), std::chrono::milliseconds(1000));
    tickTimer_.expires_after(period);
    tickTimer_.async_wait([this, session = session_](const asio::error_code& error) {
        if (!error && session == session_ && state_ != State::Idle && state_ != State::GivenUp) {
            tick();
            armTick();
        }
    });
}

void CenterSession::tick() {
    const auto now = Clock::now();
    const auto& t = config_.timing;
    if (state_ == State::Connecting && now - attemptStart_ >= t.connectTimeout) {
        lose("no connection within " + seconds(t.connectTimeout));
    } else if ((state_ == State::LoggingIn || state_ == State::LoggedIn) &&
               now - lastReceived_ >= t.silenceLimit) {
        lose("the server has been silent for " + seconds(t.silenceLimit));
    } else if (state_ == State::LoggedIn) {
        sendAck();
        if (now - lastPing_ >= t.pingInterval) {
            lastPing_ = now;
            write(protocol::encodeLine(protocol::Ping{}));
        }
    }
}

void CenterSession::lose(const std::string& why) {
    const State was = state_;
    closeSocket();
    if (was == State::Idle || was == State::GivenUp || was == State::Waiting) {
        return;
    }
    state_ = State::Waiting;
    loginVersion_ = protocol::kProtocolVersion;
    listener_.onCenterState(CENTER_RETRYING, why);
    logLine((was == State::Connecting ? "cannot connect to the center server "
                                      : "connection to the center server ") +
            where() + (was == State::Connecting ? ": " : " lost: ") + why + "; trying again in " +
            seconds(backoff_));
    retryTimer_.expires_after(backoff_);
    retryTimer_.async_wait([this, session = session_](const asio::error_code& error) {
        if (!error && session == session_ && state_ == State::Waiting) {
            connect();
        }
    });
    backoff_ = std::min(backoff_ * 2, config_.timing.maxRetry);
}

void CenterSession::giveUp(const std::string& why) {
    logLine(why + "; not trying again");
    closeSocket();
    state_ = State::GivenUp;
    ++session_;
    retryTimer_.cancel();
    tickTimer_.cancel();
    listener_.onCenterState(CENTER_REFUSED, why);
    listener_.onGivenUp(logins_ > 0);
}

void CenterSession::closeSocket() {
    ++epoch_;
    asio::error_code ec;
    cancelLookup();
    socket_.close(ec);
    reader_ = protocol::LineReader();
    writer_.clear();
}

}  // namespace vardo
