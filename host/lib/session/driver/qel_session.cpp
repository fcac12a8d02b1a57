#include "session/driver/qel_session.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

#include "session/gates/gate_address.h"

namespace qel::session {

QelSession::QelSession(const DriverLibrary& driver) : driver_(driver) {}

std::int32_t QelSession::Call(std::int32_t operation, void* parameters) const {
    QelRequest request{};
    request.workspace = workspace_.empty() ? nullptr : const_cast<unsigned char*>(workspace_.data());
    request.operation = operation;
    request.qelNumber = qel_;
    request.parameters = parameters;
    return driver_.Call(request);
}

DriverResult QelSession::Describe(DriverInfo& info) const { return DriverResultOf(Call(QEL_DESCRIBE, &info)); }

bool ParityCode(const std::string& name, std::uint16_t& code) {
    static const char* const names[] = {"none", "odd", "even", "mark", "space"};
    for (std::uint16_t i = 0; i < 5; ++i) {
        if (name == names[i]) {
            code = i;
            return true;
        }
    }
    return false;
}

bool StopBitsCode(const std::string& name, std::uint16_t& code) {
    if (name == "1") code = 0;
    else if (name == "1.5") code = 1;
    else if (name == "2") code = 2;
    else return false;
    return true;
}

void QelSession::FillLine(const LineOptions& line, char (&portName)[PORT_NAME_SIZE], std::uint16_t& baud,
                          std::uint16_t& dataBits, std::uint16_t& stopBits, std::uint16_t& parity) const {
    const std::string port = line.port.empty() ? std::string("NUL") : line.port;
    port.copy(portName, PORT_NAME_SIZE - 1);
    baud = static_cast<std::uint16_t>(line.baud);
    dataBits = static_cast<std::uint16_t>(line.dataBits);
    ParityCode(line.parity, parity);
    StopBitsCode(line.stopBits, stopBits);
}

DriverResult QelSession::Init(const LineOptions& line) {
    DriverInfo info{};
    Describe(info);
    qel_ = line.qel;
    workspace_.assign(std::max<std::uint32_t>(info.workspaceSize, sizeof(DriverWorkspace)), 0);

    QelSetup setup{};
    FillLine(line, setup.portName, setup.baudRate, setup.dataBits, setup.stopBits, setup.parity);
    setup.portEnabled = 1;
    setup.readTimeout = line.timeout;
    return DriverResultOf(Call(QEL_INIT, &setup));
}

DriverResult QelSession::InitWithoutPort(int qel) {
    DriverInfo info{};
    Describe(info);
    qel_ = qel;
    workspace_.assign(std::max<std::uint32_t>(info.workspaceSize, sizeof(DriverWorkspace)), 0);
    QelSetup setup{};
    setup.portEnabled = 0;
    return DriverResultOf(Call(QEL_INIT, &setup));
}

DriverResult QelSession::SetReadTimeout(const LineOptions& line, int timeout) {
    PortUpdate update{};
    FillLine(line, update.portName, update.baudRate, update.dataBits, update.stopBits, update.parity);
    update.readTimeout = timeout;
    return DriverResultOf(Call(QEL_RECONFIGURE, &update));
}

DriverResult QelSession::WarmStart() { return DriverResultOf(Call(QEL_WARM_START, nullptr)); }

DriverResult QelSession::Close() {
    return workspace_.empty() ? DriverResult::Done : DriverResultOf(Call(QEL_CLOSE, nullptr));
}

DriverResult QelSession::Check(Gate& gate) {
    gate.definition = GateDefinition{};
    gate.definition.gas = gate.gas.c_str();
    gate.definition.dataType = gate.dataType;
    gate.definition.count = gate.count;
    return DriverResultOf(Call(gate.count == 1 ? QEL_CHECK_GATE : QEL_CHECK_BLOCK, &gate.definition));
}

GateTransfer TransferOf(const Gate& gate, int count, std::uint16_t* slots) {
    GateTransfer transfer{};
    transfer.gas = gate.gas.c_str();
    transfer.station = gate.definition.station;
    transfer.areaCode = gate.definition.areaCode;
    transfer.element = gate.definition.element;
    transfer.dataType = gate.dataType;
    transfer.count = count;
    transfer.values = slots;
    return transfer;
}

DriverResult QelSession::Read(const Gate& gate, std::vector<std::uint16_t>& values) {
    // A single value travels in slot 1, a block in slots 0 to count - 1.
    std::vector<std::uint16_t> slots(static_cast<std::size_t>(std::max(gate.count, 2)), 0);
    GateTransfer transfer = TransferOf(gate, gate.count, slots.data());
    const DriverResult result = DriverResultOf(Call(gate.count == 1 ? QEL_READ : QEL_READ_BLOCK, &transfer));
    if (gate.count == 1) values.assign(1, slots[1]);
    else values.assign(slots.begin(), slots.begin() + gate.count);
    return result;
}

DriverResult QelSession::Write(const Gate& gate, std::uint16_t value) {
    std::uint16_t slots[2] = {0, value};
    GateTransfer transfer = TransferOf(gate, 1, slots);
    return DriverResultOf(Call(QEL_WRITE, &transfer));
}

std::string QelSession::StationModel(std::uint32_t station) const {
    if (workspace_.empty() || station >= STATION_COUNT) return "";
    const DriverWorkspace* ws = Workspace();
    return std::string(ws->stationModel[station], strnlen(ws->stationModel[station], STATION_MODEL_SIZE));
}

const DriverWorkspace* QelSession::Workspace() const {
    return reinterpret_cast<const DriverWorkspace*>(workspace_.data());
}

int GuessDataType(const std::string& gas) {
    // Text that is no gate address is a word: the driver's check says what is wrong with it.
    const std::optional<GateAddress> address = GateAddress::Parse(gas);
    return address && address->Bits() ? DATA_TYPE_BIT : DATA_TYPE_WORD;
}

}  // namespace qel::session
