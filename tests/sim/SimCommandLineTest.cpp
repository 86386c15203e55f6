// The simulator as a program: options, the link-rate arithmetic, the control client mode, and
// how the process starts and ends.
#include "peers/phone-sim/RateLimiter.h"
#include "peers/phone-sim/SimOptions.h"
#include "tests/sim/SimTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace brimo::test {
namespace {

using namespace std::chrono_literals;
using sim::parseLinkRate;
using sim::parseSimOptions;

TEST(SimOptionsTest, ParsesLinkRatesAndRejectsTheRest) {
    EXPECT_EQ(parseLinkRate("usb2"), 40'000'000.0);
    EXPECT_EQ(parseLinkRate("1500"), 1500.0);
    EXPECT_EQ(parseLinkRate("2K"), 2000.0);
    EXPECT_EQ(parseLinkRate("3m"), 3'000'000.0);
    EXPECT_EQ(parseLinkRate("1G"), 1e9);
    for (const char* bad : {"", "0", "K", "12X", "-5", "1.5M", "usb3", "10 K"})
        EXPECT_THROW(parseLinkRate(bad), std::invalid_argument) << bad;
}

TEST(SimOptionsTest, ParsesTheCommandLine) {
    auto options = parseSimOptions(
        {"--socket", "/tmp/s", "--device", "A", "--device", "B", "--root", "/tmp/r"});
    EXPECT_EQ(options.socketPath, "/tmp/s");
    EXPECT_EQ(options.controlPath, "/tmp/s.control");
    EXPECT_EQ(options.devices, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(options.rootDir, "/tmp/r");
    EXPECT_FALSE(options.linkRate);
    EXPECT_EQ(
        parseSimOptions({"--control", "/c", "--socket", "/s", "--link-rate", "usb2"}).controlPath,
        "/c");
    EXPECT_THROW(parseSimOptions({}), std::invalid_argument);
    EXPECT_THROW(parseSimOptions({"--socket"}), std::invalid_argument);
    EXPECT_THROW(parseSimOptions({"--socket", "/s", "--colour", "red"}), std::invalid_argument);
}

TEST(RateLimiterTest, AllowsABurstThenPacesToTheRate) {
    using Clock = sim::RateLimiter::Clock;
    sim::RateLimiter link(1000.0, 10ms); // 1000 bytes/s, so a 10-byte burst
    const Clock::time_point start{};
    EXPECT_EQ(link.reserve(10, start), 0ns);
    EXPECT_EQ(link.reserve(500, start), 500ms);
    EXPECT_EQ(link.reserve(500, start), 1000ms) << "waits queue up behind each other";
    // An idle link does not save up more than the burst.
    EXPECT_EQ(link.reserve(10, start + 60s), 0ns);
    EXPECT_EQ(link.reserve(100, start + 60s), 100ms);
}

TEST(SimProcessTest, QuitAndSignalsEndCleanlyAndRemoveTheSockets) {
    SimProcess sim({{kPhoneA}, "", ""});
    EXPECT_TRUE(sim.running());
    EXPECT_EQ(sim.control("ping"), "OK");
    EXPECT_EQ(sim.control("quit"), "OK");
    EXPECT_TRUE(waitUntil([&] { return !sim.running(); }));
    sim.stop();
    EXPECT_EQ(sim.lastExitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(sim.socketPath()));
    EXPECT_FALSE(std::filesystem::exists(sim.controlPath()));
    EXPECT_THROW(sim.control("ping"), std::runtime_error);

    sim.start();
    EXPECT_EQ(sim.control("list"), std::string("OK ") + kPhoneA + "=1");
    sim.stop();
    EXPECT_EQ(sim.lastExitCode(), 0) << "SIGTERM";
    EXPECT_FALSE(std::filesystem::exists(sim.socketPath()));
}

TEST(SimProcessTest, ReplacesAStaleSocketButNeverALiveOne) {
    SimProcess sim;
    // A second simulator must not take the path from a running one.
    ChildResult second = runChild({BRIMO_PHONE_SIM_PATH, "--socket", sim.socketPath()});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(sim.control("ping"), "OK");

    sim.stop();
    // What a crashed simulator leaves behind: a socket file nobody listens on.
    int stale = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", sim.socketPath().c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale);
    sim.start();
    EXPECT_EQ(sim.control("ping"), "OK");
}

TEST(SimProcessTest, ValidatesTheRootDirectory) {
    SimProcess probe; // only for a temporary directory
    std::string root = probe.tempDir() + "/phone/storage";
    SimProcess sim({{}, "", root});
    EXPECT_TRUE(std::filesystem::is_directory(root));

    std::string file = probe.tempDir() + "/file";
    std::ofstream(file) << "x";
    ChildResult bad =
        runChild({BRIMO_PHONE_SIM_PATH, "--socket", probe.tempDir() + "/s", "--root", file});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(runChild({BRIMO_PHONE_SIM_PATH, "--link-rate", "fast"}).exitCode, 2);
}

TEST(SimProcessTest, ControlCommandsAndTheCtlClient) {
    SimProcess sim;
    auto ctl = [&](std::vector<std::string> words) {
        std::vector<std::string> argv{BRIMO_PHONE_SIM_PATH, "ctl", "--control", sim.controlPath()};
        argv.insert(argv.end(), words.begin(), words.end());
        return runChild(argv);
    };
    ChildResult attached = ctl({"attach", kPhoneA});
    EXPECT_EQ(attached.exitCode, 0);
    EXPECT_EQ(attached.output, "OK 1\n");
    ChildResult again = ctl({"attach", kPhoneA});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.output.starts_with("ERR ")) << again.output;
    EXPECT_EQ(ctl({"fault", kPhoneA, "pong", "two", "words"}).output, "OK\n");

    for (const char* bad : {"detach 00008030-0000000000000000", "reattach nobody", "attach",
                            "list everything", "explode", "attach has\ttab"})
        EXPECT_TRUE(sim.control(bad).starts_with("ERR ")) << bad;
    EXPECT_EQ(sim.control(std::string("reattach ") + kPhoneA), "OK 2");
    EXPECT_EQ(sim.control(std::string("list")), std::string("OK ") + kPhoneA + "=2");

    // Several commands on one connection, each answered on its own line.
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", sim.controlPath().c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    std::string commands = "ping\r\nbogus\nstats\n";
    ASSERT_EQ(::write(fd, commands.data(), commands.size()), ssize_t(commands.size()));
    std::string replies;
    char buffer[256];
    while (std::count(replies.begin(), replies.end(), '\n') < 3) {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        replies.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    EXPECT_EQ(replies, "OK\nERR unknown command: bogus\nOK listens=0 lists=0 connects=0 open=0\n");

    EXPECT_EQ(ctl({"ping"}).exitCode, 0);
    sim.stop();
    EXPECT_EQ(ctl({"ping"}).exitCode, 1) << "unreachable control socket";
}

} // namespace
} // namespace brimo::test
