// The counters in Prometheus's text exposition format, version 0.0.4.
#pragma once

#include <string>
#include <string_view>

#include "http/status_source.h"

namespace qel::http {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string MetricsText(const StatusSource& source, const StatusView& view);

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);
// A sample value: the shortest text that reads back the same; +Inf, -Inf, NaN.
std::string SampleValue(double value);

}  // namespace qel::http
