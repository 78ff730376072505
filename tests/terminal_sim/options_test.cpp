#include "sim/terminal/options.h"

#include <gtest/gtest.h>

namespace sim::terminal {
namespace {

TEST(TerminalOptions, HemispheresProtocolsAndRoutes) {
    auto p = parseOptions({"--south", "--west", "--protocol", "mixed", "--terminals", "10"});
    ASSERT_EQ(p.error, "");
    EXPECT_LT(p.options.fleet.latitude, 0);
    EXPECT_LT(p.options.fleet.longitude, 0);
    EXPECT_EQ(p.options.fleet.protocol, ProtocolChoice::Mixed);
    EXPECT_EQ(p.options.fleet.terminals, 10);

    p = parseOptions({"--route", "-23.55,-46.63,5,80", "--location-interval", "0.5"});
    ASSERT_EQ(p.error, "");
    EXPECT_DOUBLE_EQ(p.options.fleet.latitude, -23.55);
    EXPECT_DOUBLE_EQ(p.options.fleet.longitude, -46.63);
    EXPECT_DOUBLE_EQ(p.options.fleet.radiusKm, 5);
    EXPECT_DOUBLE_EQ(p.options.fleet.speedKmh, 80);
    EXPECT_EQ(p.options.fleet.locationInterval.count(), 500);
}

TEST(TerminalOptions, BadValuesAreNamed) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--protocol", "2011"},
                                                 {"--port", "0"},
                                                 {"--terminals", "x"},
                                                 {"--route", "91,0"},
                                                 {"--route", "1"},
                                                 {"--first-phone", "12a"},
                                                 {"--location-interval", "0"},
                                                 {"--frobnicate", "1"},
                                                 {"--port"}}) {
        const auto p = parseOptions(args);
        EXPECT_NE(p.error.find(args[0]), std::string::npos) << p.error;
    }
}

}  // namespace
}  // namespace sim::terminal
