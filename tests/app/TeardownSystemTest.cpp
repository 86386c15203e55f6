#include "app/AppLifecycleTeardown.h"

#include "shared/Log.h"
#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/Names.h"
#include "tests/app/AppTestSupport.h"
#include "tests/integration/RealServiceFixture.h"

#include <asio/io_context.hpp>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>

// Real processes found by their names: every BrimoService and Brimofs of this user on the
// machine is fair game here, so these tests run alone.
namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::waitUntil;

const std::string kGuiTarget = "gui/" + std::to_string(::getuid()) + "/Ozm.Tarvel.Mac.XPC";
const std::string kUserTarget = "user/" + std::to_string(::getuid()) + "/Ozm.Tarvel.Mac.XPC";

bool contains(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// A copy of /bin/sleep under a helper's name, so that pgrep sees a process of that name.
class NamedSleeper {
public:
    NamedSleeper(const fs::path& dir, const std::string& name)
        : executable_(dir / name) {
        fs::copy_file("/bin/sleep", executable_);
        pid_ = test::spawnChild({executable_.string(), "300"});
    }
    ~NamedSleeper() {
        if (!reaped_) test::stopChild(pid_);
    }
    pid_t pid() const { return pid_; }
    int wait() {
        reaped_ = true;
        return test::waitChild(pid_);
    }

private:
    fs::path executable_;
    pid_t pid_;
    bool reaped_ = false;
};

TEST(TeardownSystem, KillsTheUsersLeftoverHelpersByTheirProcessNames) {
    test::TemporaryFolder dir{"brimo-teardown"};
    NamedSleeper service(dir.path(), "BrimoService");
    NamedSleeper extension(dir.path(), "Brimofs");
    ProcRunningApplications applications;
    AppLifecycleTeardown teardown(applications);
    // Named so only once the copies have been executed.
    ASSERT_TRUE(waitUntil([&] {
        return contains(teardown.pgrepPIDs("BrimoService"), service.pid()) &&
               contains(teardown.pgrepPIDs("Brimofs"), extension.pid());
    }));
    EXPECT_TRUE(teardown.isServiceProcessRunning());

    log::ScopedMemorySink log;
    teardown.killLeftoverHelpers();
    EXPECT_EQ(service.wait(), 128 + SIGKILL);
    EXPECT_EQ(extension.wait(), 128 + SIGKILL);
    EXPECT_TRUE(log->contains("SIGKILL leftover helper pid=" + std::to_string(service.pid())));
    EXPECT_TRUE(log->contains("SIGKILL leftover helper pid=" + std::to_string(extension.pid())));
}

// Runs brimo-launchctl with `arguments`; its exit status and what it wrote to standard error.
std::pair<int, std::string> launchctl(const std::vector<std::string>& arguments) {
    test::TemporaryFolder dir{"brimo-teardown"};
    const fs::path errors = dir.path() / "stderr";
    const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> argv{BRIMO_LAUNCHCTL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t pid = test::spawnChild(argv, -1, fd);
    ::close(fd);
    const int status = test::waitChild(pid);
    return {status, readFile(errors)};
}

TEST(TeardownSystem, LaunchctlRefusesWhatItDoesNotKnow) {
    const std::string uid = std::to_string(::getuid());
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"bootout"},
        {"bootout", kGuiTarget, "extra"},
        {"kickstart", kGuiTarget},
        {"bootout", "system/" + uid + "/Ozm.Tarvel.Mac.XPC"},
        {"bootout", "gui/" + uid + "/Ozm.Tarvel.Mac.FSKit"},
        {"bootout", "gui/" + uid + "/Ozm.Tarvel.Mac.XPC/"},
        {"bootout", "gui/" + uid},
        {"bootout", "gui//Ozm.Tarvel.Mac.XPC"},
        {"bootout", "gui/-" + uid + "/Ozm.Tarvel.Mac.XPC"},
        {"bootout", "gui/" + uid + "x/Ozm.Tarvel.Mac.XPC"},
    };
    for (const auto& arguments : wrong) {
        const auto [status, errors] = launchctl(arguments);
        EXPECT_EQ(status, 64) << testing::PrintToString(arguments);
        EXPECT_NE(errors.find("usage: brimo-launchctl bootout"), std::string::npos) << errors;
    }
}

// An environment variable set for the lifetime of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value)
        : name_(name) {
        if (const char* old = ::getenv(name)) previous_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (previous_)
            ::setenv(name_, previous_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// A process of ours that holds the instance lock and shrugs off SIGTERM, as a wedged service
// would. Killed and reaped when the test ends without having reaped it.
class WedgedLockHolder {
public:
    explicit WedgedLockHolder(const std::string& lockFile) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::signal(SIGTERM, SIG_IGN);
            const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
            (void)!::write(ready[1], "", 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char locked = 0;
        locked_ = pid_ > 0 && ::read(ready[0], &locked, 1) == 1;
        ::close(ready[0]);
    }
    ~WedgedLockHolder() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            test::waitChild(pid_);
        }
    }
    bool locked() const { return locked_; }
    int wait() {
        reaped_ = true;
        return test::waitChild(pid_);
    }

private:
    pid_t pid_ = -1;
    bool locked_ = false;
    bool reaped_ = false;
};

TEST(TeardownSystem, LaunchctlKillsAServiceThatIgnoresTheRequestToEnd) {
    test::TemporaryFolder runtime{"brimo-teardown"};
    ScopedVariable runtimeDir("XDG_RUNTIME_DIR", runtime.path());
    WedgedLockHolder holder(ipc::serviceSocketPath(ipc::kServiceName) + ".lock");
    ASSERT_TRUE(holder.locked());

    const auto [status, errors] = launchctl({"bootout", kGuiTarget});
    EXPECT_EQ(status, 0) << errors;
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    EXPECT_EQ(launchctl({"bootout", kGuiTarget}).first, 3);
}

// The real service in a runtime directory of its own, started on demand by a client.
class TeardownSystemTest : public test::RealServiceFixture {
protected:
    // Connects the way the app does; the connection starts the service. Returns its pid.
    pid_t startOnDemand() {
        client = ipc::ClientConnection::connect(
            loop.get_executor(), ipc::kServiceName,
            {.launcher = std::make_shared<ipc::ExecutableLauncher>(BRIMO_SERVICE_PATH)});
        client->resume();
        std::optional<int64_t> version;
        client->remoteObjectProxy([](const ipc::RemoteError&) {})
            .getXPCServiceVersion([&](int64_t answer) { version = answer; });
        EXPECT_TRUE(test::runUntil(loop, [&] { return version.has_value(); }));
        const auto services = servicesUsing(runtimeDir);
        return services.size() == 1 ? services[0] : 0;
    }

    asio::io_context loop;
    std::shared_ptr<ipc::ClientConnection> client;
};

TEST_F(TeardownSystemTest, BootoutEndsTheServiceAClientStartedOnDemand) {
    const pid_t service = startOnDemand();
    ASSERT_GT(service, 0);
    ProcRunningApplications applications;
    AppLifecycleTeardown teardown(applications, "/usr/bin/pgrep", BRIMO_LAUNCHCTL_PATH);
    EXPECT_TRUE(teardown.isServiceProcessRunning());

    // Another user's domain is refused, and nothing is ended.
    const std::string other = "gui/" + std::to_string(::getuid() + 1) + "/Ozm.Tarvel.Mac.XPC";
    const auto [refused, errors] = launchctl({"bootout", other});
    EXPECT_EQ(refused, 1);
    EXPECT_NE(errors.find("not permitted"), std::string::npos) << errors;
    EXPECT_EQ(::kill(service, 0), 0);

    // The user domain is systemd's: the status is systemctl's own.
    const int systemctl =
        test::runChild({"/usr/bin/systemctl", "--user", "stop", "Ozm.Tarvel.Mac.XPC.service"})
            .exitCode;
    log::ScopedMemorySink log;
    teardown.bootoutService();
    EXPECT_EQ(log->messages(),
              (std::vector<std::string>{"launchctl bootout " + kUserTarget +
                                            " status=" + std::to_string(systemctl),
                                        "launchctl bootout " + kGuiTarget + " status=0"}));
    EXPECT_TRUE(waitUntil([&] { return !fs::exists("/proc/" + std::to_string(service)); }));
    EXPECT_FALSE(teardown.isServiceProcessRunning());

    // Nobody holds the instance lock any more.
    EXPECT_EQ(teardown.runLaunchctl({"bootout", kGuiTarget}), 3);
    client.reset();
}

} // namespace
} // namespace brimo::app
