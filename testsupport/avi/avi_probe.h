#pragma once
// Reads a recording back with libavformat, the way a player would, for tests
// of what the device library writes.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace testavi {

struct StreamInfo {
    bool video = false;
    std::string codec;  // libavcodec's name: "mjpeg", "pcm_mulaw"
    int codecId = 0;    // AVCodecID
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    double seconds = 0;         // the stream's duration, 0 when unknown
    int packets = 0;            // read from the file (frames; lost ones are none)
    int slots = 0;              // video: frame times it lasts, lost frames included
    double frameRate = 0;       // video: frames a second, as the header declares them
    long long bytes = 0;        // of every packet
    int decoded = 0;            // video packets that decoded to a picture
    bool firstDecoded = false;  // the first video packet gave a picture on its own
    int indexEntries = 0;       // entries of the file's index for this stream
    // Video: a hash of each packet that holds a picture, in file order, to
    // compare with what was written (see hashBytes).
    std::vector<std::uint64_t> packetHashes;
};

struct AviInfo {
    bool opened = false;
    std::string error;  // why not
    std::string format;
    double seconds = 0;  // the file's duration
    std::vector<StreamInfo> streams;

    const StreamInfo* videoStream() const;
    const StreamInfo* audioStream() const;
};

// FNV-1a: equal bytes give equal hashes, and a changed byte almost surely
// another.
std::uint64_t hashBytes(std::span<const std::uint8_t> bytes);

// Opens the file, finds its streams, reads every packet and decodes the
// video ones.
AviInfo probeAvi(const std::string& path);

// The files of a folder whose names end in ".avi", sorted; none when the
// folder is missing.
std::vector<std::string> aviFilesIn(const std::string& folder);

}  // namespace testavi
