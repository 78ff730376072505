#include "sim/terminal/fleet.h"

#include <array>
#include <cmath>
#include <deque>
#include <map>
#include <random>

#include "jt1078/av_control.h"
#include "jt808/bytes.h"
#include "jt808/driver_identity.h"
#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/general_response.h"
#include "jt808/location.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"
#include "sim/terminal/media_sender.h"
#include "sim/terminal/route.h"

namespace sim::terminal {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// What a terminal keeps while it cannot send: enough for hours of reports
// at the usual interval, and bounded.
constexpr std::size_t kMaxBuffered = 2000;

const char* const kDriverNames[] = {"张伟", "王芳", "李娜", "刘洋", "陈静", "杨磊", "黄勇", "赵敏"};

std::string padded(std::string digits, std::size_t n) {
    if (digits.size() < n) {
        digits.insert(0, n - digits.size(), '0');
    }
    return digits;
}

}  // namespace

std::string addToPhone(const std::string& phone, int n) {
    std::string out = phone;
    int carry = n;
    for (std::size_t i = out.size(); i-- > 0 && carry > 0;) {
        const int d = out[i] - '0' + carry;
        out[i] = static_cast<char>('0' + d % 10);
        carry = d / 10;
    }
    while (carry > 0) {
        out.insert(out.begin(), static_cast<char>('0' + carry % 10));
        carry /= 10;
    }
    return out;
}

class Fleet::Terminal : public std::enable_shared_from_this<Fleet::Terminal> {
public:
    Terminal(Fleet& fleet, int index)
        : fleet_(fleet),
          config_(fleet.config_),
          index_(index),
          socket_(fleet.io_),
          resolver_(fleet.io_),
          tickTimer_(fleet.io_),
          heartbeatTimer_(fleet.io_),
          retryTimer_(fleet.io_),
          resendTimer_(fleet.io_),
          rng_(fleet.config_.seed * 7919 + static_cast<std::uint64_t>(index)),
          route_(fleet.config_.latitude, fleet.config_.longitude, fleet.config_.radiusKm,
                 fleet.config_.speedKmh, std::uniform_real_distribution<>(0, 1)(rng_)) {
        version_ = config_.protocol == ProtocolChoice::V2019 ||
                           (config_.protocol == ProtocolChoice::Mixed && index % 2 == 1)
                       ? jt808::Version::V2019
                       : jt808::Version::V2013;
        phone_ = fleet.phoneOf(index);
        started_ = Clock::now();
    }

    void start() {
        auto self = shared_from_this();
        const auto delay =
            config_.terminals > 1 ? config_.ramp * index_ / config_.terminals : config_.ramp * 0;
        retryTimer_.expires_after(delay);
        retryTimer_.async_wait([self](const asio::error_code& e) {
            if (!e) {
                self->connect();
            }
        });
        // Reports are spread over the interval so a fleet does not send in
        // lock step.
        const auto offset = std::chrono::milliseconds(std::uniform_int_distribution<long>(
            0, std::max<long>(0, static_cast<long>(config_.locationInterval.count()) - 1))(rng_));
        scheduleTick(delay + offset);
        scheduleHeartbeat();
        scheduleResend();
    }

    std::size_t unanswered() const { return unanswered_.size(); }
    std::uint64_t made() const { return made_; }
    void stopReporting() { reporting_ = false; }

    void stop() {
        stopped_ = true;
        stopMedia();
        tickTimer_.cancel();
        heartbeatTimer_.cancel();
        retryTimer_.cancel();
        resendTimer_.cancel();
        resolver_.cancel();
        closeSocket();
    }

private:
    enum class State { Offline, Connecting, Registering, Authenticating, Online };

    // A report (0x0200 or 0x0704) not yet answered with success: the
    // serials it went under (each with its frame count), oldest first.
    struct Unanswered {
        std::uint16_t msgId = 0;
        std::vector<std::uint8_t> body;
        std::vector<std::pair<std::uint16_t, std::uint16_t>> serials;
        int sent = 0;
        Clock::time_point due{};
    };

    void log(const std::string& what) { fleet_.log_("terminal " + phone_ + ": " + what); }

    // --- connection ---------------------------------------------------

    void connect() {
        if (stopped_ || inDeadZone_ || state_ != State::Offline) {
            return;
        }
        state_ = State::Connecting;
        auto self = shared_from_this();
        const auto generation = connectionGeneration_;
        resolver_.async_resolve(
            config_.host, std::to_string(config_.port),
            [self, generation](const asio::error_code& e,
                               const tcp::resolver::results_type& results) {
                if (self->stopped_ || generation != self->connectionGeneration_) {
                    return;
                }
                if (e) {
                    self->lost("cannot resolve " + self->config_.host + ": " + e.message());
                    return;
                }
                asio::async_connect(
                    self->socket_, results,
                    [self, generation](const asio::error_code& error, const tcp::endpoint&) {
                        if (!self->stopped_ && generation == self->connectionGeneration_) {
                            self->onConnected(error);
                        }
                    });
            });
    }

    void onConnected(const asio::error_code& error) {
        if (error) {
            lost("connect failed: " + error.message());
            return;
        }
        asio::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        fleet_.counters_.connections++;
        log("connected");
        splitter_ = jt808::FrameSplitter();
        read();
        if (config_.skipAuthentication) {
            becomeOnline();
        } else if (config_.authCode) {
            authenticate(*config_.authCode);
        } else if (const auto code = fleet_.codes_.find(phone_)) {
            authenticate(*code);
        } else {
            registerTerminal();
        }
    }

    // Closes the connection and tries again after the reconnect delay.
    void lost(const std::string& why, std::chrono::milliseconds delay = {}) {
        if (state_ == State::Connecting) {
            log(why);
        } else if (state_ != State::Offline) {
            fleet_.counters_.disconnects++;
            log("disconnected: " + why);
        }
        closeSocket();
        state_ = State::Offline;
        if (stopped_) {
            return;
        }
        auto self = shared_from_this();
        retryTimer_.expires_after(delay.count() > 0 ? delay : config_.reconnectDelay);
        retryTimer_.async_wait([self](const asio::error_code& e) {
            if (!e) {
                self->connect();
            }
        });
    }

    void closeSocket() {
        stopMedia();  // a terminal streams while it is connected
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        outbox_.clear();
        writing_ = false;
        ++connectionGeneration_;
    }

    void read() {
        auto self = shared_from_this();
        const auto generation = connectionGeneration_;
        socket_.async_read_some(
            asio::buffer(buffer_), [self, generation](const asio::error_code& e, std::size_t n) {
                if (generation != self->connectionGeneration_ || self->stopped_) {
                    return;
                }
                if (e) {
                    self->lost(e == asio::error::eof ? "closed by the center" : e.message());
                    return;
                }
                self->onBytes(n);
                if (generation == self->connectionGeneration_) {
                    self->read();
                }
            });
    }

    void onBytes(std::size_t n) {
        splitter_.append(std::span(buffer_.data(), n));
        std::vector<std::uint8_t> frame;
        const auto generation = connectionGeneration_;
        for (;;) {
            const auto st = splitter_.next(frame);
            if (st == jt808::FrameSplitter::Status::NeedMore) {
                return;
            }
            if (st == jt808::FrameSplitter::Status::TooLong) {
                log("dropped an oversize frame from the center");
                continue;
            }
            const auto decoded = jt808::decodeFrame(frame);
            if (!decoded.ok()) {
                log("bad frame from the center: " + decoded.error);
                continue;
            }
            onMessage(*decoded.message);
            if (generation != connectionGeneration_) {
                return;  // the message closed the connection
            }
        }
    }

    // The first serial it went under and how many frames it took.
    std::pair<std::uint16_t, std::uint16_t> send(std::uint16_t msgId,
                                                 const std::vector<std::uint8_t>& body) {
        const std::uint16_t first = serial_;
        jt808::Header h;
        h.msgId = msgId;
        h.version = version_;
        h.phone = phone_;
        h.serial = serial_;
        if (body.size() <= jt808::kMaxBodyBytes) {
            ++serial_;
            queue(jt808::encodeFrame(h, body));
        } else {
            const auto frames = jt808::encodeSubpackaged(h, body);
            serial_ = static_cast<std::uint16_t>(serial_ + frames.size());
            for (const auto& f : frames) {
                queue(f);
            }
        }
        lastSent_ = Clock::now();
        return {first, static_cast<std::uint16_t>(serial_ - first)};
    }

    // --- reports kept until answered ---------------------------------------

    void sendReport(std::uint16_t msgId, std::vector<std::uint8_t> body) {
        if (unanswered_.size() == kMaxBuffered) {
            unanswered_.pop_front();
            fleet_.counters_.reportsGivenUp++;
        }
        Unanswered& report = unanswered_.emplace_back();
        report.msgId = msgId;
        report.body = std::move(body);
        transmit(report);
    }

    void transmit(Unanswered& report) {
        report.serials.push_back(send(report.msgId, report.body));
        ++report.sent;
        report.due = Clock::now() + config_.answerTimeout * report.sent;
        if (report.sent > 1) {
            fleet_.counters_.reportsResent++;
        }
    }

    // True when the answer was to a report kept here.
    bool answered(std::uint16_t msgId, std::uint16_t serial, std::uint8_t result) {
        for (auto it = unanswered_.begin(); it != unanswered_.end(); ++it) {
            if (it->msgId != msgId) {
                continue;
            }
            for (const auto& [first, frames] : it->serials) {
                if (static_cast<std::uint16_t>(serial - first) < frames) {
                    // A refusal (a center whose journal is full) is sent
                    // again when its time comes, like silence.
                    if (result == 0) {
                        fleet_.counters_.reportsAnswered++;
                        unanswered_.erase(it);
                    }
                    return true;
                }
            }
        }
        return false;
    }

    void scheduleResend() {
        auto self = shared_from_this();
        resendTimer_.expires_after(std::min<std::chrono::milliseconds>(
            config_.answerTimeout / 2 + std::chrono::milliseconds(1), std::chrono::seconds(1)));
        resendTimer_.async_wait([self](const asio::error_code& e) {
            if (e || self->stopped_) {
                return;
            }
            self->resendDue();
            self->scheduleResend();
        });
    }

    void resendDue() {
        if (state_ != State::Online) {
            return;
        }
        const auto now = Clock::now();
        for (Unanswered& report : unanswered_) {
            if (now < report.due) {
                continue;
            }
            if (report.sent > config_.retransmissions) {
                lost("no answer to a report after " + std::to_string(report.sent) + " tries");
                return;
            }
            transmit(report);
        }
    }

    // After a login: what the last connection left unanswered goes first.
    void resendAll() {
        for (Unanswered& report : unanswered_) {
            report.sent = 0;
            report.serials.clear();
            transmit(report);
            fleet_.counters_.reportsResent++;
        }
    }

    void queue(std::vector<std::uint8_t> frame) {
        outbox_.push_back(std::move(frame));
        if (!writing_) {
            writeNext();
        }
    }

    void writeNext() {
        if (outbox_.empty()) {
            writing_ = false;
            return;
        }
        writing_ = true;
        auto self = shared_from_this();
        const auto generation = connectionGeneration_;
        asio::async_write(socket_, asio::buffer(outbox_.front()),
                          [self, generation](const asio::error_code& e, std::size_t) {
                              if (generation != self->connectionGeneration_ || self->stopped_) {
                                  return;
                              }
                              if (e) {
                                  self->lost("send failed: " + e.message());
                                  return;
                              }
                              self->outbox_.pop_front();
                              self->writeNext();
                          });
    }

    // --- registration and authentication -------------------------------

    void registerTerminal() {
        state_ = State::Registering;
        jt808::Registration reg;
        reg.province = 44;
        reg.city = 300;
        reg.makerId = "VARDO";
        reg.model = "VT-4CH";
        reg.terminalId = phone_.substr(phone_.size() - 7);
        reg.plateColour = 1;
        reg.plate = plate();
        registrationSerial_ = serial_;
        send(jt808::msg::kRegistration, jt808::encodeRegistration(reg, version_));
    }

    void authenticate(const std::string& code) {
        state_ = State::Authenticating;
        authSerial_ = serial_;
        send(jt808::msg::kAuthentication,
             jt808::encodeAuthentication(
                 {code, padded(phone_.substr(phone_.size() - 7), 15), "VT-4CH 1.0"}, version_));
    }

    void becomeOnline() {
        state_ = State::Online;
        everOnline_ = true;
        if (config_.driverCard && !driverSent_) {
            driverSent_ = true;
            send(jt808::msg::kDriverIdentity, jt808::encodeDriverIdentity(driver(), version_));
        }
        if (!timeAsked_) {
            timeAsked_ = true;
            send(jt808::msg::kTimeQuery, {});
        }
        resendAll();
        flushBuffered();
    }

    void onMessage(const jt808::Message& m) {
        switch (m.header.msgId) {
            case jt808::msg::kRegistrationResponse: {
                const auto r = jt808::parseRegistrationResponse(m.body);
                if (!r || state_ != State::Registering || r->serial != registrationSerial_) {
                    return;
                }
                if (r->result != 0) {
                    fleet_.counters_.refusals++;
                    log("registration refused (result " + std::to_string(r->result) + ")");
                    lost("registration refused", std::chrono::seconds(30));
                    return;
                }
                fleet_.counters_.registrations++;
                log("registered");
                if (const std::string error = fleet_.codes_.store(phone_, r->authCode);
                    !error.empty()) {
                    log(error);
                }
                authenticate(r->authCode);
                return;
            }
            case jt808::msg::kPlatformResponse: {
                const auto r = jt808::parseGeneralResponse(m.body);
                if (!r) {
                    return;
                }
                if (r->msgId == jt808::msg::kAuthentication && state_ == State::Authenticating &&
                    r->serial == authSerial_) {
                    onAuthenticationAnswer(r->result);
                    return;
                }
                if (r->msgId == jt808::msg::kLocation || r->msgId == jt808::msg::kBatchLocation) {
                    answered(r->msgId, r->serial, r->result);
                }
                (r->result == 0 ? fleet_.counters_.acks : fleet_.counters_.nacks)++;
                return;
            }
            case jt808::msg::kTimeResponse:
                return;
            case jt1078::kMsgRealtimeRequest:
                onRealtimeRequest(m);
                return;
            case jt1078::kMsgTransmissionControl:
                onTransmissionControl(m);
                return;
            default:
                // Commands this simulator does not carry out.
                send(jt808::msg::kTerminalResponse,
                     jt808::encodePlatformResponse(m.header.serial, m.header.msgId,
                                                   jt808::ResponseResult::NotSupported));
                return;
        }
    }

    // --- cameras -------------------------------------------------------

    void answer(const jt808::Message& m, jt808::ResponseResult result) {
        send(jt808::msg::kTerminalResponse,
             jt808::encodePlatformResponse(m.header.serial, m.header.msgId, result));
    }

    void onRealtimeRequest(const jt808::Message& m) {
        const auto request = jt1078::decodeRealtimeRequest(m.body);
        if (!request || request->channel < 1 || request->channel > 4 ||
            (request->data != jt1078::RequestedData::AudioVideo &&
             request->data != jt1078::RequestedData::Video)) {
            answer(m, request ? jt808::ResponseResult::NotSupported
                              : jt808::ResponseResult::WrongMessage);
            return;
        }
        MediaSenderConfig c;
        c.host = request->serverAddress;
        c.udp = config_.mediaUdp;
        c.port = c.udp ? request->udpPort : request->tcpPort;
        c.sim = phone_;
        c.layout =
            version_ == jt808::Version::V2019 ? jt1078::SimLayout::Bcd10 : jt1078::SimLayout::Bcd6;
        c.channel = request->channel;
        c.audio = request->data == jt1078::RequestedData::AudioVideo;
        c.label = phone_.substr(phone_.size() - 7);
        c.width = config_.mediaWidth;
        c.height = config_.mediaHeight;
        c.fps = config_.mediaFps;
        c.keyInterval = config_.mediaFps;
        c.loss = config_.mediaLoss;
        if (config_.mediaSharedEncoder) {
            c.camera = fleet_.cameras_.get(c.width, c.height, c.fps, c.keyInterval, c.bitRate);
        }
        c.seed = config_.seed * 31 + static_cast<std::uint64_t>(index_) * 5 + request->channel;
        if (c.port == 0) {
            answer(m, jt808::ResponseResult::WrongMessage);
            return;
        }
        answer(m, jt808::ResponseResult::Ok);
        fleet_.counters_.mediaRequests++;
        // A second request for a running channel starts it afresh, where asked.
        if (const auto it = media_.find(request->channel); it != media_.end()) {
            it->second->stop();
        }
        auto sender = std::make_shared<MediaSender>(fleet_.io_, c,
                                                    [this](const std::string& line) { log(line); });
        media_[request->channel] = sender;
        log("streaming channel " + std::to_string(request->channel) + " to " + c.host + ":" +
            std::to_string(c.port) + (c.udp ? " (UDP)" : " (TCP)"));
        sender->start();
    }

    void onTransmissionControl(const jt808::Message& m) {
        const auto control = jt1078::decodeTransmissionControl(m.body);
        if (!control) {
            answer(m, jt808::ResponseResult::WrongMessage);
            return;
        }
        answer(m, jt808::ResponseResult::Ok);
        const auto it = media_.find(control->channel);
        if (control->command != jt1078::ControlCommand::Close || it == media_.end()) {
            return;
        }
        if (control->close == jt1078::CloseWhat::AudioOnly) {
            it->second->setAudio(false);
            return;
        }
        it->second->stop();
        media_.erase(it);
        fleet_.counters_.mediaCloses++;
        log("stopped channel " + std::to_string(control->channel));
    }

    void stopMedia() {
        for (auto& [channel, sender] : media_) {
            sender->stop();
        }
        media_.clear();
    }

    void onAuthenticationAnswer(std::uint8_t result) {
        if (result == 0) {
            fleet_.counters_.authentications++;
            log("authenticated");
            becomeOnline();
            return;
        }
        fleet_.counters_.refusals++;
        log("authentication refused (result " + std::to_string(result) + ")");
        if (config_.authCode) {
            lost("authentication refused");
            return;
        }
        // The center no longer knows the kept code: register again.
        fleet_.codes_.store(phone_, "");
        registerTerminal();
    }

    // --- reports --------------------------------------------------------

    void scheduleTick(std::chrono::milliseconds delay) {
        tickTimer_.expires_after(delay);
        awaitTick();
    }

    // A terminal reports on its own clock's period: the next tick is due an
    // interval after the last one was due, not after it was handled, or a
    // busy machine would stretch every period and the fleet would report
    // less than it says. One that fell more than an interval behind (a
    // stalled process) starts afresh rather than sending a burst.
    void awaitTick() {
        auto self = shared_from_this();
        tickTimer_.async_wait([self](const asio::error_code& e) {
            if (e || self->stopped_) {
                return;
            }
            self->tick();
            const auto interval = self->config_.locationInterval;
            const auto now = asio::steady_timer::clock_type::now();
            auto next = self->tickTimer_.expiry() + interval;
            if (next + interval < now) {
                next = now;
            }
            self->tickTimer_.expires_at(next);
            self->awaitTick();
        });
    }

    void scheduleHeartbeat() {
        auto self = shared_from_this();
        heartbeatTimer_.expires_after(config_.heartbeatInterval);
        heartbeatTimer_.async_wait([self](const asio::error_code& e) {
            if (e || self->stopped_) {
                return;
            }
            // A terminal that reported lately needs no heartbeat.
            if (self->state_ == State::Online &&
                Clock::now() - self->lastSent_ >= self->config_.heartbeatInterval / 2) {
                self->send(jt808::msg::kHeartbeat, {});
            }
            self->scheduleHeartbeat();
        });
    }

    bool chance(double perHour) {
        const double perTick = perHour * config_.locationInterval.count() / 3'600'000.0;
        return perTick > 0 && std::uniform_real_distribution<>(0, 1)(rng_) < perTick;
    }

    void tick() {
        const auto now = Clock::now();
        updateDeadZone(now);
        if (!inDeadZone_ && state_ == State::Online && chance(config_.reconnectRate)) {
            lost("dropped on purpose");
        }
        if ((alarmBits_ != 0 || videoAlarm_) && now >= alarmUntil_) {
            alarmBits_ = 0;
            videoAlarm_ = false;
        }
        if (alarmBits_ == 0 && !videoAlarm_ && chance(config_.alarmRate)) {
            raiseAlarm(now);
        }
        if (!reporting_) {
            return;
        }
        // Before the first login there is nothing to report or catch up.
        if (state_ != State::Online && (!everOnline_ || config_.skipAuthentication)) {
            return;
        }
        const jt808::Location loc = location(now);
        ++made_;
        if (state_ == State::Online) {
            sendReport(jt808::msg::kLocation, jt808::encodeLocation(loc));
            fleet_.counters_.locations++;
        } else {
            // Reports made while the network is gone are kept for the blind-
            // area upload.
            if (buffered_.size() == kMaxBuffered) {
                buffered_.pop_front();
                fleet_.counters_.reportsGivenUp++;
            }
            buffered_.push_back(loc);
        }
    }

    void updateDeadZone(Clock::time_point now) {
        if (config_.deadZoneEvery.count() <= 0) {
            return;
        }
        const auto elapsed = now - started_;
        const auto cycle = config_.deadZoneEvery + config_.deadZoneDuration;
        const bool inside = elapsed % cycle >= config_.deadZoneEvery;
        if (inside && !inDeadZone_) {
            inDeadZone_ = true;
            log("entering a dead zone");
            if (state_ != State::Offline) {
                lost("no network");
            }
            // No reconnect attempts until the network is back (connect()
            // also refuses while in the dead zone).
            retryTimer_.cancel();
        } else if (!inside && inDeadZone_) {
            inDeadZone_ = false;
            log("leaving the dead zone with " + std::to_string(buffered_.size()) +
                " buffered reports");
            connect();
        }
    }

    void raiseAlarm(Clock::time_point now) {
        fleet_.counters_.alarms++;
        alarmUntil_ = now + config_.alarmDuration;
        struct Kind {
            std::uint32_t bit;  // 0: the video alarm, which lives in its own item
            const char* name;
        };
        // Emergency twice: it is the alarm drivers actually press.
        static constexpr Kind kKinds[] = {{jt808::alarm::kEmergency, "emergency"},
                                          {jt808::alarm::kEmergency, "emergency"},
                                          {jt808::alarm::kOverspeed, "overspeed"},
                                          {jt808::alarm::kFatigue, "fatigue"},
                                          {jt808::alarm::kDangerWarning, "danger warning"},
                                          {0, "video signal loss"}};
        const Kind& kind =
            kKinds[std::uniform_int_distribution<std::size_t>(0, std::size(kKinds) - 1)(rng_)];
        alarmBits_ = kind.bit;
        videoAlarm_ = kind.bit == 0;
        log(std::string("alarm: ") + kind.name);
    }

    jt808::Location location(Clock::time_point now) {
        RoutePoint p = route_.at(now - started_);
        if (config_.numberedFixes) {
            p.latitude = 10.0 + static_cast<double>(made_) / 10000.0;
            p.longitude = 100.0 + index_ / 1000.0;
        }
        jt808::Location loc;
        loc.alarm = alarmBits_;
        loc.status = jt808::status::kAcc | jt808::status::kLocated;
        if (p.latitude < 0) {
            loc.status |= jt808::status::kSouth;
        }
        if (p.longitude < 0) {
            loc.status |= jt808::status::kWest;
        }
        loc.latitude = static_cast<std::uint32_t>(std::llround(std::fabs(p.latitude) * 1e6));
        loc.longitude = static_cast<std::uint32_t>(std::llround(std::fabs(p.longitude) * 1e6));
        loc.altitude = 30;
        loc.speed = static_cast<std::uint16_t>(std::lround(p.speedKmh * 10));
        loc.direction = static_cast<std::uint16_t>(std::lround(p.course) % 360);
        loc.time = jt808::utcToBcdTime(
            std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
        const auto travelled = std::chrono::duration<double, std::ratio<3600>>(now - started_);
        loc.items.push_back(jt808::makeItem(
            jt808::item::kMileage,
            static_cast<std::uint32_t>(10'000 + index_ + travelled.count() * p.speedKmh * 10), 4));
        if (videoAlarm_) {
            loc.items.push_back(
                jt808::makeItem(jt808::item::kVideoAlarms, jt808::video_alarm::kSignalLoss, 4));
            loc.items.push_back(jt808::makeItem(jt808::item::kVideoSignalLoss, 0x1, 4));
        }
        loc.items.push_back(jt808::makeItem(jt808::item::kSignalStrength, 25, 1));
        loc.items.push_back(jt808::makeItem(jt808::item::kSatellites, 12, 1));
        return loc;
    }

    void flushBuffered() {
        if (buffered_.empty()) {
            return;
        }
        jt808::BatchLocation batch;
        batch.type = static_cast<std::uint8_t>(jt808::BatchType::BlindArea);
        batch.items.assign(buffered_.begin(), buffered_.end());
        fleet_.counters_.batchItems += buffered_.size();
        log("sent " + std::to_string(buffered_.size()) + " buffered reports");
        buffered_.clear();
        // A long batch goes in sub-packages, as terminals send it.
        sendReport(jt808::msg::kBatchLocation, jt808::encodeBatchLocation(batch));
    }

    std::string plate() const {
        const int number = (config_.firstPlateNumber + index_) % 100000;
        return config_.platePrefix + padded(std::to_string(number), 5);
    }

    jt808::DriverIdentity driver() const {
        jt808::DriverIdentity d;
        d.status = jt808::kCardInserted;
        d.time = jt808::utcToBcdTime(
            std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
        d.name = kDriverNames[index_ % std::size(kDriverNames)];
        d.qualification = padded(std::to_string(440300000000 + index_), 18);
        d.authority = "深圳市交通运输局";
        d.expiry = "20301231";
        d.idCard = d.qualification;
        return d;
    }

    Fleet& fleet_;
    const FleetConfig& config_;
    const int index_;
    jt808::Version version_;
    std::map<std::uint8_t, std::shared_ptr<MediaSender>> media_;  // by channel
    std::string phone_;
    tcp::socket socket_;
    tcp::resolver resolver_;
    asio::steady_timer tickTimer_;
    asio::steady_timer heartbeatTimer_;
    asio::steady_timer retryTimer_;
    asio::steady_timer resendTimer_;
    std::mt19937_64 rng_;
    Route route_;
    Clock::time_point started_;

    State state_ = State::Offline;
    bool stopped_ = false;
    std::uint64_t connectionGeneration_ = 0;  // bumps on close: stale handlers return
    std::array<std::uint8_t, 4096> buffer_{};
    jt808::FrameSplitter splitter_;
    std::deque<std::vector<std::uint8_t>> outbox_;
    bool writing_ = false;
    std::uint16_t serial_ = 0;
    std::uint16_t registrationSerial_ = 0;
    std::uint16_t authSerial_ = 0;
    Clock::time_point lastSent_{};
    bool driverSent_ = false;
    bool timeAsked_ = false;

    std::deque<Unanswered> unanswered_;

    bool reporting_ = true;
    std::uint64_t made_ = 0;  // reports made, sent or buffered
    bool everOnline_ = false;
    bool inDeadZone_ = false;
    std::deque<jt808::Location> buffered_;
    std::uint32_t alarmBits_ = 0;
    bool videoAlarm_ = false;
    Clock::time_point alarmUntil_{};
};

Fleet::Fleet(asio::io_context& io, FleetConfig config, CodesFile& codes, Log log)
    : io_(io), config_(std::move(config)), codes_(codes), log_(std::move(log)) {}

Fleet::~Fleet() {
    stop();
}

std::string Fleet::phoneOf(int index) const {
    const bool v2019 = config_.protocol == ProtocolChoice::V2019 ||
                       (config_.protocol == ProtocolChoice::Mixed && index % 2 == 1);
    return padded(addToPhone(config_.firstPhone, index), v2019 ? 20 : 12);
}

void Fleet::start() {
    terminals_.reserve(static_cast<std::size_t>(config_.terminals));
    for (int i = 0; i < config_.terminals; ++i) {
        terminals_.push_back(std::make_shared<Terminal>(*this, i));
        terminals_.back()->start();
    }
}

std::size_t Fleet::unansweredReports() const {
    std::size_t n = unansweredAtStop_;
    for (const auto& t : terminals_) {
        n += t->unanswered();
    }
    return n;
}

void Fleet::stopReporting() {
    for (auto& t : terminals_) {
        t->stopReporting();
    }
}

std::vector<std::uint64_t> Fleet::reportsMade() const {
    std::vector<std::uint64_t> made;
    for (const auto& t : terminals_) {
        made.push_back(t->made());
    }
    return made;
}

void Fleet::stop() {
    unansweredAtStop_ = unansweredReports();
    for (auto& t : terminals_) {
        t->stop();
    }
    terminals_.clear();
}

}  // namespace sim::terminal
