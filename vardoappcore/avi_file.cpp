#include "vardoappcore/avi_file.h"

#include <algorithm>
#include <array>
#include <cmath>
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
#include "vardoappcore/aac_adts.h"
#include "vardoappcore/jpeg_info.h"

namespace vardo {
namespace {

constexpr int kDefaultFps = 12;
// Terminals of the H.264 kind film at 25 frames a second, most of them.
constexpr int kDefaultH26xFps = 25;
// How much of a stream is held back to measure its frame rate and to wait
// for its audio: the first second, at any rate up to the highest.
constexpr std::int64_t kMeasureMs = 1000;
constexpr int kMaxFps = 120;
constexpr std::size_t kMeasureFrames = kMaxFps + 1;
constexpr int kDefaultWidth = 352;
constexpr int kDefaultHeight = 288;
// A device clock that moves by more than this between two frames was reset.
constexpr std::int64_t kClockJumpSeconds = 60;
// Audio gaps shorter than this are not worth filling.
constexpr int kAudioToleranceDivisor = 20;  // 1/20 s
constexpr std::uint8_t kMulawSilence = 0xFF;
constexpr std::uint8_t kAlawSilence = 0xD5;
constexpr int kAacFrameSamples = 1024;
constexpr int kAacSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};

// An AAC-LC configuration for a rate and channel count, for servers that
// name neither a configuration nor send ADTS headers.
std::vector<std::uint8_t> aacLcConfig(int rate, int channels) {
    int index = 4;  // 44100 when the rate is none of the table's
    for (std::size_t i = 0; i < std::size(kAacSampleRates); ++i) {
        if (kAacSampleRates[i] == rate) {
            index = static_cast<int>(i);
        }
    }
    const int objectType = 2;
    return {static_cast<std::uint8_t>((objectType << 3) | (index >> 1)),
            static_cast<std::uint8_t>(((index & 1) << 7) | ((channels & 0x0F) << 3))};
}

// The frame rate the device's timestamps show over the held frames: frames
// less one over the time from the first to the last, so that a clock that
// stamps late and then catches up (the time the frame was sent, on a busy
// device) evens out. Taken as the nearest of the rates cameras film at:
// whole frames a second, or 25 or 30 divided by a whole number (12.5, 7.5,
// 6.25); rounding 12.5 to whole frames would make the file play 4 % fast.
AVRational measuredRate(std::int64_t frames, std::int64_t spanMs) {
    if (frames < 2 || spanMs <= 0) {
        return AVRational{kDefaultH26xFps, 1};
    }
    const double fps = 1000.0 * static_cast<double>(frames - 1) / static_cast<double>(spanMs);
    AVRational best{static_cast<int>(std::clamp<long long>(std::llround(fps), 1, kMaxFps)), 1};
    for (const int base : {25, 30}) {
        for (int divisor = 2; divisor <= 12; ++divisor) {
            const AVRational c{base, divisor};
            if (std::abs(av_q2d(c) - fps) < std::abs(av_q2d(best) - fps)) {
                best = c;
            }
        }
    }
    av_reduce(&best.num, &best.den, best.num, best.den, 1000);
    return best;
}

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

bool AviFile::writeHeader(const StreamSetup& setup, int width, int height, AVRational rate,
                          bool audio) {
    rate_ = rate.num > 0 && rate.den > 0 ? rate : AVRational{kDefaultFps, 1};
    if (av_cmp_q(rate_, AVRational{1000, 1}) > 0) {
        rate_ = AVRational{1000, 1};  // a server's answer is no camera
    }
    AVStream* video = avformat_new_stream(context_, nullptr);
    if (video == nullptr) {
        return fail("cannot add the video stream", 0);
    }
    video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    switch (setup.videoCodec) {
        case VideoCodec::Mjpeg:
            video->codecpar->codec_id = AV_CODEC_ID_MJPEG;
            break;
        case VideoCodec::H264:
            video->codecpar->codec_id = AV_CODEC_ID_H264;
            break;
        case VideoCodec::H265:
            video->codecpar->codec_id = AV_CODEC_ID_HEVC;
            break;
    }
    video->codecpar->width = width;
    video->codecpar->height = height;
    video->time_base = av_inv_q(rate_);
    video->avg_frame_rate = rate_;
    videoIndex_ = video->index;

    if (audio && setup.audioRate > 0 && !addAudioStream(setup)) {
        return false;
    }
    const int rc = avformat_write_header(context_, nullptr);
    if (rc < 0) {
        return fail("cannot write the header", rc);
    }
    headerWritten_ = true;
    return true;
}

bool AviFile::addAudioStream(const StreamSetup& setup) {
    audioRate_ = std::max(setup.audioRate, 1);
    audioCodec_ = setup.audioCodec;
    audioChannels_ = std::clamp(setup.audioChannels, 1, 8);
    AVStream* audio = avformat_new_stream(context_, nullptr);
    if (audio == nullptr) {
        return fail("cannot add the audio stream", 0);
    }
    AVCodecParameters& par = *audio->codecpar;
    par.codec_type = AVMEDIA_TYPE_AUDIO;
    par.sample_rate = audioRate_;
    av_channel_layout_default(&par.ch_layout, audioChannels_);
    switch (audioCodec_) {
        case AudioCodec::Mulaw:
        case AudioCodec::Alaw:
            par.codec_id =
                audioCodec_ == AudioCodec::Mulaw ? AV_CODEC_ID_PCM_MULAW : AV_CODEC_ID_PCM_ALAW;
            audioBits_ = 8;
            par.bits_per_coded_sample = 8;
            par.block_align = audioChannels_;
            par.bit_rate = static_cast<std::int64_t>(audioRate_) * 8 * audioChannels_;
            break;
        case AudioCodec::G726: {
            par.codec_id = AV_CODEC_ID_ADPCM_G726;
            // 2 to 5 bits a sample: 16 to 40 kbit/s at 8 kHz.
            audioBits_ = std::clamp(setup.audioBitRate / audioRate_, 2, 5);
            par.bits_per_coded_sample = audioBits_;
            par.block_align = 1;
            par.bit_rate = static_cast<std::int64_t>(audioRate_) * audioBits_ * audioChannels_;
            break;
        }
        case AudioCodec::Aac: {
            par.codec_id = AV_CODEC_ID_AAC;
            par.frame_size = kAacFrameSamples;
            par.bit_rate = setup.audioBitRate;
            const std::vector<std::uint8_t> config = setup.audioConfig.empty()
                                                         ? aacLcConfig(audioRate_, audioChannels_)
                                                         : setup.audioConfig;
            par.extradata = static_cast<std::uint8_t*>(
                av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (par.extradata == nullptr) {
                return fail("out of memory", 0);
            }
            std::memcpy(par.extradata, config.data(), config.size());
            par.extradata_size = static_cast<int>(config.size());
            break;
        }
    }
    audio->time_base = AVRational{1, audioRate_};
    audioIndex_ = audio->index;
    return true;
}

bool AviFile::writePacket(int streamIndex, std::span<const std::uint8_t> bytes, std::int64_t pts,
                          std::int64_t duration, bool key) {
    const AVStream* stream = context_->streams[streamIndex];
    const AVRational ours =
        streamIndex == videoIndex_ ? av_inv_q(rate_) : AVRational{1, audioRate_};
    av_packet_unref(packet_);
    // The frame's own bytes, not a copy: av_write_frame takes a packet
    // without a buffer of its own and neither keeps nor changes it.
    packet_->data = const_cast<std::uint8_t*>(bytes.data());
    packet_->size = static_cast<int>(bytes.size());
    packet_->stream_index = streamIndex;
    packet_->pts = packet_->dts = av_rescale_q(pts, ours, stream->time_base);
    packet_->duration = av_rescale_q(duration, ours, stream->time_base);
    if (key) {
        packet_->flags |= AV_PKT_FLAG_KEY;
    }
    int rc = av_write_frame(context_, packet_);
    av_packet_unref(packet_);
    if (rc < 0) {
        return fail("cannot write", rc);
    }
    if (context_->pb->error < 0) {
        return fail("cannot write", context_->pb->error);
    }
    return true;
}

bool AviFile::writeVideo(std::span<const std::uint8_t> frame, std::uint64_t timestampMs,
                         const StreamSetup& setup) {
    if (failed() || finished_) {
        return false;
    }
    if (setup.videoCodec == VideoCodec::Mjpeg) {
        if (!jpegSize(frame)) {
            ++counters_.refused;  // not a picture; the file stays good
            return true;
        }
        return headerWritten_ ? placeVideo(frame, static_cast<std::int64_t>(timestampMs), true)
                              : hold(frame, timestampMs, true, setup);
    }
    const H26xCodec codec =
        setup.videoCodec == VideoCodec::H264 ? H26xCodec::H264 : H26xCodec::H265;
    if (headerWritten_) {
        // Only the kind of picture is left to know: the bytes in front of
        // its first slice tell it.
        return placeVideo(frame, static_cast<std::int64_t>(timestampMs),
                          inspectAccessUnit(frame, codec).randomAccess);
    }
    if (!parameterSets_) {
        parameterSets_ = std::make_unique<ParameterSets>(codec);
    }
    const AccessUnitInfo info = parameterSets_->take(frame);
    if (!holding_ && (!info.randomAccess || !parameterSets_->complete())) {
        ++counters_.beforeKeyframe;  // nothing could decode it
        return true;
    }
    return hold(frame, timestampMs, info.randomAccess, setup);
}

bool AviFile::hold(std::span<const std::uint8_t> frame, std::uint64_t timestampMs, bool key,
                   const StreamSetup& setup) {
    if (!holding_) {
        holding_ = true;
        held_.push_back(Held{true,
                             parameterSets_ ? parameterSets_->prepend(frame)
                                            : std::vector<std::uint8_t>(frame.begin(), frame.end()),
                             timestampMs, true});
    } else {
        held_.push_back(Held{true, {frame.begin(), frame.end()}, timestampMs, key});
    }
    ++heldVideo_;
    // The header is written from the newest setup: the server's answer
    // about the audio may come a moment after the first pictures.
    heldSetup_ = setup;
    return startWhenReady();
}

bool AviFile::startWhenReady() {
    const bool rateKnown = heldSetup_.fps > 0 || heldSetup_.videoCodec == VideoCodec::Mjpeg;
    const bool audioKnown = heldSetup_.audioRate <= 0 || audioSeen_;
    const Held* lastVideo = nullptr;
    for (auto it = held_.rbegin(); it != held_.rend() && lastVideo == nullptr; ++it) {
        lastVideo = it->video ? &*it : nullptr;
    }
    const auto span = static_cast<std::int64_t>(lastVideo->timestampMs - held_.front().timestampMs);
    if ((rateKnown && audioKnown) || span >= kMeasureMs || heldVideo_ >= kMeasureFrames) {
        return releaseHeld();
    }
    return true;
}

AVRational AviFile::heldRate() const {
    if (heldSetup_.fps > 0) {
        return AVRational{heldSetup_.fps, 1};
    }
    if (heldSetup_.videoCodec == VideoCodec::Mjpeg) {
        return AVRational{kDefaultFps, 1};
    }
    const Held* first = nullptr;
    const Held* last = nullptr;
    std::int64_t frames = 0;
    for (const Held& h : held_) {
        if (h.video) {
            first = first != nullptr ? first : &h;
            last = &h;
            ++frames;
        }
    }
    const auto span = static_cast<std::int64_t>(last->timestampMs - first->timestampMs);
    return span <= kClockJumpSeconds * 1000 ? measuredRate(frames, span)
                                            : AVRational{kDefaultH26xFps, 1};
}

bool AviFile::releaseHeld() {
    const AVRational rate = heldRate();
    holding_ = false;
    heldVideo_ = 0;
    std::vector<Held> held;
    held.swap(held_);
    const StreamSetup& setup = heldSetup_;
    int width = setup.width;
    int height = setup.height;
    if (setup.videoCodec == VideoCodec::Mjpeg) {
        const auto size = jpegSize(held.front().bytes);
        width = size->width;
        height = size->height;
    } else if (width <= 0 || height <= 0) {
        const H26xCodec codec =
            setup.videoCodec == VideoCodec::H264 ? H26xCodec::H264 : H26xCodec::H265;
        const auto size = pictureSize(held.front().bytes, codec);
        width = size ? size->first : kDefaultWidth;
        height = size ? size->second : kDefaultHeight;
    }
    if (!writeHeader(setup, width, height, rate, audioSeen_)) {
        return false;
    }
    for (const Held& h : held) {
        const bool ok = h.video
                            ? placeVideo(h.bytes, static_cast<std::int64_t>(h.timestampMs), h.key)
                            : placeAudio(h.bytes, h.timestampMs);
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool AviFile::placeVideo(std::span<const std::uint8_t> frame, std::int64_t ts, bool key) {
    if (lastSlot_ < 0 && counters_.videoFrames == 0) {
        originMs_ = ts;
    }
    // Frame slots last den/num seconds: slot = ms * num / (1000 * den).
    const std::int64_t num = rate_.num;
    const std::int64_t perSlot = 1000 * static_cast<std::int64_t>(rate_.den);
    const std::int64_t sinceOrigin = ts - originMs_;
    std::int64_t slot = (sinceOrigin * num + perSlot / 2) / perSlot;
    if (sinceOrigin < 0) {
        slot = -((-sinceOrigin * num + perSlot / 2) / perSlot);
    }
    const std::int64_t jumpLimit = kClockJumpSeconds * num / rate_.den;
    if (slot - lastSlot_ > jumpLimit || lastSlot_ - slot > jumpLimit) {
        // The device clock was reset or jumped: go on from the last frame.
        slot = lastSlot_ + 1;
        originMs_ = ts - slot * perSlot / num;
    } else if (slot <= lastSlot_) {
        slot = lastSlot_ + 1;  // early by jitter; never two frames in one slot
    }
    if (lastSlot_ >= 0 && slot > lastSlot_ + 1) {
        counters_.gapFrames += static_cast<std::uint64_t>(slot - lastSlot_ - 1);
    }
    if (!writePacket(videoIndex_, frame, slot, 1, key)) {
        return false;
    }
    lastSlot_ = slot;
    ++counters_.videoFrames;
    return true;
}

std::int64_t AviFile::samplesIn(std::size_t bytes) const {
    const auto n = static_cast<std::int64_t>(bytes);
    switch (audioCodec_) {
        case AudioCodec::Mulaw:
        case AudioCodec::Alaw:
            return n / audioChannels_;
        case AudioCodec::G726:
            return n * 8 / (audioBits_ * audioChannels_);
        case AudioCodec::Aac:
            return kAacFrameSamples;
    }
    return n;
}

bool AviFile::writeAudio(std::span<const std::uint8_t> block, std::uint64_t timestampMs) {
    if (failed() || finished_) {
        return false;
    }
    audioSeen_ = audioSeen_ || !block.empty();
    if (holding_) {
        if (heldSetup_.audioRate > 0 && !block.empty()) {
            held_.push_back(Held{false, {block.begin(), block.end()}, timestampMs, true});
            return startWhenReady();
        }
        return true;
    }
    if (!headerWritten_ || audioIndex_ < 0 || block.empty()) {
        ++counters_.refused;
        return true;
    }
    return placeAudio(block, timestampMs);
}

bool AviFile::placeAudio(std::span<const std::uint8_t> block, std::uint64_t timestampMs) {
    if (audioCodec_ == AudioCodec::Aac) {
        // The file keeps the configuration once, in its header.
        if (const auto adts = readAdts(block)) {
            block = adts->raw;
        }
    }
    const bool pcm = audioCodec_ == AudioCodec::Mulaw || audioCodec_ == AudioCodec::Alaw;
    const std::int64_t sinceOrigin = static_cast<std::int64_t>(timestampMs) - originMs_;
    const std::int64_t position = sinceOrigin * audioRate_ / 1000;
    const std::int64_t gap = position - nextSample_;
    if (pcm && gap > audioRate_ / kAudioToleranceDivisor && gap <= kClockJumpSeconds * audioRate_) {
        const std::uint8_t silenceByte =
            audioCodec_ == AudioCodec::Mulaw ? kMulawSilence : kAlawSilence;
        const std::vector<std::uint8_t> silence(
            static_cast<std::size_t>(audioRate_) * static_cast<std::size_t>(audioChannels_),
            silenceByte);
        for (std::int64_t left = gap; left > 0;) {
            const std::int64_t n = std::min<std::int64_t>(left, audioRate_);
            const auto bytes = static_cast<std::size_t>(n * audioChannels_);
            if (!writePacket(audioIndex_, std::span(silence.data(), bytes), nextSample_, n, true)) {
                return false;
            }
            nextSample_ += n;
            left -= n;
            counters_.audioBytes += bytes;
            counters_.silenceBytes += bytes;
        }
    }
    // A block that overlaps what is written, or comes after a clock jump,
    // goes on where the audio stands: dropping it would lose sound.
    const std::int64_t n = samplesIn(block.size());
    if (!writePacket(audioIndex_, block, nextSample_, n, true)) {
        return false;
    }
    nextSample_ += n;
    counters_.audioBytes += block.size();
    return true;
}

bool AviFile::finish(const StreamSetup& setup) {
    if (finished_) {
        return !failed();
    }
    if (holding_ && !releaseHeld()) {
        finished_ = true;
        return false;
    }
    finished_ = true;
    if (failed()) {
        return false;
    }
    if (!headerWritten_) {
        const int width = setup.width > 0 ? setup.width : kDefaultWidth;
        const int height = setup.height > 0 ? setup.height : kDefaultHeight;
        const int fallback = setup.videoCodec == VideoCodec::Mjpeg ? kDefaultFps : kDefaultH26xFps;
        if (!writeHeader(setup, width, height, AVRational{setup.fps > 0 ? setup.fps : fallback, 1},
                         audioSeen_)) {
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
