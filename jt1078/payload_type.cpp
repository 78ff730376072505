#include "jt1078/payload_type.h"

#include <array>

namespace jt1078 {
namespace {

struct Entry {
    std::uint8_t code;
    const char* name;
    MediaClass media;
    const char* codec;
};

constexpr MediaClass A = MediaClass::Audio;
constexpr MediaClass V = MediaClass::Video;

constexpr std::array kTable = {
    Entry{1, "G.721", A, ""},
    Entry{2, "G.722", A, ""},
    Entry{3, "G.723", A, ""},
    Entry{4, "G.728", A, ""},
    Entry{5, "G.729", A, ""},
    Entry{6, "G.711A", A, "pcm_alaw"},
    Entry{7, "G.711U", A, "pcm_mulaw"},
    Entry{8, "G.726", A, "g726"},
    Entry{9, "G.729A", A, ""},
    Entry{10, "DVI4_3", A, ""},
    Entry{11, "DVI4_4", A, ""},
    Entry{12, "DVI4_8K", A, ""},
    Entry{13, "DVI4_16K", A, ""},
    Entry{14, "LPC", A, ""},
    Entry{15, "S16BE_STEREO", A, ""},
    Entry{16, "S16BE_MONO", A, ""},
    Entry{17, "MPEGAUDIO", A, ""},
    Entry{18, "LPCM", A, ""},
    Entry{19, "AAC", A, "aac"},
    Entry{20, "WMA9STD", A, ""},
    Entry{21, "HEAAC", A, ""},
    Entry{22, "PCM_VOICE", A, ""},
    Entry{23, "PCM_AUDIO", A, ""},
    Entry{24, "AACLC", A, "aac"},
    Entry{25, "MP3", A, ""},
    Entry{26, "ADPCMA", A, ""},
    Entry{27, "MP4AUDIO", A, ""},
    Entry{28, "AMR", A, ""},
    Entry{91, "transparent", MediaClass::Transparent, ""},
    Entry{98, "H.264", V, "h264"},
    Entry{99, "H.265", V, "h265"},
    Entry{100, "AVS", V, ""},
    Entry{101, "SVAC", V, ""},
};

}  // namespace

PayloadType payloadType(std::uint8_t code) {
    for (const Entry& e : kTable) {
        if (e.code == code) {
            return PayloadType{e.code, e.name, e.media, e.codec};
        }
    }
    return PayloadType{code, "unknown", MediaClass::Unknown, ""};
}

}  // namespace jt1078
