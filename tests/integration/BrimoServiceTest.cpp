#include "tests/common/RunAsync.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SimProcess.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo {
namespace {

namespace fs = std::filesystem;
using test::runChild;
using test::SimProcess;
using test::waitUntil;

constexpr const char* kPhone = "00008030-001A2B3C4D5E6F70";

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The real BrimoService and real clients (brimoctl, dbus-send) in a runtime directory of their
// own, with the simulator as the usbmux daemon.
class BrimoServiceTest : public testing::Test {
protected:
    BrimoServiceTest()
        : phoneRoot(makePhoneRoot())
        , sim(SimProcess::Options{{kPhone}, "", phoneRoot.string()})
        , address(sim.usbmuxdAddress())
        , runtimeDir(fs::path(sim.tempDir()) / "runtime") {
        fs::create_directories(runtimeDir);
        fs::permissions(runtimeDir, fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (fs::path(sim.tempDir()) / "data").c_str(), 1);
    }
    static fs::path makePhoneRoot() {
        char path[] = "/tmp/brimo-phone-XXXXXX";
        return ::mkdtemp(path);
    }

    ~BrimoServiceTest() override {
        for (pid_t pid : children)
            test::stopChild(pid);
        // A service started on demand is nobody's child here: find it by its runtime directory.
        for (pid_t pid : servicesUsing(runtimeDir))
            ::kill(pid, SIGTERM);
        waitUntil([&] { return servicesUsing(runtimeDir).empty(); });
        fs::remove_all(phoneRoot);
    }

    static std::vector<pid_t> servicesUsing(const fs::path& dir) {
        std::vector<pid_t> found;
        const std::string marker = "XDG_RUNTIME_DIR=" + dir.string();
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::error_code ec;
            if (fs::read_symlink(entry.path() / "exe", ec).filename() != "BrimoService") continue;
            const std::string environ = readFile(entry.path() / "environ");
            if (environ.find(marker + '\0') != std::string::npos) found.push_back(std::stoi(name));
        }
        return found;
    }

    fs::path socketPath() const { return runtimeDir / "Ozm.Tarvel.Mac.XPC"; }

    pid_t startService() {
        const pid_t pid = test::spawnChild({BRIMO_SERVICE_PATH});
        children.push_back(pid);
        EXPECT_TRUE(waitUntil([&] { return fs::exists(socketPath()); }));
        return pid;
    }

    std::vector<std::string> dbusSend(const std::string& member,
                                      std::vector<std::string> args = {}) {
        std::vector<std::string> argv = {
            "dbus-send",          "--peer=unix:path=" + socketPath().string(),
            "--print-reply",      "--dest=Ozm.Tarvel.Mac.XPC",
            "/Ozm/Tarvel/Bridge", "Ozm.Tarvel.BridgeHost." + member};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    fs::path phoneRoot;
    SimProcess sim;
    test::UsbmuxdAddressGuard address;
    fs::path runtimeDir;
    std::vector<pid_t> children;
};

TEST_F(BrimoServiceTest, StartsOnDemandAndAnswersItsBuildNumberToEveryClient) {
    const auto viaCtl = runChild({BRIMOCTL_PATH, "version"});
    EXPECT_EQ(viaCtl.exitCode, 0);
    EXPECT_EQ(viaCtl.output, "1\n");
    EXPECT_EQ(servicesUsing(runtimeDir).size(), 1u);
    const auto viaDbus = runChild(dbusSend("GetXPCServiceVersion"));
    EXPECT_EQ(viaDbus.exitCode, 0);
    EXPECT_NE(viaDbus.output.find("int64 1\n"), std::string::npos) << viaDbus.output;
    // The socket is private to the user.
    struct stat info {};
    ASSERT_EQ(::stat(socketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(BrimoServiceTest, RegisteredDesktopAppFollowsThePhone) {
    startService();
    const fs::path out = runtimeDir / "watch.out";
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t watcher = test::spawnChild({BRIMOCTL_PATH, "--role", "desktopApp", "watch"}, fd);
    ::close(fd);
    children.push_back(watcher);
    auto shows = [&](const std::string& text) {
        return waitUntil([&] { return readFile(out).find(text) != std::string::npos; });
    };
    ASSERT_TRUE(shows("registered\n"));
    ASSERT_TRUE(shows("bridge state: file provider not registered\n"));
    ASSERT_TRUE(shows("bridge state: phone attached\n")) << readFile(out);

    ASSERT_EQ(sim.control(std::string("detach ") + kPhone), "OK");
    ASSERT_TRUE(shows("bridge state: phone detached\n")) << readFile(out);
    const size_t before = readFile(out).size();
    ASSERT_EQ(sim.control(std::string("attach ") + kPhone).rfind("OK ", 0), 0u);
    ASSERT_TRUE(waitUntil([&] {
        return readFile(out).find("bridge state: phone attached\n", before) != std::string::npos;
    })) << readFile(out);

    // A second client (the extension) registering is announced to the desktop app.
    const auto extension = runChild({BRIMOCTL_PATH, "--role", "fileProvider", "register"});
    EXPECT_EQ(extension.output.rfind("registered\n", 0), 0u) << extension.output;
    EXPECT_TRUE(shows("bridge state: file provider registered\n")) << readFile(out);
}

TEST_F(BrimoServiceTest, RefusesUnregisteredDataCallsASecondInstanceAndOtherUsers) {
    startService();
    const auto relay = runChild(dbusSend("RelayToUsbMux", {"int64:2", "array:byte:"}));
    EXPECT_EQ(relay.exitCode, 0);
    EXPECT_NE(relay.output.find("int64 1\n   int64 0\n"), std::string::npos) << relay.output;

    const pid_t second = test::spawnChild({BRIMO_SERVICE_PATH});
    EXPECT_NE(test::waitChild(second), 0);
    EXPECT_EQ(runChild(dbusSend("Echo")).exitCode, 0); // the first one still serves

    if (::geteuid() != 0 || runChild({"setpriv", "--version"}).exitCode != 0)
        GTEST_SKIP() << "needs root and setpriv to act as another user";
    // Let another user reach the socket, so that only the service's own check stands.
    fs::permissions(runtimeDir, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(socketPath(), fs::perms::all);
    fs::permissions(sim.tempDir(), fs::perms::owner_all | fs::perms::others_exec);
    std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups"};
    const auto echo = dbusSend("Echo");
    asNobody.insert(asNobody.end(), echo.begin(), echo.end());
    EXPECT_NE(runChild(asNobody).exitCode, 0);
    EXPECT_EQ(runChild(dbusSend("Echo")).exitCode, 0);
}

TEST_F(BrimoServiceTest, RelaysTheExtensionsRequestsToThePhone) {
    std::ofstream(phoneRoot / "hello.txt") << "hello, phone";
    startService();
    const auto lookup = runChild(
        {BRIMOCTL_PATH, "--role", "fileProvider", "relay", "2", R"({"identifier":"hello.txt"})"});
    EXPECT_EQ(lookup.exitCode, 0) << lookup.output;
    EXPECT_NE(lookup.output.find("error=0 status=0\n{\"identifier\":\"hello.txt\",\"filename\":"
                                 "\"hello.txt\",\"isDirectory\":false"),
              std::string::npos)
        << lookup.output;
    EXPECT_NE(lookup.output.find("\"size\":12,"), std::string::npos) << lookup.output;

    // The phone's own refusal comes back as error 9 with its status.
    const auto missing = runChild({BRIMOCTL_PATH, "--role", "fileProvider", "relay", "2",
                                   R"({"identifier":"nothing-here"})"});
    EXPECT_NE(missing.output.find("error=9 status=2\n"), std::string::npos) << missing.output;

    // A phone that drops the connection mid-request is retried on a fresh one, once.
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " cut 1"), "OK");
    const auto cut = runChild({BRIMOCTL_PATH, "--role", "fileProvider", "relay", "0", "{}"});
    EXPECT_NE(cut.output.find("error=8 status=0\n"), std::string::npos) << cut.output;
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " clear"), "OK");
    const auto again = runChild({BRIMOCTL_PATH, "--role", "desktopApp", "relay", "0", "{}"});
    EXPECT_NE(again.output.find("error=0 status=0\n"), std::string::npos) << again.output;

    // An unplugged phone: nothing to relay to.
    ASSERT_EQ(sim.control(std::string("detach ") + kPhone), "OK");
    ASSERT_TRUE(waitUntil([&] {
        return runChild({BRIMOCTL_PATH, "relay", "0", "{}"}).output.find("error=3 status=0\n") !=
               std::string::npos;
    }));
}

TEST_F(BrimoServiceTest, MovesWholeFilesBothWaysAndFailsCleanlyUnderFaults) {
    std::string content(10 * 1024 * 1024 + 123, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + i / 4099);
    std::ofstream(phoneRoot / "big.bin", std::ios::binary) << content;
    startService();
    const fs::path container = fs::path(sim.tempDir()) / "data" / "group.Ozm.Tarvel";
    const fs::path copy = runtimeDir / "copy.bin";
    auto ctl = [](std::vector<std::string> words) {
        words.insert(words.begin(), {BRIMOCTL_PATH, "--role", "fileProvider"});
        return runChild(words);
    };

    const auto read = ctl({"read", "big.bin", "--out", copy.string()});
    ASSERT_EQ(read.exitCode, 0) << read.output;
    EXPECT_TRUE(readFile(copy) == content);
    const auto written = ctl({"write", "back.bin", copy.string()});
    ASSERT_EQ(written.exitCode, 0) << written.output;
    EXPECT_TRUE(readFile(phoneRoot / "back.bin") == content);
    // endRead and endWrite took their shared files away.
    EXPECT_TRUE(fs::is_empty(container));

    // A stream cut once per connection costs each request one retry on a fresh connection.
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " cut 6000000"), "OK");
    ASSERT_EQ(ctl({"read", "big.bin", "--out", copy.string()}).exitCode, 0);
    EXPECT_TRUE(readFile(copy) == content);
    // A phone that goes quiet for a while and then answers is waited for.
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " clear"), "OK");
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " delay 9 300"), "OK");
    ASSERT_EQ(ctl({"read", "big.bin", "--out", copy.string()}).exitCode, 0);
    EXPECT_TRUE(readFile(copy) == content);

    // A stream cut at once, a refused chunk and a phone unplugged mid-read: each read fails,
    // leaves no shared file behind, and the service goes on serving.
    for (const std::string fault : {"cut 100", "status 9 7", "drop-after 9"}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " clear"), "OK");
        ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " " + fault), "OK");
        EXPECT_NE(ctl({"read", "big.bin", "--out", copy.string()}).exitCode, 0);
        EXPECT_TRUE(fs::is_empty(container));
        if (sim.control("list") == "OK") {
            ASSERT_EQ(sim.control(std::string("attach ") + kPhone).rfind("OK ", 0), 0u);
        }
        ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " clear"), "OK");
        ASSERT_TRUE(waitUntil([&] {
            return ctl({"read", "big.bin", "--out", copy.string()}).exitCode == 0;
        }));
        EXPECT_TRUE(readFile(copy) == content);
    }
}

} // namespace
} // namespace brimo
