#pragma once
// The registry of terminals: who registered, with which authentication code,
// plate and identifiers, and when each was first and last seen. An SQLite
// file under the data folder, so that codes survive a restart of the center.
//
// Thread: one (the center's io thread); the connection is not shared.

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
    std::string driver;          // the last driver identity reported
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

    std::optional<TerminalRecord> find(const std::string& phone);
    // Stores a registration with a fresh authentication code, replacing the
    // code of an earlier registration of the phone (a terminal that lost its
    // code registers again); keeps its first-seen time. The new code, or
    // nothing when it could not be stored (`error` says why).
    std::optional<std::string> enroll(const TerminalRecord& terminal, std::int64_t now,
                                      std::string& error);
    // Failures are logged by the caller; the registry goes on.
    std::string touch(const std::string& phone, std::int64_t now);
    std::string setDriver(const std::string& phone, const std::string& driver);
    // A deregistered terminal: its code stops working; it registers again.
    std::string forget(const std::string& phone);

    std::size_t count();

private:
    std::string exec(const char* sql);

    sqlite3* db_ = nullptr;
};

// At least 128 random bits from the kernel, as 32 lowercase hex digits; empty
// when the kernel gives none (the caller refuses the registration).
std::string newAuthCode();

// Compares in a time that does not depend on where the texts differ.
bool sameCode(const std::string& a, const std::string& b);

}  // namespace center
