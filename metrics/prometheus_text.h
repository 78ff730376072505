#pragma once
// Lines of the Prometheus text format: each metric with its HELP and TYPE.

#include <cstdint>
#include <string>
#include <string_view>

namespace metrics {

// "# HELP name help", "# TYPE name type", "name value".
void AppendMetric(std::string& out, std::string_view name, std::string_view type,
                  std::string_view help, std::string_view value);
void AppendCounter(std::string& out, std::string_view name, std::string_view help,
                   std::uint64_t value);
void AppendGauge(std::string& out, std::string_view name, std::string_view help,
                 std::uint64_t value);

// The shortest text that reads back as `value`; NaN when it has none.
std::string MetricNumber(double value);

}  // namespace metrics
