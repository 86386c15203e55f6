#include "shared/Log.h"
#include "tests/ipc/IpcTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace brimo::ipc::test {
namespace {

class Listener : public IpcTest {
protected:
    bool echoOnce(const std::shared_ptr<ClientConnection>& client) {
        bool echoed = false;
        client->remoteObjectProxy({}).echo([&] { echoed = true; });
        return runUntil([&] { return echoed; });
    }

    // Runs a tool while the loop serves it; returns its exit code and what it printed.
    std::pair<int, std::string> runTool(const std::vector<std::string>& argv) {
        const std::string outPath = runtimeDir + "/tool.out";
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const pid_t pid = brimo::test::spawnChild(argv, out, out);
        close(out);
        int status = 0;
        bool ended = false;
        runUntil([&] { return ended = ended || waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) brimo::test::stopChild(pid);
        std::ifstream file(outPath);
        std::stringstream text;
        text << file.rdbuf();
        return {ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
    }

    std::vector<std::string> dbusSend(const std::string& member, std::vector<std::string> args) {
        std::vector<std::string> argv = {
            "dbus-send",     "--peer=unix:path=" + socketPath,
            "--print-reply", std::string("--dest=") + kServiceName,
            kObjectPath,     std::string(kHostInterface) + "." + member};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
};

TEST_F(Listener, ReplacesAStaleSocketAndRefusesASecondInstance) {
    // A socket file whose owner is gone.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(stale);

    startService();
    EXPECT_TRUE(echoOnce(makeClient()));

    ServiceListener second(loop.get_executor(), socketPath);
    try {
        second.resume();
        ADD_FAILURE() << "a second listener started on the same path";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EADDRINUSE);
    }
    EXPECT_TRUE(echoOnce(makeClient())); // the first one still serves

    listener->invalidate();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    ServiceListener third(loop.get_executor(), socketPath);
    EXPECT_NO_THROW(third.resume());
}

TEST_F(Listener, CreatesAPrivateDirectoryAndAnOwnerOnlySocket) {
    const std::string dir = runtimeDir + "/run";
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    socketPath = serviceSocketPath(kServiceName);
    EXPECT_EQ(socketPath, dir + "/Ozm.Tarvel.Mac.XPC");
    startService();

    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(socketPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(echoOnce(makeClient()));
}

TEST_F(Listener, ARelativeOrEmptyRuntimeDirectoryIsIgnored) {
    const std::string fallback =
        "/tmp/Ozm.Tarvel-" + std::to_string(getuid()) + "/Ozm.Tarvel.Mac.XPC";
    for (const char* value : {"run", "./run", ""}) {
        setenv("XDG_RUNTIME_DIR", value, 1);
        EXPECT_EQ(serviceSocketPath(kServiceName), fallback) << value;
    }
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(serviceSocketPath(kServiceName), fallback);
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
}

TEST_F(Listener, DbusSendIsAnsweredAsAnyPeer) {
    startService();
    auto [echoStatus, echoOutput] = runTool(dbusSend("Echo", {}));
    EXPECT_EQ(echoStatus, 0) << echoOutput;
    EXPECT_NE(echoOutput.find("method return"), std::string::npos) << echoOutput;

    auto [registerStatus, registerOutput] = runTool(dbusSend("RegisterClient", {"int64:1"}));
    EXPECT_EQ(registerStatus, 0) << registerOutput;
    EXPECT_NE(registerOutput.find("boolean true"), std::string::npos) << registerOutput;

    // A wrong signature is refused by the bus layer before any handler runs.
    auto [badStatus, badOutput] = runTool(dbusSend("RegisterClient", {"string:1"}));
    EXPECT_NE(badStatus, 0) << badOutput;
    ASSERT_EQ(delegate->hosts.size(), 3u);
    EXPECT_EQ(delegate->hosts[1]->roles, std::vector<int64_t>{1});
    EXPECT_TRUE(delegate->hosts[2]->roles.empty());
}

TEST_F(Listener, RefusesAPeerOfAnotherUid) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a peer under another uid";
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing";
    log::ScopedMemorySink logs;
    startService();
    // Only so that uid 65534 can reach the socket at all; the service must still refuse it.
    chmod(runtimeDir.c_str(), 0755);
    chmod(socketPath.c_str(), 0666);

    std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    auto send = dbusSend("Echo", {});
    argv.insert(argv.end(), send.begin(), send.end());
    auto [status, output] = runTool(argv);
    EXPECT_NE(status, 0) << output;
    EXPECT_TRUE(delegate->accepted.empty());
    const auto lines = logs->messages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("refused connection from uid 65534 ");
    })) << output;

    EXPECT_TRUE(echoOnce(makeClient())); // its own uid is still served
}

TEST_F(Listener, ServesTheSocketSystemdPassesWithoutBindingItsOwn) {
    if (access("/usr/bin/systemd-socket-activate", X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is missing";
    const pid_t activator = brimo::test::spawnChild(
        {"systemd-socket-activate", "--listen=" + socketPath, BRIMO_IPC_TEST_SERVICE});
    ASSERT_TRUE(brimo::test::waitUntil([&] { return std::filesystem::exists(socketPath); }));

    auto host = makeClient()->remoteObjectProxy({});
    std::optional<int64_t> servicePid;
    host.getXPCServiceVersion([&](int64_t pid) { servicePid = pid; });
    const bool answered = runUntil([&] { return servicePid.has_value(); });
    // A service that bound the path itself would hold the lock file beside it.
    const bool locked = std::filesystem::exists(socketPath + ".lock");
    std::optional<bool> shutDown;
    host.shutdown([&](bool ok) { shutDown = ok; });
    runUntil([&] { return shutDown.has_value(); });
    brimo::test::stopChild(activator);

    EXPECT_TRUE(answered);
    EXPECT_FALSE(locked);
    EXPECT_EQ(shutDown, true);
}

} // namespace
} // namespace brimo::ipc::test
