#include "vardoappcore/h26x_stream.h"

#include <cstring>
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

// A picture's coded data: every slice of a picture is of its first one's
// kind, and nothing a recording needs follows it.
bool isSlice(std::uint8_t header, H26xCodec codec) {
    if (codec == H26xCodec::H264) {
        const int type = header & 0x1F;
        return type >= 1 && type <= 5;
    }
    return ((header >> 1) & 0x3F) <= 31;  // the VCL types
}

// Where the first 00 00 01 at or after `from` begins; the end when none.
// memchr finds the rare 01 bytes far faster than a byte-by-byte loop.
std::size_t findStartCode(std::span<const std::uint8_t> bytes, std::size_t from) {
    const std::size_t n = bytes.size();
    std::size_t i = from + 2;  // where its 01 could be
    while (i < n) {
        const void* one = std::memchr(bytes.data() + i, 1, n - i);
        if (one == nullptr) {
            return n;
        }
        const auto j =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(one) - bytes.data());
        if (bytes[j - 1] == 0 && bytes[j - 2] == 0) {
            return j - 2;
        }
        i = j + 1;
    }
    return n;
}

// Calls `onNal(kind, nal)` with each NAL unit (without its start code) of
// Annex B bytes, up to the first slice, which it gives with its first byte
// only; with `wholeUnit`, every NAL unit to the end.
template <class F>
void forEachNal(std::span<const std::uint8_t> bytes, H26xCodec codec, bool wholeUnit, F&& onNal) {
    const std::size_t n = bytes.size();
    std::size_t at = findStartCode(bytes, 0);
    while (at < n) {
        const std::size_t start = at + 3;
        if (start >= n) {
            return;
        }
        // Two zeros are no NAL header: the zero of a four-byte start code,
        // or zeros between units.
        const bool empty = bytes[start] == 0 && start + 1 < n && bytes[start + 1] == 0;
        if (!empty && !wholeUnit && isSlice(bytes[start], codec)) {
            onNal(kindOf(bytes[start], codec), bytes.subspan(start, 1));
            return;
        }
        const std::size_t next = findStartCode(bytes, start);
        std::size_t end = next;
        while (end > start && bytes[end - 1] == 0) {
            --end;  // the zero of a four-byte start code, or trailing zeros
        }
        if (!empty && end > start) {
            onNal(kindOf(bytes[start], codec), bytes.subspan(start, end - start));
        }
        at = next;
    }
}

void keep(std::vector<std::uint8_t>& to, std::span<const std::uint8_t> nal) {
    to.assign({0, 0, 0, 1});
    to.insert(to.end(), nal.begin(), nal.end());
}

void note(AccessUnitInfo& info, NalKind kind) {
    switch (kind) {
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
}

}  // namespace

AccessUnitInfo inspectAccessUnit(std::span<const std::uint8_t> bytes, H26xCodec codec) {
    AccessUnitInfo info;
    forEachNal(bytes, codec, false,
               [&](NalKind kind, std::span<const std::uint8_t>) { note(info, kind); });
    return info;
}

AccessUnitInfo ParameterSets::keepSets(std::span<const std::uint8_t> bytes, bool wholeUnit) {
    AccessUnitInfo info;
    forEachNal(bytes, codec_, wholeUnit, [&](NalKind kind, std::span<const std::uint8_t> nal) {
        note(info, kind);
        switch (kind) {
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
    return info;
}

AccessUnitInfo ParameterSets::take(std::span<const std::uint8_t> bytes) {
    AccessUnitInfo info = keepSets(bytes, false);
    if (info.randomAccess && !complete()) {
        const AccessUnitInfo whole = keepSets(bytes, true);
        info.vps = info.vps || whole.vps;
        info.sps = info.sps || whole.sps;
        info.pps = info.pps || whole.pps;
    }
    return info;
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
