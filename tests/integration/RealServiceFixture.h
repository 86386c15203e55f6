#pragma once

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

namespace brimo::test {

namespace fs = std::filesystem;

inline constexpr const char* kPhone = "00008030-001A2B3C4D5E6F70";

inline std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The real BrimoService and real clients (brimoctl, dbus-send) in a runtime directory of their
// own, with the simulator as the usbmux daemon.
class RealServiceFixture : public testing::Test {
protected:
    explicit RealServiceFixture(std::string linkRate = "")
        : phoneRoot(makePhoneRoot())
        , sim(SimProcess::Options{{kPhone}, std::move(linkRate), phoneRoot.string()})
        , address(sim.usbmuxdAddress())
        , runtimeDir(fs::path(sim.tempDir()) / "runtime") {
        fs::create_directories(runtimeDir);
        fs::permissions(runtimeDir, fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (fs::path(sim.tempDir()) / "data").c_str(), 1);
        ::setenv("XDG_STATE_HOME", stateDir().c_str(), 1);
        fs::create_directories(home());
        ::setenv("HOME", home().c_str(), 1);
    }
    static fs::path makePhoneRoot() {
        char path[] = "/tmp/brimo-phone-XXXXXX";
        return ::mkdtemp(path);
    }

    ~RealServiceFixture() override {
        for (pid_t pid : children)
            stopChild(pid);
        // A service started on demand is nobody's child here: find it by its runtime directory.
        for (pid_t pid : servicesUsing(runtimeDir))
            ::kill(pid, SIGTERM);
        waitUntil([&] { return servicesUsing(runtimeDir).empty(); });
        fs::remove_all(phoneRoot);
    }

    static std::vector<pid_t> servicesUsing(const fs::path& dir) {
        return processesWith("BrimoService", "XDG_RUNTIME_DIR=" + dir.string());
    }

    fs::path socketPath() const { return runtimeDir / "Ozm.Tarvel.Mac.XPC"; }
    fs::path stateDir() const { return fs::path(sim.tempDir()) / "state"; }
    fs::path home() const { return fs::path(sim.tempDir()) / "home"; }

    // The service's log goes to `logFile` when one is given.
    pid_t startService(const fs::path& logFile = {}) {
        const int logFd =
            logFile.empty() ? -1 : ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const pid_t pid = spawnChild({BRIMO_SERVICE_PATH}, -1, logFd);
        if (logFd >= 0) ::close(logFd);
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
    UsbmuxdAddressGuard address;
    fs::path runtimeDir;
    std::vector<pid_t> children;
};

} // namespace brimo::test
