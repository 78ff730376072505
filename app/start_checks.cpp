#include "app/start_checks.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "db/backend.h"
#include "text/ascii.h"

namespace app {

namespace {

// Digits only, as a whole number; nullopt past 64 bits or for anything else.
std::optional<std::uint64_t> Digits(std::string_view text) {
    text = text::TrimAscii(text);
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<int> ParsePort(std::string_view text) {
    const std::optional<std::uint64_t> value = Digits(text);
    if (!value || *value < 1 || *value > 65535) {
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

std::string PortProblem(std::string_view label, std::string_view text) {
    if (ParsePort(text)) {
        return {};
    }
    return std::string(label) + " '" + std::string(text) + "' is no port number (1-65535)";
}

std::optional<int> ParseMediaPort(std::string_view text) {
    const std::optional<std::uint64_t> value = Digits(text);
    if (!value || *value > 65535) {
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

std::string MediaPortProblem(std::string_view label, std::string_view text) {
    if (ParseMediaPort(text)) {
        return {};
    }
    return std::string(label) + " '" + std::string(text) +
           "' is no port number (0-65535, 0: no media)";
}

bool OfflineAtStop(std::string_view setting, std::string_view connectString, std::string& warning) {
    const bool byDefault = db::ClassifyConnectionString(connectString) != db::BackendKind::Odbc;
    const std::string on = text::AsciiLower(text::TrimAscii(setting));
    if (on.empty()) {
        return byDefault;
    }
    if (on == "1" || on == "on" || on == "true" || on == "yes") {
        return true;
    }
    if (on == "0" || on == "off" || on == "false" || on == "no") {
        return false;
    }
    warning = "EventServer_OfflineAtStop: '" + std::string(setting) + "' is neither 1 nor 0; " +
              (byDefault ? "devices online at a stop are marked offline"
                         : "a stop marks no device offline");
    return byDefault;
}

std::string DurationWarning(std::string_view text) {
    const std::optional<std::uint64_t> value = Digits(text);
    if (value && *value >= 1 &&
        *value <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return {};
    }
    return "recording duration '" + std::string(text) +
           "' is no positive number of seconds; alarms record about one second";
}

std::string ParseCenterLostGrace(std::string_view text, std::chrono::seconds& grace) {
    constexpr std::chrono::seconds kDefault{60};
    constexpr unsigned kMost = 86400;
    grace = kDefault;
    const std::string_view value = text::TrimAscii(text);
    if (value.empty()) {
        return {};
    }
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > kMost) {
        return "EventServer_CenterLostGraceSeconds: '" + std::string(text) +
               "' is not a number from 1 to " + std::to_string(kMost) + "; 60 s";
    }
    grace = std::chrono::seconds(n);
    return {};
}

}  // namespace app
