// sirsim end to end: the session in this process, checked against the driver's counters,
// and the program itself: its exit statuses, its messages and its capture file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/sirsim/scenario.h"

namespace sirsim {
namespace {

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(SirsimScenario, DefaultSessionIsCleanAndMatchesTheDriversCounters) {
  Options options;
  RunReport report = RunScenario(options);
  ASSERT_TRUE(report.errors.empty()) << Joined(report.errors);
  for (int side = 0; side < 2; ++side) {
    const SideReport& self = report.sides[side];
    const SideReport& peer = report.sides[1 - side];
    SCOPED_TRACE(self.name);
    ASSERT_TRUE(self.driver.answered);
    EXPECT_EQ(self.driver.xmitOk, self.framesSent);
    EXPECT_EQ(self.driver.rcvOk, self.framesReceived);
    EXPECT_EQ(self.driver.xmitError + self.driver.rcvError + self.driver.rcvNoBuffer, 0u);
    EXPECT_EQ(self.framesReceived, peer.framesSent);
    EXPECT_EQ(self.bytesReceived, peer.bytesSent);
    EXPECT_EQ(self.linkSpeed, 115200u);
  }
  // 9 XID commands, SNRM, 12 I-frames of A's in windows of 7 polled twice, DISC.
  EXPECT_EQ(report.sides[0].framesSent, 9u + 1 + 12 + 1);
  EXPECT_EQ(report.negotiatedSpeed, 115200u);
  EXPECT_EQ(report.exchangeReply, report.exchangeSent);
  EXPECT_EQ(report.driverVersion, 0x20010110u);
  EXPECT_GT(report.goodput, 0.9 * report.lineGoodput);
  EXPECT_LE(report.goodput, report.lineGoodput);
  EXPECT_LT(report.lineGoodput, 115200.0 * 8 / 10);
}

TEST(SirsimScenario, SameSeedReplaysTheSameRun) {
  Options options;
  options.seed = 11;
  options.frames = 10;
  RunReport first = RunScenario(options);
  RunReport second = RunScenario(options);
  EXPECT_EQ(first.virtualTime, second.virtualTime);
  EXPECT_EQ(first.sides[1].bytesReceived, second.sides[1].bytesReceived);
  EXPECT_EQ(first.answerSlot, second.answerSlot);
}

// Faults the run is asked for: the losses they cause are reported, never a corrupted
// frame, a leak, a verifier finding or a request left pending.
TEST(SirsimScenario, FaultsEndCleanly) {
  struct Case {
    const char* name;
    double noise;
    std::optional<Unplug> unplug;
    double allocFail;
  };
  const Case cases[] = {
      {"noise", 2e-4, std::nullopt, 0.0},
      {"B unplugged in the data phase", 0.0, Unplug{Side::kB, 3 * host::kSecond}, 0.0},
      {"A unplugged in discovery", 0.0, Unplug{Side::kA, host::kSecond / 2}, 0.0},
      {"allocation failures", 0.0, std::nullopt, 0.02},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.frames = 40;
    options.noise = c.noise;
    options.unplug = c.unplug;
    options.allocFail = c.allocFail;
    options.seed = 5;
    RunReport report = RunScenario(options);
    EXPECT_TRUE(report.errors.empty()) << Joined(report.errors);
    std::uint64_t lost = 0;
    for (const SideReport& side : report.sides) {
      EXPECT_EQ(side.framesCorrupted, 0u);
      lost += side.framesLost + side.sendsFailed;
    }
    EXPECT_GT(lost, 0u) << "the fault did not reach the traffic";
    if (c.noise > 0) {
      for (const SideReport& side : report.sides) {
        EXPECT_LE(side.framesLost,
                  side.driver.rcvError + side.driver.rcvNoBuffer + side.struckControlBytes);
      }
    }
    if (c.unplug) {
      EXPECT_TRUE(report.unplugged);
    }
    if (c.allocFail > 0) {
      EXPECT_GT(report.allocationsFailed, 0u);
    }
  }
}

struct ProgramResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

ProgramResult RunCommand(const std::string& command) {
  ProgramResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> chunk;
  while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) {
    result.output.append(chunk.data(), n);
  }
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

ProgramResult RunSirsim(const std::string& arguments) {
  return RunCommand(std::string(SIRSIM_PATH) + " " + arguments);
}

TEST(SirsimProgram, BadOptionsExitTwoSayingWhatIsWrong) {
  struct Case {
    const char* arguments;
    const char* message;
  };
  const Case cases[] = {
      {"--speed 12345", "--speed"},
      {"--frames many", "--frames"},
      {"--size 0", "--size"},
      {"--size 3000", "--size"},
      {"--size 20-10", "--size"},
      {"--noise 2", "--noise"},
      {"--alloc-fail -0.1", "--alloc-fail"},
      {"--unplug C@1s", "--unplug"},
      {"--unplug A", "--unplug"},
      {"--no-such-option", "no-such-option"},
      {"--quiet --trace", "--quiet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    ProgramResult result = RunSirsim(c.arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
  }
}

TEST(SirsimProgram, DefaultRunExitsZeroAndHelpAndVersionAnswer) {
  ProgramResult run = RunSirsim("");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("result      ok"), std::string::npos) << run.output;
  ProgramResult json = RunSirsim("--json --frames 4");
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_NE(json.output.find("\"ok\":true}"), std::string::npos) << json.output;
  EXPECT_EQ(RunSirsim("--version").output, "sirsim 1.0\n");
  ProgramResult help = RunSirsim("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("--unplug"), std::string::npos);
}

TEST(SirsimProgram, CaptureDecodesInTshark) {
  if (RunCommand("command -v tshark").exitCode != 0) GTEST_SKIP() << "tshark is not installed";
  auto path = std::filesystem::temp_directory_path() /
              ("sirsim_capture_" + std::to_string(::getpid()) + ".pcap");
  ProgramResult run = RunSirsim("--quiet --pcap " + path.string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  Options options;  // the same run, in this process, for what A sent and received
  RunReport report = RunScenario(options);
  std::uint64_t frames = report.sides[0].framesSent + report.sides[0].framesReceived;

  std::string read = "tshark -r " + path.string() + " ";
  ProgramResult count = RunCommand(read + "-T fields -e frame.number 2>/dev/null | wc -l");
  EXPECT_EQ(std::stoull(count.output), frames);
  struct Case {
    const char* filter;
    const char* fields;
    const char* expected;
  };
  const Case cases[] = {
      {"irlap.c == 0x3f && irlap.xid.slotnr == 0", "-e irlap.xid.saddr -e irlap.xid.daddr",
       "0x11223344\t0xffffffff"},
      {"irlap.c == 0xbf", "-e irlap.xid.saddr -e irlap.xid.daddr", "0xa1b2c3d4\t0x11223344"},
      {"irlap.c == 0x93", "-e irlap.snrm.saddr -e irlap.snrm.daddr -e irlap.snrm.ca",
       "0x11223344\t0xa1b2c3d4\t0x21"},
      {"irlap.c == 0x73 && irlap.ua.saddr", "-e irlap.ua.saddr -e irlap.ua.daddr",
       "0xa1b2c3d4\t0x11223344"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter);
    ProgramResult fields = RunCommand(read + "-Y '" + c.filter + "' -T fields " + c.fields +
                                      " 2>/dev/null | head -1");
    EXPECT_EQ(fields.output, std::string(c.expected) + "\n");
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace sirsim
