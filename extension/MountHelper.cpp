// mount.brimo: mounts the drive the way mount(8) helpers do.
//
//   mount.brimo -t brimo SOURCE MOUNTPOINT
//
// Starts the bundle's Brimofs detached from us and exits 0 only once the volume is in the mount
// table; otherwise exits 1 with one line on stderr saying why, within kMountWait.
//
// Brimofs is started by a keeper of its own, which outlives us: when Brimofs ends in any way and
// its volume is still mounted (it was killed), the keeper unmounts it and removes the then empty
// mount point. fusermount3's auto_unmount does this for root only: as root it cannot look into a
// user's FUSE mount, so it leaves a user's dead mount behind.

#include "extension/MountWatcher.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
constexpr auto kMountWait = std::chrono::seconds(10);

int fail(const std::string& why) {
    std::cerr << "mount.brimo: " << why << std::endl;
    return 1;
}

std::string extensionExecutable() {
    std::error_code ignored;
    const auto self = stdfs::read_symlink("/proc/self/exe", ignored);
    // Brimo.app/Contents/MacOS/mount.brimo
    return (self.parent_path().parent_path() / "Extensions/Brimofs.appex/Contents/MacOS/Brimofs")
        .string();
}

// Brimofs in a session of its own, on the null device, with its ready line going to `ready`.
pid_t start(const std::string& executable, int ready, const std::string& source,
            const std::string& mountPoint) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        ::dup2(null, fd);
    ::dup2(ready, 3); // dup2 clears close-on-exec
    const char* argv[] = {"Brimofs",      "--ready-fd",       "3",
                          source.c_str(), mountPoint.c_str(), nullptr};
    ::execv(executable.c_str(), const_cast<char**>(argv));
    ::_exit(127);
}

// The first line from `fd` within `wait`, or none when it closes or the time runs out first.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds wait, bool& timedOut) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        const int polled = left.count() > 0 ? ::poll(&ready, 1, int(left.count())) : 0;
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) {
            timedOut = true;
            return std::nullopt;
        }
        char chunk[512];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        line.append(chunk, size_t(n));
        if (const size_t end = line.find('\n'); end != std::string::npos)
            return line.substr(0, end);
    }
}

void runAndWait(const char* tool, const std::vector<const char*>& argv) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(tool, const_cast<char**>(argv.data()));
        ::_exit(127);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
}

// The keeper: starts Brimofs, hands its ready line (or why there is none) to `report`, then
// waits for Brimofs to end and clears away what it left mounted.
int keep(const std::string& executable, const std::string& source, const std::string& mountPoint,
         int report) {
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        ::dup2(null, fd);
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return 1;
    const pid_t child = start(executable, pipe[1], source, mountPoint);
    ::close(pipe[1]);
    std::string line;
    bool timedOut = false;
    if (child < 0) {
        line = std::string("error: cannot start Brimofs: ") + std::strerror(errno);
    } else if (auto ready = readLine(pipe[0], kMountWait, timedOut)) {
        line = *ready;
    } else if (timedOut) {
        ::kill(child, SIGKILL);
        line = "error: Brimofs did not mount " + mountPoint + " within 10 s";
    } else {
        int status = 0;
        ::waitpid(child, &status, 0);
        line = "error: Brimofs ended before mounting (" +
               (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                    : "status " + std::to_string(WEXITSTATUS(status))) +
               ")";
    }
    ::close(pipe[0]);
    const std::optional<std::string> mount =
        line == "ok" ? brimo::fs::findMount(mountPoint, "fuse.brimo") : std::nullopt;
    line += '\n';
    [[maybe_unused]] const ssize_t written = ::write(report, line.data(), line.size());
    ::close(report);
    if (child > 0) ::waitpid(child, nullptr, 0);
    if (!mount) return 0;
    // Brimofs is gone; when its volume is not, it is a dead mount that fails everyone who looks.
    if (brimo::fs::findMount(mountPoint, "fuse.brimo") == mount)
        for (const char* tool : {"/usr/bin/fusermount3", "/bin/fusermount3"})
            if (::access(tool, X_OK) == 0) {
                runAndWait(tool, {tool, "-u", "-z", "--", mountPoint.c_str(), nullptr});
                break;
            }
    ::rmdir(mountPoint.c_str()); // fails when another mount is there by now, as it should
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string type, source, mountPoint;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-t" && i + 1 < argc)
            type = argv[++i];
        else if (source.empty())
            source = arg;
        else if (mountPoint.empty())
            mountPoint = arg;
        else
            return fail("usage: mount.brimo -t brimo SOURCE MOUNTPOINT");
    }
    if (mountPoint.empty() || (!type.empty() && type != "brimo"))
        return fail("usage: mount.brimo -t brimo SOURCE MOUNTPOINT");
    std::error_code error;
    const std::string canonical = stdfs::canonical(mountPoint, error).string();
    if (error) return fail("the mount point " + mountPoint + ": " + error.message());
    const std::string executable = extensionExecutable();
    if (::access(executable.c_str(), X_OK) != 0)
        return fail("the file system " + executable + " is missing");

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return fail(std::strerror(errno));
    const pid_t keeper = ::fork();
    if (keeper < 0) return fail(std::string("cannot start Brimofs: ") + std::strerror(errno));
    if (keeper == 0) {
        ::close(pipe[0]);
        ::_exit(keep(executable, source, canonical, pipe[1]));
    }
    ::close(pipe[1]);

    // The keeper says how mounting went; it has a time limit of its own.
    bool timedOut = false;
    const auto line = readLine(pipe[0], kMountWait + std::chrono::seconds(5), timedOut);
    ::close(pipe[0]);
    if (!line) return fail("Brimofs did not say whether it mounted " + canonical);
    if (*line == "ok") {
        if (brimo::fs::findMount(canonical, "fuse.brimo")) return 0;
        return fail("Brimofs mounted " + canonical + " but it is not in the mount table");
    }
    return fail(line->starts_with("error: ") ? line->substr(7) : *line);
}
