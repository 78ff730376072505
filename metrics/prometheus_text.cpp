#include "metrics/prometheus_text.h"

#include <charconv>

namespace metrics {

void AppendMetric(std::string& out, std::string_view name, std::string_view type,
                  std::string_view help, std::string_view value) {
    const auto line = [&](std::string_view prefix, std::string_view text) {
        out += prefix;
        out += name;
        out += ' ';
        out += text;
        out += '\n';
    };
    line("# HELP ", help);
    line("# TYPE ", type);
    line("", value);
}

void AppendCounter(std::string& out, std::string_view name, std::string_view help,
                   std::uint64_t value) {
    AppendMetric(out, name, "counter", help, std::to_string(value));
}

void AppendGauge(std::string& out, std::string_view name, std::string_view help,
                 std::uint64_t value) {
    AppendMetric(out, name, "gauge", help, std::to_string(value));
}

std::string MetricNumber(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("NaN");
}

}  // namespace metrics
