// mount.brimo: mounts the drive the way mount(8) helpers do.
//
//   mount.brimo -t brimo SOURCE MOUNTPOINT
//
// Starts the bundle's Brimofs detached from us and exits 0 only once the volume is in the mount
// table; otherwise exits 1 with one line on stderr saying why, within kMountWait.

#include "extension/MountWatcher.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

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
    const pid_t child = start(executable, pipe[1], source, canonical);
    ::close(pipe[1]);
    if (child < 0) return fail(std::string("cannot start Brimofs: ") + std::strerror(errno));

    // Brimofs says how mounting went, or dies, or takes too long.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kMountWait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{pipe[0], POLLIN, 0};
        const int polled = left.count() > 0 ? ::poll(&ready, 1, int(left.count())) : 0;
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            return fail("Brimofs did not mount " + canonical + " within 10 s");
        }
        char chunk[512];
        const ssize_t n = ::read(pipe[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        line.append(chunk, size_t(n));
        if (line.find('\n') != std::string::npos) break;
    }
    ::close(pipe[0]);
    line = line.substr(0, line.find('\n'));
    if (line == "ok") {
        if (brimo::fs::findMount(canonical, "fuse.brimo")) return 0;
        return fail("Brimofs mounted " + canonical + " but it is not in the mount table");
    }
    if (line.starts_with("error: ")) {
        ::waitpid(child, nullptr, 0);
        return fail(line.substr(7));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return fail("Brimofs ended before mounting (" +
                (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                     : "status " + std::to_string(WEXITSTATUS(status))) +
                ")");
}
