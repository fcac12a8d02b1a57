// Speed of the driver's hot paths: frame building and reply judging, gate
// checks, and whole reads through QelMain, over an in-memory line and over a
// real pseudo-terminal to the simulator.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <string>

#include "fasim.h"
#include "protocol/digit_codec.h"
#include "protocol/read_frames.h"
#include "protocol/reply.h"
#include "serial/serial_port.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/memory_line.h"
#include "support/pty_pair.h"
#include "vuzorur.h"

namespace {

void BuildReadBlockFa3(benchmark::State& state) {
    std::array<std::uint8_t, 20> frame{};
    std::uint16_t element = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qel::BuildReadBlockFa3(frame, qel::DataByteCount(AREA_IO, 16), element, AREA_IO));
        element = static_cast<std::uint16_t>((element + 8) & 127);
    }
}
BENCHMARK(BuildReadBlockFa3);

void CheckAndDecodeElementReply(benchmark::State& state) {
    const std::string request = "R70:11\r";
    const std::string reply = "p12340:\r";
    std::array<std::uint16_t, 2> values{};
    const auto req = std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
    const auto rep = std::span(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(qel::CheckReply(req, rep));
        qel::DecodeReply(AREA_DR, 1, qel::StationKind::FA2, rep, values);
        benchmark::DoNotOptimize(values[1]);
    }
}
BENCHMARK(CheckAndDecodeElementReply);

void DecodeHundredWordBlock(benchmark::State& state) {
    std::string data;
    for (int i = 0; i < 100; ++i) data += "3412";
    std::array<std::uint16_t, 100> values{};
    const auto rep = std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    for (auto _ : state) {
        qel::DecodeWords(AREA_DR, 100, true, rep, values);
        benchmark::DoNotOptimize(values[99]);
    }
}
BENCHMARK(DecodeHundredWordBlock);

DriverWorkspace Fa2Workspace() {
    DriverWorkspace workspace{};
    for (auto& slot : workspace.stationModel) std::memcpy(slot, "FA2", 4);
    workspace.lastStation = NO_STATION;
    workspace.readTimeout = 100;
    return workspace;
}

void CheckGateThroughQelMain(benchmark::State& state) {
    DriverWorkspace workspace = Fa2Workspace();
    GateDefinition gate{};
    gate.gas = "001IO0157";
    gate.dataType = DATA_TYPE_BIT;
    QelRequest request{};
    request.workspace = &workspace;
    request.operation = QEL_CHECK_GATE;
    request.parameters = &gate;
    for (auto _ : state) benchmark::DoNotOptimize(QelMain(&request));
}
BENCHMARK(CheckGateThroughQelMain);

// A whole FA2 read, with its echo and reply played by an in-memory line: the
// driver's own cost of an exchange, without the line's.
void ReadGateOverMemoryLine(benchmark::State& state) {
    testsupport::LogCapture log;
    testsupport::MemoryLine line;
    line.SetEcho(true);
    line.SetResponder([](std::string_view written, testsupport::MemoryLine& l) {
        if (written == "R70:11\r") l.Feed("p12340:\r");
    });
    DriverWorkspace workspace = Fa2Workspace();
    PortSettings settings{};
    std::memcpy(settings.portName, "mem", 4);
    workspace.portHandle = qel::OpenPort(settings);
    workspace.lastStation = 1;
    std::array<std::uint16_t, 2> values{};
    GateTransfer transfer = testsupport::SingleTransfer("001DR0010", 1, AREA_DR, 10, values.data());
    QelRequest request{};
    request.workspace = &workspace;
    request.operation = QEL_READ;
    request.parameters = &transfer;
    for (auto _ : state) {
        if (QelMain(&request) != 0) state.SkipWithError("read failed");
    }
}
BENCHMARK(ReadGateOverMemoryLine);

// A whole read through QelMain over a real pseudo-terminal to the simulator,
// unpaced (line time excluded) and at 9600 baud 8E1.
void ReadGateOverPty(benchmark::State& state) {
    testsupport::LogCapture log;
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = state.range(0) != 0;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    if (!sim.StartPty(link) || !sim.Set(1, "DR", 10, 4660)) {
        state.SkipWithError("simulator did not start");
        return;
    }
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor(link);
    QelRequest init{};
    init.workspace = &workspace;
    init.operation = QEL_INIT;
    init.parameters = &setup;
    if (QelMain(&init) != 0) {
        state.SkipWithError("init failed");
        return;
    }
    std::array<std::uint16_t, 2> values{};
    GateTransfer transfer = testsupport::SingleTransfer("001DR0010", 1, AREA_DR, 10, values.data());
    QelRequest read{};
    read.workspace = &workspace;
    read.operation = QEL_READ;
    read.parameters = &transfer;
    for (auto _ : state) {
        if (QelMain(&read) != 0 || values[1] != 4660) state.SkipWithError("read failed");
    }
    QelRequest close{};
    close.workspace = &workspace;
    close.operation = QEL_CLOSE;
    QelMain(&close);
}
BENCHMARK(ReadGateOverPty)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

}  // namespace
