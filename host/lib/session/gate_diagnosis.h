// Explains why the driver refused a gate address: its form, the area, or the
// element range of that area on that station's model. The ranges come from
// the driver itself, by asking its gate check about every element.
#pragma once

#include <string>

#include "session/model_file_check.h"
#include "session/qel_session.h"

namespace qel::session {

// The written element numbers the driver accepts for this area on this
// station, e.g. "0-399" or "0-157, 200-357"; empty when none. dataType as in
// the gate; a count above 1 asks the block check.
std::string LegalElements(QelSession& session, unsigned station, const std::string& area, int dataType, int count);

// The counts the block check accepts for this gate's station and area at
// its element, e.g. "8" or "0-100"; empty when none.
std::string LegalBlockCounts(QelSession& session, const Gate& gate);

// Why the driver refuses to read a gate that its gate check accepts, without
// sending anything; empty when it can read it.
std::string ExplainUnservedRead(QelSession& session, const Gate& gate);

// One line (without the program's name) for a gate the driver refused.
std::string ExplainIllegalGate(QelSession& session, const Gate& gate, const StationModels& models);

}  // namespace qel::session
