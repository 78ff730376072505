#pragma once
// Puts sub-packaged messages back together. Pieces are keyed by phone,
// message id and the serial of the first piece (serial - index + 1); they may
// arrive in any order, repeats are ignored, and limits keep one terminal from
// holding much memory. One assembler per connection; not thread-safe.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "jt808/frame.h"

namespace jt808 {

// What one held piece costs beyond its body (map node, vector), so that a
// terminal cannot fill memory with empty pieces.
inline constexpr std::size_t kPieceCost = 64;

struct SubpackageLimits {
    std::size_t maxMessages = 8;                // messages being assembled at once
    std::size_t maxBytes = 256 * 1024;          // their pieces, each also costing kPieceCost
    std::chrono::milliseconds timeout{60'000};  // since a message's last piece
};

class SubpackageAssembler {
public:
    using Clock = std::chrono::steady_clock;

    enum class Status {
        Complete,   // `message` holds the whole message
        Pending,    // stored; more pieces to come
        Duplicate,  // a piece already held: ignored
        Rejected,   // see `error`; nothing stored
    };

    struct Outcome {
        Status status = Status::Rejected;
        std::optional<Message> message;
        std::string error;
    };

    explicit SubpackageAssembler(SubpackageLimits limits = {}) : limits_(limits) {}

    // A message that is not sub-packaged is handed back at once as Complete.
    // The whole message carries the header of piece 1, not sub-packaged.
    Outcome add(Message piece, Clock::time_point now);

    // Drops messages whose time-out passed; returns how many.
    std::size_t expire(Clock::time_point now);

    std::size_t pendingMessages() const { return pending_.size(); }
    std::size_t pendingBytes() const { return bytes_; }

private:
    using Key = std::tuple<std::string, std::uint16_t, std::uint16_t>;
    struct Pending {
        Header first;  // header of piece 1 once it arrived, else of any piece
        bool haveFirst = false;
        std::uint16_t total = 0;
        std::map<std::uint16_t, std::vector<std::uint8_t>> pieces;
        std::size_t bytes = 0;
        Clock::time_point last;
    };

    SubpackageLimits limits_;
    std::map<Key, Pending> pending_;
    std::size_t bytes_ = 0;   // body bytes held
    std::size_t pieces_ = 0;  // pieces held: empty ones cost memory too
};

}  // namespace jt808
