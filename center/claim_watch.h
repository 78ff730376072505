#pragma once
// Listens for the logins of other centers sharing the registry (the channel
// center_terminal_claims of db/schema/center_registry.sql) on a connection
// and a thread of its own. After every (re)connection it first reads which
// phones other centers hold, so that a claim made while it was away is not
// missed.
//
// Thread: start and stop from one thread; the handler runs on the watch's.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "center/registry.h"

namespace center {

inline constexpr char kClaimChannel[] = "center_terminal_claims";

// "PHONE GENERATION MS CENTER", as the claim sends it; nothing when malformed.
std::optional<LeaseClaim> ParseClaim(const std::string& payload);
std::string ClaimPayload(const LeaseClaim& claim);

class ClaimWatch {
public:
    using Log = std::function<void(const std::string&)>;

    ClaimWatch(std::string conninfo, std::string centerId, Log log);
    ~ClaimWatch();
    ClaimWatch(const ClaimWatch&) = delete;
    ClaimWatch& operator=(const ClaimWatch&) = delete;

    void start(Registry::ClaimHandler onClaims);
    void stop();

private:
    void run();
    // One connection's life: false when stopping.
    void listen();
    bool sleep(std::chrono::milliseconds period);

    const std::string conninfo_;
    const std::string centerId_;
    Log log_;
    Registry::ClaimHandler onClaims_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    int stopFd_ = -1;        // an eventfd that wakes the poll
};

}  // namespace center
