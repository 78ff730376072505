#include "center/terminal_service.h"

#include "center/terminal_session.h"
#include "jt808/driver_identity.h"
#include "jt808/location.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"
#include "net/run_in_passes.h"
#include "text/log_text.h"

namespace center {

using jt808::ResponseResult;
namespace msg = jt808::msg;

namespace {

// The generation of a lease whose claim is still on its way; a claim that
// failed holds 0, below every other center's.
constexpr std::int64_t kLeasePending = -1;

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TerminalService::TerminalService(asio::io_context& io, const TerminalConfig& config,
                                 Registry& registry, DeviceFeed& feed, Log log)
    : io_(io),
      config_(config),
      registry_(registry),
      feed_(feed),
      log_(std::move(log)),
      allowList_(config.allowListPath),
      backOff_(config.backOff),
      refusals_("refused logins", config.refusalLogPeriod, log_),
      drops_("connections dropped before authentication", config.refusalLogPeriod, log_),
      summaryTimer_(io) {}

TerminalService::~TerminalService() {
    stop();
}

std::string TerminalService::start() {
    if (std::string error = writer_.start(registry_); !error.empty()) {
        return error;
    }
    if (registry_.shared()) {
        registry_.watchClaims([this](std::vector<LeaseClaim> claims) {
            asio::post(io_, [this, claims = std::move(claims)] { claimedElsewhere(claims); });
        });
    }
    summarise();
    return {};
}

void TerminalService::stop() {
    registry_.stopWatching();
    summaryTimer_.cancel();
    refusals_.flush();
    drops_.flush();
    writer_.stop();
}

void TerminalService::log(const std::string& line) const {
    if (log_) {
        log_(line);
    }
}

void TerminalService::summarise() {
    summaryTimer_.expires_after(refusals_.period());
    summaryTimer_.async_wait([this](const asio::error_code& error) {
        if (error) {
            return;
        }
        refusals_.flush();
        drops_.flush();
        summarise();
    });
}

void TerminalService::onMessage(TerminalSession& session, const jt808::Message& message) {
    const std::uint16_t id = message.header.msgId;
    const std::string& phone = message.header.phone;
    // A connection speaks for the one phone it logged in as.
    if (config_.perMessageChecks && session.authenticated() && phone != session.phone()) {
        refused(session, "message of terminal " + phone + " on the connection of terminal " +
                             session.phone());
        session.respond(message, ResponseResult::Failure);
        session.countFailure();
        return;
    }
    if (id == msg::kRegistration) {
        onRegistration(session, message);
        return;
    }
    if (id == msg::kAuthentication) {
        onAuthentication(session, message);
        return;
    }
    if (!session.authenticated()) {
        session.respond(message, ResponseResult::Failure);
        session.countFailure();
        return;
    }
    switch (id) {
        case msg::kHeartbeat:
            session.respond(message, ResponseResult::Ok);
            return;
        case msg::kTimeQuery: {
            const auto now = std::chrono::time_point_cast<std::chrono::seconds>(
                std::chrono::system_clock::now());
            session.reply(message.header, msg::kTimeResponse, jt808::encodeTimeResponse(now));
            return;
        }
        case msg::kLocation:
            onLocation(session, message);
            return;
        case msg::kBatchLocation:
            onBatch(session, message);
            return;
        case msg::kDriverIdentity:
            onDriver(session, message);
            return;
        case msg::kDeregistration:
            onDeregistration(session, message);
            return;
        default:
            break;
    }
    if (handler_ && handler_(session.phone(), message)) {
        return;
    }
    if (id != msg::kTerminalResponse && id < 0x8000) {
        session.respond(message, ResponseResult::NotSupported);
    }
}

void TerminalService::refused(const TerminalSession& session, const std::string& why) {
    if (refusals_.count(session.address())) {
        log(session.who() + ": " + why);
    }
}

void TerminalService::dropped(const TerminalSession& session, const std::string& why) {
    if (session.authenticated() || drops_.count(session.address())) {
        log(session.who() + " dropped: " + why);
    }
}

void TerminalService::failedLogin(TerminalSession& session, const std::string& why) {
    backOff_.failed(session.address(), std::chrono::steady_clock::now());
    refused(session, why);
}

void TerminalService::onRegistration(TerminalSession& session, const jt808::Message& message) {
    const auto registration = jt808::parseRegistration(message.body, message.header.version);
    if (!registration) {
        session.respond(message, ResponseResult::WrongMessage);
        return;
    }
    const std::string& phone = message.header.phone;
    auto refuse = [&](jt808::RegistrationResult result, const std::string& why) {
        failedLogin(session, "registration of terminal " + phone + " refused: " + why);
        jt808::RegistrationResponse answer;
        answer.serial = message.header.serial;
        answer.result = static_cast<std::uint8_t>(result);
        session.reply(message.header, msg::kRegistrationResponse,
                      jt808::encodeRegistrationResponse(answer));
        session.countFailure();
    };
    if (backOff_.waiting(session.address(), std::chrono::steady_clock::now())) {
        refuse(jt808::RegistrationResult::NoSuchTerminal, "too many refused logins");
        return;
    }
    if (!config_.openRegistration) {
        // Centers sharing a registry share its allow-list; one alone reads its file.
        const bool shared = registry_.keepsAllowList();
        if (shared ? !registry_.allows(phone) : !allowList_.allows(phone)) {
            refuse(jt808::RegistrationResult::NoSuchTerminal,
                   shared ? std::string("not in the registry's allow-list")
                          : "not in " + allowList_.path());
            return;
        }
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
    // Whether the phone holds a code is read from the file on the writer's
    // thread, in the same transaction as the enrolment: an operator's
    // release takes effect at once, and two registrations cannot race.
    writer_.post([this, self = session.shared_from_this(), message, record](Registry& registry) {
        auto enrolment = registry.enrollNew(record, unixNow());
        asio::post(io_, [this, self, message, record, enrolment = std::move(enrolment)] {
            enrolled(*self, message, record, enrolment);
        });
    });
}

void TerminalService::enrolled(TerminalSession& session, const jt808::Message& message,
                               const TerminalRecord& record, const Registry::Enrolment& enrolment) {
    const std::string& phone = record.phone;
    jt808::RegistrationResponse answer;
    answer.serial = message.header.serial;
    switch (enrolment.admission) {
        case Registry::Admission::Enrolled:
            log("connection " + session.peer() + ": terminal " + phone + " registered (plate " +
                text::PeerText(record.plate) + ", maker " + text::PeerText(record.makerId) +
                ", model " + text::PeerText(record.model) + ")");
            answer.result = static_cast<std::uint8_t>(jt808::RegistrationResult::Ok);
            answer.authCode = enrolment.code;
            break;
        case Registry::Admission::HoldsCode:
        case Registry::Admission::ReleaseExpired:
            failedLogin(session, "registration of terminal " + phone + " refused: " +
                                     (enrolment.admission == Registry::Admission::HoldsCode
                                          ? "it holds a code (vardo-center --release " + phone +
                                                " lets it register again)"
                                          : "the time to register after its release has passed"));
            answer.result =
                static_cast<std::uint8_t>(jt808::RegistrationResult::TerminalRegistered);
            session.countFailure();
            break;
        case Registry::Admission::Failed:
            log("connection " + session.peer() + ": registration of terminal " + phone +
                " not stored: " + enrolment.error);
            session.respond(message, ResponseResult::Failure);
            return;
    }
    session.reply(message.header, msg::kRegistrationResponse,
                  jt808::encodeRegistrationResponse(answer));
}

void TerminalService::onAuthentication(TerminalSession& session, const jt808::Message& message) {
    const std::string& phone = message.header.phone;
    std::string refusal;
    std::optional<TerminalRecord> record;
    if (backOff_.waiting(session.address(), std::chrono::steady_clock::now())) {
        refusal = "too many refused logins";  // not even compared
    } else if (const auto auth = jt808::parseAuthentication(message.body, message.header.version);
               !auth) {
        refusal = "unreadable (" + auth.error + ")";
    } else if (record = registry_.find(phone); !record) {
        refusal = "not registered";
    } else if (record->authCode.empty()) {
        refusal = "its code was released; it registers again";
    } else if (!sameCode(auth->code, record->authCode)) {
        refusal = "wrong authentication code";
    }
    if (!refusal.empty()) {
        failedLogin(session, "authentication of terminal " + phone + " refused: " + refusal);
        session.respond(message, ResponseResult::Failure);
        session.countFailure();
        return;
    }
    const bool again = session.authenticated();
    session.authenticate(phone, message.header);
    session.setPlate(record->plate);
    session.respond(message, ResponseResult::Ok);
    if (again) {
        return;  // a terminal that repeats its login stays online as it is
    }
    // Taken before the feed stamps the online: an offline the previous
    // center sends for this login is dated before it.
    const std::int64_t loginMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    claim(phone, &session);
    lease(session, loginMs);
    touch(phone);
    log(session.who() + " logged in (plate " + text::PeerText(record->plate) + ", " +
        (message.header.version == jt808::Version::V2019 ? "2019" : "2013") + " header)");
    session.setDevice(feed_.online(phone, record->plate, record->driver));
}

std::uint64_t TerminalService::reportLocation(TerminalSession& session,
                                              const jt808::Location& location) {
    if (!location.brokenItem.empty() && brokenItemLogged_.insert(session.phone()).second) {
        log(session.who() + ": location report's " + location.brokenItem +
            "; the position and the items before it are kept (said once per terminal)");
    }
    return feed_.location(session.device(), location);
}

bool TerminalService::roomForReports(TerminalSession& session, const jt808::Message& message) {
    if (journal_ == nullptr || !journal_->full()) {
        return true;
    }
    ++refusedWhileFull_;
    session.respond(message, ResponseResult::Failure);
    return false;
}

void TerminalService::answerWhenDurable(TerminalSession& session, const jt808::Message& message,
                                        std::uint64_t seq) {
    if (journal_ == nullptr || seq <= journal_->durableSeq()) {
        session.respond(message, ResponseResult::Ok);
        return;
    }
    jt808::Message header;
    header.header = message.header;
    waiting_.wait(seq, session.weak_from_this(), std::move(header));
}

void TerminalService::durable(std::uint64_t seq) {
    waiting_.durable(seq, [](TerminalSession& session, const jt808::Message& message) {
        session.respond(message, ResponseResult::Ok);
    });
}

void TerminalService::onLocation(TerminalSession& session, const jt808::Message& message) {
    const auto location = jt808::parseLocation(message.body);
    if (!location) {
        session.respond(message, ResponseResult::WrongMessage);
        return;
    }
    if (!roomForReports(session, message)) {
        return;
    }
    answerWhenDurable(session, message, reportLocation(session, *location));
}

void TerminalService::onBatch(TerminalSession& session, const jt808::Message& message) {
    const auto batch = jt808::parseBatchLocation(message.body);
    if (!batch) {
        session.respond(message, ResponseResult::WrongMessage);
        return;
    }
    if (!roomForReports(session, message)) {
        return;
    }
    std::uint64_t last = 0;
    for (const auto& item : batch->items) {
        last = std::max(last, reportLocation(session, item));
    }
    answerWhenDurable(session, message, last);
}

void TerminalService::onDriver(TerminalSession& session, const jt808::Message& message) {
    const auto driver = jt808::parseDriverIdentity(message.body, message.header.version);
    if (!driver) {
        session.respond(message, ResponseResult::WrongMessage);
        return;
    }
    // A card taken out leaves the vehicle without a known driver; a card
    // that could not be read says nothing about who drives.
    if (driver->status == jt808::kCardRemoved ||
        (driver->status == jt808::kCardInserted && driver->icResult == 0)) {
        const std::string name = driver->status == jt808::kCardRemoved ? "" : driver->name;
        feed_.driver(session.phone(), name);
        writer_.post([this, phone = session.phone(), name](Registry& registry) {
            if (std::string error = registry.setDriver(phone, name); !error.empty()) {
                log("registry: " + error);
            }
        });
    }
    session.respond(message, ResponseResult::Ok);
}

void TerminalService::onDeregistration(TerminalSession& session, const jt808::Message& message) {
    const std::string phone = session.phone();
    // Its code is gone: the terminal is no device until it registers and
    // authenticates again.
    if (owns(phone, &session)) {
        byPhone_.erase(phone);
        leases_.erase(phone);
        claimedMeanwhile_.erase(phone);
        feed_.offline(phone);
    }
    session.deauthenticate();
    writer_.post([this, self = session.shared_from_this(), message, phone](Registry& registry) {
        std::string error = registry.forget(phone);
        asio::post(io_, [this, self, message, phone, error] {
            if (!error.empty()) {
                log("registry: " + error);
                self->respond(message, ResponseResult::Failure);
                return;
            }
            log("terminal " + phone + " (" + self->peer() + ") deregistered");
            self->respond(message, ResponseResult::Ok);
        });
    });
}

void TerminalService::closed(TerminalSession& session, bool quiet) {
    if (session.authenticated() && !quiet && owns(session.phone(), &session)) {
        byPhone_.erase(session.phone());
        leases_.erase(session.phone());
        claimedMeanwhile_.erase(session.phone());
        feed_.offline(session.phone());
        touch(session.phone());
    }
}

void TerminalService::touch(const std::string& phone) {
    bool first = false;
    {
        std::lock_guard lock(seenMutex_);
        first = seen_.empty();
        seen_.push_back({phone, unixNow()});
    }
    if (!first) {
        return;  // the job for the first is still to take them
    }
    // Posted once the pass is over, with every login of the pass: in a storm
    // of logins, one wake-up of the writer a pass rather than nearly one a
    // login.
    net::AtEndOfPass(io_.get_executor(), [this] {
        writer_.post([this](Registry& registry) {
            std::vector<Registry::Seen> seen;
            {
                std::lock_guard lock(seenMutex_);
                seen.swap(seen_);
            }
            if (std::string error = registry.touchAll(seen); !error.empty()) {
                log("registry: " + error);
            }
        });
    });
}

void TerminalService::lease(TerminalSession& session, std::int64_t atMs) {
    if (!registry_.shared()) {
        return;
    }
    const std::string phone = session.phone();
    leases_[phone] = kLeasePending;
    writer_.post([this, self = session.shared_from_this(), phone, atMs](Registry& registry) {
        std::string error;
        const std::int64_t generation = registry.claim(phone, atMs, error);
        if (!error.empty()) {
            log("registry: terminal " + phone + " not leased to this center: " + error);
        }
        asio::post(io_, [this, self, phone, generation] { leased(phone, self.get(), generation); });
    });
}

void TerminalService::leased(const std::string& phone, const TerminalSession* session,
                             std::int64_t generation) {
    if (!owns(phone, session)) {
        return;  // closed, or a newer connection of it has its own claim on the way
    }
    const auto meanwhile = claimedMeanwhile_.extract(phone);
    // A claim that failed counts as the oldest: any other center's wins.
    leases_[phone] = generation;
    if (!meanwhile.empty() && meanwhile.mapped().generation > generation) {
        takenOver(phone, meanwhile.mapped());
    }
}

void TerminalService::claimedElsewhere(const std::vector<LeaseClaim>& claims) {
    for (const LeaseClaim& claim : claims) {
        const auto lease = leases_.find(claim.phone);
        if (lease == leases_.end()) {
            continue;  // not served here
        }
        if (lease->second == kLeasePending) {
            auto& latest = claimedMeanwhile_[claim.phone];
            if (claim.generation > latest.generation) {
                latest = claim;
            }
        } else if (claim.generation > lease->second) {
            takenOver(claim.phone, claim);
        }
    }
}

void TerminalService::takenOver(const std::string& phone, const LeaseClaim& claim) {
    const auto it = byPhone_.find(phone);
    if (it == byPhone_.end()) {
        return;
    }
    TerminalSession* session = it->second;
    byPhone_.erase(it);
    leases_.erase(phone);
    // Dated before the other center's online, so that event servers sharing
    // a database keep the device online there whatever order they store in.
    feed_.offline(phone, claim.claimedAtMs - 1);
    touch(phone);
    session->close("terminal " + phone + " logged in on center " + text::PeerText(claim.center),
                   true);
}

void TerminalService::claim(const std::string& phone, TerminalSession* session) {
    auto& owner = byPhone_[phone];
    TerminalSession* previous = owner;
    owner = session;
    if (previous != nullptr && previous != session) {
        previous->close("terminal " + phone + " logged in on a new connection", true);
    }
}

bool TerminalService::owns(const std::string& phone, const TerminalSession* session) const {
    const auto it = byPhone_.find(phone);
    return it != byPhone_.end() && it->second == session;
}

bool TerminalService::sendToTerminal(const std::string& phone, std::uint16_t msgId,
                                     std::span<const std::uint8_t> body) {
    const auto it = byPhone_.find(phone);
    if (it == byPhone_.end()) {
        return false;
    }
    it->second->sendMessage(msgId, body);
    return true;
}

std::string TerminalService::addressOf(const std::string& phone) const {
    const auto it = byPhone_.find(phone);
    return it == byPhone_.end() ? std::string() : it->second->address();
}

}  // namespace center
