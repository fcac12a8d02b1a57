// Workspaces, gate definitions and requests for the gate address tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "address/gate_check.h"
#include "vuzorur.h"

namespace qel::test {

constexpr std::uint32_t UNTOUCHED = 0xDEADBEEF;

// A zeroed workspace whose stations all carry one model text.
inline DriverWorkspace MakeWorkspace(std::string_view model = "FA2") {
    DriverWorkspace workspace;
    std::memset(&workspace, 0, sizeof workspace);
    for (auto& slot : workspace.stationModel) {
        std::memcpy(slot, model.data(), model.size() < STATION_MODEL_SIZE ? model.size() : STATION_MODEL_SIZE);
    }
    workspace.lastStation = NO_STATION;
    return workspace;
}

inline void SetModel(DriverWorkspace& workspace, std::uint32_t station, std::string_view model) {
    std::memset(workspace.stationModel[station], 0, STATION_MODEL_SIZE);
    std::memcpy(workspace.stationModel[station], model.data(), model.size());
}

// A gate definition whose outputs hold values no check would store, so that
// tests can tell what was written.
inline GateDefinition MakeGate(const char* gas, std::int32_t dataType, std::int32_t count = 1) {
    GateDefinition gate{};
    gate.gas = gas;
    gate.hostField = UNTOUCHED;
    gate.dataType = dataType;
    gate.count = count;
    gate.station = UNTOUCHED;
    gate.areaCode = UNTOUCHED;
    gate.element = UNTOUCHED;
    gate.fixedOut1 = UNTOUCHED;
    gate.fixedOut2 = UNTOUCHED;
    return gate;
}

inline QelRequest MakeRequest(DriverWorkspace* workspace, GateDefinition* gate, std::int32_t operation) {
    QelRequest request{};
    request.workspace = workspace;
    request.operation = operation;
    request.qelNumber = 1;
    request.parameters = gate;
    return request;
}

// Runs one check on the gate through its handler and returns the result.
inline std::int32_t RunCheck(DriverWorkspace& workspace, GateDefinition& gate, std::int32_t operation) {
    const QelRequest request = MakeRequest(&workspace, &gate, operation);
    return operation == QEL_CHECK_BLOCK ? CheckBlockGate(&request) : CheckSingleGate(&request);
}

// Everything a check leaves in the gate definition.
struct CheckOutcome {
    std::int32_t result;
    std::uint32_t station;
    std::uint32_t areaCode;
    std::uint32_t element;
    std::uint32_t fixedOut1;
    std::uint32_t fixedOut2;

    bool operator==(const CheckOutcome&) const = default;
};

inline CheckOutcome Check(DriverWorkspace& workspace, const std::string& gas, std::int32_t dataType,
                          std::int32_t operation, std::int32_t count = 1) {
    GateDefinition gate = MakeGate(gas.c_str(), dataType, count);
    const std::int32_t result = RunCheck(workspace, gate, operation);
    return {result, gate.station, gate.areaCode, gate.element, gate.fixedOut1, gate.fixedOut2};
}

// A written element number as four digits.
inline std::string FourDigits(unsigned number) {
    std::string digits(4, '0');
    for (int i = 3; i >= 0; --i) {
        digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + number % 10);
        number /= 10;
    }
    return digits;
}

}  // namespace qel::test
