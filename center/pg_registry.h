#pragma once
// The registry that several centers share in PostgreSQL (vardo-center
// --registry): terminals and codes, the allow-list, and which center each
// phone last logged in on (db/schema/center_registry.sql, created here when
// missing). A login on another center reaches this one through the
// database's notifications (claim_watch.h).
//
// Thread: one per object; openAnother gives each thread its own connection.

#include <memory>

#include "center/pg_link.h"
#include "center/registry.h"

namespace center {

class ClaimWatch;

class PgRegistry final : public Registry {
public:
    using Log = std::function<void(const std::string&)>;

    // `centerId` names this center in the leases; empty: a new one of
    // host, process and random digits (a restarted center is a new owner).
    PgRegistry(std::string conninfo, std::string centerId = {}, Log log = {});
    ~PgRegistry() override;
    PgRegistry(const PgRegistry&) = delete;
    PgRegistry& operator=(const PgRegistry&) = delete;

    // Connects and creates the tables that are missing; the error text.
    std::string open();
    const std::string& centerId() const { return centerId_; }

    std::unique_ptr<Registry> openAnother(std::string& error) override;
    std::string where() const override { return link_.where(); }
    std::optional<TerminalRecord> find(const std::string& phone) override;
    std::optional<std::string> enroll(const TerminalRecord& terminal, std::int64_t now,
                                      std::string& error) override;
    Enrolment enrollNew(const TerminalRecord& terminal, std::int64_t now) override;
    std::string release(const std::string& phone, std::int64_t until) override;
    std::string touch(const std::string& phone, std::int64_t now) override;
    std::string setDriver(const std::string& phone, const std::string& driver) override;
    std::string forget(const std::string& phone) override;
    std::size_t count() override;

    bool keepsAllowList() const override { return true; }
    bool allows(const std::string& phone) override;

    bool shared() const override { return true; }
    std::int64_t claim(const std::string& phone, std::int64_t atMs, std::string& error) override;
    void watchClaims(ClaimHandler onClaims) override;
    void stopWatching() override;

private:
    std::optional<std::string> store(const TerminalRecord& terminal, std::int64_t now,
                                     bool onlyWithoutCode, std::string& error);

    const std::string conninfo_;
    const std::string centerId_;
    Log log_;
    PgLink link_;
    std::unique_ptr<ClaimWatch> watch_;
};

// A name no other running center has: host, process id and random digits.
std::string NewCenterId();

}  // namespace center
