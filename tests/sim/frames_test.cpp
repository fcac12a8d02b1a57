// Every example exchange of the link protocol, fed to the bus byte by byte.
// The expected replies and their checksums were worked out by hand from the
// character rules (digit = 0x30 + nibble, checksum = sum of digit values).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus.h"
#include "memory_map.h"

namespace fasim {
namespace {

struct Init {
  int station;
  const char* area;
  unsigned number;
  std::uint16_t value;
};

struct Exchange {
  std::string request;
  std::string reply;
};

struct FrameRow {
  const char* name;
  int station;  // selected first (its Ack is checked); -1: nothing selected
  std::vector<Init> init;
  std::vector<Exchange> exchanges;
  std::vector<Init> expect = {};  // memory afterwards
  int force = -1;            // force mode of `station` afterwards, -1: not checked
};

std::ostream& operator<<(std::ostream& os, const FrameRow& r) { return os << r.name; }

std::string Feed(Bus& bus, const std::string& bytes) {
  std::string out;
  for (char c : bytes)
    for (const BusEvent& ev : bus.Feed(c)) out += ev.reply;
  return out;
}

Bus MakeBus() {
  return Bus({{0, Model::FA2}, {1, Model::FA2}, {2, Model::FA3}, {12, Model::FA2}, {255, Model::FA3}});
}

void Put(Bus& bus, const Init& i) {
  Station* s = bus.Find(i.station);
  ASSERT_NE(s, nullptr);
  const auto loc = GateToLocation(s->model(), i.area, i.number);
  ASSERT_TRUE(loc.has_value()) << i.area << " " << i.number;
  s->memory().Put(loc->space, loc->address, i.value);
}

std::uint16_t Get(Bus& bus, const Init& i) {
  Station* s = bus.Find(i.station);
  const auto loc = GateToLocation(s->model(), i.area, i.number);
  return s->memory().Get(loc->space, loc->address);
}

const std::string kAck = "c00\r";

const std::vector<FrameRow>& Rows() {
  static const std::vector<FrameRow> rows = {
      // Station selection.
      {"SelectStation0", -1, {}, {{"`0000\r", kAck}}},
      {"SelectStation1", -1, {}, {{"`0101\r", kAck}}},
      {"SelectStation12", -1, {}, {{"`0<0<\r", kAck}}},
      {"SelectStation255", -1, {}, {{"`??1>\r", kAck}}},
      {"AbsentStationStaysSilentAndSoDoFramesAfterIt", 1, {{1, "TM", 5, 0x1234}}, {{"`0303\r", ""}, {"R40509\r", ""}}},
      {"SelectionChecksumWrongIsNaked", -1, {}, {{"`0102\r", "d100\r"}, {"R40509\r", ""}}},
      // FA2 element reads.
      {"ReadElementTM5", 1, {{1, "TM", 5, 0x1234}}, {{"R40509\r", "i12340:\r"}}},
      {"ReadElementTMHighBitsAsStored", 1, {{1, "TM", 6, 0xC005}}, {{"R4060:\r", "i<00511\r"}}},
      {"ReadElementDR300", 1, {{1, "DR", 300, 0xC005}}, {{"R82<16\r", "p<00511\r"}}},
      {"ReadElementCT46", 1, {{1, "CT", 46, 1000}}, {{"R52>15\r", "j03>819\r"}}},
      {"ReadElementIOElement200", 1, {{1, "IO", 250, 1}, {1, "IO", 257, 1}}, {{"R1:813\r", "f8109\r"}}},
      {"ReadElementIRSubcodeHigh", 1, {{1, "IR", 2200, 1}}, {{"R>8016\r", "f0101\r"}}},
      {"ReadElementIRSubcodeExt", 1, {{1, "IR", 2401, 1}}, {{"R?000?\r", "g0202\r"}}},
      {"ReadElementIRSubcodeLow", 1, {{1, "IR", 400, 1}, {1, "IR", 403, 1}}, {{"R20002\r", "g0909\r"}}},
      {"ReadElementSR5", 1, {{1, "SR", 5, 1}, {1, "SR", 6, 1}}, {{"R30508\r", "h0303\r"}}},
      // FA2 preset reads.
      {"ReadPresetTP7", 1, {{1, "TP", 7, 9999}}, {{"Y0707\r", "l270?18\r"}}},
      {"ReadPresetCP5", 1, {{1, "CP", 5, 1234}}, {{"Z0505\r", "m04=213\r"}}},
      // FA2 data-register block: Ack, data, checksum, CR.
      {"ReadDataBlockDR10Count5",
       1,
       {{1, "DR", 10, 0x1234}, {1, "DR", 11, 1}, {1, "DR", 12, 2}, {1, "DR", 13, 3}, {1, "DR", 14, 0xABCD}},
       {{"]182140:1:\r", kAck + "3412010002000300<=:;" + "3>\r"}}},
      // FA3 block reads.
      {"ReadBlockFa3TM10Count3",
       2,
       {{2, "TM", 10, 0x1234}, {2, "TM", 11, 1}},
       {{"]441000:000619\r", kAck + "341201000000" + "0;\r"}}},
      {"ReadBlockFa3IO1600Count16",
       2,
       {{2, "IO", 2000, 1}, {2, "IO", 2002, 1}, {2, "IO", 2017, 1}},
       {{"]458008000021;\r", kAck + "0580" + "0=\r"}}},
      {"ReadBlockFa3DRWordsLowByteFirst",
       2,
       {{2, "DR", 5, 0x1234}, {2, "DR", 6, 1}},
       {{"]44400050004" "15\r", kAck + "34120100" + "0;\r"}}},
      // FA2 writes.
      {"WritePresetCP5", 1, {}, {{"T0504=218\r", kAck}}, {{1, "CP", 5, 1234}}},
      {"WritePresetTP3", 1, {}, {{"S03270?1;\r", kAck}}, {{1, "TP", 3, 9999}}},
      {"WriteDataRegisterDR7", 1, {}, {{"\\270700641:\r", kAck}}, {{1, "DR", 7, 100}}},
      {"WriteDataRegisterDR300", 1, {}, {{"\\282<123422\r", kAck}}, {{1, "DR", 300, 0x1234}}},
      {"WriteBitIOSet", 1, {}, {{"[9:81;\r", kAck}}, {{1, "IO", 250, 1}}},
      {"WriteBitIOReset", 1, {{1, "IO", 250, 1}}, {{"[1:813\r", kAck}}, {{1, "IO", 250, 0}}},
      {"WriteBitSRSet", 1, {}, {{"[;0510\r", kAck}}, {{1, "SR", 5, 1}}},
      {"WriteBitSRReset", 1, {{1, "SR", 5, 1}}, {{"[30508\r", kAck}}, {{1, "SR", 5, 0}}},
      {"WriteBitIRElement1920", 1, {}, {{"[=000=\r", kAck}}, {{1, "IR", 2400, 1}}},
      // FA3 writes: header, Ack, data message, Ack.
      {"WriteFa3DR10", 2, {}, {{"\\444000:000218\r", kAck}, {"341246", kAck}}, {{2, "DR", 10, 0x1234}}},
      {"WriteFa3DR10Value100", 2, {}, {{"\\444000:000218\r", kAck}, {"640064", kAck}}, {{2, "DR", 10, 100}}},
      {"WriteFa3IO1600", 2, {}, {{"\\558008000011;\r", kAck}, {"0101", kAck}}, {{2, "IO", 2000, 1}}},
      {"WriteFa3IO1600Zero", 2, {{2, "IO", 2000, 1}}, {{"\\558008000011;\r", kAck}, {"0000", kAck}}, {{2, "IO", 2000, 0}}},
      {"WriteFa3IM3512", 2, {}, {{"\\54=0200000119\r", kAck}, {"0101", kAck}}, {{2, "IM", 640, 1}}},
      // Force mode.
      {"ForceBitIO1600", 2, {}, {{"\\658008011<\r", kAck}}, {{2, "IO", 2000, 1}}, 1},
      {"ForceBitIR320Zero", 2, {{2, "IR", 400, 1}}, {{"\\64=0000017\r", kAck}}, {{2, "IR", 400, 0}}, 1},
      {"ClearForce", 2, {}, {{"\\658008011<\r", kAck}, {"\\8008\r", kAck}}, {}, 0},
      // Naks: 1 checksum, 2 unknown command, 3 out of range, 4 malformed.
      {"NakBadChecksum", 1, {{1, "TM", 5, 0x1234}}, {{"R40508\r", "d100\r"}}},
      {"NakBadDataChecksum", 2, {}, {{"\\444000:000218\r", kAck}, {"341247", "d100\r"}}, {{2, "DR", 10, 0}}},
      {"NakUnknownCommand", 1, {}, {{"Q0000\r", "d200\r"}}},
      {"NakFa3FrameOnFa2", 1, {}, {{"]441000:000619\r", "d200\r"}}},
      {"NakFa2FrameOnFa3", 2, {}, {{"R40509\r", "d200\r"}}},
      {"NakClearForceOnFa2", 1, {}, {{"\\8008\r", "d200\r"}}},
      {"NakNoWriteHeaderForTM", 2, {}, {{"\\441000:000215\r", "d200\r"}}},
      {"NakOutOfRangeFa2TM80", 1, {}, {{"R45009\r", "d300\r"}}},
      {"NakOutOfRangeFa3DR1000", 2, {}, {{"]44403>80002" "27\r", "d300\r"}}},
      {"NakMalformedLength", 1, {}, {{"R4059\r", "d400\r"}}},
      // A broken frame is dropped when the next command character arrives.
      {"ResyncOnCommandCharacter", 1, {{1, "TM", 5, 0x1234}}, {{"R40R40509\r", "i12340:\r"}}},
  };
  return rows;
}

class Frames : public ::testing::TestWithParam<FrameRow> {};

TEST_P(Frames, AnswersExactly) {
  const FrameRow& row = GetParam();
  Bus bus = MakeBus();
  for (const Init& i : row.init) Put(bus, i);
  if (row.station >= 0) {
    std::string select = "`";
    const char* digits = "0123456789:;<=>?";
    const unsigned st = static_cast<unsigned>(row.station);
    select += digits[st >> 4];
    select += digits[st & 15];
    const unsigned sum = (st >> 4) + (st & 15);
    select += digits[(sum >> 4) & 15];
    select += digits[sum & 15];
    select += '\r';
    ASSERT_EQ(Feed(bus, select), kAck);
  }
  for (const Exchange& ex : row.exchanges) EXPECT_EQ(Feed(bus, ex.request), ex.reply) << "request " << ex.request;
  for (const Init& e : row.expect) EXPECT_EQ(Get(bus, e), e.value) << e.area << " " << e.number;
  if (row.force >= 0) {
    EXPECT_EQ(bus.Find(row.station)->forceMode(), row.force == 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, Frames, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<FrameRow>& p) { return std::string(p.param.name); });

TEST(Frames, SilentStationIgnoresSelection) {
  Bus bus = MakeBus();
  bus.SetSilent(1, true);
  EXPECT_EQ(Feed(bus, "`0101\r"), "");
  bus.SetSilent(1, false);
  EXPECT_EQ(Feed(bus, "`0101\r"), kAck);
}

TEST(Frames, InjectedNakHasNoEffect) {
  Bus bus = MakeBus();
  ASSERT_EQ(Feed(bus, "`0101\r"), kAck);
  std::string out;
  for (char c : std::string("\\270700641:\r"))
    for (const BusEvent& ev : bus.Feed(c, [] { return true; })) out += ev.reply;
  EXPECT_EQ(out, "d700\r");
  EXPECT_EQ(Get(bus, {1, "DR", 7, 0}), 0);
}

}  // namespace
}  // namespace fasim
