#pragma once
// What a recording needs to know of an H.264 or H.265 access unit in Annex B
// form (start codes before every NAL unit), as terminals send them: whether
// a decoder can start at it, and its parameter sets, which are kept so that a
// key frame that comes without them can still open a file.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vardo {

enum class H26xCodec { H264, H265 };

struct AccessUnitInfo {
    bool randomAccess = false;  // an IDR (H.264) or IRAP (H.265) picture
    bool vps = false;           // H.265 only
    bool sps = false;
    bool pps = false;
};

AccessUnitInfo inspectAccessUnit(std::span<const std::uint8_t> bytes, H26xCodec codec);

// The latest parameter sets of a stream, each kept as one NAL unit with a
// four-byte start code.
class ParameterSets {
public:
    explicit ParameterSets(H26xCodec codec) : codec_(codec) {}

    // Keeps the parameter sets the access unit carries.
    void take(std::span<const std::uint8_t> bytes);
    // Every set a decoder needs is known.
    bool complete() const;
    // The access unit with the kept sets in front of it, for those it lacks.
    std::vector<std::uint8_t> prepend(std::span<const std::uint8_t> bytes) const;

private:
    H26xCodec codec_;
    std::vector<std::uint8_t> vps_;
    std::vector<std::uint8_t> sps_;
    std::vector<std::uint8_t> pps_;
};

// The picture size the sequence parameter set in the access unit gives, as
// libavcodec's parser reads it.
std::optional<std::pair<int, int>> pictureSize(std::span<const std::uint8_t> bytes,
                                               H26xCodec codec);

}  // namespace vardo
