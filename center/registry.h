#pragma once
// The registry of terminals: who registered, with which authentication code,
// plate and identifiers, and when each was first and last seen. One center
// keeps it in an SQLite file under its data folder (sqlite_registry.h);
// centers behind one load balancer share it in PostgreSQL (pg_registry.h),
// where it also says which center a phone last logged in on.
//
// Thread: one per object. The center reads on its io thread and writes
// through a RegistryWriter (registry_writer.h) with a connection of its own
// (openAnother).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace center {

struct TerminalRecord {
    std::string phone;  // the BCD digits as sent, leading zeros kept
    std::string authCode;
    std::string plate;  // UTF-8
    int plateColour = 0;
    int province = 0;
    int city = 0;
    std::string makerId;
    std::string model;
    std::string terminalId;
    std::string driver;  // the last driver identity reported
    // Set by an operator's release: until then (Unix seconds; 0 for no
    // limit) the phone, whose code is empty, may register again.
    std::int64_t releasedUntil = 0;
    std::int64_t firstSeen = 0;  // Unix seconds
    std::int64_t lastSeen = 0;
};

// A phone that logged in on another center sharing the registry.
struct LeaseClaim {
    std::string phone;
    // Rises with every login anywhere: the higher one is the later login.
    std::int64_t generation = 0;
    std::int64_t claimedAtMs = 0;  // the claiming center's clock at the login
    std::string center;            // who claimed it
};

class Registry {
public:
    virtual ~Registry() = default;

    // A second connection to the same registry, for another thread; null
    // with `error` set when it cannot be opened.
    virtual std::unique_ptr<Registry> openAnother(std::string& error) = 0;
    // For the log: where the registry is (no password).
    virtual std::string where() const = 0;

    virtual std::optional<TerminalRecord> find(const std::string& phone) = 0;
    // Stores a registration with a fresh authentication code, replacing the
    // code of an earlier registration of the phone (a terminal that lost its
    // code registers again); keeps its first-seen time. The new code, or
    // nothing when it could not be stored (`error` says why).
    virtual std::optional<std::string> enroll(const TerminalRecord& terminal, std::int64_t now,
                                              std::string& error) = 0;
    enum class Admission { Enrolled, HoldsCode, ReleaseExpired, Failed };
    struct Enrolment {
        Admission admission = Admission::Failed;
        std::string code;   // when Enrolled
        std::string error;  // when Failed
    };
    // Enrols a phone that holds no code: a new one, or one an operator
    // released (within the release's window). A phone that holds a code is
    // left as it is: taking its code away is an operator's act, never a
    // stranger's who knows the number.
    virtual Enrolment enrollNew(const TerminalRecord& terminal, std::int64_t now) = 0;
    // The operator's release of a phone (leading zeros do not count): its
    // code stops working and it may register again until `until` (0: no
    // limit). The phone as stored, or an error text beginning "error: ".
    virtual std::string release(const std::string& phone, std::int64_t until) = 0;

    // Failures are logged by the caller; the registry goes on.
    virtual std::string touch(const std::string& phone, std::int64_t now) = 0;
    // The last-seen times of several logins and logouts at once, in order
    // (one transaction where the registry has them); the first error.
    struct Seen {
        std::string phone;
        std::int64_t at = 0;
    };
    virtual std::string touchAll(const std::vector<Seen>& seen);
    virtual std::string setDriver(const std::string& phone, const std::string& driver) = 0;
    // A deregistered terminal: its code stops working; it registers again.
    virtual std::string forget(const std::string& phone) = 0;

    virtual std::size_t count() = 0;

    // The allow-list, when the registry keeps one itself (several centers
    // must agree on it); a single center reads a file of its data folder.
    virtual bool keepsAllowList() const { return false; }
    virtual bool allows(const std::string& /*phone*/) { return false; }

    // Shared registries only: records that this center now serves the
    // phone and tells the other centers, which close their connection of
    // it. The claim's generation, or 0 with `error` set.
    virtual bool shared() const { return false; }
    virtual std::int64_t claim(const std::string& /*phone*/, std::int64_t /*atMs*/,
                               std::string& error) {
        error = "the registry is not shared";
        return 0;
    }
    // Calls `onClaims` (from a thread of the registry's) with the phones
    // other centers claim from now on, and once at the start with every
    // phone another center holds, until stopWatching. Each call may hold
    // many claims.
    using ClaimHandler = std::function<void(std::vector<LeaseClaim>)>;
    virtual void watchClaims(ClaimHandler /*onClaims*/) {}
    virtual void stopWatching() {}
};

// At least 128 random bits from the kernel, as 32 lowercase hex digits; empty
// when the kernel gives none (the caller refuses the registration).
std::string newAuthCode();

// Compares in a time that does not depend on where the texts differ.
bool sameCode(const std::string& a, const std::string& b);

}  // namespace center
