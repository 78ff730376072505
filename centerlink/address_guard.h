#pragma once
// What a port facing the open network keeps per source address, so that one
// address cannot hold every slot, guess without cost or fill the log:
// - AddressSlots: connections not yet trusted, capped overall and per address;
// - LoginBackOff: failed logins make the next tries from that address wait;
// - RefusalSummary: refusals counted per address and said once a period.
//
// Thread: one (the owner's io thread); nothing here is shared.

#include <asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace centerlink {

class AddressSlots {
public:
    // A held slot, given back when it goes (or on release()).
    class Ticket {
    public:
        Ticket() = default;
        Ticket(AddressSlots* slots, std::string address)
            : slots_(slots), address_(std::move(address)) {}
        ~Ticket() { release(); }
        Ticket(Ticket&& other) noexcept { *this = std::move(other); }
        Ticket& operator=(Ticket&& other) noexcept;
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

        bool held() const { return slots_ != nullptr; }
        void release();

    private:
        AddressSlots* slots_ = nullptr;
        std::string address_;
    };

    AddressSlots(std::size_t total, std::size_t perAddress)
        : total_(total), perAddress_(perAddress) {}

    // A ticket that is not held when either cap is reached.
    Ticket take(const std::string& address);
    std::size_t inUse() const { return inUse_; }
    std::size_t total() const { return total_; }
    std::size_t perAddress() const { return perAddress_; }

private:
    void give(const std::string& address);

    std::size_t total_;
    std::size_t perAddress_;
    std::size_t inUse_ = 0;
    std::unordered_map<std::string, std::size_t> byAddress_;
};

struct BackOffPolicy {
    int freeFailures = 5;  // a terminal with a stale code, a typo: no wait yet
    std::chrono::milliseconds firstWait{1000};
    std::chrono::milliseconds longestWait{60'000};
    // An address without failures for this long starts afresh.
    std::chrono::milliseconds forgetAfter{600'000};
};

class LoginBackOff {
public:
    using Clock = std::chrono::steady_clock;

    explicit LoginBackOff(BackOffPolicy policy = {}) : policy_(policy) {}

    // True while tries from the address are to be refused unchecked.
    bool waiting(const std::string& address, Clock::time_point now) const;
    // A failed try: after the free ones, each doubles the wait.
    void failed(const std::string& address, Clock::time_point now);

private:
    struct State {
        int failures = 0;
        Clock::time_point until{};
        Clock::time_point last{};
    };
    void prune(Clock::time_point now);

    BackOffPolicy policy_;
    std::unordered_map<std::string, State> states_;
    Clock::time_point lastPrune_{};
};

class RefusalSummary {
public:
    using Log = std::function<void(const std::string&)>;

    // `what`: the plural noun of the lines ("refused logins").
    RefusalSummary(std::string what, std::chrono::milliseconds period, Log log)
        : what_(std::move(what)), period_(period), log_(std::move(log)) {}

    // The first refusals from an address in a period are worth their own
    // line (a terminal with a stale code, a typo); the rest are summed up.
    static constexpr std::uint64_t kDetailed = 5;

    // Counts one refusal; true for the first kDetailed from the address in
    // the period, whose detail the caller logs itself.
    bool count(const std::string& address);
    // Says "N <what> from A in the last minute" for every address with more
    // refusals than were detailed, and starts a new period. The owner calls
    // it once per period.
    void flush();
    std::chrono::milliseconds period() const { return period_; }
    std::uint64_t refused() const { return refused_; }

private:
    std::string what_;
    std::chrono::milliseconds period_;
    Log log_;
    std::unordered_map<std::string, std::uint64_t> counts_;
    std::uint64_t refused_ = 0;
};

// "1.2.3.4" of an endpoint's address, the key of the classes above.
std::string addressKey(const asio::ip::address& address);

}  // namespace centerlink
