#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>

#include "session/driver/cp437.h"
#include "session/driver/driver_log.h"
#include "cli/diagnosis_text.h"
#include "cli/report_printer.h"
#include "session/diagnosis/gate_diagnosis.h"
#include "session/gates/gate_address.h"
#include "output.h"
#include "session/report/program_name.h"

namespace qel::qelhost {

namespace {

const char* AreaName(std::uint32_t code) {
    static const char* const names[] = {"TM", "CT", "DR", "CP", "TP", "IO", "IR/IM", "SR", "WO", "FORCE"};
    return code < 10 ? names[code] : "?";
}

// The station of a gate as its address writes it; empty when the text is no gate address.
std::string StationOf(const std::string& gas) {
    const std::optional<GateAddress> address = GateAddress::Parse(gas);
    return address ? StationText(address->station) : std::string();
}

// A FORCE write does nothing by itself: the driver keeps force mode in the
// QEL of this run, and sends a frame only for the 0 that ends a force mode
// begun in it. Empty when the list uses it that way.
std::string ForceMisuse(const std::vector<std::string>& pairs, const std::vector<std::uint16_t>& values) {
    std::set<std::string> forced;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string& gas = pairs[2 * i];
        const std::optional<GateAddress> address = GateAddress::Parse(gas);
        if (!address || !address->IsForce()) continue;
        const std::string station = StationText(address->station);
        const std::string force = address->Format();
        bool followed = false;
        for (std::size_t j = i + 1; j < values.size(); ++j) followed = followed || StationOf(pairs[2 * j]) == station;
        const std::string chain = "qelhost write " + force + " 1 " + GateAddress{address->station, "IO", 5}.Format() +
                                  " 1 " + force + " 0";
        if (values[i] == 1 && !followed) {
            return gas + " 1 by itself sends nothing: force mode lasts only for the QEL of this command and applies "
                   "to the writes that follow it in the same command; chain them, e.g. " + chain;
        }
        if (values[i] == 0 && forced.count(station) == 0) {
            return gas + " 0 sends nothing unless a " + force + " 1 earlier in the same command began force "
                   "mode; to end a controller's force mode write " + force + " 1 " + force +
                   " 0, and to force inputs chain the writes, e.g. " + chain;
        }
        if (values[i] == 1) forced.insert(station);
        if (values[i] == 0) forced.erase(station);
    }
    return {};
}

int DataTypeFor(const std::string& gas, bool bit, bool word) {
    if (bit) return DATA_TYPE_BIT;
    if (word) return DATA_TYPE_WORD;
    return GuessDataType(gas);
}

}  // namespace

bool GateChecked(HostContext& host, Gate& gate, const std::string& where) {
    if (host.CheckGate(gate) == DriverResult::Done) return true;
    std::cerr << MessageHead() << where << GateDiagnosisText(host.DiagnoseGate(gate)) << "\n";
    return false;
}

int ReportFailure(HostContext& host, const Gate& gate, const Outcome& outcome, bool write, std::uint16_t value) {
    const Diagnosis diagnosis = host.Diagnose(gate, outcome, write, value);
    std::cerr << MessageHead() << DiagnosisText(diagnosis) << "\n";
    return ExitCode(diagnosis.verdict());
}

int RunDescribe(const CommonOptions& common) {
    HostContext host(Printer());
    if (!host.LoadDriver(common)) return OpenFailed(host, OpenResult::BadSetting);
    DriverInfo info{};
    const DriverResult result = host.session().Describe(info);
    std::printf("driver name      %s\n", info.driverName != nullptr ? info.driverName : "");
    std::printf("workspace size   %u bytes\n", info.workspaceSize);
    std::printf("default line     %u baud, %u data bits, parity code %u, stop-bit code %u\n", info.baudRate,
                info.dataBits, info.parity, info.stopBits);
    std::printf("host codes       %u, %u, %u\n", info.hostCode1, info.hostCode2, info.hostCode3);
    if (info.bannerText != nullptr) std::printf("%s", Cp437ToUtf8(info.bannerText).c_str());
    return ExitCode(result);
}

int RunCheck(const CommonOptions& common, const CheckOptions& options) {
    HostContext host(Printer());
    if (const OpenResult opened = host.Open(common); opened != OpenResult::Ready) return OpenFailed(host, opened);
    int worst = kExitOk;
    for (const std::string& gas : options.gates) {
        Gate gate;
        gate.gas = gas;
        gate.count = options.count;
        gate.dataType = DataTypeFor(gas, options.bit, options.word);
        if (host.CheckGate(gate) == DriverResult::Done) {
            std::printf("%-11s legal    station %u  area %u (%s)  element %u\n", gas.c_str(), gate.definition.station,
                        gate.definition.areaCode, AreaName(gate.definition.areaCode), gate.definition.element);
            if (UnservedRead(host.session(), gate)) {
                std::cerr << MessageHead() << gas << ": " << UnservedReadText() << "\n";
                worst = kExitRefused;
            }
        } else {
            std::cerr << MessageHead() << GateDiagnosisText(host.DiagnoseGate(gate)) << "\n";
            std::printf("%-11s illegal\n", gas.c_str());
            worst = kExitRefused;
        }
    }
    return worst;
}

int RunRead(const CommonOptions& common, const ReadOptions& options) {
    Format format{};
    ParseFormat(options.format, format);
    // One read ends in one line: the line scheduler's news of a station's
    // health (held down, answers again) is for those that go on reading,
    // and for -v.
    const ReportSink withoutInfos = [](Severity severity, const std::string& text) {
        if (severity != Severity::Info) Printer()(severity, text);
    };
    HostContext host(common.verbose ? Printer() : withoutInfos);
    if (const OpenResult opened = host.Open(common); opened != OpenResult::Ready) return OpenFailed(host, opened);
    Gate gate;
    gate.gas = options.gas;
    gate.count = options.count;
    gate.dataType = GuessDataType(options.gas);
    if (!GateChecked(host, gate)) return kExitRefused;
    Reading reading;
    reading.gas = gate.gas;
    reading.bits = gate.dataType == DATA_TYPE_BIT;
    const Outcome outcome = host.Read(gate, reading.values);
    reading.result = outcome.result;
    if (const std::string header = HeaderLine(format, false); !header.empty()) std::printf("%s\n", header.c_str());
    std::printf("%s\n", FormatReading(format, reading).c_str());
    std::fflush(stdout);
    return outcome.ok() ? kExitOk : ReportFailure(host, gate, outcome, false);
}

int RunWrite(const CommonOptions& common, const WriteOptions& options) {
    if (options.pairs.size() % 2 != 0) {
        std::cerr << "qelhost: write takes pairs of gate and value; " << options.pairs.back() << " has no value\n";
        return kExitUsage;
    }
    std::vector<std::uint16_t> values;
    for (std::size_t i = 1; i < options.pairs.size(); i += 2) {
        const std::string& text = options.pairs[i];
        const bool bit = GuessDataType(options.pairs[i - 1]) == DATA_TYPE_BIT;
        try {
            std::size_t used = 0;
            const unsigned long value = std::stoul(text, &used, 0);
            if (used != text.size() || value > 0xFFFF) throw std::out_of_range("value");
            values.push_back(static_cast<std::uint16_t>(value));
        } catch (const std::exception&) {
            if (bit) {
                std::cerr << "qelhost: " << options.pairs[i - 1] << " holds a bit: write 0 or 1, not " << text << "\n";
            } else {
                std::cerr << "qelhost: the value " << text << " for " << options.pairs[i - 1]
                          << " is not a number from 0 to 65535 (decimal, or hex as 0x1F)\n";
            }
            return kExitUsage;
        }
        if (bit && values.back() > 1) {
            std::cerr << "qelhost: " << options.pairs[i - 1] << " holds a bit: write 0 or 1, not " << text << "\n";
            return kExitUsage;
        }
    }
    if (const std::string misuse = ForceMisuse(options.pairs, values); !misuse.empty()) {
        std::cerr << "qelhost: " << misuse << "\n";
        return kExitUsage;
    }
    HostContext host(Printer());
    if (const OpenResult opened = host.Open(common); opened != OpenResult::Ready) return OpenFailed(host, opened);
    for (std::size_t i = 0; i < values.size(); ++i) {
        Gate gate;
        gate.gas = options.pairs[2 * i];
        gate.dataType = GuessDataType(gate.gas);
        if (!GateChecked(host, gate)) return kExitRefused;
        const Outcome outcome = host.Write(gate, values[i]);
        if (!outcome.ok()) return ReportFailure(host, gate, outcome, true, values[i]);
        std::printf("%-11s written  %u\n", gate.gas.c_str(), values[i]);
    }
    return kExitOk;
}

int RunWarmStart(const CommonOptions& common) {
    HostContext host(Printer());
    if (const OpenResult opened = host.Open(common); opened != OpenResult::Ready) return OpenFailed(host, opened);
    const DriverResult result = host.session().WarmStart();
    std::printf("warm start of QEL %d: %s\n", common.line.qel, result == DriverResult::Done ? "done" : "failed");
    return ExitCode(result);
}

int RunVersion(const CommonOptions& common) {
    std::printf("qelhost %s\n", QELHOST_VERSION);
    HostContext host(Printer());
    if (!host.LoadDriver(common)) return OpenFailed(host, OpenResult::BadSetting);
    DriverInfo info{};
    host.session().Describe(info);
    const std::string banner = info.bannerText != nullptr ? info.bannerText : "";
    const auto at = banner.find("Version ");
    std::string version = at == std::string::npos ? "unknown" : banner.substr(at + 8);
    version = version.substr(0, version.find_first_of(" \n\xB3"));
    host.session().InitWithoutPort(common.line.qel);
    const std::string stamp = DriverBuildStamp();
    const std::string compiled = stamp.empty() ? "" : ", compiled on " + stamp;
    std::printf("driver %s: %s, version %s%s\n", common.driverPath.empty() ? DriverLibrary::DefaultPath().c_str()
                                                                            : common.driverPath.c_str(),
                info.driverName != nullptr ? info.driverName : "?", version.c_str(), compiled.c_str());
    return kExitOk;
}

}  // namespace qel::qelhost
