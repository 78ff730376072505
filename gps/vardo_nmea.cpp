// vardo-nmea [FILE...]: reads NMEA text line by line (standard input without
// files, or for "-") and prints for each line what the event server makes of
// it: "ok" or "fail", then latitude, longitude, speed (km/h) and course, each
// with six decimals, separated by tabs.

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "gps/rmc_parser.h"

namespace {

constexpr std::string_view kUsage =
    "usage: vardo-nmea [FILE...]\n"
    "Reads NMEA 0183 text (standard input when no FILE is given, or for \"-\")\n"
    "and prints, for each line, how its RMC sentence is read:\n"
    "  ok|fail <TAB> latitude <TAB> longitude <TAB> speed km/h <TAB> course\n";

// Six decimals, '.' as the point whatever the locale.
void appendNumber(std::string& out, double value) {
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, 6);
    out.append(buffer.data(), result.ptr);
}

std::string describeLine(const std::string& line) {
    double latitude = 0;
    double longitude = 0;
    double speed = 0;
    double course = 0;
    const bool ok = ParseGPRMC(line.c_str(), &latitude, &longitude, &speed, &course);
    std::string out = ok ? "ok" : "fail";
    for (double value : {latitude, longitude, speed, course}) {
        out += '\t';
        appendNumber(out, value);
    }
    out += '\n';
    return out;
}

// Returns false (after saying why on stderr) when the stream cannot be read
// to its end.
bool processStream(std::FILE* in, const char* name) {
    char* raw = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    while ((length = getline(&raw, &capacity, in)) > 0) {
        std::string line(raw, static_cast<std::size_t>(length));
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string out = describeLine(line);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    const int readError = std::ferror(in) ? errno : 0;
    std::free(raw);
    if (readError != 0) {
        std::fprintf(stderr, "vardo-nmea: cannot read %s: %s\n", name, std::strerror(readError));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Options first, so that a mistyped one reads no file at all.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr,
                         "vardo-nmea: unknown option %s (for a file of that name: ./%s)\n%s",
                         argv[i], argv[i], kUsage.data());
            return 2;
        }
    }
    bool allRead = true;
    if (argc < 2) {
        allRead = processStream(stdin, "standard input");
    }
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "-") {
            allRead = processStream(stdin, "standard input") && allRead;
            continue;
        }
        std::FILE* in = std::fopen(argv[i], "r");
        if (in == nullptr) {
            std::fprintf(stderr, "vardo-nmea: cannot open %s: %s\n", argv[i], std::strerror(errno));
            allRead = false;
            continue;
        }
        allRead = processStream(in, argv[i]) && allRead;
        std::fclose(in);
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "vardo-nmea: cannot write the output: %s\n", std::strerror(errno));
        return 1;
    }
    return allRead ? 0 : 1;
}
