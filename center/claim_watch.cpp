#include "center/claim_watch.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <sstream>

#include "center/pg_link.h"

namespace center {

std::optional<LeaseClaim> ParseClaim(const std::string& payload) {
    std::istringstream in(payload);
    LeaseClaim claim;
    std::string generation;
    std::string ms;
    if (!(in >> claim.phone >> generation >> ms >> claim.center)) {
        return std::nullopt;
    }
    const auto number = [](const std::string& text, std::int64_t& n) {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        return ec == std::errc() && end == text.data() + text.size();
    };
    if (!number(generation, claim.generation) || !number(ms, claim.claimedAtMs) ||
        claim.phone.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return claim;
}

std::string ClaimPayload(const LeaseClaim& claim) {
    return claim.phone + " " + std::to_string(claim.generation) + " " +
           std::to_string(claim.claimedAtMs) + " " + claim.center;
}

ClaimWatch::ClaimWatch(std::string conninfo, std::string centerId, Log log)
    : conninfo_(std::move(conninfo)), centerId_(std::move(centerId)), log_(std::move(log)) {}

ClaimWatch::~ClaimWatch() {
    stop();
}

void ClaimWatch::start(Registry::ClaimHandler onClaims) {
    stop();
    onClaims_ = std::move(onClaims);
    stopping_ = false;
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

void ClaimWatch::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (stopFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(stopFd_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (stopFd_ >= 0) {
        ::close(stopFd_);
        stopFd_ = -1;
    }
}

bool ClaimWatch::sleep(std::chrono::milliseconds period) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, period, [this] { return stopping_; });
}

void ClaimWatch::run() {
    // Waits grow while the database stays away, so that a center does not
    // knock at it a hundred times a second.
    std::chrono::milliseconds wait{250};
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        listen();
        if (!sleep(wait)) {
            return;
        }
        wait = std::min(wait * 2, std::chrono::milliseconds(5000));
    }
}

void ClaimWatch::listen() {
    PgLink link;
    if (std::string error = link.connect(conninfo_); !error.empty()) {
        log_("registry: cannot watch other centers' logins: " + error);
        return;
    }
    // Named, so that an operator tells it apart in pg_stat_activity.
    if (PgResult r = link.run("SET application_name = 'vardo-center claim watch'; LISTEN " +
                              std::string(kClaimChannel));
        !r.ok()) {
        log_("registry: cannot watch other centers' logins: " + r.error());
        return;
    }
    // Listening first, reading second: a claim made in between shows twice,
    // which does no harm; none goes unseen.
    PgResult held = link.exec(
        "SELECT phone, generation, claimed_at_ms, center_id FROM center_terminal_leases "
        "WHERE center_id <> $1",
        {centerId_});
    if (!held.ok()) {
        log_("registry: cannot read other centers' terminals: " + held.error());
        return;
    }
    std::vector<LeaseClaim> claims;
    claims.reserve(static_cast<std::size_t>(held.rows()));
    for (int row = 0; row < held.rows(); ++row) {
        claims.push_back(LeaseClaim{held.text(row, 0), held.integer(row, 1), held.integer(row, 2),
                                    held.text(row, 3)});
    }
    if (!claims.empty()) {
        onClaims_(std::move(claims));
    }
    PGconn* conn = link.raw();
    for (;;) {
        pollfd fds[2] = {{PQsocket(conn), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;  // stopping
        }
        if (PQconsumeInput(conn) == 0) {
            log_("registry: lost the watch on other centers' logins: " +
                 std::string(PQerrorMessage(conn)));
            return;
        }
        std::vector<LeaseClaim> arrived;
        while (PGnotify* note = PQnotifies(conn)) {
            if (auto claim = ParseClaim(note->extra); claim && claim->center != centerId_) {
                arrived.push_back(std::move(*claim));
            }
            PQfreemem(note);
        }
        if (!arrived.empty()) {
            onClaims_(std::move(arrived));
        }
    }
}

}  // namespace center
