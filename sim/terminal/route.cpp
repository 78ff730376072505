#include "sim/terminal/route.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim::terminal {

namespace {

constexpr double kKmPerDegree = 111.32;

}  // namespace

Route::Route(double centreLatitude, double centreLongitude, double radiusKm, double speedKmh,
             double phase)
    : latitude_(std::clamp(centreLatitude, -89.0, 89.0)),
      longitude_(centreLongitude),
      radiusKm_(std::max(radiusKm, 0.01)),
      speedKmh_(std::max(speedKmh, 0.0)),
      phase_(phase) {}

RoutePoint Route::at(std::chrono::duration<double> sinceStart) const {
    const double hours = sinceStart.count() / 3600.0;
    // Counter-clockwise seen from above: the angle grows from east to north.
    const double angle = 2 * std::numbers::pi * phase_ + speedKmh_ * hours / radiusKm_;
    RoutePoint p;
    p.latitude = latitude_ + radiusKm_ * std::sin(angle) / kKmPerDegree;
    const double kmPerLonDegree = kKmPerDegree * std::cos(latitude_ * std::numbers::pi / 180);
    p.longitude = longitude_ + radiusKm_ * std::cos(angle) / kmPerLonDegree;
    if (p.longitude > 180) {
        p.longitude -= 360;
    } else if (p.longitude < -180) {
        p.longitude += 360;
    }
    p.speedKmh = speedKmh_;
    // Moving counter-clockwise, the heading is the angle plus 90 degrees,
    // turned into a compass bearing.
    double course = 90.0 - (angle * 180 / std::numbers::pi + 90.0);
    course = std::fmod(course, 360.0);
    p.course = course < 0 ? course + 360 : course;
    return p;
}

}  // namespace sim::terminal
