// Finds out why the driver refused a gate address, as a value: its form, the
// area, or the element range of that area on that station's model. The
// ranges come from the driver itself, by asking its gate check about every
// element. The programs put the value into words.
#pragma once

#include <string>

#include "session/stations/model_file_check.h"
#include "session/driver/qel_session.h"

namespace qel::session {

// The written element numbers the driver accepts for this area on this
// station, e.g. "0-399" or "0-157, 200-357"; empty when none. dataType as in
// the gate; a count above 1 asks the block check.
std::string LegalElements(QelSession& session, unsigned station, const std::string& area, int dataType, int count);

// The counts the block check accepts for this gate's station and area at
// its element, e.g. "8" or "0-100"; empty when none.
std::string LegalBlockCounts(QelSession& session, const Gate& gate);

// True when the driver refuses, without sending anything, to read a gate that
// its gate check accepts: a WO block of an FA-3, for which it has no read frame.
bool UnservedRead(QelSession& session, const Gate& gate);

// What is wrong with a gate address the driver refused.
enum class GateFault {
    TooLong,           // more than 9 characters
    NoStation,         // it does not start with three digits
    StationAbove255,   // the station is above 255
    ForceBlock,        // a block of the FORCE gate
    ForceOnFa2,        // FORCE on a station taken for an FA-2
    ForceIsBit,        // FORCE checked as a word: it holds a bit
    AreaMissing,       // an area name the station does not have
    NoArea,            // no area name at all
    BadElement,        // the element is not up to four digits
    OtherType,         // the area holds the other data type (bits, words)
    BlockOnly,         // the area is read only as a block
    BlockCount,        // a block count the area does not take at this element
    NoBlock,           // the model's rule takes no block of this area at all
    OutsideRange,      // the element is outside the area's legal elements
};
constexpr int kGateFaultCount = 14;

struct GateDiagnosis {
    GateFault fault = GateFault::NoStation;
    std::string gas;       // as the user wrote it
    std::string station3;  // the station's three digits as written ("001")
    unsigned station = 0;
    std::string model;     // the model text the QEL holds for the station
    bool takenForFa2 = false;  // an FA-2 only because no station model names it
    ModelOrigin origin;        // where the station's model came from
    std::string area;      // the two characters after the station (upper case)
    std::string digits;    // the element as written
    int element = 0;
    bool bitArea = false;  // IO, IR, IM, SR: the last digit is the bit
    int count = 1;
    std::string areas;     // the station's areas, e.g. "TM CT DR CP TP IO IR IM SR"
    std::string legal;     // OutsideRange: the legal elements; BlockOnly: those read as a block
    std::string counts;    // BlockCount: the counts taken
};

// Why the driver refused this gate (its check failed).
GateDiagnosis DiagnoseGate(QelSession& session, const Gate& gate, const StationModels& models);

}  // namespace qel::session
