#pragma once
// Where a hub writes its numbered events before anyone sees them, so that
// they outlive the process (the center's journal). The hub sends an event
// only once the log has told it (EventServerHub::durable) that the event is
// on disk.

#include <cstdint>
#include <map>
#include <string>

namespace centerlink {

class EventLog {
public:
    virtual ~EventLog() = default;
    virtual void append(std::uint64_t seq, const std::string& line) = 0;
    // Every acknowledging event server has acknowledged up to `everyone`;
    // `users` holds each one's mark.
    virtual void acknowledged(std::uint64_t everyone,
                              const std::map<std::string, std::uint64_t>& users) = 0;
};

}  // namespace centerlink
