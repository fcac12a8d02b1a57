#include "commands.h"

#include <cstdio>
#include <iostream>

#include "cp437.h"
#include "driver_log.h"
#include "output.h"

namespace qelhost {

namespace {

const char* AreaName(std::uint32_t code) {
    static const char* const names[] = {"TM", "CT", "DR", "CP", "TP", "IO", "IR/IM", "SR", "WO", "FORCE"};
    return code < 10 ? names[code] : "?";
}

int DataTypeFor(const std::string& gas, bool bit, bool word) {
    if (bit) return DATA_TYPE_BIT;
    if (word) return DATA_TYPE_WORD;
    return GuessDataType(gas);
}

}  // namespace

int RunDescribe(const CommonOptions& common) {
    HostContext host;
    if (!host.LoadDriver(common)) return kExitUsage;
    DriverInfo info{};
    const int result = host.session().Describe(info);
    std::printf("driver name      %s\n", info.driverName != nullptr ? info.driverName : "");
    std::printf("workspace size   %u bytes\n", info.workspaceSize);
    std::printf("default line     %u baud, %u data bits, parity code %u, stop-bit code %u\n", info.baudRate,
                info.dataBits, info.parity, info.stopBits);
    std::printf("host codes       %u, %u, %u\n", info.hostCode1, info.hostCode2, info.hostCode3);
    if (info.bannerText != nullptr) std::printf("%s", Cp437ToUtf8(info.bannerText).c_str());
    return result;
}

int RunCheck(const CommonOptions& common, const CheckOptions& options) {
    HostContext host;
    if (const int opened = host.Open(common); opened != 0) return opened == kExitUsage ? kExitUsage : kExitLine;
    int worst = kExitOk;
    for (const std::string& gas : options.gates) {
        Gate gate;
        gate.gas = gas;
        gate.count = options.count;
        gate.dataType = DataTypeFor(gas, options.bit, options.word);
        if (host.CheckGate(gate) == 0) {
            std::printf("%-11s legal    station %u  area %u (%s)  element %u\n", gas.c_str(), gate.definition.station,
                        gate.definition.areaCode, AreaName(gate.definition.areaCode), gate.definition.element);
        } else {
            std::printf("%-11s illegal\n", gas.c_str());
            worst = kExitRefused;
        }
    }
    return worst;
}

int RunRead(const CommonOptions& common, const ReadOptions& options) {
    Format format{};
    ParseFormat(options.format, format);
    HostContext host;
    if (const int opened = host.Open(common); opened != 0) return opened == kExitUsage ? kExitUsage : kExitLine;
    Gate gate;
    gate.gas = options.gas;
    gate.count = options.count;
    gate.dataType = GuessDataType(options.gas);
    if (host.CheckGate(gate) != 0) return kExitRefused;
    Reading reading;
    reading.gas = gate.gas;
    reading.bits = gate.dataType == DATA_TYPE_BIT;
    reading.result = host.Read(gate, reading.values);
    if (const std::string header = HeaderLine(format, false); !header.empty()) std::printf("%s\n", header.c_str());
    std::printf("%s\n", FormatReading(format, reading).c_str());
    std::fflush(stdout);
    return reading.result == 0 ? kExitOk : host.ReportFailure("the read", gate, reading.result);
}

int RunWrite(const CommonOptions& common, const WriteOptions& options) {
    if (options.pairs.size() % 2 != 0) {
        std::cerr << "qelhost: write takes pairs of gate and value; " << options.pairs.back() << " has no value\n";
        return kExitUsage;
    }
    std::vector<std::uint16_t> values;
    for (std::size_t i = 1; i < options.pairs.size(); i += 2) {
        const std::string& text = options.pairs[i];
        try {
            std::size_t used = 0;
            const unsigned long value = std::stoul(text, &used, 0);
            if (used != text.size() || value > 0xFFFF) throw std::out_of_range("value");
            values.push_back(static_cast<std::uint16_t>(value));
        } catch (const std::exception&) {
            std::cerr << "qelhost: the value " << text << " for " << options.pairs[i - 1]
                      << " is not a number from 0 to 65535\n";
            return kExitUsage;
        }
        if (GuessDataType(options.pairs[i - 1]) == DATA_TYPE_BIT && values.back() > 1) {
            std::cerr << "qelhost: " << options.pairs[i - 1] << " holds a bit: write 0 or 1, not " << text << "\n";
            return kExitUsage;
        }
    }
    HostContext host;
    if (const int opened = host.Open(common); opened != 0) return opened == kExitUsage ? kExitUsage : kExitLine;
    for (std::size_t i = 0; i < values.size(); ++i) {
        Gate gate;
        gate.gas = options.pairs[2 * i];
        gate.dataType = GuessDataType(gate.gas);
        if (host.CheckGate(gate) != 0) return kExitRefused;
        const int result = host.Write(gate, values[i]);
        if (result != 0) return host.ReportFailure("the write", gate, result);
        std::printf("%-11s written  %u\n", gate.gas.c_str(), values[i]);
    }
    return kExitOk;
}

int RunWarmStart(const CommonOptions& common) {
    HostContext host;
    if (const int opened = host.Open(common); opened != 0) return opened == kExitUsage ? kExitUsage : kExitLine;
    const int result = host.session().WarmStart();
    std::printf("warm start of QEL %d: %s\n", common.line.qel, result == 0 ? "done" : "failed");
    return result;
}

int RunVersion(const CommonOptions& common) {
    std::printf("qelhost %s\n", QELHOST_VERSION);
    HostContext host;
    if (!host.LoadDriver(common)) return kExitUsage;
    DriverInfo info{};
    host.session().Describe(info);
    const std::string banner = info.bannerText != nullptr ? info.bannerText : "";
    const auto at = banner.find("Version ");
    std::string version = at == std::string::npos ? "unknown" : banner.substr(at + 8);
    version = version.substr(0, version.find_first_of(" \n\xB3"));
    ForgetDriverLog();
    host.session().InitWithoutPort(common.line.qel);
    std::string compiled;
    for (const std::string& message : DriverLogSince()) {
        if (const auto on = message.find("compiled on"); on != std::string::npos) compiled = ", " + message.substr(on);
    }
    std::printf("driver %s: %s, version %s%s\n", common.driverPath.empty() ? DriverLibrary::DefaultPath().c_str()
                                                                            : common.driverPath.c_str(),
                info.driverName != nullptr ? info.driverName : "?", version.c_str(), compiled.c_str());
    return kExitOk;
}

}  // namespace qelhost
