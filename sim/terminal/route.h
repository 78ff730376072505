#pragma once
// A simple closed route for a simulated terminal: a circle around a centre,
// driven at a steady speed. Centres may lie in any hemisphere, so the
// center's handling of south and west can be tried.

#include <chrono>

namespace sim::terminal {

struct RoutePoint {
    double latitude = 0;   // signed degrees, south negative
    double longitude = 0;  // signed degrees, west negative
    double speedKmh = 0;
    double course = 0;  // degrees from north
};

class Route {
public:
    // `phase` (0-1) is where on the circle the terminal starts.
    Route(double centreLatitude, double centreLongitude, double radiusKm, double speedKmh,
          double phase);

    RoutePoint at(std::chrono::duration<double> sinceStart) const;

private:
    double latitude_;
    double longitude_;
    double radiusKm_;
    double speedKmh_;
    double phase_;
};

}  // namespace sim::terminal
