// The simulator on a real line: pty and TCP round trips, pacing, turnaround,
// faults, trace and the control interface.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "control_server.h"
#include "fasim.h"
#include "sim_test_util.h"

namespace fasim {
namespace {

using simtest::RawClient;
using simtest::UniqueLink;
using Ms = std::chrono::milliseconds;

Options TwoStations(bool paced = false) {
  Options o;
  o.stations = {{1, Model::FA2}, {2, Model::FA3}};
  o.line.paced = paced;
  return o;
}

TEST(PtyLine, RawClientGetsEchoThenReply) {
  Simulator sim(TwoStations());
  const std::string link = UniqueLink();
  std::string error;
  ASSERT_TRUE(sim.StartPty(link, &error)) << error;
  ASSERT_TRUE(sim.Set(1, "TM", 5, 0x1234));

  RawClient client(link);
  ASSERT_TRUE(client.ok());
  EXPECT_EQ(client.Exchange("`0101\r", 4), "`0101\rc00\r");
  EXPECT_EQ(client.Exchange("R40509\r", 8), "R40509\ri12340:\r");

  // FA3: header, Ack, data message, Ack.
  EXPECT_EQ(client.Exchange("`0202\r", 4), "`0202\rc00\r");
  EXPECT_EQ(client.Exchange("\\444000:000218\r", 4), "\\444000:000218\rc00\r");
  EXPECT_EQ(client.Exchange("341246", 4), "341246c00\r");
  EXPECT_EQ(sim.Get(2, "DR", 10), 0x1234);
  EXPECT_EQ(client.Exchange("]444000:000218\r", 4 + 4 + 3), "]444000:000218\rc00\r34120:\r");
}

TEST(PtyLine, ClientsCanReopenAndLockTheSlaveExclusively) {
  Simulator sim(TwoStations());
  const std::string link = UniqueLink();
  ASSERT_TRUE(sim.StartPty(link));
  for (int round = 0; round < 3; ++round) {
    RawClient client(link);
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(ioctl(client.fd(), TIOCEXCL), 0);
    EXPECT_EQ(flock(client.fd(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(client.Exchange("`0101\r", 4), "`0101\rc00\r");
  }
}

TEST(PtyLine, LinkIsRemovedOnStopAndLongLinksAreRefused) {
  const std::string link = UniqueLink();
  {
    Simulator sim(TwoStations());
    ASSERT_TRUE(sim.StartPty(link));
    struct stat st {};
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
    std::string error;
    EXPECT_FALSE(sim.StartPty(link, &error));
    EXPECT_NE(error.find("already"), std::string::npos);
  }
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);

  Simulator sim(TwoStations());
  std::string error;
  EXPECT_FALSE(sim.StartPty("/tmp/" + std::string(4100, 'a'), &error));
  EXPECT_NE(error.find("4095"), std::string::npos);
}

TEST(PtyLine, PacingIsNoFasterThanTheLine) {
  Options o = TwoStations(true);
  o.line.baud = 9600;
  o.line.dataBits = 8;
  o.line.parity = 'E';
  o.line.stopBits = 1;
  Simulator sim(o);
  const std::string link = UniqueLink();
  ASSERT_TRUE(sim.StartPty(link));
  RawClient client(link);
  ASSERT_TRUE(client.ok());
  // 100 characters that no station answers: only their echo comes back.
  const std::string frames = std::string(10, 'x') + std::string(90, '0');
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.Write(frames));
  const std::string echo = client.Read(100, 5000);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(echo, frames);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(), 100LL * 11 * 1000000 / 9600);
}

TEST(PtyLine, TurnaroundDelaysTheReply) {
  Options o = TwoStations();
  o.turnaroundMs = 150;
  Simulator sim(o);
  const std::string link = UniqueLink();
  ASSERT_TRUE(sim.StartPty(link));
  RawClient client(link);
  ASSERT_TRUE(client.Write("`0101\r"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Read(6), "`0101\r");
  EXPECT_EQ(client.Read(4), "c00\r");
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(150));
}

TEST(PtyLine, AStationsOwnTurnaroundReplacesTheLines) {
  Options o = TwoStations();
  o.turnaroundMs = 0;
  o.stationTurnaroundMs = {{2, 300}};
  Simulator sim(o);
  const std::string link = UniqueLink();
  ASSERT_TRUE(sim.StartPty(link));
  RawClient client(link);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Exchange("`0202\r", 4), "`0202\rc00\r");
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(300));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Exchange("`0101\r", 4), "`0101\rc00\r");
  EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(250));  // station 1 keeps the line's 0 ms
}

TEST(PtyLine, SilentStationAndLateReplies) {
  Options o = TwoStations();
  o.faults.lateRate = 1.0;
  o.faults.lateMs = 200;
  Simulator sim(o);
  const std::string link = UniqueLink();
  ASSERT_TRUE(sim.StartPty(link));
  RawClient client(link);
  sim.SetSilent(1, true);
  EXPECT_EQ(client.Exchange("`0101\r", 4), "`0101\r");
  sim.SetSilent(1, false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Exchange("`0101\r", 4), "`0101\rc00\r");
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(200));
  const auto trace = sim.Trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back().note, "late");
}

std::vector<std::string> RunFaultySession(std::uint64_t seed) {
  Options o = TwoStations();
  o.faults.seed = seed;
  o.faults.dropRate = 0.05;
  o.faults.corruptRate = 0.05;
  o.faults.insertRate = 0.05;
  o.faults.nakRate = 0.2;
  Simulator sim(o);
  sim.Set(1, "TM", 5, 0x1234);
  const std::string link = UniqueLink();
  if (!sim.StartPty(link)) return {};
  RawClient client(link);
  const char* frames[] = {"`0101\r", "R40509\r", "\\270700641:\r", "[9:81;\r", "`0202\r",
                          "]441000:000619\r", "\\444000:000218\r", "341246", "\\658008011<\r", "\\8008\r"};
  for (int round = 0; round < 3; ++round)
    for (const char* f : frames) {
      client.Write(f);
      client.ReadQuiet(30);
    }
  std::vector<std::string> lines;
  for (const TraceRecord& r : sim.Trace())
    lines.push_back(std::string(r.fromMaster ? "M " : "S ") + std::to_string(r.station) + " " + r.bytes + " " + r.note);
  return lines;
}

TEST(Faults, SameSeedSameTrace) {
  const auto a = RunFaultySession(42);
  const auto b = RunFaultySession(42);
  const auto c = RunFaultySession(7);
  ASSERT_GT(a.size(), 40u);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  bool faulted = false;
  for (const auto& line : a)
    if (line.find("faulted") != std::string::npos || line.find("nak-injected") != std::string::npos) faulted = true;
  EXPECT_TRUE(faulted);
}

TEST(Faults, EchoOnlyFaultsLeaveRepliesIntact) {
  Options o = TwoStations();
  o.faults.dropRate = 1.0;
  o.faults.faultEcho = true;
  o.faults.faultReply = false;
  Simulator sim(o);
  const std::string link = UniqueLink();
  ASSERT_TRUE(sim.StartPty(link));
  RawClient client(link);
  client.Write("`0101\r");
  EXPECT_EQ(client.ReadQuiet(100), "c00\r");
}

// Every reply byte corrupted: as NUL bytes, or as random other bytes; each
// fault is recorded with the frame it hit.
TEST(Faults, CorruptAsNulOrRandom) {
  for (const CorruptAs as : {CorruptAs::Nul, CorruptAs::Random}) {
    Options o = TwoStations();
    o.faults.corruptRate = 1.0;
    o.faults.faultEcho = false;
    o.faults.corruptAs = as;
    Simulator sim(o);
    sim.RecordFaults(true);
    const std::string link = UniqueLink();
    ASSERT_TRUE(sim.StartPty(link));
    RawClient client(link);
    client.Write("`0101\r");
    const std::string received = client.ReadQuiet(100);
    ASSERT_EQ(received.substr(0, 6), "`0101\r");  // the echo is left alone
    const std::string answer = received.substr(6);
    ASSERT_EQ(answer.size(), 4u);
    const auto events = sim.TakeFaultEvents();
    ASSERT_EQ(events.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      const char ack[] = "c00\r";
      EXPECT_EQ(events[i].kind, FaultEvent::Kind::Corrupt);
      EXPECT_EQ(events[i].frame, "c00\r");
      EXPECT_EQ(events[i].offset, i);
      EXPECT_EQ(events[i].station, 1);
      EXPECT_EQ(events[i].to, answer[i]);
      if (as == CorruptAs::Nul)
        EXPECT_EQ(answer[i], '\0');
      else
        EXPECT_NE(answer[i], ack[i]);
    }
    EXPECT_TRUE(sim.TakeFaultEvents().empty());
  }
}

TEST(Trace, RecordsFramesReadably) {
  Simulator sim(TwoStations());
  const std::string link = UniqueLink();
  ASSERT_TRUE(sim.StartPty(link));
  RawClient client(link);
  client.Exchange("`0101\r", 4);
  client.Exchange("`0202\r", 4);
  client.Exchange("\\8008\r", 4);
  const auto trace = sim.Trace();
  ASSERT_EQ(trace.size(), 6u);
  EXPECT_TRUE(trace[0].fromMaster);
  EXPECT_EQ(trace[0].station, 1);
  EXPECT_EQ(trace[0].bytes, "`0101\r");
  EXPECT_FALSE(trace[1].fromMaster);
  EXPECT_EQ(trace[1].bytes, "c00\r");
  const std::string line = trace[4].Readable();
  EXPECT_NE(line.find("\\8008<CR>"), std::string::npos) << line;
  EXPECT_NE(line.find("M>S"), std::string::npos) << line;
  EXPECT_NE(line.find(" ms "), std::string::npos) << line;
  sim.ClearTrace();
  EXPECT_TRUE(sim.Trace().empty());
}

TEST(Control, CommandsAndErrors) {
  Simulator sim(TwoStations());
  EXPECT_EQ(sim.Execute("set 1 DR 10 4660"), "ok");
  EXPECT_EQ(sim.Execute("get 1 DR 10"), "4660");
  EXPECT_EQ(sim.Get(1, "DR", 10), 4660);
  EXPECT_EQ(sim.Execute("set 2 IO 157 1"), "ok");
  EXPECT_EQ(sim.Get(2, "IO", 157), 1);
  EXPECT_EQ(sim.Execute("set 2 im 640 1"), "ok");
  EXPECT_EQ(sim.Execute("get 2 IM 640"), "1");
  EXPECT_EQ(sim.Execute("set 1 SR 9 1"), "ok");
  EXPECT_EQ(sim.Execute("get 1 IR 2200"), "0");
  EXPECT_EQ(sim.Execute("force 2"), "0");
  EXPECT_EQ(sim.Execute("force 2 on"), "ok");
  EXPECT_EQ(sim.Execute("force 2"), "1");
  EXPECT_TRUE(sim.ForceMode(2));
  EXPECT_EQ(sim.Execute("silent 2 on"), "ok");
  EXPECT_TRUE(sim.Silent(2));
  EXPECT_EQ(sim.Execute("silent 2 off"), "ok");
  EXPECT_EQ(sim.Execute("nak-rate"), "0");
  EXPECT_EQ(sim.Execute("nak-rate 1"), "ok");
  EXPECT_EQ(sim.GetOptions().faults.nakRate, 1.0);
  EXPECT_EQ(sim.Execute("nak-rate 0.25"), "ok");
  EXPECT_EQ(sim.Execute("nak-rate"), "0.25");
  EXPECT_EQ(sim.Execute("nak-rate 2"), "error: bad probability '2' (0..1)");
  EXPECT_EQ(sim.Execute("trace clear"), "ok");
  EXPECT_EQ(sim.Execute("stations"), "1:FA2 2:FA3");

  EXPECT_EQ(sim.Execute("get 1 IM 640"), "error: area IM does not exist on FA2");
  EXPECT_EQ(sim.Execute("get 1 IO 158"), "error: IO 158 is not a valid address on FA2");
  EXPECT_EQ(sim.Execute("get 3 DR 1"), "error: station 3 is not configured");
  EXPECT_EQ(sim.Execute("set 1 IO 0 2"), "error: a bit value must be 0 or 1");
  EXPECT_EQ(sim.Execute("set 1 DR 0 65536"), "error: bad value '65536' (0..65535)");
  EXPECT_EQ(sim.Execute("frobnicate"), "error: unknown command 'frobnicate'");
  EXPECT_EQ(sim.Execute("silent 1 maybe"), "error: expected on or off, got 'maybe'");
  EXPECT_EQ(sim.Execute("get 1 XY 1"), "error: unknown area 'XY'");
  EXPECT_FALSE(sim.Set(1, "IM", 640, 1));
  EXPECT_FALSE(sim.Get(9, "DR", 0).has_value());
}

TEST(Control, UnixSocketServesCommands) {
  Simulator sim(TwoStations());
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  const std::string path = "/tmp/fasim-ctl-" + std::to_string(getpid());
  std::string error;
  std::thread server([&] { ServeControl(sim, {false, path}, stop[0], error); });
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      fd = -1;
      std::this_thread::sleep_for(Ms(10));
    }
  }
  ASSERT_GE(fd, 0);
  RawClient client(fd);
  client.Write("set 1 DR 3 77\nget 1 DR 3\n");
  EXPECT_EQ(client.Read(6), "ok\n77\n");
  ASSERT_EQ(write(stop[1], "x", 1), 1);
  server.join();
  close(stop[0]);
  close(stop[1]);
  EXPECT_TRUE(error.empty()) << error;
}

TEST(TcpLine, OneClientAtATime) {
  Simulator sim(TwoStations());
  std::string error;
  ASSERT_TRUE(sim.StartTcp(0, &error)) << error;
  ASSERT_NE(sim.TcpPort(), 0);
  sim.Set(1, "TM", 5, 0x1234);
  for (int round = 0; round < 2; ++round) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(sim.TcpPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    RawClient client(fd);
    EXPECT_EQ(client.Exchange("`0101\r", 4), "`0101\rc00\r");
    EXPECT_EQ(client.Exchange("R40509\r", 8), "R40509\ri12340:\r");
  }
}

TEST(MemoryFile, InitialValuesAreLoaded) {
  const std::string path = "/tmp/fasim-mem-" + std::to_string(getpid()) + ".txt";
  {
    std::ofstream f(path);
    f << "# initial values\n1 DR 10 4660\n1 TM 5 0x1234\n2 IO 157 1\n\n2 IM 640 1\n";
  }
  Options o = TwoStations();
  o.memoryFile = path;
  Simulator sim(o);
  EXPECT_EQ(sim.Get(1, "DR", 10), 4660);
  EXPECT_EQ(sim.Get(1, "TM", 5), 0x1234);
  EXPECT_EQ(sim.Get(2, "IO", 157), 1);
  EXPECT_EQ(sim.Get(2, "IM", 640), 1);
  std::remove(path.c_str());
}

TEST(MemoryFile, BadFileMakesStartFail) {
  const std::string path = "/tmp/fasim-badmem-" + std::to_string(getpid()) + ".txt";
  {
    std::ofstream f(path);
    f << "1 DR 10 1\n1 DR 400 1\n";
  }
  Options o = TwoStations();
  o.memoryFile = path;
  Simulator sim(o);
  std::string error;
  EXPECT_FALSE(sim.StartPty(UniqueLink(), &error));
  EXPECT_EQ(error, path + ":2: DR 400 is not a valid address on FA2: '1 DR 400 1'");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace fasim
