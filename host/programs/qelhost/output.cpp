#include "output.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "vuzorur.h"

namespace qel::qelhost {

int ResultNumber(session::DriverResult result) { return static_cast<int>(result); }

bool ParseFormat(const std::string& name, Format& format) {
    if (name == "table") format = Format::Table;
    else if (name == "csv") format = Format::Csv;
    else if (name == "json") format = Format::Json;
    else return false;
    return true;
}

std::string HeaderLine(Format format, bool withTime) {
    switch (format) {
        case Format::Table: {
            char line[96];
            std::snprintf(line, sizeof line, "%s%-11s %-7s %s", withTime ? "time                     " : "", "gate",
                          "index", "value");
            return line;
        }
        case Format::Csv: return withTime ? "time,gate,index,value,hex,result" : "gate,index,value,hex,result";
        case Format::Json: return "";
    }
    return "";
}

namespace {
std::string Hex(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}
}  // namespace

std::string FormatReading(Format format, const Reading& r) {
    if (format == Format::Json) {
        nlohmann::json line;
        if (!r.time.empty()) line["time"] = r.time;
        line["gate"] = r.gas;
        line["result"] = ResultNumber(r.result);
        line["ok"] = r.result == session::DriverResult::Done;
        if (r.down) line["down"] = true;
        if (r.result == session::DriverResult::Done) line["values"] = r.values;
        return line.dump();
    }
    std::string out;
    const bool single = r.values.size() == 1;
    if (r.result != session::DriverResult::Done) {
        if (format == Format::Csv)
            return (r.time.empty() ? "" : r.time + ",") + r.gas + ",,,," + (r.down ? "down" : std::to_string(ResultNumber(r.result)));
        char line[128];
        std::snprintf(line, sizeof line, "%s%-11s %-7s %s (result %d)", r.time.empty() ? "" : (r.time + "  ").c_str(),
                      r.gas.c_str(), "-", r.down ? "DOWN" : "FAILED", ResultNumber(r.result));
        return line;
    }
    for (std::size_t i = 0; i < r.values.size(); ++i) {
        const std::string index = single ? "-" : std::to_string(i);
        const std::uint16_t v = r.values[i];
        if (!out.empty()) out += '\n';
        if (format == Format::Csv) {
            out += (r.time.empty() ? "" : r.time + ",") + r.gas + "," + index + "," + std::to_string(v) + "," +
                   (r.bits ? "" : Hex(v)) + ",0";
        } else {
            char line[128];
            std::snprintf(line, sizeof line, "%s%-11s %-7s %u%s%s", r.time.empty() ? "" : (r.time + "  ").c_str(),
                          r.gas.c_str(), index.c_str(), v, r.bits ? "" : "  ", r.bits ? "" : Hex(v).c_str());
            out += line;
        }
    }
    if (format == Format::Table && r.bits && r.values.size() > 1) {
        out += '\n';
        if (!r.time.empty()) out.append(r.time.size() + 2, ' ');
        out += "bits 0..";
        out += std::to_string(r.values.size() - 1);
        out += ": ";
        for (const auto v : r.values) out += v != 0 ? '1' : '0';
    }
    return out;
}

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms));
    return full;
}

}  // namespace qel::qelhost
