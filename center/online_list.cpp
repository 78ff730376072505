#include "center/online_list.h"

#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "gps/fixed_decimal.h"
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

// The list is written every few seconds with a line per terminal: each
// column is appended in place, without a string of its own.
void AppendPadded(std::string& out, std::string_view text, std::size_t width) {
    out += text;
    if (text.size() < width) {
        out.append(width - text.size(), ' ');
    }
    out += ' ';
}

// The bytes of to_chars(fixed, decimals), the sign written apart: the
// sentence's number writer takes non-negative numbers only.
void AppendFixed(std::string& out, double value, int decimals, std::size_t width) {
    char text[gps::kFixedDecimalMax + 2];
    char* end = text;
    if (std::signbit(value)) {
        *end++ = '-';
        value = -value;
    }
    end = gps::appendFixedDecimal(end, value, decimals);
    AppendPadded(out, std::string_view(text, static_cast<std::size_t>(end - text)), width);
}

// "YYYY-MM-DD HH:MM:SS" of a UTC time, by arithmetic: no time zone to look
// up, no format string to read, for every line. The sentence's digit writer
// does the digits.
void AppendUtc(std::string& out, std::chrono::system_clock::time_point when, std::size_t width) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(when);
    const auto day = floor<days>(seconds);
    const year_month_day date(day);
    const hh_mm_ss time(seconds - day);
    const int year = static_cast<int>(date.year());
    if (year < 0 || year > 9999) {
        AppendPadded(out, "?", width);
        return;
    }
    char text[19];
    char* p = gps::appendDigits(text, static_cast<unsigned>(year), 4);
    *p++ = '-';
    p = gps::appendDigits(p, static_cast<unsigned>(date.month()), 2);
    *p++ = '-';
    p = gps::appendDigits(p, static_cast<unsigned>(date.day()), 2);
    *p++ = ' ';
    p = gps::appendDigits(p, static_cast<std::uint64_t>(time.hours().count()), 2);
    *p++ = ':';
    p = gps::appendDigits(p, static_cast<std::uint64_t>(time.minutes().count()), 2);
    *p++ = ':';
    p = gps::appendDigits(p, static_cast<std::uint64_t>(time.seconds().count()), 2);
    AppendPadded(out, std::string_view(text, static_cast<std::size_t>(p - text)), width);
}

}  // namespace

std::string OnlineListText(const std::vector<OnlineEntry>& terminals,
                           std::chrono::system_clock::time_point now, long pid) {
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    std::string out =
        kWrittenPrefix + std::to_string(seconds) + " by process " + std::to_string(pid) + "\n";
    out += std::to_string(terminals.size()) + " terminals online at " + UtcText(now) + " UTC\n";
    AppendPadded(out, "PHONE", 12);
    AppendPadded(out, "ADDRESS", 21);
    AppendPadded(out, "LAST REPORT (UTC)", 19);
    AppendPadded(out, "LATITUDE", 10);
    AppendPadded(out, "LONGITUDE", 11);
    AppendPadded(out, "KM/H", 5);
    out += "PLATE\n";
    out.reserve(out.size() + terminals.size() * 120);
    for (const OnlineEntry& t : terminals) {
        AppendPadded(out, t.phone, 12);
        AppendPadded(out, t.address, 21);
        if (t.lastReport) {
            AppendUtc(out, t.lastReport->when, 19);
            AppendFixed(out, t.lastReport->latitude, 6, 10);
            AppendFixed(out, t.lastReport->longitude, 6, 11);
            AppendFixed(out, t.lastReport->speedKmh, 1, 5);
        } else {
            AppendPadded(out, "none yet", 19);
            AppendPadded(out, "-", 10);
            AppendPadded(out, "-", 11);
            AppendPadded(out, "-", 5);
        }
        // The plate is the terminal's own text: one line, no control bytes.
        out += text::PeerText(t.plate, 64) + "\n";
    }
    return out;
}

namespace {

struct ListFile {
    long long written = 0;  // seconds since the epoch
    long pid = 0;
    std::string rest;  // after the first line, when read
};

enum class ListRead { Missing, Foreign, Read };

// The first line, and with `whole` the rest, from one open of the file: a
// list replaced meanwhile is read whole or not at all.
ListRead ReadListFile(const std::string& path, ListFile& list, bool whole) {
    std::ifstream in(path);
    if (!in) {
        return ListRead::Missing;
    }
    std::string first;
    std::getline(in, first);
    if (std::sscanf(first.c_str(), "# written %lld by process %ld", &list.written, &list.pid) !=
        2) {
        return ListRead::Foreign;
    }
    if (whole) {
        std::ostringstream rest;
        rest << in.rdbuf();
        list.rest = rest.str();
    }
    return ListRead::Read;
}

std::chrono::system_clock::time_point WrittenAt(const ListFile& list) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(list.written));
}

}  // namespace

bool ReadOnlineList(const std::string& dataDir, std::chrono::system_clock::time_point now,
                    std::string& out) {
    const std::string path = dataDir + "/" + kOnlineListFile;
    ListFile list;
    const ListRead read = ReadListFile(path, list, false);
    if (read == ListRead::Missing) {
        out =
            "no center is running with --data " + dataDir + ": it keeps " + path + " while it runs";
        return false;
    }
    if (read == ListRead::Foreign) {
        out = path + " is not a list of terminals online";
        return false;
    }
    // kill(pid, 0) answers EPERM for another user's process that runs.
    const bool running =
        list.pid > 0 && (::kill(static_cast<pid_t>(list.pid), 0) == 0 || errno == EPERM);
    // The open asked the running center for a new list (center_watch.h): one
    // older than the least time between two is waited for, by its first line
    // alone (a list of 100,000 terminals is megabytes).
    if (running && now - WrittenAt(list) > kOnlineListPeriod) {
        const auto until = std::chrono::steady_clock::now() + kOnlineListWait;
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ListFile newer;
            if (ReadListFile(path, newer, false) == ListRead::Read &&
                newer.written > list.written) {
                break;
            }
        }
    }
    // The newest list, whole: the one waited for, or one newer still.
    if (running && ReadListFile(path, list, true) != ListRead::Read) {
        out = "the center with --data " + dataDir + " stopped while its list was read";
        return false;
    }
    // A center that runs writes its list at least every kOnlineListRefresh.
    if (!running || now - WrittenAt(list) > 2 * kOnlineListRefresh) {
        out = "the center with --data " + dataDir + " is not running: its last list is from " +
              UtcText(WrittenAt(list)) + " UTC";
        return false;
    }
    out = std::move(list.rest);
    return true;
}

}  // namespace center
