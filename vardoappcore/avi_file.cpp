#include "vardoappcore/avi_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "files/private_files.h"
#include "text/log_text.h"
#include "vardoappcore/jpeg_info.h"

namespace vardo {
namespace {

constexpr int kDefaultFps = 12;
constexpr int kDefaultWidth = 352;
constexpr int kDefaultHeight = 288;
// A device clock that moves by more than this between two frames was reset.
constexpr std::int64_t kClockJumpSeconds = 60;
// Audio gaps shorter than this are not worth filling.
constexpr int kAudioToleranceDivisor = 20;  // 1/20 s
constexpr std::uint8_t kMulawSilence = 0xFF;

std::string avError(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(code, text.data(), text.size());
    return text.data();
}

}  // namespace

std::unique_ptr<AviFile> AviFile::create(const std::string& path, std::string& error,
                                         int* errorNumber) {
    int ignored = 0;
    int& number = errorNumber != nullptr ? *errorNumber : ignored;
    number = 0;
    if (path.empty()) {
        error = "no file name given";
        return nullptr;
    }
    const std::filesystem::path file(path);
    std::error_code ec;
    if (file.has_parent_path() && !files::CreatePrivateFolders(file.parent_path(), ec)) {
        error = "cannot create the folder " + text::PeerText(file.parent_path().string(), 1024) +
                ": " + ec.message();
        number = ec.value();
        return nullptr;
    }
    if (!files::CreatePrivateFile(file, ec)) {
        error = "cannot create the file: " + ec.message();
        number = ec.value();
        return nullptr;
    }
    std::unique_ptr<AviFile> avi(new AviFile(path));
    int rc = avformat_alloc_output_context2(&avi->context_, nullptr, "avi", path.c_str());
    if (rc < 0 || avi->context_ == nullptr) {
        error = "libavformat has no AVI writer: " + avError(rc);
        return nullptr;
    }
    rc = avio_open(&avi->context_->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        error = "cannot create the file: " + avError(rc);
        number = -rc;  // AVERROR(e) is -e for the system's errors
        return nullptr;
    }
    avi->packet_ = av_packet_alloc();
    if (avi->packet_ == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    return avi;
}

AviFile::~AviFile() {
    // A file that was opened is finished with its index whatever happened
    // to the recording; one that never opened has nothing to finish.
    if (!finished_ && error_.empty() && context_ != nullptr && context_->pb != nullptr &&
        packet_ != nullptr) {
        finish({});
    }
    close();
}

void AviFile::close() {
    if (context_ != nullptr) {
        if (context_->pb != nullptr) {
            avio_closep(&context_->pb);
        }
        avformat_free_context(context_);
        context_ = nullptr;
    }
    av_packet_free(&packet_);
}

bool AviFile::fail(const std::string& what, int code) {
    if (error_.empty()) {
        error_ = what + (code < 0 ? ": " + avError(code) : std::string());
    }
    close();
    return false;
}

bool AviFile::writeHeader(const StreamSetup& setup, int width, int height) {
    fps_ = setup.fps > 0 ? std::min(setup.fps, 1000) : kDefaultFps;
    audioRate_ = std::max(setup.audioRate, 0);

    AVStream* video = avformat_new_stream(context_, nullptr);
    if (video == nullptr) {
        return fail("cannot add the video stream", 0);
    }
    video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    video->codecpar->width = width;
    video->codecpar->height = height;
    video->time_base = AVRational{1, fps_};
    video->avg_frame_rate = AVRational{fps_, 1};
    videoIndex_ = video->index;

    if (audioRate_ > 0) {
        AVStream* audio = avformat_new_stream(context_, nullptr);
        if (audio == nullptr) {
            return fail("cannot add the audio stream", 0);
        }
        audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        audio->codecpar->codec_id = AV_CODEC_ID_PCM_MULAW;
        audio->codecpar->sample_rate = audioRate_;
        av_channel_layout_default(&audio->codecpar->ch_layout, 1);
        audio->codecpar->bits_per_coded_sample = 8;
        audio->codecpar->block_align = 1;
        audio->codecpar->bit_rate = static_cast<std::int64_t>(audioRate_) * 8;
        audio->time_base = AVRational{1, audioRate_};
        audioIndex_ = audio->index;
    }

    const int rc = avformat_write_header(context_, nullptr);
    if (rc < 0) {
        return fail("cannot write the header", rc);
    }
    headerWritten_ = true;
    return true;
}

bool AviFile::writePacket(int streamIndex, std::span<const std::uint8_t> bytes, std::int64_t pts,
                          std::int64_t duration, bool key) {
    const AVStream* stream = context_->streams[streamIndex];
    const AVRational ours =
        streamIndex == videoIndex_ ? AVRational{1, fps_} : AVRational{1, audioRate_};
    av_packet_unref(packet_);
    int rc = av_new_packet(packet_, static_cast<int>(bytes.size()));
    if (rc < 0) {
        return fail("out of memory", rc);
    }
    std::memcpy(packet_->data, bytes.data(), bytes.size());
    packet_->stream_index = streamIndex;
    packet_->pts = packet_->dts = av_rescale_q(pts, ours, stream->time_base);
    packet_->duration = av_rescale_q(duration, ours, stream->time_base);
    if (key) {
        packet_->flags |= AV_PKT_FLAG_KEY;
    }
    rc = av_write_frame(context_, packet_);
    av_packet_unref(packet_);
    if (rc < 0) {
        return fail("cannot write", rc);
    }
    if (context_->pb->error < 0) {
        return fail("cannot write", context_->pb->error);
    }
    return true;
}

bool AviFile::writeVideo(std::span<const std::uint8_t> jpeg, std::uint64_t timestampMs,
                         const StreamSetup& setup) {
    if (failed() || finished_) {
        return false;
    }
    const auto size = jpegSize(jpeg);
    if (!size) {
        ++counters_.refused;  // not a picture; the file stays good
        return true;
    }
    const auto ts = static_cast<std::int64_t>(timestampMs);
    if (!headerWritten_) {
        if (!writeHeader(setup, size->width, size->height)) {
            return false;
        }
        originMs_ = ts;
        lastSlot_ = -1;
    }
    const std::int64_t sinceOrigin = ts - originMs_;
    std::int64_t slot = (sinceOrigin * fps_ + 500) / 1000;
    if (sinceOrigin < 0) {
        slot = -((-sinceOrigin * fps_ + 500) / 1000);
    }
    const std::int64_t jumpLimit = kClockJumpSeconds * fps_;
    if (slot - lastSlot_ > jumpLimit || lastSlot_ - slot > jumpLimit) {
        // The device clock was reset or jumped: go on from the last frame.
        slot = lastSlot_ + 1;
        originMs_ = ts - slot * 1000 / fps_;
    } else if (slot <= lastSlot_) {
        slot = lastSlot_ + 1;  // early by jitter; never two frames in one slot
    }
    if (lastSlot_ >= 0 && slot > lastSlot_ + 1) {
        counters_.gapFrames += static_cast<std::uint64_t>(slot - lastSlot_ - 1);
    }
    if (!writePacket(videoIndex_, jpeg, slot, 1, true)) {
        return false;
    }
    lastSlot_ = slot;
    ++counters_.videoFrames;
    return true;
}

bool AviFile::writeAudio(std::span<const std::uint8_t> mulaw, std::uint64_t timestampMs) {
    if (failed() || finished_) {
        return false;
    }
    if (!headerWritten_ || audioIndex_ < 0 || mulaw.empty()) {
        ++counters_.refused;
        return true;
    }
    const std::int64_t sinceOrigin = static_cast<std::int64_t>(timestampMs) - originMs_;
    const std::int64_t position = sinceOrigin * audioRate_ / 1000;
    const std::int64_t gap = position - nextSample_;
    if (gap > audioRate_ / kAudioToleranceDivisor && gap <= kClockJumpSeconds * audioRate_) {
        const std::vector<std::uint8_t> silence(static_cast<std::size_t>(audioRate_),
                                                kMulawSilence);
        for (std::int64_t left = gap; left > 0;) {
            const std::int64_t n = std::min<std::int64_t>(left, audioRate_);
            if (!writePacket(audioIndex_, std::span(silence.data(), static_cast<std::size_t>(n)),
                             nextSample_, n, true)) {
                return false;
            }
            nextSample_ += n;
            left -= n;
            counters_.audioBytes += static_cast<std::uint64_t>(n);
            counters_.silenceBytes += static_cast<std::uint64_t>(n);
        }
    }
    // A block that overlaps what is written, or comes after a clock jump,
    // goes on where the audio stands: dropping it would lose sound.
    const auto n = static_cast<std::int64_t>(mulaw.size());
    if (!writePacket(audioIndex_, mulaw, nextSample_, n, true)) {
        return false;
    }
    nextSample_ += n;
    counters_.audioBytes += mulaw.size();
    return true;
}

bool AviFile::finish(const StreamSetup& setup) {
    if (finished_) {
        return !failed();
    }
    finished_ = true;
    if (failed()) {
        return false;
    }
    if (!headerWritten_) {
        const int width = setup.width > 0 ? setup.width : kDefaultWidth;
        const int height = setup.height > 0 ? setup.height : kDefaultHeight;
        if (!writeHeader(setup, width, height)) {
            return false;
        }
    }
    int rc = av_write_trailer(context_);
    if (rc < 0) {
        return fail("cannot write the index", rc);
    }
    rc = avio_closep(&context_->pb);
    if (rc < 0) {
        return fail("cannot close the file", rc);
    }
    close();
    return true;
}

}  // namespace vardo
