// The control socket's commands on a simulator without a line: a set of
// several words changes them at once, and a bad one changes nothing.
#include <gtest/gtest.h>

#include "control.h"
#include "fasim.h"

namespace {

fasim::Options OneStation() {
  fasim::Options options;
  options.stations = {{1, fasim::Model::FA2}};
  return options;
}

TEST(Control, SetOfSeveralWords) {
  fasim::Simulator sim(OneStation());
  EXPECT_EQ(fasim::RunControlCommand(sim, "set 1 DR 20 1 65535 7"), "ok");
  EXPECT_EQ(sim.Get(1, "DR", 20), 1);
  EXPECT_EQ(sim.Get(1, "DR", 21), 65535);
  EXPECT_EQ(sim.Get(1, "DR", 22), 7);
  EXPECT_EQ(fasim::RunControlCommand(sim, "get 1 DR 21"), "65535");
}

TEST(Control, ABadSetOfSeveralChangesNothing) {
  fasim::Simulator sim(OneStation());
  ASSERT_EQ(fasim::RunControlCommand(sim, "set 1 DR 30 5"), "ok");
  EXPECT_EQ(fasim::RunControlCommand(sim, "set 1 DR 30 6 70000"), "error: bad value '70000' (0..65535)");
  EXPECT_EQ(fasim::RunControlCommand(sim, "set 1 IO 5 1 0"),
            "error: a set of several values is for words; set bits one by one");
  EXPECT_EQ(sim.Get(1, "DR", 30), 5);
  // Past the area's end: refused whole, the first word kept.
  unsigned n = 0;
  while (sim.Get(1, "DR", n + 1)) ++n;
  ASSERT_EQ(fasim::RunControlCommand(sim, "set 1 DR " + std::to_string(n) + " 9"), "ok");
  EXPECT_EQ(fasim::RunControlCommand(sim, "set 1 DR " + std::to_string(n) + " 1 2"), "error: no such address");
  EXPECT_EQ(sim.Get(1, "DR", n), 9);
}

}  // namespace
