#include "station_table.h"

#include <cstdio>

namespace qel::qelhost {

std::string StationTable(const LineSnapshot& snapshot) {
    char line[256];
    std::snprintf(line, sizeof line, "line: busy %.0f%%, %.1f exchanges/s, %llu line errors, %llu port reopens\n",
                  snapshot.line.busyShareTotal * 100, snapshot.line.exchangesPerSecond,
                  static_cast<unsigned long long>(snapshot.line.lineErrors),
                  static_cast<unsigned long long>(snapshot.line.portReopens));
    std::string text = line;
    std::snprintf(line, sizeof line, "shared: %llu requests answered by a read they joined, %llu from the image, "
                                     "%llu exchanges saved\n",
                  static_cast<unsigned long long>(snapshot.line.sharedRequests),
                  static_cast<unsigned long long>(snapshot.line.imageRequests),
                  static_cast<unsigned long long>(snapshot.line.exchangesSaved));
    text += line;
    text += "station  state    requests  attempts  retries  no-answer  other-fail  down  median-ms  p99-ms  block-data  last failure\n";
    for (const StationStats& s : snapshot.stations) {
        std::uint64_t other = 0;
        for (std::size_t k = 0; k < s.failures.size(); ++k) {
            const auto kind = static_cast<FailureKind>(k);
            if (kind != FailureKind::None && kind != FailureKind::NoAnswer && kind != FailureKind::Down)
                other += s.failures[k];
        }
        std::snprintf(line, sizeof line, "%7u  %-7s  %8llu  %8llu  %7llu  %9llu  %10llu  %4llu  %9.1f  %6.1f  %-10s  %s\n",
                      s.station, StationStateName(s.state), static_cast<unsigned long long>(s.requests),
                      static_cast<unsigned long long>(s.attempts), static_cast<unsigned long long>(s.retries),
                      static_cast<unsigned long long>(s.failures[static_cast<std::size_t>(FailureKind::NoAnswer)]),
                      static_cast<unsigned long long>(other),
                      static_cast<unsigned long long>(s.failures[static_cast<std::size_t>(FailureKind::Down)]),
                      s.answerMedian * 1000, s.answerP99 * 1000, BlockCheckName(s.blockCheck),
                      s.lastFailure == FailureKind::None ? "-" : FailureKindText(s.lastFailure));
        text += line;
    }
    return text;
}

}  // namespace qel::qelhost
