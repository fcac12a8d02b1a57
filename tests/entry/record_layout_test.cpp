// The host records at their layouts: on this (64-bit) build the fields keep
// their order with natural alignment; the workspace is packed everywhere.
#include <gtest/gtest.h>

#include <cstddef>

#include "vuzorur.h"

namespace {

struct FieldAt {
    const char* name;
    std::size_t actual;
    std::size_t offset32;
    std::size_t offset64;
};

#define FIELD(record, field, o32, o64) FieldAt{#record "." #field, offsetof(record, field), o32, o64}

const FieldAt kFields[] = {
    FIELD(QelRequest, workspace, 0, 0), FIELD(QelRequest, operation, 4, 8),
    FIELD(QelRequest, qelNumber, 8, 12), FIELD(QelRequest, reserved, 12, 16),
    FIELD(QelRequest, parameters, 16, 24),
    FIELD(DriverWorkspace, readTimeout, 0, 0), FIELD(DriverWorkspace, portHandle, 4, 4),
    FIELD(DriverWorkspace, portEnabled, 8, 8), FIELD(DriverWorkspace, qelNumber, 12, 12),
    FIELD(DriverWorkspace, port, 16, 16), FIELD(DriverWorkspace, gasScratch, 38, 38),
    FIELD(DriverWorkspace, lastStation, 53, 53), FIELD(DriverWorkspace, stationModel, 55, 55),
    FIELD(DriverWorkspace, forceFlags, 1335, 1335),
    FIELD(PortSettings, baudRate, 12, 12), FIELD(PortSettings, dataBits, 14, 14),
    FIELD(PortSettings, stopBits, 16, 16), FIELD(PortSettings, parity, 18, 18),
    FIELD(PortSettings, lineControl, 20, 20),
    FIELD(GateTransfer, gas, 0, 0), FIELD(GateTransfer, station, 8, 12),
    FIELD(GateTransfer, areaCode, 12, 16), FIELD(GateTransfer, element, 16, 20),
    FIELD(GateTransfer, dataType, 28, 32), FIELD(GateTransfer, count, 32, 36),
    FIELD(GateTransfer, values, 40, 48),
    FIELD(GateDefinition, dataType, 8, 12), FIELD(GateDefinition, count, 12, 16),
    FIELD(GateDefinition, station, 16, 20), FIELD(GateDefinition, element, 24, 28),
    FIELD(GateDefinition, fixedOut2, 32, 36),
    FIELD(QelSetup, portEnabled, 12, 12), FIELD(QelSetup, readTimeout, 16, 16),
    FIELD(QelSetup, parity, 26, 26),
    FIELD(PortUpdate, readTimeout, 12, 12), FIELD(PortUpdate, parity, 22, 22),
    FIELD(DriverInfo, driverName, 4, 8), FIELD(DriverInfo, bannerText, 8, 16),
    FIELD(DriverInfo, workspaceSize, 12, 24), FIELD(DriverInfo, baudRate, 20, 32),
    FIELD(DriverInfo, hostCode3, 28, 40),
};

TEST(RecordLayout, EveryFieldAtItsOffset) {
    for (const FieldAt& f : kFields) {
        const std::size_t expected = sizeof(void*) == 4 ? f.offset32 : f.offset64;
        EXPECT_EQ(f.actual, expected) << f.name;
    }
}

TEST(RecordLayout, Sizes) {
    const bool narrow = sizeof(void*) == 4;
    EXPECT_EQ(sizeof(DriverWorkspace), 1591u);
    EXPECT_EQ(sizeof(DriverWorkspace::portHandle), 4u);
    EXPECT_EQ(sizeof(PortSettings), 22u);
    EXPECT_EQ(sizeof(QelSetup), 28u);
    EXPECT_EQ(sizeof(PortUpdate), 24u);
    EXPECT_EQ(sizeof(QelRequest), narrow ? 20u : 32u);
    EXPECT_EQ(sizeof(GateTransfer), narrow ? 44u : 56u);
    EXPECT_EQ(sizeof(GateDefinition), narrow ? 36u : 40u);
    EXPECT_EQ(sizeof(DriverInfo), narrow ? 32u : 48u);
}

}  // namespace
