// The real service against clients that hang up mid-call, a phone that goes away while the
// service is ended, and a launcher that reads its own output to the end.

#include "tests/integration/RealServiceFixture.h"

#include <poll.h>

namespace brimo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::kPhone;
using test::readFile;
using test::runChild;
using test::waitUntil;

bool sanitizerSpoke(const std::string& log) {
    return log.find("AddressSanitizer") != std::string::npos ||
           log.find("runtime error:") != std::string::npos ||
           log.find("LeakSanitizer") != std::string::npos;
}

// On a 20 MB/s link the speed test takes seconds, long enough to leave in the middle.
class ServiceResilienceTest : public test::RealServiceFixture {
protected:
    ServiceResilienceTest()
        : RealServiceFixture("20M") {}

    // Sends the call and leaves at once, without waiting for any reply.
    void callAndHangUp(const std::string& member, std::vector<std::string> args = {},
                       const std::string& type = "method_call") {
        auto argv = dbusSend(member, std::move(args));
        argv.erase(std::find(argv.begin(), argv.end(), "--print-reply"));
        argv.insert(argv.begin() + 1, "--type=" + type);
        EXPECT_EQ(runChild(argv).exitCode, 0) << member;
    }

    std::vector<std::string> ctl(std::vector<std::string> words) {
        words.insert(words.begin(), BRIMOCTL_PATH);
        return words;
    }

    // Ends the service as the session would and returns how it ended.
    int terminate(pid_t service) {
        children.erase(std::find(children.begin(), children.end(), service));
        return test::stopChild(service, 5s);
    }
};

TEST_F(ServiceResilienceTest, EveryHostMethodOutlivesAClientThatHangsUp) {
    std::ofstream(phoneRoot / "big.bin") << std::string(24 << 20, 'b');
    const fs::path log = runtimeDir / "service.log";
    const pid_t service = startService(log);
    ASSERT_EQ(runChild(ctl({"--role", "fileProvider", "relay", "0", ""})).exitCode, 0);

    callAndHangUp("RegisterClient", {"int64:0"});
    callAndHangUp("Echo");
    callAndHangUp("Ping", {"int64:1"});
    callAndHangUp("BenchmarkIngest", {"array:byte:1,2,3"});
    callAndHangUp("RequestExtToHostPing", {"int64:5"});
    callAndHangUp("RequestExtToHostThroughput", {"uint64:1024", "uint64:2"});
    callAndHangUp("RequestHostToExtThroughput", {"uint64:1024", "uint64:2"});
    callAndHangUp("RelayToUsbMux", {"int64:2", "array:byte:"});
    callAndHangUp("RequestFileIO", {"int64:0", "array:byte:"});
    callAndHangUp("GetXPCServiceVersion");
    // Each of these tells the phone, after its caller is gone; a signal is dbus-send's default.
    callAndHangUp("FilesystemDidUnmount");
    callAndHangUp("FilesystemDidUnmount", {}, "signal");
    callAndHangUp("Shutdown");
    EXPECT_TRUE(waitUntil([&] { return sim.control("noted") == "OK 3"; }))
        << sim.control("noted") << "\n"
        << readFile(log);

    // A registered extension that leaves in the middle of a read.
    const auto read =
        runChild({"timeout", "-s", "KILL", "0.4", BRIMOCTL_PATH, "--role", "fileProvider", "read",
                  "big.bin", "--out", (runtimeDir / "big.out").string()});
    EXPECT_EQ(read.exitCode, 137);

    // A speed test whose client gives up after a second; relay requests wait for its end.
    const auto speedTest =
        runChild({"dbus-send", "--peer=unix:path=" + socketPath().string(), "--print-reply",
                  "--reply-timeout=1000", "--dest=Ozm.Tarvel.Mac.XPC", "/Ozm/Tarvel/Bridge",
                  "Ozm.Tarvel.BridgeHost.RunUsbMuxSpeedTest"});
    EXPECT_NE(speedTest.exitCode, 0);
    const auto after = runChild(ctl({"--role", "fileProvider", "relay", "0", ""}));
    EXPECT_EQ(after.exitCode, 0) << after.output << readFile(log);

    EXPECT_EQ(runChild(ctl({"version"})).output, "1\n");
    EXPECT_EQ(terminate(service), 0) << readFile(log);
    EXPECT_FALSE(sanitizerSpoke(readFile(log))) << readFile(log);
}

TEST_F(ServiceResilienceTest, EndsPromptlyAndCleanlyWhileThePhoneGoesOrIsSilent) {
    const std::string phone = kPhone;
    for (int round = 0; round < 4; ++round) {
        const fs::path log = runtimeDir / ("service" + std::to_string(round) + ".log");
        const pid_t service = startService(log);
        ASSERT_EQ(runChild(ctl({"--role", "fileProvider", "relay", "0", ""})).exitCode, 0)
            << readFile(log);
        if (round % 2 == 0) {
            // The link drops as the service is told to end.
            ASSERT_EQ(sim.control("detach " + phone), "OK");
        } else {
            // A request waits on a phone that no longer answers.
            ASSERT_EQ(sim.control("fault " + phone + " silent on"), "OK");
            children.push_back(
                test::spawnChild(ctl({"--role", "fileProvider", "relay", "2", "{}"})));
            std::this_thread::sleep_for(300ms);
        }
        EXPECT_EQ(terminate(service), 0) << readFile(log);
        EXPECT_FALSE(sanitizerSpoke(readFile(log))) << readFile(log);
        EXPECT_FALSE(fs::exists(socketPath()));
        if (round % 2 == 0)
            ASSERT_EQ(sim.control("attach " + phone).rfind("OK ", 0), 0u);
        else
            ASSERT_EQ(sim.control("fault " + phone + " clear"), "OK");
    }
}

// Everything the launcher wrote, read until the last writer closed its end; nullopt when the
// end did not come within `limit`.
std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds limit) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) return std::nullopt;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) return text;
        text.append(buffer, static_cast<size_t>(got));
    }
}

TEST_F(ServiceResilienceTest, AServiceStartedOnDemandKeepsNoneOfItsLaunchersStreams) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t client = test::spawnChild(ctl({"version"}), pipe[1], pipe[1]);
    ::close(pipe[1]);
    const auto output = readToEnd(pipe[0], 15s);
    ::close(pipe[0]);
    EXPECT_EQ(test::waitChild(client), 0);
    ASSERT_TRUE(output) << "the started service holds the launcher's output open";
    EXPECT_TRUE(output->ends_with("\n1\n")) << *output; // after the client's own log line
    EXPECT_EQ(output->find("bootstrapping UsbMuxService"), std::string::npos) << *output;
    EXPECT_EQ(servicesUsing(runtimeDir).size(), 1u);

    // With nowhere to write on stderr, it logs to the journal or, without one, to its file.
    if (::access("/run/systemd/journal/socket", W_OK) == 0)
        GTEST_SKIP() << "journald runs here: the lines are in the journal";
    const fs::path file = stateDir() / "Ozm.Tarvel" / "BrimoService.log";
    EXPECT_TRUE(waitUntil([&] {
        return readFile(file).find("bootstrapping UsbMuxService") != std::string::npos;
    })) << readFile(file);
}

} // namespace
} // namespace brimo
