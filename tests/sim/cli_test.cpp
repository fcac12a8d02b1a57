// The fasim program: command-line and file errors, help, and a real run
// that ends cleanly on SIGTERM and removes its link.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "record/recording_writer.h"
#include "fasim.h"
#include "sim_test_util.h"

extern char** environ;

namespace fasim {
namespace {

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string Drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
  close(fd);
  return s;
}

ProgramRun RunFasim(std::vector<std::string> args) {
  args.insert(args.begin(), FASIM_EXE);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  ProgramRun r;
  if (pipe(out) != 0 || pipe(err) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    return r;
  }
  // A program that wrongly keeps running is killed after 10 s.
  std::atomic<bool> watchdogDone{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !watchdogDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!watchdogDone) kill(pid, SIGKILL);
  });
  std::string o, e;
  std::thread t([&] { o = Drain(out[0]); });
  e = Drain(err[0]);
  t.join();
  int status = 0;
  waitpid(pid, &status, 0);
  watchdogDone = true;
  watchdog.join();
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = o;
  r.err = e;
  return r;
}

void ExpectOneLineError(const ProgramRun& r, const std::string& needle) {
  EXPECT_NE(r.exitCode, 0);
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // exactly one line
  EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
}

std::string TempFile(const std::string& tag, const std::string& content) {
  const std::string path = "/tmp/fasim-" + tag + "-" + std::to_string(getpid()) + ".txt";
  std::ofstream(path) << content;
  return path;
}

// Never a path another program might be using, should a case start the line by mistake.
const std::string kLink = simtest::UniqueLink();

TEST(CommandLine, HelpExplainsOptionsAndFormats) {
  const ProgramRun r = RunFasim({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"--station", "--link", "--device", "--tcp", "--baud", "--parity", "--turnaround",
                           "--seed", "--drop-rate", "--corrupt-as", "--nak-rate", "--late-rate", "--late-ms", "--silent", "--trace",
                           "--memory", "--config", "--control", "--station-turnaround", "--control-socket", "Memory file", "Config file",
                           "--replay", "--speed", "--loop", "--from", "Replay"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(CommandLine, Errors) {
  ExpectOneLineError(RunFasim({"--link", kLink}), "no stations");
  ExpectOneLineError(RunFasim({"--station", "1:FA9", "--link", kLink}), "--station 1:FA9: unknown model");
  ExpectOneLineError(RunFasim({"--station", "300:FA2", "--link", kLink}), "0..255");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", "/tmp/" + std::string(4100, 'a')}), "longer than 4095");
  ExpectOneLineError(RunFasim({"--station", "1:FA2"}), "exactly one of --link, --device and --tcp");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--tcp", "5000"}), "exactly one");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--parity", "X"}), "--parity X");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--drop-rate", "2"}), "probability");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--bogus"}), "--bogus");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--corrupt-as", "zero"}), "nul or random");
}

TEST(CommandLine, ConfigFileErrorsNameTheLine) {
  const std::string cfg = TempFile("cfg", "# stations\nstation 1:FA2\nbaud fast\n");
  ExpectOneLineError(RunFasim({"--config", cfg, "--link", kLink}), cfg + ":3: expected a number");
  const std::string cfg2 = TempFile("cfg2", "station 1:FA2\nwhatever 3\n");
  ExpectOneLineError(RunFasim({"--config", cfg2, "--link", kLink}), cfg2 + ":2: unknown key 'whatever'");
  std::remove(cfg.c_str());
  std::remove(cfg2.c_str());
}

TEST(CommandLine, MemoryFileErrorsNameTheLine) {
  const std::string mem = TempFile("mem", "1 DR 10 5\n1 DR 10\n");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--memory", mem}), mem + ":2: expected");
  const std::string mem2 = TempFile("mem2", "1 IO 10 2\n");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--memory", mem2}), mem2 + ":1: a bit value");
  std::remove(mem.c_str());
  std::remove(mem2.c_str());
}

ParseResult ParseArgs(std::vector<std::string> args, Options& out, std::string& message) {
  args.insert(args.begin(), "fasim");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out, message);
}

TEST(CommandLine, AConfigFilesRelativeMemoryPathIsTakenFromItsFolder) {
  const std::string dir = "/tmp/fasim-twin-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::ofstream(dir + "/fasim.conf") << "station 1:FA2\nstation 2:FA3\nstation-turnaround 2:40\nmemory memory.txt\n";
  std::ofstream(dir + "/memory.txt") << "1 DR 10 4660\n2 IM 640 1\n";
  Options options;
  std::string message;
  // Started elsewhere (the test's own folder), the file still finds its memory.
  ASSERT_EQ(ParseArgs({"--config", dir + "/fasim.conf", "--link", kLink}, options, message), ParseResult::Ok) << message;
  EXPECT_EQ(options.memoryFile, dir + "/memory.txt");
  EXPECT_EQ(options.stationTurnaroundMs, (std::map<int, unsigned>{{2, 40}}));
  EXPECT_EQ(options.turnaroundMs, 0u);
  // On the command line a relative path is the shell's, from where fasim starts.
  Options direct;
  EXPECT_EQ(ParseArgs({"--station", "1:FA2", "--link", kLink, "--memory", "memory.txt"}, direct, message),
            ParseResult::Error);
  EXPECT_NE(message.find("memory.txt"), std::string::npos) << message;
  // An absolute path in the file stays as written.
  std::ofstream(dir + "/absolute.conf") << "station 1:FA2\nmemory " << dir << "/memory2.txt\n";
  std::ofstream(dir + "/memory2.txt") << "1 DR 11 1\n";
  Options absolute;
  ASSERT_EQ(ParseArgs({"--config", dir + "/absolute.conf", "--link", kLink}, absolute, message), ParseResult::Ok)
      << message;
  EXPECT_EQ(absolute.memoryFile, dir + "/memory2.txt");
  for (const char* name : {"/fasim.conf", "/memory.txt", "/absolute.conf", "/memory2.txt"}) std::remove((dir + name).c_str());
  rmdir(dir.c_str());
}

TEST(CommandLine, AStationsOwnTurnaroundNeedsTheStationAndMilliseconds) {
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--station-turnaround", "3:20"}),
                     "station 3 is not configured");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--station-turnaround", "1"}), "expected N:MS");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--station-turnaround", "1:soon"}),
                     "milliseconds");
}

TEST(Program, ServesAPtyAndExitsCleanlyOnSigterm) {
  const std::string link = simtest::UniqueLink();
  const std::string cfg = TempFile("run", "station 1:FA2\nstation = 2:FA3\nunpaced\n");
  std::vector<std::string> args = {FASIM_EXE, "--config", cfg, "--link", link};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  struct stat st {};
  for (int i = 0; i < 200 && lstat(link.c_str(), &st) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    // A second simulator on the same link is refused, names the first, and
    // leaves its link alone.
    const ProgramRun second = RunFasim({"--station", "1:FA2", "--link", link});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("held by fasim (pid " + std::to_string(pid) + ")"), std::string::npos) << second.err;
    EXPECT_EQ(lstat(link.c_str(), &st), 0);

    simtest::RawClient client(link);
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(client.Exchange("`0202\r", 4), "`0202\rc00\r");
    EXPECT_EQ(client.Exchange("]441000:000619\r", 4 + 12 + 2 + 1), "]441000:000619\rc00\r" "000000000000" "00\r");
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  std::remove(cfg.c_str());
}

// A simulator killed with SIGKILL leaves its link behind, and its pty number
// may then be another program's. A new simulator on the link must start: the
// link is live only while a simulator holds its lock.
TEST(Program, AStaleLinkIsTakenOverWhoeverHoldsItsOldPty) {
  const std::string link = simtest::UniqueLink();
  std::vector<std::string> args = {FASIM_EXE, "--station", "2:FA3", "--unpaced", "--link", link};
  auto spawn = [&] {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  };
  auto linkTarget = [&] {
    char target[256] = {};
    for (int i = 0; i < 300; ++i) {
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n > 0) return std::string(target, static_cast<std::size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::string();
  };
  const pid_t first = spawn();
  const std::string pty = linkTarget();
  ASSERT_FALSE(pty.empty());
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);

  // Take pty masters until the dead simulator's pty number is ours.
  std::vector<int> masters;
  bool taken = false;
  for (int i = 0; i < 256 && !taken; ++i) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) break;
    masters.push_back(master);
    char name[64] = {};
    taken = grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0 &&
            pty == name;
  }
  ASSERT_TRUE(taken) << "could not get " << pty << " again";
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);  // the stale link is still there

  const pid_t second = spawn();
  for (int i = 0; i < 300 && linkTarget() == pty; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(linkTarget(), pty);
  int status = 0;
  EXPECT_EQ(waitpid(second, &status, WNOHANG), 0) << "the new simulator did not start";
  {
    simtest::RawClient client(link);
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(client.Exchange("`0202\r", 4), "`0202\rc00\r");
  }
  for (const int master : masters) close(master);
  kill(second, SIGTERM);
  waitpid(second, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_NE(lstat((link + ".lock").c_str(), &st), 0);
}

// A recording fasim cannot play is refused before the line opens, in one line.
TEST(Replay, RecordingsThatCannotBePlayedAreRefused) {
  const std::string db = "/tmp/fasim-replay-" + std::to_string(getpid()) + ".db";
  std::remove(db.c_str());
  {
    qel::record::RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(db, {}, error)) << error;
    ASSERT_TRUE(writer.Append({{1000, 1, "DR", 10, 5}, {1000, 2, "DR", 10, 6}, {1500, 2, "IM", 640, 1}}, 2000, error))
        << error;
  }
  const std::string missing = "/tmp/fasim-replay-missing-" + std::to_string(getpid()) + ".db";
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--replay", missing}),
                     "cannot read the recording " + missing + ": No such file");
  const std::string corrupt = TempFile("corrupt", std::string(4096, 'x'));
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--replay", corrupt}),
                     "the recording " + corrupt + " cannot be read");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--replay", db}),
                     "has changes of station 2, which fasim does not play: add --station 2:MODEL");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--station", "2:FA2", "--link", kLink, "--replay", db}),
                     "has changes of IM 640 of station 2, which its model here has not");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--station", "2:FA3", "--link", kLink, "--replay", db, "--from",
                               "1.5s"}),
                     "--from 1.500 s is past the end of the recording (1.000 s long)");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--from", "5"}), "give --replay FILE.db");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--replay", db, "--speed", "0"}), "--speed 0");
  ExpectOneLineError(RunFasim({"--station", "1:FA2", "--link", kLink, "--replay", db, "--from", "later"}),
                     "--from later: expected a time");
  std::remove(db.c_str());
  std::remove(corrupt.c_str());
}

}  // namespace
}  // namespace fasim
