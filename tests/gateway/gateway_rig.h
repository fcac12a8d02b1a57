// A Gateway in this process on fasim on a pseudo-terminal, its configuration
// in a file of a scratch folder, and a Modbus TCP client of libmodbus.
#pragma once

#include <modbus/modbus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fasim.h"
#include "gateway/gateway.h"

namespace gatewaytest {

class GatewayRig {
public:
    // paced: the simulator answers at the line's pace (9600 baud), so that
    // a long write takes seconds.
    explicit GatewayRig(bool paced);
    ~GatewayRig();

    // Writes the configuration file: the port, the listener (on `listen`,
    // 0: the rig's port), the driver and then `extra` (TOML lines).
    void WriteConfig(const std::string& extra, int listen = 0);
    // Writes a file beside the configuration; its path.
    std::string WriteFile(const std::string& name, const std::string& text);
    // Starts a Gateway on the file; Ready or the failure, with the reason.
    qel::session::OpenResult Start(std::string& error);
    // The same with this command line (its relative paths taken from the
    // working directory now, as qelgate takes them).
    qel::session::OpenResult Start(const std::vector<std::string>& commandLine, std::string& error);

    qel::gateway::Gateway& Gate() { return *gateway_; }
    fasim::Simulator& Sim() { return *sim_; }
    const std::string& Folder() const { return folder_; }
    int ModbusPort() const { return modbusPort_; }

private:
    std::unique_ptr<fasim::Simulator> sim_;
    std::string link_;
    std::string folder_;
    std::string config_;
    int modbusPort_ = 0;
    std::unique_ptr<qel::gateway::Gateway> gateway_;
};

// A libmodbus client of the gateway's unit `unit`.
class ModbusClient {
public:
    ModbusClient(int port, int unit);
    ~ModbusClient();
    bool Connected() const { return connected_; }
    // -1 on failure (errno holds the exception, EMBXGTAR and the like).
    int Read(int address, int count, std::vector<std::uint16_t>& values);
    int Write(int address, const std::vector<std::uint16_t>& values);

private:
    modbus_t* ctx_ = nullptr;
    bool connected_ = false;
};

}  // namespace gatewaytest
