#include "sim/terminal/route.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sim/terminal/fleet.h"

namespace sim::terminal {
namespace {

using namespace std::chrono_literals;

TEST(TerminalRoute, StaysOnItsCircleInEveryHemisphere) {
    for (auto [lat, lon] : {std::pair{22.5, 114.0}, std::pair{-33.9, 151.2}, std::pair{40.7, -74.0},
                            std::pair{-34.6, -58.4}}) {
        const Route route(lat, lon, 2.0, 60.0, 0.25);
        for (int s = 0; s < 3600; s += 97) {
            const RoutePoint p = route.at(std::chrono::seconds(s));
            EXPECT_EQ(p.latitude < 0, lat < 0);
            EXPECT_EQ(p.longitude < 0, lon < 0);
            EXPECT_NEAR(p.latitude, lat, 0.02);
            EXPECT_NEAR(p.longitude, lon, 0.03);
            EXPECT_GE(p.course, 0);
            EXPECT_LT(p.course, 360);
        }
    }
}

TEST(TerminalRoute, CourseFollowsTheMovement) {
    const Route route(0, 0, 1.0, 36.0, 0);
    // 36 km/h on a 1 km circle: 0.01 rad per second.
    const auto a = route.at(0s);
    const auto b = route.at(10s);
    const double bearing =
        std::atan2(b.longitude - a.longitude, b.latitude - a.latitude) * 180 / 3.14159265358979;
    EXPECT_NEAR(std::fmod(bearing + 360, 360), route.at(5s).course, 1.0);
}

TEST(TerminalRoute, PhonesCountUpWithCarry) {
    EXPECT_EQ(addToPhone("13912340000", 5), "13912340005");
    EXPECT_EQ(addToPhone("13912349999", 1), "13912350000");
    EXPECT_EQ(addToPhone("999", 1), "1000");
}

}  // namespace
}  // namespace sim::terminal
