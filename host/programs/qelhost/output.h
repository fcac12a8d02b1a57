// How values are shown: a table for people, CSV and JSON lines for programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/driver/driver_result.h"

namespace qel::qelhost {

enum class Format { Table, Csv, Json };

bool ParseFormat(const std::string& name, Format& format);

struct Reading {
    std::string time;  // empty: no time column
    std::string gas;
    bool bits = false;
    session::DriverResult result = session::DriverResult::Done;
    bool down = false;  // a line failure at once: the station is held down by the line scheduler
    std::vector<std::uint16_t> values;
};

// The number the formats show for a result ("result 2"), the driver's own:
// the one place a typed result becomes a number again.
int ResultNumber(session::DriverResult result);

// The header line of a table or CSV output; empty for JSON.
std::string HeaderLine(Format format, bool withTime);
std::string FormatReading(Format format, const Reading& reading);

// "2026-12-07 20:01:02.123", local time.
std::string Timestamp();

}  // namespace qel::qelhost
