#include "center/terminal_session.h"

#include "center/terminal_server.h"
#include "jt808/driver_identity.h"
#include "jt808/location.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"
#include "text/log_text.h"

namespace center {

using asio::ip::tcp;
using jt808::ResponseResult;
namespace msg = jt808::msg;

namespace {

// A terminal that does not read its answers is dropped rather than buffered.
constexpr std::size_t kMaxBacklogBytes = 256 * 1024;
// Garbage without one good frame in between ends the connection.
constexpr int kMaxBadFrames = 32;

std::string hexId(std::uint16_t id) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return {'0', 'x', kHex[id >> 12], kHex[(id >> 8) & 0xF], kHex[(id >> 4) & 0xF], kHex[id & 0xF]};
}

std::string durationText(std::chrono::milliseconds d) {
    return d.count() % 1000 == 0 ? std::to_string(d.count() / 1000) + " s"
                                 : std::to_string(d.count()) + " ms";
}

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TerminalSession::TerminalSession(TerminalServer& server, tcp::socket socket)
    : server_(server),
      socket_(std::move(socket)),
      timer_(server.io_),
      writer_(
          socket_, kMaxBacklogBytes,
          {[this] { return shared_from_this(); },
           [this](const asio::error_code& error) { close("connection lost: " + error.message()); },
           [this] {
               if (finishing_) {
                   close("refused " + std::to_string(failures_) + " times");
               }
           }}),
      splitter_(server.config_.maxFrameBytes),
      assembler_(jt808::SubpackageLimits{server.config_.maxPendingPackages, 256 * 1024,
                                         std::chrono::seconds(60)}) {
    asio::error_code ec;
    const auto endpoint = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("?")
               : endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
    socket_.set_option(tcp::no_delay(true), ec);
}

std::string TerminalSession::who() const {
    return authenticated_ ? "terminal " + phone_ + " (" + peer_ + ")" : "connection " + peer_;
}

void TerminalSession::start() {
    lastReceived_ = std::chrono::steady_clock::now();
    read();
    tick();
}

void TerminalSession::close(const std::string& why, bool quiet) {
    if (closed_) {
        return;
    }
    closed_ = true;
    server_.log(who() + " dropped: " + why);
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    timer_.cancel();
    writer_.clear();
    if (authenticated_ && !quiet && server_.owns(phone_, this)) {
        server_.release(phone_, this);
        server_.feed_.offline(phone_);
        if (std::string error = server_.registry_.touch(phone_, unixNow()); !error.empty()) {
            server_.log("registry: " + error);
        }
    }
    server_.forget(this);
}

void TerminalSession::read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](const asio::error_code& error,
                                                        std::size_t n) { self->onRead(error, n); });
}

void TerminalSession::onRead(const asio::error_code& error, std::size_t n) {
    if (closed_) {
        return;
    }
    if (error) {
        close(error == asio::error::eof ? "disconnected" : "connection lost: " + error.message());
        return;
    }
    splitter_.append(std::span(buffer_.data(), n));
    std::vector<std::uint8_t> frame;
    for (;;) {
        const auto status = splitter_.next(frame);
        if (status == jt808::FrameSplitter::Status::NeedMore) {
            break;
        }
        if (status == jt808::FrameSplitter::Status::TooLong) {
            if (++badFrames_ >= kMaxBadFrames) {
                close("frames over " + std::to_string(server_.config_.maxFrameBytes) + " bytes");
                return;
            }
            continue;
        }
        onFrame(frame);
        if (closed_ || finishing_) {
            return;
        }
    }
    read();
}

void TerminalSession::onFrame(std::span<const std::uint8_t> bytes) {
    const jt808::DecodedFrame decoded = jt808::decodeFrame(bytes);
    if (!decoded.ok()) {
        if (decoded.code == jt808::FrameError::TooShort && bytes.empty()) {
            return;  // two 0x7e in a row: an empty frame, often a keep-alive
        }
        if (++badFrames_ >= kMaxBadFrames) {
            close("unreadable frames (" + decoded.error + ")");
            return;
        }
        // A frame whose header could be read gets an answer, so that the
        // terminal does not wait for one: encryption is not supported, any
        // other fault is a broken message.
        if (decoded.header && !decoded.header->subpackaged) {
            jt808::Message stub;
            stub.header = *decoded.header;
            respond(stub, decoded.code == jt808::FrameError::Encrypted
                              ? ResponseResult::NotSupported
                              : ResponseResult::WrongMessage);
        }
        return;
    }
    badFrames_ = 0;
    lastReceived_ = std::chrono::steady_clock::now();
    jt808::Message message = *decoded.message;
    const jt808::Header header = message.header;
    auto outcome = assembler_.add(std::move(message), lastReceived_);
    assembler_.expire(lastReceived_);
    switch (outcome.status) {
        case jt808::SubpackageAssembler::Status::Complete:
            onMessage(*outcome.message);
            break;
        case jt808::SubpackageAssembler::Status::Pending:
        case jt808::SubpackageAssembler::Status::Duplicate:
            break;
        case jt808::SubpackageAssembler::Status::Rejected: {
            jt808::Message stub;
            stub.header = header;
            respond(stub, ResponseResult::Failure);
            break;
        }
    }
}

void TerminalSession::onMessage(const jt808::Message& message) {
    const std::uint16_t id = message.header.msgId;
    if (id == msg::kRegistration) {
        onRegistration(message);
        return;
    }
    if (id == msg::kAuthentication) {
        onAuthentication(message);
        return;
    }
    if (!authenticated_ || message.header.phone != phone_) {
        refuse(message, hexId(id) + " before authentication");
        return;
    }
    switch (id) {
        case msg::kHeartbeat:
            respond(message, ResponseResult::Ok);
            return;
        case msg::kTimeQuery: {
            const auto now = std::chrono::time_point_cast<std::chrono::seconds>(
                std::chrono::system_clock::now());
            reply(message.header, msg::kTimeResponse, jt808::encodeTimeResponse(now));
            return;
        }
        case msg::kLocation:
            onLocation(message);
            return;
        case msg::kBatchLocation:
            onBatch(message);
            return;
        case msg::kDriverIdentity:
            onDriver(message);
            return;
        case msg::kDeregistration:
            onDeregistration(message);
            return;
        default:
            break;
    }
    if (server_.handler_ && server_.handler_(phone_, message)) {
        return;
    }
    if (id != msg::kTerminalResponse && id < 0x8000) {
        respond(message, ResponseResult::NotSupported);
    }
}

void TerminalSession::onRegistration(const jt808::Message& message) {
    const auto registration = jt808::parseRegistration(message.body, message.header.version);
    if (!registration) {
        respond(message, ResponseResult::WrongMessage);
        return;
    }
    const std::string& phone = message.header.phone;
    jt808::RegistrationResponse answer;
    answer.serial = message.header.serial;
    if (!server_.config_.openRegistration && !server_.allowList_.allows(phone)) {
        server_.log("connection " + peer_ + ": registration of terminal " + phone +
                    " refused: " + "not in " + server_.allowList_.path());
        answer.result = static_cast<std::uint8_t>(jt808::RegistrationResult::NoSuchTerminal);
        reply(message.header, msg::kRegistrationResponse,
              jt808::encodeRegistrationResponse(answer));
        countFailure();
        return;
    }
    TerminalRecord record;
    record.phone = phone;
    record.plate = registration->plate;
    record.plateColour = registration->plateColour;
    record.province = registration->province;
    record.city = registration->city;
    record.makerId = registration->makerId;
    record.model = registration->model;
    record.terminalId = registration->terminalId;
    std::string error;
    const auto code = server_.registry_.enroll(record, unixNow(), error);
    if (!code) {
        server_.log("connection " + peer_ + ": registration of terminal " + phone +
                    " not stored: " + error);
        respond(message, ResponseResult::Failure);
        return;
    }
    server_.log("connection " + peer_ + ": terminal " + phone + " registered (plate " +
                text::PeerText(record.plate) + ", maker " + text::PeerText(record.makerId) +
                ", model " + text::PeerText(record.model) + ")");
    answer.result = static_cast<std::uint8_t>(jt808::RegistrationResult::Ok);
    answer.authCode = *code;
    reply(message.header, msg::kRegistrationResponse, jt808::encodeRegistrationResponse(answer));
}

void TerminalSession::onAuthentication(const jt808::Message& message) {
    const std::string& phone = message.header.phone;
    const auto auth = jt808::parseAuthentication(message.body, message.header.version);
    const auto record = server_.registry_.find(phone);
    std::string refusal;
    if (!auth) {
        refusal = "unreadable (" + auth.error + ")";
    } else if (!record) {
        refusal = "not registered";
    } else if (!sameCode(auth->code, record->authCode)) {
        refusal = "wrong authentication code";
    } else if (authenticated_ && phone != phone_) {
        refusal = "this connection belongs to terminal " + phone_;
    }
    if (!refusal.empty()) {
        refuse(message, "authentication of terminal " + phone + " refused: " + refusal);
        return;
    }
    const bool again = authenticated_;
    authenticated_ = true;
    phone_ = phone;
    plate_ = record->plate;
    loginHeader_ = message.header;
    failures_ = 0;
    respond(message, ResponseResult::Ok);
    if (again) {
        return;  // a terminal that repeats its login stays online as it is
    }
    server_.claim(phone_, this);
    if (std::string error = server_.registry_.touch(phone_, unixNow()); !error.empty()) {
        server_.log("registry: " + error);
    }
    server_.log(who() + " logged in (plate " + text::PeerText(plate_) + ", " +
                (message.header.version == jt808::Version::V2019 ? "2019" : "2013") + " header)");
    server_.feed_.online(phone_, plate_, record->driver);
}

void TerminalSession::onLocation(const jt808::Message& message) {
    const auto location = jt808::parseLocation(message.body);
    if (!location) {
        respond(message, ResponseResult::WrongMessage);
        return;
    }
    server_.feed_.location(phone_, *location);
    respond(message, ResponseResult::Ok);
}

void TerminalSession::onBatch(const jt808::Message& message) {
    const auto batch = jt808::parseBatchLocation(message.body);
    if (!batch) {
        respond(message, ResponseResult::WrongMessage);
        return;
    }
    for (const auto& item : batch->items) {
        server_.feed_.location(phone_, item);
    }
    respond(message, ResponseResult::Ok);
}

void TerminalSession::onDriver(const jt808::Message& message) {
    const auto driver = jt808::parseDriverIdentity(message.body, message.header.version);
    if (!driver) {
        respond(message, ResponseResult::WrongMessage);
        return;
    }
    // A card taken out leaves the vehicle without a known driver; a card
    // that could not be read says nothing about who drives.
    if (driver->status == jt808::kCardRemoved ||
        (driver->status == jt808::kCardInserted && driver->icResult == 0)) {
        const std::string name = driver->status == jt808::kCardRemoved ? "" : driver->name;
        server_.feed_.driver(phone_, name);
        if (std::string error = server_.registry_.setDriver(phone_, name); !error.empty()) {
            server_.log("registry: " + error);
        }
    }
    respond(message, ResponseResult::Ok);
}

void TerminalSession::onDeregistration(const jt808::Message& message) {
    if (std::string error = server_.registry_.forget(phone_); !error.empty()) {
        server_.log("registry: " + error);
        respond(message, ResponseResult::Failure);
        return;
    }
    server_.log(who() + " deregistered");
    respond(message, ResponseResult::Ok);
    // Its code is gone: the terminal is no device until it registers and
    // authenticates again.
    if (server_.owns(phone_, this)) {
        server_.release(phone_, this);
        server_.feed_.offline(phone_);
    }
    authenticated_ = false;
}

void TerminalSession::refuse(const jt808::Message& message, const std::string& why) {
    server_.log(who() + ": " + why);
    respond(message, ResponseResult::Failure);
    countFailure();
}

void TerminalSession::countFailure() {
    if (++failures_ < server_.config_.authFailureLimit) {
        return;
    }
    // The last refusal still reaches the terminal; nothing more is read.
    finishing_ = true;
    if (writer_.idle()) {
        close("refused " + std::to_string(failures_) + " times");
    }
}

void TerminalSession::respond(const jt808::Message& to, ResponseResult result) {
    reply(to.header, msg::kPlatformResponse,
          jt808::encodePlatformResponse(to.header.serial, to.header.msgId, result));
}

void TerminalSession::reply(const jt808::Header& to, std::uint16_t msgId,
                            std::span<const std::uint8_t> body) {
    send(jt808::encodeFrame(jt808::replyHeader(to, msgId, serial_++), body));
}

void TerminalSession::sendMessage(std::uint16_t msgId, std::span<const std::uint8_t> body) {
    if (!authenticated_) {
        return;
    }
    reply(loginHeader_, msgId, body);
}

void TerminalSession::send(std::vector<std::uint8_t> frame) {
    if (closed_ || frame.empty()) {
        return;
    }
    if (!writer_.send(std::move(frame))) {
        asio::post(server_.io_,
                   [self = shared_from_this()] { self->close("does not read its answers"); });
    }
}

void TerminalSession::tick() {
    const auto limit = server_.config_.heartbeatTimeout;
    timer_.expires_after(std::min<std::chrono::milliseconds>(
        limit / 4 + std::chrono::milliseconds(1), std::chrono::seconds(1)));
    timer_.async_wait([self = shared_from_this(), limit](const asio::error_code& error) {
        if (error || self->closed_) {
            return;
        }
        if (std::chrono::steady_clock::now() - self->lastReceived_ >= limit) {
            self->close("silent for " + durationText(limit) + " (heartbeat time-out)");
            return;
        }
        self->tick();
    });
}

}  // namespace center
