#include "center/location_sentence.h"

#include "gps/rmc_writer.h"

namespace center {

std::string rmcFromLocation(const jt808::Location& report,
                            std::chrono::system_clock::time_point utc) {
    gps::RmcFix fix;
    // A position off the globe is a terminal's fault, not a place: it goes
    // out as "not located" rather than as a sentence no reader accepts.
    fix.valid = (report.status & jt808::status::kLocated) != 0 && report.latitude <= 90'000'000 &&
                report.longitude <= 180'000'000;
    fix.latitude = jt808::latitudeDegrees(report);
    fix.longitude = jt808::longitudeDegrees(report);
    fix.speedKnots = report.speed / 10.0 / 1.852;
    fix.courseDegrees = report.direction;
    return gps::rmcSentence("GP", fix, utc);
}

}  // namespace center
