#include "jt1078/av_control.h"

#include <gtest/gtest.h>

#include <vector>

namespace jt1078 {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(AvControl, RealtimeRequestHasTheFieldsInOrder) {
    const RealtimeRequest r{"10.0.0.5", 7611, 7612, 3, RequestedData::Video, StreamType::Sub};
    const auto bytes = encodeRealtimeRequest(r);
    ASSERT_TRUE(bytes);
    const Bytes want = {8, '1', '0', '.', '0', '.', '0', '.', '5', 0x1D, 0xBB, 0x1D, 0xBC, 3, 1, 1};
    EXPECT_EQ(*bytes, want);
    EXPECT_EQ(decodeRealtimeRequest(*bytes), r);
}

TEST(AvControl, RealtimeRequestRefusesWhatCannotBeSent) {
    EXPECT_FALSE(encodeRealtimeRequest(RealtimeRequest{}));
    EXPECT_FALSE(encodeRealtimeRequest(RealtimeRequest{std::string(256, 'a')}));
    EXPECT_TRUE(encodeRealtimeRequest(RealtimeRequest{std::string(255, 'a')}));
    Bytes body = *encodeRealtimeRequest(RealtimeRequest{"a"});
    EXPECT_TRUE(decodeRealtimeRequest(body));
    body.back() = 2;  // no such stream type
    EXPECT_FALSE(decodeRealtimeRequest(body));
    body.pop_back();
    EXPECT_FALSE(decodeRealtimeRequest(body));
    EXPECT_FALSE(decodeRealtimeRequest(Bytes{0}));
    EXPECT_FALSE(decodeRealtimeRequest(Bytes{200, 1, 2}));
}

TEST(AvControl, TransmissionControlRoundTripsAndRefusesUnknownValues) {
    const TransmissionControl close{2, ControlCommand::Close, CloseWhat::AudioAndVideo,
                                    StreamType::Main};
    EXPECT_EQ(encodeTransmissionControl(close), (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(decodeTransmissionControl(Bytes{2, 0, 0, 0}), close);
    const TransmissionControl audioOff{1, ControlCommand::Close, CloseWhat::AudioOnly,
                                       StreamType::Main};
    EXPECT_EQ(decodeTransmissionControl(encodeTransmissionControl(audioOff)), audioOff);
    EXPECT_FALSE(decodeTransmissionControl(Bytes{1, 5, 0, 0}));
    EXPECT_FALSE(decodeTransmissionControl(Bytes{1, 0, 3, 0}));
    EXPECT_FALSE(decodeTransmissionControl(Bytes{1, 0, 0}));
}

}  // namespace
}  // namespace jt1078
