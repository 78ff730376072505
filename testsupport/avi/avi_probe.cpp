#include "testsupport/avi/avi_probe.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace testavi {

const StreamInfo* AviInfo::videoStream() const {
    const auto it =
        std::find_if(streams.begin(), streams.end(), [](const StreamInfo& s) { return s.video; });
    return it == streams.end() ? nullptr : &*it;
}

const StreamInfo* AviInfo::audioStream() const {
    const auto it =
        std::find_if(streams.begin(), streams.end(), [](const StreamInfo& s) { return !s.video; });
    return it == streams.end() ? nullptr : &*it;
}

std::uint64_t hashBytes(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : bytes) {
        hash = (hash ^ b) * 0x100000001b3ULL;
    }
    return hash;
}

AviInfo probeAvi(const std::string& path) {
    // What the reader has to say about odd files is for the tests to judge.
    av_log_set_level(AV_LOG_ERROR);
    AviInfo info;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) {
        info.error = "cannot open";
        return info;
    }
    if (avformat_find_stream_info(context, nullptr) < 0) {
        info.error = "no stream info";
        avformat_close_input(&context);
        return info;
    }
    info.opened = true;
    info.format = context->iformat->name;
    if (context->duration != AV_NOPTS_VALUE) {
        info.seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
    }
    std::vector<AVCodecContext*> decoders(context->nb_streams, nullptr);
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* st = context->streams[i];
        StreamInfo s;
        s.video = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        s.codecId = st->codecpar->codec_id;
        s.codec = avcodec_get_name(st->codecpar->codec_id);
        s.width = st->codecpar->width;
        s.height = st->codecpar->height;
        s.sampleRate = st->codecpar->sample_rate;
        if (st->duration != AV_NOPTS_VALUE) {
            s.seconds = static_cast<double>(st->duration) * av_q2d(st->time_base);
        }
        if (s.video && st->avg_frame_rate.num > 0) {
            s.slots = static_cast<int>(std::lround(s.seconds * av_q2d(st->avg_frame_rate)));
        }
        if (s.video && st->time_base.num > 0) {
            s.frameRate = 1 / av_q2d(st->time_base);  // AVI: one frame a tick
        }
        s.indexEntries = avformat_index_get_entries_count(st);
        info.streams.push_back(s);
        if (s.video) {
            const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
            if (codec != nullptr) {
                decoders[i] = avcodec_alloc_context3(codec);
                // A picture that references what the file lacks is no picture.
                decoders[i]->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
                if (avcodec_parameters_to_context(decoders[i], st->codecpar) < 0 ||
                    avcodec_open2(decoders[i], codec, nullptr) < 0) {
                    avcodec_free_context(&decoders[i]);
                }
            }
        }
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(context, packet) >= 0) {
        const auto index = static_cast<std::size_t>(packet->stream_index);
        if (index < info.streams.size()) {
            StreamInfo& s = info.streams[index];
            ++s.packets;
            s.bytes += packet->size;
            if (s.video && packet->size > 0) {
                s.packetHashes.push_back(
                    hashBytes(std::span(packet->data, static_cast<std::size_t>(packet->size))));
            }
            if (packet->size > 0 && decoders[index] != nullptr &&
                avcodec_send_packet(decoders[index], packet) >= 0) {
                while (avcodec_receive_frame(decoders[index], frame) >= 0) {
                    ++s.decoded;
                    if (s.packets == 1) {
                        s.firstDecoded = true;
                    }
                }
            }
        }
        av_packet_unref(packet);
    }
    // Pictures a decoder still holds back (H.264 may keep some for reordering).
    for (std::size_t i = 0; i < decoders.size(); ++i) {
        if (decoders[i] != nullptr && avcodec_send_packet(decoders[i], nullptr) >= 0) {
            while (avcodec_receive_frame(decoders[i], frame) >= 0) {
                ++info.streams[i].decoded;
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    for (auto& d : decoders) {
        avcodec_free_context(&d);
    }
    avformat_close_input(&context);
    return info;
}

std::vector<std::string> aviFilesIn(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".avi") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace testavi
