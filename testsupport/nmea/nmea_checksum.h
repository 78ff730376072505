#pragma once
// Whether a sentence ends in the checksum a receiver would write: '*' and the
// two hex digits of the XOR of every byte between the '$' and the '*'. Worked
// out here byte by byte, apart from the code under test.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace testnmea {

inline ::testing::AssertionResult endsInItsChecksum(const std::string& sentence) {
    const auto star = sentence.find('*');
    if (star == std::string::npos) {
        return ::testing::AssertionFailure() << "no '*' in " << sentence;
    }
    unsigned x = 0;
    for (std::size_t i = 1; i < star; ++i) {
        x ^= static_cast<unsigned char>(sentence[i]);
    }
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02X", x);
    // Receivers write the digits in upper case and end the sentence there.
    if (sentence.substr(star + 1) != expected) {
        return ::testing::AssertionFailure() << "checksum " << sentence.substr(star + 1) << ", not "
                                             << expected << ", in " << sentence;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testnmea
