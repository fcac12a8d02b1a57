// The compact table of `qelhost poll --watch`: one line per gate with its
// last values, result and retries, redrawn in place on a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/driver/driver_result.h"

namespace qel::qelhost {

struct WatchRow {
    std::string gas;
    bool bits = false;
    session::DriverResult result = session::DriverResult::Done;
    int retries = 0;
    bool down = false;
    std::vector<std::uint16_t> values;
};

class WatchTable {
public:
    explicit WatchTable(bool terminal) : terminal_(terminal) {}
    // Draws the table; on a terminal over the one drawn before.
    // `footer` (the --stats table) follows the rows.
    void Draw(const std::string& heading, const std::vector<WatchRow>& rows, const std::string& footer = "");

private:
    bool terminal_;
    std::size_t linesDrawn_ = 0;
};

}  // namespace qel::qelhost
