#include "vardoappcore/h26x_stream.h"

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vardo {
namespace {

enum class NalKind { Other, RandomAccess, Vps, Sps, Pps };

NalKind kindOf(std::uint8_t header, H26xCodec codec) {
    if (codec == H26xCodec::H264) {
        switch (header & 0x1F) {
            case 5:
                return NalKind::RandomAccess;
            case 7:
                return NalKind::Sps;
            case 8:
                return NalKind::Pps;
            default:
                return NalKind::Other;
        }
    }
    const int type = (header >> 1) & 0x3F;
    if (type >= 16 && type <= 21) {
        return NalKind::RandomAccess;  // BLA, IDR, CRA
    }
    switch (type) {
        case 32:
            return NalKind::Vps;
        case 33:
            return NalKind::Sps;
        case 34:
            return NalKind::Pps;
        default:
            return NalKind::Other;
    }
}

// Calls `onNal` with each NAL unit (without its start code) of Annex B bytes.
template <class F>
void forEachNal(std::span<const std::uint8_t> bytes, F&& onNal) {
    const std::size_t n = bytes.size();
    // The start of the payload after each 00 00 01 (a 00 00 00 01 ends in one).
    std::size_t start = n;
    for (std::size_t i = 0; i + 2 < n; ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            if (start < n) {
                std::size_t end = i;
                while (end > start && bytes[end - 1] == 0) {
                    --end;  // the zero of a four-byte start code, or trailing zeros
                }
                onNal(bytes.subspan(start, end - start));
            }
            start = i + 3;
            i += 2;
        }
    }
    if (start < n) {
        onNal(bytes.subspan(start));
    }
}

void keep(std::vector<std::uint8_t>& to, std::span<const std::uint8_t> nal) {
    to.assign({0, 0, 0, 1});
    to.insert(to.end(), nal.begin(), nal.end());
}

}  // namespace

AccessUnitInfo inspectAccessUnit(std::span<const std::uint8_t> bytes, H26xCodec codec) {
    AccessUnitInfo info;
    forEachNal(bytes, [&](std::span<const std::uint8_t> nal) {
        if (nal.empty()) {
            return;
        }
        switch (kindOf(nal[0], codec)) {
            case NalKind::RandomAccess:
                info.randomAccess = true;
                break;
            case NalKind::Vps:
                info.vps = true;
                break;
            case NalKind::Sps:
                info.sps = true;
                break;
            case NalKind::Pps:
                info.pps = true;
                break;
            case NalKind::Other:
                break;
        }
    });
    return info;
}

void ParameterSets::take(std::span<const std::uint8_t> bytes) {
    forEachNal(bytes, [&](std::span<const std::uint8_t> nal) {
        if (nal.empty()) {
            return;
        }
        switch (kindOf(nal[0], codec_)) {
            case NalKind::Vps:
                keep(vps_, nal);
                break;
            case NalKind::Sps:
                keep(sps_, nal);
                break;
            case NalKind::Pps:
                keep(pps_, nal);
                break;
            default:
                break;
        }
    });
}

bool ParameterSets::complete() const {
    return !sps_.empty() && !pps_.empty() && (codec_ == H26xCodec::H264 || !vps_.empty());
}

std::vector<std::uint8_t> ParameterSets::prepend(std::span<const std::uint8_t> bytes) const {
    const AccessUnitInfo has = inspectAccessUnit(bytes, codec_);
    std::vector<std::uint8_t> out;
    out.reserve(vps_.size() + sps_.size() + pps_.size() + bytes.size());
    if (codec_ == H26xCodec::H265 && !has.vps) {
        out.insert(out.end(), vps_.begin(), vps_.end());
    }
    if (!has.sps) {
        out.insert(out.end(), sps_.begin(), sps_.end());
    }
    if (!has.pps) {
        out.insert(out.end(), pps_.begin(), pps_.end());
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

std::optional<std::pair<int, int>> pictureSize(std::span<const std::uint8_t> bytes,
                                               H26xCodec codec) {
    const AVCodecID id = codec == H26xCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    const std::unique_ptr<AVCodecParserContext, void (*)(AVCodecParserContext*)> parser(
        av_parser_init(id), av_parser_close);
    const AVCodec* decoder = avcodec_find_decoder(id);
    AVCodecContext* context = avcodec_alloc_context3(decoder);
    if (!parser || context == nullptr) {
        avcodec_free_context(&context);
        return std::nullopt;
    }
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    // The parser reads past the end by up to the padding size.
    std::vector<std::uint8_t> padded(bytes.begin(), bytes.end());
    padded.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser.get(), context, &out, &outSize, padded.data(),
                     static_cast<int>(bytes.size()), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    const int width = parser->width > 0 ? parser->width : context->width;
    const int height = parser->height > 0 ? parser->height : context->height;
    avcodec_free_context(&context);
    if (width <= 0 || height <= 0) {
        return std::nullopt;
    }
    return std::make_pair(width, height);
}

}  // namespace vardo
