#include "center/online_list.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "text/log_text.h"

namespace center {
namespace {

// The first line, read back by ReadOnlineList.
constexpr char kWrittenPrefix[] = "# written ";

std::string UtcText(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.resize(width, ' ');
    }
    return text + ' ';
}

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

std::string OnlineListText(const std::vector<OnlineEntry>& terminals,
                           std::chrono::system_clock::time_point now, long pid) {
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    std::string out =
        kWrittenPrefix + std::to_string(seconds) + " by process " + std::to_string(pid) + "\n";
    out += std::to_string(terminals.size()) + " terminals online at " + UtcText(now) + " UTC\n";
    out += Padded("PHONE", 12) + Padded("ADDRESS", 21) + Padded("LAST REPORT (UTC)", 19) +
           Padded("LATITUDE", 10) + Padded("LONGITUDE", 11) + Padded("KM/H", 5) + "PLATE\n";
    for (const OnlineEntry& t : terminals) {
        out += Padded(t.phone, 12) + Padded(t.address, 21);
        if (t.lastReport) {
            out += Padded(UtcText(t.lastReport->when), 19) +
                   Padded(Fixed(t.lastReport->latitude, 6), 10) +
                   Padded(Fixed(t.lastReport->longitude, 6), 11) +
                   Padded(Fixed(t.lastReport->speedKmh, 1), 5);
        } else {
            out += Padded("none yet", 19) + Padded("-", 10) + Padded("-", 11) + Padded("-", 5);
        }
        // The plate is the terminal's own text: one line, no control bytes.
        out += text::PeerText(t.plate, 64) + "\n";
    }
    return out;
}

bool ReadOnlineList(const std::string& dataDir, std::chrono::system_clock::time_point now,
                    std::string& out) {
    const std::string path = dataDir + "/" + kOnlineListFile;
    std::ifstream in(path);
    if (!in) {
        out =
            "no center is running with --data " + dataDir + ": it keeps " + path + " while it runs";
        return false;
    }
    std::string first;
    std::getline(in, first);
    long long written = 0;
    long pid = 0;
    if (std::sscanf(first.c_str(), "# written %lld by process %ld", &written, &pid) != 2) {
        out = path + " is not a list of terminals online";
        return false;
    }
    const auto age = now - std::chrono::system_clock::time_point(std::chrono::seconds(written));
    // kill(pid, 0) answers EPERM for another user's process that runs.
    const bool running = pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    if (!running || age > 10 * kOnlineListPeriod) {
        out = "the center with --data " + dataDir + " is not running: its last list is from " +
              UtcText(std::chrono::system_clock::time_point(std::chrono::seconds(written))) +
              " UTC";
        return false;
    }
    std::ostringstream rest;
    rest << in.rdbuf();
    out = rest.str();
    return true;
}

}  // namespace center
