#include "session/driver/plan_link.h"

namespace qel::session {

plan::LineSettings PlanLineOf(const LineOptions& line) {
    plan::LineSettings settings;
    settings.baud = line.baud;
    settings.dataBits = line.dataBits;
    settings.parity = line.parity != "none";
    settings.stopBits = line.stopBits == "1.5" ? 1.5 : line.stopBits == "2" ? 2.0 : 1.0;
    return settings;
}

plan::PlanOptions PlanOptionsFor(const LineOptions& line) {
    plan::PlanOptions options;
    options.line = PlanLineOf(line);
    return options;
}

plan::Driver PlanDriverOf(QelSession& session) {
    plan::Driver driver;
    driver.check = [&session](std::int32_t operation, GateDefinition& definition) {
        return session.Request(operation, &definition);
    };
    driver.model = [&session](std::uint32_t station) { return session.StationModel(station); };
    return driver;
}

}  // namespace qel::session
