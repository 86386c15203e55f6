#pragma once

#include "extension/MountWatcher.h"
#include "tests/integration/RealServiceFixture.h"

#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <thread>

namespace brimo::test {

using namespace std::chrono_literals;

// The drive as a user meets it: the real service mounts it with the bundle's mount helper when
// the simulated phone asks, and coreutils work on the mounted volume. Nothing stays mounted and
// no Brimofs stays running after a test.
class DriveFixture : public RealServiceFixture {
protected:
    explicit DriveFixture(std::string linkRate = "", const std::string& extensionOptions = "")
        : RealServiceFixture(std::move(linkRate)) {
        ::setenv("BRIMO_OPEN_TOOL", "/bin/true", 1); // no file manager in tests
        ::setenv("BRIMOFS_OPTIONS", extensionOptions.c_str(), 1);
    }

    void SetUp() override {
        servicePid = startService(serviceLog());
        mountDrive();
    }

    ~DriveFixture() override {
        if (mounted()) runChild({BRIMO_UMOUNT_PATH, "-f", mountPoint().string()});
        for (pid_t pid : extensionsServing())
            ::kill(pid, SIGTERM);
        waitUntil([&] { return extensionsServing().empty() && !mounted(); });
        for (pid_t pid : extensionsServing())
            ::kill(pid, SIGKILL);
    }

    // The phone asks for the volume once the service's link to it is open; again while it is
    // not mounted, since a notice can go out on a link that is just being dropped.
    void mountDrive() {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!mounted() && std::chrono::steady_clock::now() < deadline)
            if (sim.control("push " + std::string(kPhone) + " mount mount") != "OK 0")
                waitUntil([&] { return mounted(); }, 3s);
            else
                std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(mounted()) << readFile(serviceLog());
    }

    fs::path dataHome() const { return fs::path(sim.tempDir()) / "data"; }
    fs::path container() const { return dataHome() / "group.Ozm.Tarvel"; }
    fs::path mountPoint() const { return home() / "Brimo"; }
    fs::path serviceLog() const { return fs::path(sim.tempDir()) / "service.log"; }
    fs::path onDrive(const std::string& name) const { return mountPoint() / name; }
    fs::path onPhone(const std::string& name) const { return phoneRoot / name; }

    // Whether anything is at `path`; a dead mount counts.
    static bool somethingAt(const fs::path& path) {
        struct stat status {};
        return ::lstat(path.c_str(), &status) == 0 || errno != ENOENT;
    }

    bool mounted() const {
        return ::brimo::fs::findMount(mountPoint().string(), "fuse.brimo") != std::nullopt;
    }

    // Read chunks the phone has answered so far.
    uint64_t chunksServed() {
        const std::string stats = sim.control("stats");
        const size_t at = stats.find(" code9=");
        return at == std::string::npos ? 0 : std::stoull(stats.substr(at + 7));
    }

    // Brimofs processes serving this test's container.
    std::vector<pid_t> extensionsServing() const {
        return processesWith("Brimofs", "XDG_DATA_HOME=" + dataHome().string());
    }

    // A shell command's exit code; its stdout in `output` when asked for.
    int shell(const std::string& command, std::string* output = nullptr) {
        auto result = runChild({"sh", "-c", command});
        if (output) *output = result.output;
        return result.exitCode;
    }

    static void writeFile(const fs::path& path, const std::string& bytes) {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << bytes;
    }

    // Bytes that differ at every offset of a 4 MiB chunk, so a misplaced chunk shows.
    static std::string pattern(size_t size, unsigned seed = 1) {
        std::string bytes(size, '\0');
        uint32_t state = seed * 2654435761u + 1;
        for (auto& byte : bytes) {
            state = state * 1664525u + 1013904223u;
            byte = char(state >> 24);
        }
        return bytes;
    }

    pid_t servicePid = -1;
};

} // namespace brimo::test
