#pragma once
// NMEA checksums for tests: whether a sentence ends in the checksum a
// receiver would write ('*' and the two hex digits of the XOR of every byte
// between the '$' and the '*'), and a sentence given one. Worked out here byte
// by byte, apart from the code under test.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace testnmea {

inline unsigned xorAfterDollar(std::string_view sentence, std::size_t end) {
    unsigned x = 0;
    for (std::size_t i = 1; i < end && i < sentence.size(); ++i) {
        x ^= static_cast<unsigned char>(sentence[i]);
    }
    return x;
}

// `sentence` starts with '$' and has no checksum yet.
inline std::string withChecksum(std::string_view sentence) {
    char star[4];
    std::snprintf(star, sizeof star, "*%02X", xorAfterDollar(sentence, sentence.size()));
    return std::string(sentence) + star;
}

inline ::testing::AssertionResult endsInItsChecksum(const std::string& sentence) {
    const auto star = sentence.find('*');
    if (star == std::string::npos) {
        return ::testing::AssertionFailure() << "no '*' in " << sentence;
    }
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02X", xorAfterDollar(sentence, star));
    // Receivers write the digits in upper case and end the sentence there.
    if (sentence.substr(star + 1) != expected) {
        return ::testing::AssertionFailure() << "checksum " << sentence.substr(star + 1) << ", not "
                                             << expected << ", in " << sentence;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testnmea
