#pragma once
// Where a terminal's stream packet came from, and what the center made of
// it: the media port asks, the terminal media answers.

#include <cstdint>
#include <string>

namespace center {

struct MediaSource {
    std::string address;   // the sender's IP, as centerlink::addressKey gives it
    std::uint64_t id = 0;  // one TCP connection, or one UDP address and port
};

enum class MediaVerdict {
    Taken,    // a packet of a stream the center asked for, from its source
    Dropped,  // of a stream just told to stop: ignored, nothing held against it
    Refused,  // no stream asked for, or not from the stream's source
};

struct MediaJudgement {
    MediaVerdict verdict = MediaVerdict::Refused;
    const char* why = "";  // for the log, when refused
};

}  // namespace center
