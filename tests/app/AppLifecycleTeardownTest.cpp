#include "app/AppLifecycleTeardown.h"
#include "tests/app/AppTestSupport.h"

#include "shared/Log.h"
#include "tests/support/ChildProcess.h"

#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using Pids = std::vector<pid_t>;
using Lines = std::vector<std::string>;

// The applications a test says are running; force-terminating one only records it.

// A process that stays until it is signalled; stopped and reaped on destruction.
class Sleeper {
public:
    Sleeper()
        : pid_(test::spawnChild({"/bin/sleep", "300"})) {}
    ~Sleeper() {
        if (!reaped_) test::stopChild(pid_);
    }
    pid_t pid() const { return pid_; }
    // How it ended (as waitChild reports it).
    int wait() {
        reaped_ = true;
        return test::waitChild(pid_);
    }
    bool running() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_;
    bool reaped_ = false;
};

// Fake pgrep and launchctl scripts in a private folder. pgrep records its arguments and prints
// the file named after the process it is asked for; launchctl records its arguments and exits
// with the status in the file named after the target's domain.
class AppLifecycleTeardownTest : public testing::Test {
protected:
    AppLifecycleTeardownTest() {
        char pattern[] = "/tmp/brimo-teardown-XXXXXX";
        dir = ::mkdtemp(pattern);
        writeTool("pgrep", "printf '%s\\n' \"$*\" >> \"$dir/pgrep.calls\"\n"
                           "for name; do :; done\n"
                           "cat \"$dir/pgrep.$name\" 2>/dev/null\n");
        writeTool("launchctl",
                  "printf '%s\\n' \"$*\" >> \"$dir/launchctl.calls\"\n"
                  "exit \"$(cat \"$dir/launchctl.${2%%/*}\" 2>/dev/null || echo 0)\"\n");
    }
    ~AppLifecycleTeardownTest() override { fs::remove_all(dir); }

    void writeTool(const std::string& name, const std::string& body) {
        std::ofstream(dir / name) << "#!/bin/sh\ndir='" << dir.string() << "'\n" << body;
        fs::permissions(dir / name, fs::perms::owner_all);
    }
    void pgrepFinds(const std::string& name, const std::string& output) {
        std::ofstream(dir / ("pgrep." + name)) << output;
    }
    void launchctlExits(const std::string& domain, int status) {
        std::ofstream(dir / ("launchctl." + domain)) << status;
    }
    AppLifecycleTeardown teardown(pid_t ownPid = ::getpid()) {
        return AppLifecycleTeardown(applications, dir / "pgrep", dir / "launchctl", ownPid);
    }
    std::vector<std::string> calls(const std::string& tool) const {
        return test::lines(test::readText(dir / (tool + ".calls")));
    }

    fs::path dir;
    test::FakeRunningApplications applications;
    log::ScopedMemorySink log;
    const std::string uid = std::to_string(::getuid());
};

TEST(PgrepOutput, ParsesOneDecimalNumberALine) {
    const struct {
        std::string output;
        std::vector<pid_t> pids;
    } cases[] = {
        {"", {}},
        {"123\n456\n", {123, 456}},
        {"\n\n7\n\n", {7}},
        // Every newline of Unicode ends a line, one or two bytes or three.
        {"1\r\n2\v3\f4\r5", {1, 2, 3, 4, 5}},
        {"1\xC2\x85"
         "2\xE2\x80\xA8"
         "3\xE2\x80\xA9"
         "4",
         {1, 2, 3, 4}},
        {"+5\n-6\n-0\n", {5, -6, 0}},
        {"2147483647\n-2147483648\n2147483648\n-2147483649\n", {INT_MAX, INT_MIN}},
        // Anything else on a line spoils it, the other lines still count.
        {"12a\n 13\n14 \n+\n-\n+-3\n0x10\n1\t2\n\xD9\xA1\n15", {15}},
        // Not UTF-8 at all: nothing.
        {"1\n\xFF\n2", {}},
        {"1\x85"
         "2",
         {}},                        // U+0085 as a bare Latin-1 byte
        {"1\n2\xE2\x80", {}},        // cut off in a sequence
        {"1\n\xC0\xB0", {}},         // an over-long "0"
        {"1\n\xED\xA0\x80", {}},     // a surrogate
        {"1\n\xF4\x90\x80\x80", {}}, // beyond U+10FFFF
    };
    for (const auto& c : cases)
        EXPECT_EQ(AppLifecycleTeardown::parsePIDs(c.output), c.pids)
            << testing::PrintToString(c.output);
}

TEST_F(AppLifecycleTeardownTest, PgrepMatchesTheExactNameAmongTheUsersOwnProcesses) {
    pgrepFinds("BrimoService", "41\n42\n");
    EXPECT_EQ(teardown().pgrepPIDs("BrimoService"), (Pids{41, 42}));
    EXPECT_EQ(teardown().pgrepPIDs("Brimofs"), Pids{});
    const std::string euid = std::to_string(::geteuid());
    EXPECT_EQ(calls("pgrep"),
              (Lines{"-u " + euid + " -x BrimoService", "-u " + euid + " -x Brimofs"}));

    AppLifecycleTeardown missing(applications, dir / "no-pgrep", dir / "launchctl");
    EXPECT_EQ(missing.pgrepPIDs("BrimoService"), Pids{});
}

TEST_F(AppLifecycleTeardownTest, KillsEveryLeftoverHelperButTheAppItself) {
    Sleeper service, sameAsService, extension, app;
    applications.add(501, "Ozm.Tarvel.Mac.FSKit");
    applications.add(500, "Ozm.Tarvel.Mac.XPC");
    applications.add(app.pid(), "Ozm.Tarvel.Mac.XPC");
    applications.add(502, "Ozm.Tarvel.Mac");
    const auto line = [](const Sleeper& s) { return std::to_string(s.pid()) + "\n"; };
    pgrepFinds("BrimoService", line(service) + line(app) + line(sameAsService));
    // A process found under both names is signalled once.
    pgrepFinds("Brimofs", line(sameAsService) + line(extension));

    teardown(app.pid()).killLeftoverHelpers();

    EXPECT_EQ(applications.terminated, (Pids{500, 501}));
    EXPECT_EQ(service.wait(), 128 + SIGKILL);
    EXPECT_EQ(sameAsService.wait(), 128 + SIGKILL);
    EXPECT_EQ(extension.wait(), 128 + SIGKILL);
    EXPECT_TRUE(app.running());
    const auto killed = [](const Sleeper& s) {
        return "SIGKILL leftover helper pid=" + std::to_string(s.pid());
    };
    EXPECT_EQ(log->messages(),
              (Lines{"force-terminating leftover helper Ozm.Tarvel.Mac.XPC pid=500",
                     "force-terminating leftover helper Ozm.Tarvel.Mac.FSKit pid=501",
                     killed(service), killed(sameAsService), killed(extension)}));
    for (const auto& record : log->records())
        EXPECT_EQ(record.category, "App");
}

TEST_F(AppLifecycleTeardownTest, BootsOutBothTargetsUserDomainFirstWhateverTheyReturn) {
    const std::string user = "user/" + uid + "/Ozm.Tarvel.Mac.XPC";
    const std::string gui = "gui/" + uid + "/Ozm.Tarvel.Mac.XPC";
    EXPECT_EQ(teardown().bootoutTargets(), (Lines{user, gui}));

    launchctlExits("user", 5);
    launchctlExits("gui", 3);
    teardown().bootoutService();
    EXPECT_EQ(calls("launchctl"), (Lines{"bootout " + user, "bootout " + gui}));
    EXPECT_EQ(log->messages(), (Lines{"launchctl bootout " + user + " status=5",
                                      "launchctl bootout " + gui + " status=3"}));

    log->clear();
    AppLifecycleTeardown missing(applications, dir / "pgrep", dir / "no-launchctl");
    EXPECT_EQ(missing.runLaunchctl({"bootout", gui}), -1);
    missing.bootoutService();
    EXPECT_EQ(log->messages(), (Lines{"launchctl bootout " + user + " status=-1",
                                      "launchctl bootout " + gui + " status=-1"}));
}

TEST_F(AppLifecycleTeardownTest, TheServiceRunsWhenAProcessOtherThanTheAppIsIt) {
    constexpr pid_t own = 77;
    // Only the app itself carries the service's identifier and name; the extension runs.
    applications.add(own, "Ozm.Tarvel.Mac.XPC");
    applications.add(90, "Ozm.Tarvel.Mac.FSKit");
    pgrepFinds("BrimoService", "77\n");
    pgrepFinds("Brimofs", "90\n");
    EXPECT_FALSE(teardown(own).isServiceProcessRunning());

    pgrepFinds("BrimoService", "77\n91\n");
    EXPECT_TRUE(teardown(own).isServiceProcessRunning());

    pgrepFinds("BrimoService", "");
    applications.add(92, "Ozm.Tarvel.Mac.XPC");
    EXPECT_TRUE(teardown(own).isServiceProcessRunning());
    const std::string asked = "-u " + std::to_string(::geteuid()) + " -x BrimoService";
    EXPECT_EQ(calls("pgrep"), (Lines{asked, asked}));

    // Without pgrep, only the running applications count.
    applications.applications.pop_back();
    AppLifecycleTeardown missing(applications, dir / "no-pgrep", dir / "launchctl", own);
    EXPECT_FALSE(missing.isServiceProcessRunning());
}

} // namespace
} // namespace brimo::app
