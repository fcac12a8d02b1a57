#include "gateway_rig.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "gateway/config_file.h"
#include "support/free_port.h"
#include "support/pty_pair.h"

namespace gatewaytest {

GatewayRig::GatewayRig(bool paced) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = paced;
    sim_ = std::make_unique<fasim::Simulator>(options);
    link_ = testsupport::ShortLinkPath();
    std::string error;
    EXPECT_TRUE(sim_->StartPty(link_, &error)) << error;
    char pattern[] = "/tmp/gateway-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) folder_ = pattern;
    config_ = folder_ + "/line1.toml";
    modbusPort_ = testsupport::FreeLoopbackPort();
}

GatewayRig::~GatewayRig() {
    if (gateway_) gateway_->Stop();
    gateway_.reset();
    sim_->Stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void GatewayRig::WriteConfig(const std::string& extra, int listen) {
    // Written whole beside and renamed, as an editor saves: a reload never
    // reads half a file.
    std::ofstream(config_ + ".new") << "port = \"" << link_ << "\"\nlisten = \"127.0.0.1:" << (listen != 0 ? listen : modbusPort_)
                                    << "\"\ndriver = \"" << VUZORUR_PATH << "\"\n"
                                    << extra;
    std::filesystem::rename(config_ + ".new", config_);
}

std::string GatewayRig::WriteFile(const std::string& name, const std::string& text) {
    const std::string path = folder_ + "/" + name;
    std::ofstream(path + ".new") << text;
    std::filesystem::rename(path + ".new", path);
    return path;
}

qel::session::OpenResult GatewayRig::Start(std::string& error) {
    const std::vector<std::string> commandLine = {"--config", config_};
    return Start(commandLine, error);
}

qel::session::OpenResult GatewayRig::Start(const std::vector<std::string>& given, std::string& error) {
    std::error_code ec;
    const std::vector<std::string> commandLine =
        qel::gateway::AbsoluteCommandLine(given, std::filesystem::current_path(ec).string());
    qel::gateway::Options options;
    if (!qel::gateway::LoadOptions(commandLine, options, error)) return qel::session::OpenResult::BadSetting;
    gateway_ = std::make_unique<qel::gateway::Gateway>(commandLine, options);
    return gateway_->Start(error);
}

ModbusClient::ModbusClient(int port, int unit) {
    ctx_ = modbus_new_tcp("127.0.0.1", port);
    if (ctx_ == nullptr) return;
    modbus_set_slave(ctx_, unit);
    modbus_set_response_timeout(ctx_, 20, 0);
    connected_ = modbus_connect(ctx_) == 0;
}

ModbusClient::~ModbusClient() {
    if (ctx_ == nullptr) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
}

int ModbusClient::Read(int address, int count, std::vector<std::uint16_t>& values) {
    values.assign(static_cast<std::size_t>(count), 0);
    return modbus_read_registers(ctx_, address, count, values.data());
}

int ModbusClient::Write(int address, const std::vector<std::uint16_t>& values) {
    return modbus_write_registers(ctx_, address, static_cast<int>(values.size()), values.data());
}

}  // namespace gatewaytest
