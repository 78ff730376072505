#include "centerlink/address_guard.h"

#include <algorithm>

namespace centerlink {

AddressSlots::Ticket& AddressSlots::Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        release();
        slots_ = other.slots_;
        address_ = std::move(other.address_);
        other.slots_ = nullptr;
    }
    return *this;
}

void AddressSlots::Ticket::release() {
    if (slots_ != nullptr) {
        slots_->give(address_);
        slots_ = nullptr;
    }
}

AddressSlots::Ticket AddressSlots::take(const std::string& address) {
    auto& used = byAddress_[address];
    if (inUse_ >= total_ || used >= perAddress_) {
        if (used == 0) {
            byAddress_.erase(address);
        }
        return {};
    }
    ++used;
    ++inUse_;
    return Ticket(this, address);
}

void AddressSlots::give(const std::string& address) {
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end()) {
        return;
    }
    --inUse_;
    if (--it->second == 0) {
        byAddress_.erase(it);
    }
}

bool LoginBackOff::waiting(const std::string& address, Clock::time_point now) const {
    const auto it = states_.find(address);
    return it != states_.end() && now < it->second.until;
}

void LoginBackOff::failed(const std::string& address, Clock::time_point now) {
    prune(now);
    State& s = states_[address];
    if (s.failures > 0 && now - s.last >= policy_.forgetAfter) {
        s = State{};
    }
    s.last = now;
    if (++s.failures <= policy_.freeFailures) {
        return;
    }
    const int doublings = std::min(s.failures - policy_.freeFailures - 1, 20);
    const auto wait = std::min<std::chrono::milliseconds>(policy_.firstWait * (1LL << doublings),
                                                          policy_.longestWait);
    s.until = now + wait;
}

void LoginBackOff::prune(Clock::time_point now) {
    // Now and then, so that a sweep of many addresses does not grow the map
    // for ever.
    if (now - lastPrune_ < policy_.forgetAfter / 10) {
        return;
    }
    lastPrune_ = now;
    std::erase_if(states_, [&](const auto& entry) {
        return now - entry.second.last >= policy_.forgetAfter && now >= entry.second.until;
    });
}

bool RefusalSummary::count(const std::string& address) {
    ++refused_;
    return ++counts_[address] <= kDetailed;
}

void RefusalSummary::flush() {
    const std::string span = period_ == std::chrono::minutes(1)
                                 ? "the last minute"
                                 : "the last " + std::to_string(period_.count()) + " ms";
    for (const auto& [address, n] : counts_) {
        if (n > kDetailed && log_) {
            log_(std::to_string(n) + " " + what_ + " from " + address + " in " + span);
        }
    }
    counts_.clear();
}

std::string addressKey(const asio::ip::address& address) {
    // An IPv4 peer on a dual-stack socket is the same source as over IPv4.
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

}  // namespace centerlink
