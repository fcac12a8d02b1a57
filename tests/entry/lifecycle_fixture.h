// A QEL driven through QelMain over a real pseudo-terminal, which the driver
// opens by a short link name, in an empty current directory (no station
// model file unless a test writes one), with the driver's log captured.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "config/scratch_directory.h"
#include "entry/lifecycle.h"
#include "serial/serial_port.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "vuzorur.h"

namespace lifecycle_test {

using testsupport::LogLine;

constexpr char kNoModelFile[] = "DavEV: No Init file. Assuming FA-2 PLC's.";
constexpr char kMissingPort[] = "/tmp/q-none";  // never created

inline LogLine Info(std::string text) { return {32, std::move(text)}; }

inline std::string Loaded(int qel) {
    return "DAVEV: Izumi 1:N Driver QEL " + std::to_string(qel) + " loaded successfully";
}

// The version line carries the build's date ("Jul 28 1998", "Dec  7 2026")
// and time ("11:21:09").
inline bool IsVersionLine(const LogLine& line) {
    static const std::regex pattern(
        "DAVEV: ver\\. compiled on (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] "
        "[0-9]{4} at [0-2][0-9]:[0-5][0-9]:[0-5][0-9]");
    return line.level == 32 && std::regex_match(line.text, pattern) &&
           line.text == std::string(qel::VersionText());
}

using testsupport::SetupFor;

inline PortUpdate Update(const std::string& name, std::int32_t readTimeout = 0) {
    PortUpdate update{};
    name.copy(update.portName, sizeof update.portName - 1);
    update.readTimeout = readTimeout;
    update.baudRate = 9600;
    update.dataBits = 8;
    update.stopBits = 0;
    update.parity = 2;
    return update;
}

inline PortSettings SettingsFor(const std::string& name) {
    PortSettings settings{};
    name.copy(settings.portName, sizeof settings.portName - 1);
    settings.baudRate = 9600;
    settings.dataBits = 8;
    settings.parity = 2;
    settings.lineControl = 8;
    return settings;
}

// Whether someone else could open the port now (ports are opened exclusively).
inline bool PortIsFree(const std::string& name) {
    const qel::PortHandle handle = qel::OpenPort(SettingsFor(name));
    if (handle == qel::NO_PORT) return false;
    qel::ClosePortHandle(handle);
    return true;
}

inline std::uint32_t PortTimeoutMs(qel::PortHandle handle) {
    std::uint32_t ms = 0;
    EXPECT_TRUE(qel::ActiveSerialBackend().getReadTimeout(handle, &ms));
    return ms;
}

class QelOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        link_ = testsupport::ShortLinkPath();
        pty_.Link(link_);
        std::memset(&workspace_, 0, sizeof workspace_);
    }
    void TearDown() override {
        if (workspace_.portHandle != qel::NO_PORT) qel::ClosePortHandle(workspace_.portHandle);
    }

    std::int32_t Call(std::int32_t operation, void* parameters = nullptr, std::int32_t qelNumber = 7) {
        QelRequest request{};
        request.workspace = &workspace_;
        request.operation = operation;
        request.qelNumber = qelNumber;
        request.parameters = parameters;
        return QelMain(&request);
    }
    std::int32_t Init(QelSetup setup, std::int32_t qelNumber = 7) { return Call(QEL_INIT, &setup, qelNumber); }
    std::int32_t Init() { return Init(SetupFor(link_)); }
    std::int32_t ReconfigureTo(PortUpdate update) { return Call(QEL_RECONFIGURE, &update); }

    // A workspace full of a pattern, as a QEL that lived a while might hold,
    // without an open port.
    void FillWorkspace(unsigned char pattern = 0xA5) {
        std::memset(&workspace_, pattern, sizeof workspace_);
        workspace_.portHandle = qel::NO_PORT;
    }

    std::vector<LogLine> Log() const { return log_.Lines(); }
    // By value: the field sits at an odd offset of the packed workspace.
    std::uint16_t LastStation() const { return workspace_.lastStation; }

    testsupport::ScratchDirectory directory_;
    testsupport::LogCapture log_;
    testsupport::PtyPair pty_;
    std::string link_;
    DriverWorkspace workspace_;
};

// Every byte of two workspaces equal.
inline bool SameBytes(const DriverWorkspace& a, const DriverWorkspace& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace lifecycle_test
