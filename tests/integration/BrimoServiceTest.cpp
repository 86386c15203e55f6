#include "tests/integration/RealServiceFixture.h"
#include "tests/support/FakeTools.h"

namespace brimo {
namespace {

namespace fs = std::filesystem;
using test::kPhone;
using test::readFile;
using test::runChild;
using test::SimProcess;
using test::waitUntil;
using BrimoServiceTest = test::RealServiceFixture;

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
    // A diagnostic reaches the app and leaves it its place, so it goes on hearing of the phone.
    EXPECT_EQ(runChild({BRIMOCTL_PATH, "ping", "desktopApp"}).output, "ping desktopApp: reached\n");

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
        return runChild({BRIMOCTL_PATH, "--role", "desktopApp", "relay", "0", "{}"})
                   .output.find("error=3 status=0\n") != std::string::npos;
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

// A write's source in the shared container that is no regular file is refused at once: a FIFO
// holds up no other transfer, and a link does not carry a file from outside to the phone.
TEST_F(BrimoServiceTest, RefusesSharedSourcesThatAreNoRegularFiles) {
    std::ofstream(phoneRoot / "doc.txt") << "phone's own";
    const fs::path container = fs::path(sim.tempDir()) / "data" / "group.Ozm.Tarvel";
    fs::create_directories(container);
    const fs::path secret = fs::path(sim.tempDir()) / "secret";
    std::ofstream(secret) << "secret";
    fs::create_symlink(secret, container / "link.src");
    ASSERT_EQ(::mkfifo((container / "pipe.src").c_str(), 0600), 0);
    startService();

    auto beginWrite = [](const std::string& token, const std::string& source) {
        return R"({"identifier":"new.txt","sessionID":"0B7E2D4A-1C55-4F0E-9A3B-5D6C7E8F9012",)"
               R"("expectedContentVersion":"","token":")" +
               token + R"(","sourceFileName":")" + source + R"(","byteCount":6})";
    };
    // As many FIFO writes at once as the service has workers for blocking file I/O, one from
    // each client that may move data.
    std::vector<fs::path> outputs;
    for (const std::string role : {"fileProvider", "desktopApp"}) {
        outputs.push_back(runtimeDir / (role + ".out"));
        const int fd = ::open(outputs.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        children.push_back(test::spawnChild(
            {BRIMOCTL_PATH, "--role", role, "fileio", "2", beginWrite(role, "pipe.src")}, fd));
        ::close(fd);
    }
    const bool answered = waitUntil([&] {
        return std::all_of(outputs.begin(), outputs.end(),
                           [](const fs::path& out) { return readFile(out) == "code=3\n\n"; });
    });
    // Lets an open that still waits for a writer go, so that a failure cannot hang the test.
    if (const int writer = ::open((container / "pipe.src").c_str(), O_WRONLY | O_NONBLOCK);
        writer >= 0)
        ::close(writer);
    ASSERT_TRUE(answered) << readFile(outputs[0]) << readFile(outputs[1]);
    const fs::path copy = runtimeDir / "copy.txt";
    const auto read = runChild(
        {BRIMOCTL_PATH, "--role", "desktopApp", "read", "doc.txt", "--out", copy.string()});
    EXPECT_EQ(read.exitCode, 0) << read.output;
    EXPECT_EQ(readFile(copy), "phone's own");

    const auto linked = runChild(
        {BRIMOCTL_PATH, "--role", "fileProvider", "fileio", "2", beginWrite("L1", "link.src")});
    EXPECT_EQ(linked.output, "code=3\n\n");
    EXPECT_FALSE(fs::exists(phoneRoot / "new.txt")) << "the file outside was sent";
    const auto ended =
        runChild({BRIMOCTL_PATH, "--role", "fileProvider", "fileio", "3", R"({"token":"L1"})"});
    EXPECT_EQ(ended.output, "code=0\n\n");
    EXPECT_TRUE(fs::is_symlink(container / "link.src"));
    EXPECT_EQ(readFile(secret), "secret");
}

size_t count(const std::string& text, const std::string& line) {
    size_t found = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++found;
    return found;
}

// Sets environment variables for the services a test starts, and takes them back afterwards.
class EnvironmentGuard {
public:
    void set(const char* name, const std::string& value) {
        names_.push_back(name);
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvironmentGuard() {
        for (const char* name : names_)
            ::unsetenv(name);
    }

private:
    std::vector<const char*> names_;
};

// The volume with the (fake) mount helpers: mounted when the phone asks, and given up when the
// phone stops answering, is unplugged, or the service is told to shut down.
TEST_F(BrimoServiceTest, MountsWhenThePhoneAsksAndLetsGoOfAVolumeWhoseReaderIsGone) {
    const fs::path data = fs::path(sim.tempDir()) / "data";
    const fs::path mountPoint = home() / "Brimo";
    test::FakeTools tools(fs::path(sim.tempDir()) / "tools");
    EnvironmentGuard environment;
    environment.set("BRIMO_MOUNT_TOOL", tools.mountTool());
    environment.set("BRIMO_UNMOUNT_TOOL", tools.unmountTool());
    environment.set("BRIMO_OPEN_TOOL", tools.opener());
    environment.set("BRIMO_MOUNT_TABLE", tools.mountTable());
    const fs::path serviceLog = runtimeDir / "service.log";
    startService(serviceLog);
    children.push_back(test::spawnChild({BRIMOCTL_PATH, "--role", "fileProvider", "watch"}));

    auto logged = [&](const std::string& line) {
        return waitUntil([&] { return count(readFile(serviceLog), line) >= 1; },
                         std::chrono::seconds(30));
    };
    const std::string phone = kPhone;
    // A push reaches the service only on a connection that is open at that moment (the probe
    // keeps one), so the phone asks again until the `times`-th mount went through.
    auto askToMount = [&](size_t times) {
        for (int attempt = 0; attempt < 15; ++attempt) {
            sim.control("push " + phone + " mount mount");
            if (waitUntil(
                    [&] { return count(readFile(serviceLog), "mountControl mount ok") >= times; },
                    std::chrono::seconds(2)))
                return true;
        }
        return false;
    };
    using Calls = std::vector<std::vector<std::string>>;
    const Calls mounted = {
        {"-t", "brimo", (data / "group.Ozm.Tarvel" / "source-anchor").string(), mountPoint}};

    ASSERT_TRUE(askToMount(1)) << readFile(serviceLog);
    EXPECT_TRUE(logged("[relay-probe] volume mounted — start mounted keepalive"));
    EXPECT_EQ(tools.calls(test::FakeTools::Tool::mount), mounted);
    EXPECT_TRUE(waitUntil([&] { return !tools.calls(test::FakeTools::Tool::opener).empty(); }));
    EXPECT_EQ(tools.calls(test::FakeTools::Tool::opener), (Calls{{mountPoint}}));

    // The phone stops answering: three missed keepalives cost the volume.
    ASSERT_EQ(sim.control("fault " + phone + " silent on"), "OK");
    ASSERT_TRUE(logged("[relay-probe] force unmount after lost relay ok")) << readFile(serviceLog);
    const std::string afterSilence = readFile(serviceLog);
    size_t at = 0;
    for (const std::string line :
         {"[relay-probe] mounted keepalive miss 1/3", "[relay-probe] mounted keepalive miss 2/3",
          "[relay-probe] mounted keepalive miss 3/3",
          "[relay-probe] mounted keepalive exhausted — force unmount"}) {
        at = afterSilence.find(line, at);
        EXPECT_NE(at, std::string::npos) << line;
    }
    EXPECT_EQ(tools.calls(test::FakeTools::Tool::unmount), (Calls{{"-f", mountPoint}}));

    // Answering again, it mounts again; unplugged, the volume goes at once.
    ASSERT_EQ(sim.control("fault " + phone + " clear"), "OK");
    ASSERT_TRUE(askToMount(2)) << readFile(serviceLog);
    ASSERT_EQ(sim.control("detach " + phone), "OK");
    ASSERT_TRUE(logged("[relay-probe] force unmount after USB disconnect"));
    EXPECT_EQ(tools.calls(test::FakeTools::Tool::unmount).size(), 2u);

    // Plugged in and mounted once more, shutdown forces the unmount and tells the phone.
    ASSERT_EQ(sim.control("attach " + phone).rfind("OK ", 0), 0u);
    ASSERT_TRUE(askToMount(3)) << readFile(serviceLog);
    const auto shutdown = runChild(dbusSend("Shutdown"));
    EXPECT_NE(shutdown.output.find("boolean true"), std::string::npos) << shutdown.output;
    EXPECT_TRUE(logged("shutdown — force unmount ok"));
    EXPECT_TRUE(logged("filesystemUnmounted — iOS notified"));
    EXPECT_EQ(sim.control("noted"), "OK 1");
    const Calls unmounts = tools.calls(test::FakeTools::Tool::unmount);
    ASSERT_EQ(unmounts.size(), 3u);
    EXPECT_EQ(unmounts.back(), (std::vector<std::string>{"-f", mountPoint}));
    EXPECT_EQ(tools.calls(test::FakeTools::Tool::mount).size(), 3u);
}

// Every diagnostic answers through brimoctl, which plays the extension's side itself.
TEST_F(BrimoServiceTest, AnswersEveryDiagnosticThroughBrimoctl) {
    startService();
    auto ctl = [](std::vector<std::string> words) {
        words.insert(words.begin(), BRIMOCTL_PATH);
        return runChild(words);
    };
    const auto echo = ctl({"echo"});
    EXPECT_EQ(echo.exitCode, 0);
    EXPECT_EQ(echo.output.rfind("echo: ", 0), 0u) << echo.output;
    EXPECT_EQ(ctl({"ping", "desktopApp"}).output, "ping desktopApp: not reached\n");
    EXPECT_EQ(ctl({"--role", "desktopApp", "ping", "desktopApp"}).output,
              "ping desktopApp: reached\n")
        << "asked to, brimoctl answers as the app itself";
    EXPECT_EQ(ctl({"ping", "fileProvider"}).output, "ping fileProvider: not reached\n");
    EXPECT_EQ(ctl({"watch"}).exitCode, 2) << "watch needs a role";

    const auto extping = ctl({"extping", "20"});
    EXPECT_EQ(extping.exitCode, 0) << extping.output;
    EXPECT_EQ(extping.output.rfind("extension to service, 20 echoes: ", 0), 0u) << extping.output;
    for (const std::string direction : {"to-ext", "from-ext"}) {
        const auto chunks = ctl({"throughput", direction, "1048576", "4"});
        EXPECT_EQ(chunks.exitCode, 0) << chunks.output;
        EXPECT_NE(chunks.output.find("4 x 1048576 bytes: "), std::string::npos) << chunks.output;
        EXPECT_NE(chunks.output.find(" MiB/s"), std::string::npos) << chunks.output;
    }
    // The largest chunk a call can carry travels; one byte more cannot.
    EXPECT_EQ(ctl({"throughput", "to-ext", "67104768", "1"}).exitCode, 0);
    const auto tooLarge = ctl({"throughput", "to-ext", "67104769", "1"});
    EXPECT_NE(tooLarge.exitCode, 0);
    EXPECT_NE(tooLarge.output.find("unavailable"), std::string::npos) << tooLarge.output;

    const auto speed = ctl({"speedtest"});
    EXPECT_EQ(speed.exitCode, 0);
    EXPECT_EQ(speed.output.rfind(std::string("UDID: ") + kPhone + "\nRTT: ", 0), 0u)
        << speed.output;
    EXPECT_NE(speed.output.find("\nDownload: "), std::string::npos);
    EXPECT_NE(speed.output.find(" Mbit/s)\nUpload: "), std::string::npos);
    // The relay starts afresh after the round.
    const auto relay = ctl({"--role", "fileProvider", "relay", "0", "{}"});
    EXPECT_NE(relay.output.find("error=0 status=0\n"), std::string::npos) << relay.output;

    ASSERT_EQ(sim.control(std::string("detach ") + kPhone), "OK");
    EXPECT_TRUE(waitUntil([&] {
        return runChild(dbusSend("RunUsbMuxSpeedTest"))
                   .output.find("boolean false\n   string \"No devices connected\"") !=
               std::string::npos;
    }));
}

} // namespace
} // namespace brimo