#pragma once
// The registry of terminals: who registered, with which authentication code,
// plate and identifiers, and when each was first and last seen. An SQLite
// file under the data folder, so that codes survive a restart of the center.
//
// Thread: one per Registry; the file is shared. The center reads on its io
// thread and writes through a RegistryWriter (registry_writer.h), each with
// its own connection.

#include <cstdint>
#include <optional>
#include <string>

struct sqlite3;

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

class Registry {
public:
    Registry() = default;
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Opens (creating if needed) the file; the error text, empty on success.
    std::string open(const std::string& path);
    void close();
    const std::string& path() const { return path_; }

    std::optional<TerminalRecord> find(const std::string& phone);
    // Stores a registration with a fresh authentication code, replacing the
    // code of an earlier registration of the phone (a terminal that lost its
    // code registers again); keeps its first-seen time. The new code, or
    // nothing when it could not be stored (`error` says why).
    std::optional<std::string> enroll(const TerminalRecord& terminal, std::int64_t now,
                                      std::string& error);
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
    Enrolment enrollNew(const TerminalRecord& terminal, std::int64_t now);
    // The operator's release of a phone (leading zeros do not count): its
    // code stops working and it may register again until `until` (0: no
    // limit). The phone as stored, or an error text beginning "error: ".
    std::string release(const std::string& phone, std::int64_t until);

    // Failures are logged by the caller; the registry goes on.
    std::string touch(const std::string& phone, std::int64_t now);
    std::string setDriver(const std::string& phone, const std::string& driver);
    // A deregistered terminal: its code stops working; it registers again.
    std::string forget(const std::string& phone);

    std::size_t count();

private:
    std::string exec(const char* sql);

    std::string path_;
    sqlite3* db_ = nullptr;
};

// At least 128 random bits from the kernel, as 32 lowercase hex digits; empty
// when the kernel gives none (the caller refuses the registration).
std::string newAuthCode();

// Compares in a time that does not depend on where the texts differ.
bool sameCode(const std::string& a, const std::string& b);

}  // namespace center
