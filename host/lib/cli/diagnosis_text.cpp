#include "cli/diagnosis_text.h"

#include <cstdio>

#include "session/gates/gate_address.h"
#include "session/stations/station_probe.h"

namespace qel::cli {

namespace {

using session::Hint;
using session::StationKind;

const char* const kAddressForm =
    "a gate address is a three-digit station 000-255, an area and an element of up to four digits "
    "(001DR0399, 012IO157), or a station and FORCE (005FORCE)";

// "002" for station 2: the start of its line in a station model file.
std::string Record(unsigned station) { return session::StationText(station); }

// " on line 2 of line1.int", or " in line1.int" when the line is not known.
std::string InModelFile(const session::Diagnosis& d) {
    if (d.modelLine <= 0) return " in " + d.modelFile;
    std::string text = " on line ";
    text += std::to_string(d.modelLine);
    return text + " of " + d.modelFile;
}

// "line 2 of line1.int", or "the station model file" when the line is not known.
std::string ModelFileLine(const session::Diagnosis& d) {
    if (d.modelLine <= 0 || d.modelFile.empty()) return "the station model file";
    std::string text = "line ";
    text += std::to_string(d.modelLine);
    return text + " of " + d.modelFile;
}

// " (check it with --bit)"; nothing where the front-end takes the type from the area.
std::string CheckWith(const std::string& option) { return option.empty() ? "" : " (check it with " + option + ")"; }

std::string Words(const session::Diagnosis& d, const SettingNames& o) {
    const std::string n = std::to_string(d.station);
    const std::string name = "station " + n;
    switch (d.hint) {
        case Hint::PresetRange: return "a preset (CP, TP) holds 0 to 9999";
        case Hint::ReadOnly: return "the gate is read-only on " + name;
        case Hint::ForceNotCleared:
            return name + " did not confirm the end of force mode; write " + d.gas +
                   " 0 again, or warm-start the controller";
        case Hint::UnknownModel:
            return ModelFileLine(d) + " gives " + name + " the model " + d.model +
                   ", which the driver does not know: write FA2 or FA3 (capitals), or name it with " +
                   o.station(d.station, "FA3");
        case Hint::UnservedRead: return UnservedReadText();
        case Hint::NamedModelMismatch: {
            const std::string named = session::ModelText(d.namedAs);
            const std::string found = session::ModelText(d.answersAs);
            std::string text = name + " answers as an " + session::ModelName(d.answersAs) + "; it is named " + named;
            if (d.namedByOption)
                return text + " by " + o.station(d.station, named) + ": write " + o.station(d.station, found);
            return text + InModelFile(d) + ": change its line " + Record(d.station) + named + " to " +
                   Record(d.station) + found + ", or name it with " + o.station(d.station, found);
        }
        case Hint::LineSettings:
            return "what came back did not match what was sent (an echo that differs, or a garbled reply): the line "
                   "settings may differ from the controllers' (now " + LineSettingsText(d.line) +
                   "); check " + o.lineSettings;
        case Hint::TakenForFa2:
            return name + " answers as an FA-3, but it is taken for an FA-2 because no station model names it: name "
                   "it with " + o.station(d.station, "FA3") + ", or add the line " + Record(d.station) +
                   "FA3 to the station model file";
        case Hint::SelectionOnly:
            return name + " answers its selection but not this read; it may be an FA-3 that is not in the station "
                   "model file (name it with " + o.station(d.station, "FA3") + ")";
        case Hint::SlowAnswer:
            return name + " answers, but slowly: its selection was answered after " +
                   std::to_string(d.answeredAfterMs) + " ms, and a station without a recent answer is given " +
                   std::to_string(d.probeTimeoutMs) + " ms: raise " +
                   o.probeTimeout(session::ProbeTimeoutFor(d.answeredAfterMs)) +
                   (10 * d.line.timeout < session::ProbeTimeoutFor(d.answeredAfterMs)
                        ? " and " + o.timeout(session::ProbeTimeoutFor(d.answeredAfterMs))
                        : std::string()) +
                   o.scanTellsTimeOut;
        case Hint::NoAnswer:
            return "no answer from " + name + " on " + d.port +
                   " (check the station number and that the controller is on, the wiring, and the line settings, "
                   "now " + LineSettingsText(d.line) + "; " + o.scan + " lists the stations that answer)";
        case Hint::StationRefused: {
            const char* with = d.outcome.failure == session::FailureKind::Nak         ? "a Nak"
                               : d.outcome.failure == session::FailureKind::Malformed ? "a malformed answer"
                                                                                      : "a Nak or a malformed answer";
            return name + " refused it with " + with +
                   " (the address may not exist in this controller, or the value may not fit the gate)";
        }
    }
    return name + " refused it";
}

}  // namespace

std::string LineSettingsText(const session::LineOptions& line) {
    return std::to_string(line.baud) + " baud, " + std::to_string(line.dataBits) + " data bits, " + line.parity +
           " parity, " + line.stopBits + " stop bit" + (line.stopBits == "1" ? "" : "s");
}

std::string UnservedReadText() {
    return "the gate check takes WO blocks of an FA-3, but the driver has no FA-3 WO read frame: it refuses the "
           "read and sends nothing, whatever the line settings";
}

const SettingNames& ProgramNames() {
    static const SettingNames names{
        [](unsigned station, const std::string& model) { return "--station " + std::to_string(station) + ":" + model; },
        "--baud, --parity, --data-bits and --stop-bits",
        [](int ms) { return "--probe-timeout to " + std::to_string(ms); },
        [](int ms) { return "--timeout to " + std::to_string((ms + 9) / 10); },  // 10 ms units
        "qelhost scan",
        " (qelhost scan finds slow stations and tells the time-out that serves them)",
        "--bit",
        "--word",
        "--count N",
        "--models FILE",
    };
    return names;
}

std::string DiagnosisText(const session::Diagnosis& diagnosis, const SettingNames& names) {
    return std::string(diagnosis.write ? "the write" : "the read") + " of " + diagnosis.gas + " failed: " +
           Words(diagnosis, names);
}

std::string ServedModelText(const session::Diagnosis& d) {
    if (d.hint != Hint::TakenForFa2 && d.hint != Hint::NamedModelMismatch) return {};
    const std::string n = std::to_string(d.station);
    const std::string named = session::ModelText(d.namedAs);
    const std::string found = session::ModelText(d.answersAs);
    const std::string text = "station " + n + " answers as an " + session::ModelName(d.answersAs) +
                             " but is served as an " + session::ModelName(d.namedAs) + ": ";
    if (d.hint == Hint::TakenForFa2) return text + "add --station " + n + ":" + found;
    if (d.namedByOption) return text + "write --station " + n + ":" + found + " instead of " + n + ":" + named;
    std::string where = " in " + d.modelFile;
    if (d.modelLine > 0) {
        where = " (";
        where += ModelFileLine(d);
        where += ')';
    }
    return text + "change its line " + Record(d.station) + named + where + " to " + Record(d.station) +
           found + ", or add --station " + n + ":" + found;
}

std::string ModelOriginText(unsigned station, const std::string& model, const session::ModelOrigin& origin,
                            const SettingNames& o) {
    using Kind = session::ModelOrigin::Kind;
    const std::string name = "station " + std::to_string(station);
    const std::string named = name + " is named " + model;
    const std::string byDefault = name + " is an " + model + " by default: ";
    // Appended, not "literal" + a temporary: a cross compiler warns of an
    // overlap that is not there in that.
    std::string mend = "; if it is an FA-3, name it with ";
    mend += o.station(station, "FA3");
    switch (origin.kind) {
        case Kind::FileLine: return named + " on line " + std::to_string(origin.line) + " of " + origin.file;
        case Kind::Option: return named + " by " + o.station(station, model);
        case Kind::NotInFile:
            return byDefault + "no line of " + origin.file + " that the driver reads names it" + mend +
                   ", or add the line " + Record(station) + "FA3 to " + origin.file;
        case Kind::Disregarded:
            return byDefault + "the driver disregards the whole of " + origin.file + " for its line " +
                   std::to_string(origin.line) + mend;
        case Kind::NoFile:
            if (origin.file.empty()) return byDefault + "no station model file names it" + mend;
            return byDefault + "there is no station model file (no " + o.models + ", and no " + origin.file +
                   ", the file the driver reads for QEL " + std::to_string(origin.qel) + ")" + mend;
    }
    return byDefault + "no station model file names it" + mend;
}

std::string GateDiagnosisText(const session::GateDiagnosis& d, const SettingNames& o) {
    using session::GateFault;
    const std::string head = "gate " + d.gas + " is illegal: ";
    const std::string n = std::to_string(d.station);
    const std::string where = "station " + n + ", an " + d.model;
    // Each refusal that rests on the station's model says where it came from.
    std::string origin = "; ";
    origin += ModelOriginText(d.station, d.model, d.origin, o);
    switch (d.fault) {
        case GateFault::TooLong: return head + "it has more than 9 characters; " + kAddressForm;
        case GateFault::NoStation: return head + "it does not start with a three-digit station; " + kAddressForm;
        case GateFault::StationAbove255: return head + "station " + d.station3 + " is above 255";
        case GateFault::ForceBlock: return head + "the FORCE gate takes no block";
        case GateFault::ForceOnFa2: return head + "FORCE is the force-mode gate of an FA-3, and " + where + origin;
        case GateFault::ForceIsBit: return head + "the FORCE gate holds a bit" + CheckWith(o.bit);
        case GateFault::AreaMissing:
            return head + d.area + " is no area of " + where + " (its areas: " + d.areas + ")" + origin;
        case GateFault::NoArea:
            return head + "\"" + d.area + "\" is no area of " + where + " (its areas: " + d.areas + "); " + kAddressForm;
        case GateFault::BadElement:
            return head + "the element \"" + d.digits + "\" is not up to four digits; " + kAddressForm;
        case GateFault::OtherType:
            return head + d.area + " holds " + (d.bitArea ? "bits" + CheckWith(o.bit) : "words" + CheckWith(o.word));
        case GateFault::BlockOnly:
            return head + d.area + " on " + where + " is read only as a block (" + o.count + "; elements " + d.legal + ")" +
                   origin;
        case GateFault::BlockCount:
            return head + "a block of " + std::to_string(d.count) + " " + d.area + " elements on " + where +
                   " is not allowed; the count is " + d.counts + origin;
        case GateFault::NoBlock:
            return head + "the " + d.model + " rule takes no block of " + d.area + " on " + where +
                   ": read the elements one by one" +
                   (session::StationKindOf(d.model) == session::StationKind::FA2 && !d.bitArea
                        ? " (an FA-3 takes " + d.area + " blocks)"
                        : "") +
                   origin;
        case GateFault::OutsideRange: {
            std::string text = head + "element " + std::to_string(d.element) + " is outside " + d.area + " on " + where +
                               " (legal: " + d.legal + ")";
            if (d.bitArea && d.area != "SR" && (d.element % 10) >= 8) text += "; the last digit is the bit, 0 to 7";
            return text + origin;
        }
    }
    return head + kAddressForm;
}

}  // namespace qel::cli
