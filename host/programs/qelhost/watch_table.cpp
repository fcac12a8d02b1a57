#include "watch_table.h"

#include <cstdio>

#include "output.h"

namespace qel::qelhost {

namespace {
constexpr std::size_t kShownWords = 8;

std::string Values(const WatchRow& row) {
    if (row.result != session::DriverResult::Done)
        return (row.down ? "DOWN (result " : "FAILED (result ") + std::to_string(ResultNumber(row.result)) + ")";
    if (row.values.empty()) return "-";
    std::string text;
    if (row.bits) {
        for (const auto v : row.values) text += v != 0 ? '1' : '0';
        return text;
    }
    for (std::size_t i = 0; i < row.values.size() && i < kShownWords; ++i) {
        if (i != 0) text += ' ';
        text += std::to_string(row.values[i]);
    }
    if (row.values.size() > kShownWords) text += " ... (" + std::to_string(row.values.size()) + " values)";
    return text;
}
}  // namespace

void WatchTable::Draw(const std::string& heading, const std::vector<WatchRow>& rows, const std::string& footer) {
    // On a terminal: back to the first line of the last table, and each line
    // cleared to its end as it is written again.
    const char* clear = terminal_ ? "\x1b[K" : "";
    if (terminal_ && linesDrawn_ > 0) std::printf("\x1b[%zuA\r", linesDrawn_);
    std::printf("%s%s\n", heading.c_str(), clear);
    std::printf("%-11s %7s  %s%s\n", "gate", "retries", "value", clear);
    for (const WatchRow& row : rows) {
        std::printf("%-11s %7d  %s%s\n", row.gas.c_str(), row.retries, Values(row).c_str(), clear);
    }
    std::size_t footerLines = 0;
    for (std::size_t start = 0; start < footer.size();) {
        const std::size_t end = footer.find('\n', start);
        const std::string line = footer.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::printf("%s%s\n", line.c_str(), clear);
        ++footerLines;
        start = end == std::string::npos ? footer.size() : end + 1;
    }
    if (!terminal_) std::printf("\n");
    linesDrawn_ = rows.size() + 2 + footerLines;
    std::fflush(stdout);
}

}  // namespace qel::qelhost
