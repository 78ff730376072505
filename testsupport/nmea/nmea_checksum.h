#pragma once
// NMEA checksums for tests: whether a sentence ends in the checksum a
// receiver would write ('*' and the two upper-case hex digits of the XOR of
// every byte between the '$' and the '*'), and a sentence given one. The
// checksum itself has its own table of receivers' sentences in the gps tests.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "gps/nmea_checksum.h"

namespace testnmea {

// `sentence` starts with '$' and has no checksum yet.
inline std::string withChecksum(std::string_view sentence) {
    return std::string(sentence) + '*' + gps::nmeaChecksum(sentence.substr(1));
}

inline ::testing::AssertionResult endsInItsChecksum(const std::string& sentence) {
    const auto star = sentence.find('*');
    if (star == std::string::npos || sentence.empty() || sentence[0] != '$') {
        return ::testing::AssertionFailure() << "no '$...*' in " << sentence;
    }
    const std::string expected = gps::nmeaChecksum(std::string_view(sentence).substr(1, star - 1));
    // Receivers write the digits in upper case and end the sentence there.
    if (sentence.substr(star + 1) != expected) {
        return ::testing::AssertionFailure() << "checksum " << sentence.substr(star + 1) << ", not "
                                             << expected << ", in " << sentence;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testnmea
