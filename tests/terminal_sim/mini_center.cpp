#include "tests/terminal_sim/mini_center.h"

#include <array>

#include "jt808/frame_splitter.h"
#include "jt808/general_response.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"
#include "jt808/subpackage_assembler.h"

namespace sim::terminal::test {

using asio::ip::tcp;

class MiniCenter::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(MiniCenter& center, tcp::socket socket)
        : center_(center), socket_(std::move(socket)) {}

    void read() {
        auto self = shared_from_this();
        socket_.async_read_some(
            asio::buffer(buffer_), [self](const asio::error_code& e, std::size_t n) {
                if (e) {
                    return;
                }
                self->splitter_.append(std::span(self->buffer_.data(), n));
                std::vector<std::uint8_t> frame;
                while (self->splitter_.next(frame) == jt808::FrameSplitter::Status::Frame) {
                    auto d = jt808::decodeFrame(frame);
                    if (!d.ok()) {
                        continue;
                    }
                    auto whole = self->assembler_.add(*d.message, std::chrono::steady_clock::now());
                    if (whole.message) {
                        self->onMessage(*whole.message);
                    }
                }
                self->read();
            });
    }

    void close() {
        asio::error_code ignored;
        socket_.close(ignored);
    }

private:
    void onMessage(const jt808::Message& m) {
        using namespace jt808;
        if (m.header.msgId == msg::kRegistration) {
            ++center_.registrations;
            const std::string code = "code-" + m.header.phone;
            center_.codes.insert(code);
            reply(m, msg::kRegistrationResponse,
                  encodeRegistrationResponse({m.header.serial, 0, code}));
            return;
        }
        if (m.header.msgId == msg::kAuthentication) {
            const auto auth = parseAuthentication(m.body, m.header.version);
            const bool ok = auth && auth->code == "code-" + m.header.phone &&
                            center_.codes.count(auth->code) != 0;
            ok ? ++center_.authentications : ++center_.refusedAuthentications;
            reply(m, msg::kPlatformResponse,
                  encodePlatformResponse(m.header.serial, m.header.msgId,
                                         ok ? ResponseResult::Ok : ResponseResult::Failure));
            return;
        }
        center_.received.push_back(m);
        ResponseResult result = ResponseResult::Ok;
        if (m.header.msgId == msg::kLocation && center_.leaveLocationsUnanswered > 0) {
            --center_.leaveLocationsUnanswered;
            return;
        }
        if (m.header.msgId == msg::kLocation && center_.refuseLocations > 0) {
            --center_.refuseLocations;
            result = ResponseResult::Failure;
        }
        reply(m, msg::kPlatformResponse,
              encodePlatformResponse(m.header.serial, m.header.msgId, result));
    }

    void reply(const jt808::Message& to, std::uint16_t msgId,
               const std::vector<std::uint8_t>& body) {
        auto frame = std::make_shared<std::vector<std::uint8_t>>(
            jt808::encodeFrame(jt808::replyHeader(to.header, msgId, serial_++), body));
        asio::async_write(
            socket_, asio::buffer(*frame),
            [frame, self = shared_from_this()](const asio::error_code&, std::size_t) {});
    }

    MiniCenter& center_;
    tcp::socket socket_;
    std::array<std::uint8_t, 4096> buffer_{};
    jt808::FrameSplitter splitter_;
    jt808::SubpackageAssembler assembler_;
    std::uint16_t serial_ = 0;
};

MiniCenter::MiniCenter(asio::io_context& io)
    : io_(io), acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    accept();
}

void MiniCenter::accept() {
    acceptor_.async_accept([this](const asio::error_code& e, tcp::socket socket) {
        if (e) {
            return;
        }
        auto c = std::make_shared<Connection>(*this, std::move(socket));
        connections_.push_back(c);
        c->read();
        accept();
    });
}

void MiniCenter::dropAll() {
    for (auto& weak : connections_) {
        if (auto c = weak.lock()) {
            c->close();
        }
    }
    connections_.clear();
}

}  // namespace sim::terminal::test
