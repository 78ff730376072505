#pragma once
// What a recording needs to know of an H.264 or H.265 access unit in Annex B
// form (start codes before every NAL unit), as terminals send them: whether
// a decoder can start at it, and its parameter sets, which are kept so that a
// key frame that comes without them can still open a file.
//
// Both are read from the NAL units in front of the access unit's first
// slice: encoders send the parameter sets (and delimiters, SEI) there, and
// every slice of a picture is of its first slice's kind. The slice data,
// nearly all of a frame's bytes, is never walked.

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

    // Keeps the parameter sets the access unit carries and tells what it is,
    // in one pass. A key frame whose sets are still incomplete after that is
    // searched to its end: a decoder may find a set between its slices.
    AccessUnitInfo take(std::span<const std::uint8_t> bytes);
    // Every set a decoder needs is known.
    bool complete() const;
    // The access unit with the kept sets in front of it, for those it lacks.
    std::vector<std::uint8_t> prepend(std::span<const std::uint8_t> bytes) const;

private:
    // Keeps the sets among the NAL units; the info of those it saw.
    AccessUnitInfo keepSets(std::span<const std::uint8_t> bytes, bool wholeUnit);

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
