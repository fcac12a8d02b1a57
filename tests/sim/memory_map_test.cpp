#include <gtest/gtest.h>

#include "memory_map.h"

namespace fasim {
namespace {

struct MapRow {
  Model model;
  const char* area;
  unsigned written;
  bool valid;
  Space space;
  unsigned address;
};

class GateMapping : public ::testing::TestWithParam<MapRow> {};

TEST_P(GateMapping, MapsWrittenNumbersOntoControllerAddresses) {
  const MapRow& r = GetParam();
  const auto loc = GateToLocation(r.model, r.area, r.written);
  ASSERT_EQ(loc.has_value(), r.valid) << r.area << " " << r.written;
  if (!r.valid) return;
  EXPECT_EQ(loc->space, r.space);
  EXPECT_EQ(loc->address, r.address);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, GateMapping,
    ::testing::Values(
        MapRow{Model::FA2, "DR", 399, true, Space::DR, 399}, MapRow{Model::FA2, "DR", 400, false, Space::DR, 0},
        MapRow{Model::FA3, "DR", 400, true, Space::DR, 400}, MapRow{Model::FA2, "dr", 12, true, Space::DR, 12},
        MapRow{Model::FA2, "IO", 157, true, Space::Fa2Io, 127}, MapRow{Model::FA2, "IO", 158, false, Space::DR, 0},
        MapRow{Model::FA2, "IO", 160, false, Space::DR, 0}, MapRow{Model::FA2, "IO", 200, true, Space::Fa2Io, 128},
        MapRow{Model::FA2, "IO", 250, true, Space::Fa2Io, 168}, MapRow{Model::FA2, "IO", 357, true, Space::Fa2Io, 255},
        MapRow{Model::FA2, "IR", 400, true, Space::Fa2IrLow, 0}, MapRow{Model::FA2, "IR", 697, true, Space::Fa2IrLow, 239},
        MapRow{Model::FA2, "IR", 2200, true, Space::Fa2IrHigh, 128},
        MapRow{Model::FA2, "IR", 2400, true, Space::Fa2IrExt, 0},
        MapRow{Model::FA2, "IR", 2697, true, Space::Fa2IrExt, 239},
        MapRow{Model::FA3, "IR", 2200, false, Space::DR, 0}, MapRow{Model::FA3, "IO", 2200, true, Space::Fa3IoGroup2, 128},
        MapRow{Model::FA2, "IO", 2200, false, Space::DR, 0}, MapRow{Model::FA3, "IO", 157, true, Space::Fa3IoGroup1, 127},
        MapRow{Model::FA3, "IO", 200, true, Space::Fa3IoGroup2, 0},
        MapRow{Model::FA3, "IO", 2000, true, Space::Fa3IoGroup1, 128},
        MapRow{Model::FA3, "IO", 2157, true, Space::Fa3IoGroup1, 255},
        MapRow{Model::FA3, "IR", 400, true, Space::Fa3IrIm, 0}, MapRow{Model::FA3, "IR", 2400, true, Space::Fa3IrIm, 256},
        MapRow{Model::FA3, "IR", 2697, true, Space::Fa3IrIm, 495},
        MapRow{Model::FA3, "IM", 640, true, Space::Fa3IrIm, 512}, MapRow{Model::FA3, "IM", 1317, true, Space::Fa3IrIm, 1055},
        MapRow{Model::FA3, "IM", 400, true, Space::Fa3IrIm, 0}, MapRow{Model::FA3, "IM", 648, false, Space::DR, 0},
        MapRow{Model::FA2, "IM", 640, false, Space::DR, 0}, MapRow{Model::FA2, "CT", 47, false, Space::DR, 0},
        MapRow{Model::FA3, "CT", 47, false, Space::DR, 0}, MapRow{Model::FA3, "CT", 48, true, Space::CT, 48},
        MapRow{Model::FA2, "SR", 9, true, Space::SR, 9}, MapRow{Model::FA2, "SR", 128, false, Space::DR, 0},
        MapRow{Model::FA3, "SR", 128, true, Space::SR, 128}, MapRow{Model::FA2, "WO", 10, true, Space::DR, 10},
        MapRow{Model::FA3, "WO", 10, true, Space::WO, 10}, MapRow{Model::FA2, "XY", 1, false, Space::DR, 0}));

TEST(GateMapping, ReasonsNameTheProblem) {
  std::string reason;
  EXPECT_FALSE(GateToLocation(Model::FA2, "XY", 1, &reason));
  EXPECT_EQ(reason, "unknown area 'XY'");
  EXPECT_FALSE(GateToLocation(Model::FA2, "IM", 640, &reason));
  EXPECT_EQ(reason, "area IM does not exist on FA2");
  EXPECT_FALSE(GateToLocation(Model::FA2, "TM", 80, &reason));
  EXPECT_EQ(reason, "TM 80 is not a valid address on FA2");
}

}  // namespace
}  // namespace fasim
