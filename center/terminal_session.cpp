#include "center/terminal_session.h"

#include "center/terminal_service.h"
#include "jt808/message_ids.h"

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

// Reads in one go before the other connections get their turn: a terminal
// that sends without pause cannot hold the io thread.
constexpr int kReadsPerTurn = 16;

}  // namespace

TerminalSession::TerminalSession(asio::io_context& io, const TerminalConfig& config,
                                 TerminalService& service, SessionTimeouts& timeouts,
                                 net::ReadinessSet& readiness, ReadBuffer& readBuffer,
                                 tcp::socket socket, const tcp::endpoint& source,
                                 centerlink::AddressSlots::Ticket unauthenticated,
                                 std::function<void(const TerminalSession*)> gone)
    : io_(io),
      config_(config),
      service_(service),
      socket_(std::move(socket)),
      timeouts_(timeouts),
      readiness_(readiness),
      readBuffer_(readBuffer),
      writer_(
          socket_, kMaxBacklogBytes,
          {[this] { return shared_from_this(); },
           [this](const asio::error_code& error) { close("connection lost: " + error.message()); },
           [this] {
               if (finishing_) {
                   close("refused " + std::to_string(failures_) + " times");
               }
           }}),
      unauthenticated_(std::move(unauthenticated)),
      gone_(std::move(gone)),
      splitter_(config.maxFrameBytes),
      assembler_(jt808::SubpackageLimits{config.maxPendingPackages, 256 * 1024,
                                         std::chrono::seconds(60)}) {
    address_ = centerlink::addressKey(source.address());
    peer_ = address_ + ":" + std::to_string(source.port());
    asio::error_code ec;
    socket_.set_option(tcp::no_delay(true), ec);
    socket_.non_blocking(true, ec);
}

TerminalSession::~TerminalSession() {
    // A closed connection is off the lists already (and the lists may be
    // gone with the server by now).
    if (heard_.linked || loginTime_.linked) {
        timeouts_.forget(heard_, loginTime_);
    }
}

std::string TerminalSession::localAddress() const {
    asio::error_code ec;
    const auto local = socket_.local_endpoint(ec);
    if (ec) {
        return {};
    }
    // An IPv4 terminal on a dual-stack socket is to be told its IPv4 form.
    const asio::ip::address address = local.address();
    return address.is_v6() && address.to_v6().is_v4_mapped()
               ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
               : address.to_string();
}

std::string TerminalSession::who() const {
    return authenticated_ ? "terminal " + phone_ + " (" + peer_ + ")" : "connection " + peer_;
}

void TerminalSession::start() {
    const auto now = std::chrono::steady_clock::now();
    timeouts_.received(heard_, now);
    timeouts_.loginStarts(loginTime_, now);
    if (const std::error_code error = readiness_.add(socket_.native_handle(), *this)) {
        close("cannot watch the connection: " + error.message());
        return;
    }
    watched_ = true;
}

void TerminalSession::close(const std::string& why, bool quiet) {
    if (closed_) {
        return;
    }
    closed_ = true;
    service_.dropped(*this, why);
    if (watched_) {
        watched_ = false;
        readiness_.remove(socket_.native_handle(), *this);
    }
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    timeouts_.forget(heard_, loginTime_);
    writer_.clear();
    unauthenticated_.release();
    service_.closed(*this, quiet);
    // The last reference may go with it: nothing of this is touched after.
    if (auto gone = std::move(gone_)) {
        gone(this);
    }
}

void TerminalSession::authenticate(const std::string& phone, const jt808::Header& login) {
    authenticated_ = true;
    phone_ = phone;
    loginHeader_ = login;
    failures_ = 0;
    timeouts_.received(heard_, std::chrono::steady_clock::now());
    timeouts_.loggedIn(loginTime_);
    unauthenticated_.release();
}

void TerminalSession::deauthenticate() {
    // A fresh start: the terminal registers and authenticates again within
    // the usual time.
    authenticated_ = false;
    device_ = nullptr;
    timeouts_.loginStarts(loginTime_, std::chrono::steady_clock::now());
}

bool TerminalSession::readable(bool ended) {
    if (closed_ || finishing_) {
        return false;
    }
    // What it reads may close it, and the server drop its reference.
    const auto self = shared_from_this();
    for (int turn = 0; turn < kReadsPerTurn; ++turn) {
        asio::error_code readError;
        const std::size_t n = socket_.read_some(asio::buffer(readBuffer_), readError);
        if (readError == asio::error::would_block || readError == asio::error::try_again) {
            return false;
        }
        if (readError) {
            close(readError == asio::error::eof ? "disconnected"
                                                : "connection lost: " + readError.message());
            return false;
        }
        // A frame read whole is handled where it lies in the buffer; the
        // splitter keeps what is not a whole frame yet, since the buffer is
        // the next connection's as soon as this returns.
        splitter_.split(
            std::span(readBuffer_.data(), n),
            [this](jt808::FrameSplitter::Status status, std::span<const std::uint8_t> frame) {
                if (status == jt808::FrameSplitter::Status::TooLong) {
                    if (++badFrames_ >= kMaxBadFrames) {
                        close("frames over " + std::to_string(config_.maxFrameBytes) + " bytes");
                    }
                } else {
                    onFrame(frame);
                }
                return !closed_ && !finishing_;
            });
        if (closed_ || finishing_) {
            return false;
        }
        if (n < readBuffer_.size() && !ended) {
            // Drained: whatever comes after this read is a new edge.
            return false;
        }
    }
    // More may be waiting: the others first.
    return true;
}

void TerminalSession::onFrame(std::span<const std::uint8_t> bytes) {
    jt808::DecodedFrame decoded = jt808::decodeFrame(bytes);
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
    jt808::Message message = std::move(*decoded.message);
    if (!admissible(message.header)) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    timeouts_.received(heard_, now);
    const jt808::Header header = message.header;
    auto outcome = assembler_.add(std::move(message), now);
    assembler_.expire(now);
    switch (outcome.status) {
        case jt808::SubpackageAssembler::Status::Complete:
            service_.onMessage(*this, *outcome.message);
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

bool TerminalSession::admissible(const jt808::Header& header) {
    if (authenticated_ || !config_.perMessageChecks) {
        return true;
    }
    // A stranger gets no buffer for sub-packages and nothing that counts
    // as a sign of life: only whole registrations and logins.
    const bool login = header.msgId == msg::kRegistration || header.msgId == msg::kAuthentication;
    if (login && !header.subpackaged) {
        return true;
    }
    jt808::Message stub;
    stub.header = header;
    respond(stub, ResponseResult::Failure);
    service_.refused(
        *this, hexId(header.msgId) + (header.subpackaged ? " in sub-packages before authentication"
                                                         : " before authentication"));
    countFailure();
    return false;
}

void TerminalSession::countFailure() {
    if (++failures_ < config_.authFailureLimit) {
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
    // An answer leaves in this call when the writer is idle; the last
    // refusal before a close waits for its write to end (onDrained closes).
    if (!(finishing_ ? writer_.send(std::move(frame)) : writer_.sendNow(frame))) {
        asio::post(io_, [self = shared_from_this()] { self->close("does not read its answers"); });
    }
}

}  // namespace center
