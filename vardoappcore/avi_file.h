#pragma once
// One recording file: an AVI (libavformat) with a channel's video frames as
// they came from the device (MJPEG, or H.264/H.265 in Annex B form), and,
// when the channel's audio runs, its audio blocks (G.711 mu-law or A-law,
// G.726, AAC). Nothing is re-encoded.
//
// An H.264/H.265 file starts at the first key frame (IDR) for which the
// parameter sets are known, with them in front of it, so that it plays from
// its first frame; what comes before is left out. When the server named no
// frame rate, the first second of frames is held back to measure it from
// the device's timestamps; a rate that is no whole number of frames a second
// (12.5 fps: 80 ms a frame) is written as it is, not rounded.
//
// The audio stream is declared only when audio has come: a channel whose
// sound was asked for but never came gets a file with its picture alone.
// Until audio comes, the first second of pictures is held back for it (the
// streams of an AVI are fixed by its header); audio that starts later than
// that has no place in the file.
//
// Time comes from the device: the first video frame is the file's time 0,
// later frames sit at their timestamp's place on the frame-rate grid, and a
// gap (frames lost on the way) is kept as a gap, so the file lasts as long
// as the recording did. Audio is placed on the same clock; a gap in it is
// filled with silence so that it stays in step with the picture (G.711 only:
// G.726 and AAC have no silence that can be written without encoding, so
// their gaps close up). A device clock that jumps by more than a minute is
// taken as a reset, not a gap.
//
// Thread: one at a time (the instance's record writer).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

#include "vardoappcore/h26x_stream.h"

struct AVFormatContext;
struct AVPacket;

namespace vardo {

enum class VideoCodec { Mjpeg, H264, H265 };
enum class AudioCodec { Mulaw, Alaw, G726, Aac };

// What the streams look like, from the server's answer to media_open.
struct StreamSetup {
    int width = 0;  // 0: taken from the first frame, else 352
    int height = 0;
    int fps = 0;        // 0: MJPEG 12; H.264/H.265 measured from the first frames
    int audioRate = 0;  // 0: no audio stream; else one once audio comes
    VideoCodec videoCodec = VideoCodec::Mjpeg;
    AudioCodec audioCodec = AudioCodec::Mulaw;
    int audioChannels = 1;
    int audioBitRate = 0;                     // G.726: 16000-40000
    std::vector<std::uint8_t> audioConfig{};  // AAC: AudioSpecificConfig; empty: LC from the rate
};

struct AviFileCounters {
    std::uint64_t videoFrames = 0;  // frames written
    std::uint64_t gapFrames = 0;    // frame slots left empty by gaps
    std::uint64_t audioBytes = 0;
    std::uint64_t silenceBytes = 0;    // of audioBytes, filled in for gaps
    std::uint64_t refused = 0;         // video that was no JPEG, audio before the first frame
    std::uint64_t beforeKeyframe = 0;  // H.264/H.265 frames left out before the first key frame
};

class AviFile {
public:
    // Creates the missing folders and the file. Nothing, with `error` set,
    // when that is not possible; `errorNumber`, when given, gets the system's
    // error number of that failure (EMFILE, ENOSPC, ...) or 0.
    static std::unique_ptr<AviFile> create(const std::string& path, std::string& error,
                                           int* errorNumber = nullptr);
    ~AviFile();
    AviFile(const AviFile&) = delete;
    AviFile& operator=(const AviFile&) = delete;

    // The first video frame that can start the file writes its header with
    // `setup`; later calls ignore it. False once the file has failed (see
    // error()).
    bool writeVideo(std::span<const std::uint8_t> frame, std::uint64_t timestampMs,
                    const StreamSetup& setup);
    // Audio before the first video frame has no place yet and is refused;
    // so is all audio when the header has no audio stream.
    bool writeAudio(std::span<const std::uint8_t> block, std::uint64_t timestampMs);
    // Writes the index and closes. A file without frames gets a header from
    // `setup`, so that it is still a valid (empty) AVI.
    bool finish(const StreamSetup& setup);

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    const AviFileCounters& counters() const { return counters_; }

private:
    struct Held {
        bool video = true;
        std::vector<std::uint8_t> bytes;
        std::uint64_t timestampMs = 0;
        bool key = false;
    };

    explicit AviFile(std::string path) : path_(std::move(path)) {}
    // Holds a frame that may start the file; starts it when all is known.
    bool hold(std::span<const std::uint8_t> frame, std::uint64_t timestampMs, bool key,
              const StreamSetup& setup);
    bool startWhenReady();
    // Writes the header from what is held back, then the held frames.
    bool releaseHeld();
    AVRational heldRate() const;
    bool writeHeader(const StreamSetup& setup, int width, int height, AVRational rate, bool audio);
    bool addAudioStream(const StreamSetup& setup);
    bool placeVideo(std::span<const std::uint8_t> frame, std::int64_t timestampMs, bool key);
    bool placeAudio(std::span<const std::uint8_t> block, std::uint64_t timestampMs);
    std::int64_t samplesIn(std::size_t bytes) const;
    bool writePacket(int streamIndex, std::span<const std::uint8_t> bytes, std::int64_t pts,
                     std::int64_t duration, bool key);
    bool fail(const std::string& what, int code);
    void close();

    std::string path_;
    std::string error_;
    AVFormatContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool headerWritten_ = false;
    bool finished_ = false;
    AVRational rate_{12, 1};  // video frames a second
    bool audioSeen_ = false;  // an audio block has come
    int audioRate_ = 0;
    AudioCodec audioCodec_ = AudioCodec::Mulaw;
    int audioChannels_ = 1;
    int audioBits_ = 8;  // per sample and channel
    // H.264/H.265: the parameter sets seen so far. The frames held back
    // (from the first key frame on) until the frame rate and the audio are
    // known.
    std::unique_ptr<ParameterSets> parameterSets_;
    bool holding_ = false;
    std::vector<Held> held_;
    std::size_t heldVideo_ = 0;
    StreamSetup heldSetup_;
    int videoIndex_ = -1;
    int audioIndex_ = -1;
    // The device time of frame slot 0, moved when the device clock jumps.
    std::int64_t originMs_ = 0;
    std::int64_t lastSlot_ = -1;
    std::int64_t nextSample_ = 0;
    AviFileCounters counters_;
};

}  // namespace vardo
